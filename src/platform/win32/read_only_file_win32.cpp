// Read-only files on Windows: CreateFileA with read access and read sharing alone, so that
// no other program can write the file while it is read and a file another program holds open
// for writing is refused; readers may share it. The name comes in the ANSI code page, as the
// file dialog and the settings file hand it over.
#include <windows.h>

#include <algorithm>

#include "platform/read_only_file.h"

namespace movrand {
namespace {

HANDLE handleOf(std::intptr_t value) {
  return reinterpret_cast<HANDLE>(value);
}

// ReadFile takes a 32-bit count; large reads go in pieces of this size.
constexpr std::size_t kReadPiece = 1u << 20;

}  // namespace

bool ReadOnlyFile::open(const std::string& path) {
  close();
  if (path.find('\0') != std::string::npos) return false;
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  if (GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    return false;
  }
  handle_ = reinterpret_cast<std::intptr_t>(file);
  return true;
}

std::optional<std::int64_t> ReadOnlyFile::size() {
  if (!isOpen()) return std::nullopt;
  LARGE_INTEGER zero{};
  LARGE_INTEGER end{};
  if (!SetFilePointerEx(handleOf(handle_), zero, &end, FILE_END) ||
      !SetFilePointerEx(handleOf(handle_), zero, nullptr, FILE_BEGIN)) {
    return std::nullopt;
  }
  return static_cast<std::int64_t>(end.QuadPart);
}

bool ReadOnlyFile::seek(std::int64_t offset) {
  if (!isOpen() || offset < 0) return false;
  LARGE_INTEGER to{};
  to.QuadPart = offset;
  return SetFilePointerEx(handleOf(handle_), to, nullptr, FILE_BEGIN) != 0;
}

std::size_t ReadOnlyFile::read(std::span<std::uint8_t> bytes) {
  if (!isOpen()) return 0;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const DWORD want = static_cast<DWORD>(std::min(bytes.size() - done, kReadPiece));
    DWORD got = 0;
    if (!ReadFile(handleOf(handle_), bytes.data() + done, want, &got, nullptr) || got == 0) {
      break;  // a read error, or the end of the file
    }
    done += got;
  }
  return done;
}

void ReadOnlyFile::close() {
  if (!isOpen()) return;
  CloseHandle(handleOf(handle_));
  handle_ = kNoHandle;
}

}  // namespace movrand

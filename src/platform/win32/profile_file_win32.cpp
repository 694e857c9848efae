// Whole-file reads and crash-safe replacement on Windows: only disk files are read; the new
// content is written to a temporary file in the same folder, flushed with FlushFileBuffers
// and moved over the old file with MOVEFILE_WRITE_THROUGH, which returns only once the move
// is on the disk.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <string>

#include "platform/profile.h"
#include "platform/text.h"

namespace movrand {
namespace {

// Names tried for the temporary file before giving up (another writer holding each one).
constexpr int kTemporaryNameAttempts = 16;
// The most one ReadFile or WriteFile call is given.
constexpr std::size_t kChunk = 1u << 20;

// Owns a file handle and closes it once.
class Handle {
 public:
  explicit Handle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
  ~Handle() { close(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != INVALID_HANDLE_VALUE; }
  bool close() {
    if (handle_ == INVALID_HANDLE_VALUE) return true;
    const BOOL closed = ::CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    return closed != FALSE;
  }

 private:
  HANDLE handle_;
};

bool WriteAll(HANDLE file, std::string_view content) {
  std::size_t done = 0;
  while (done < content.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min(content.size() - done, kChunk));
    DWORD written = 0;
    if (!::WriteFile(file, content.data() + done, chunk, &written, nullptr) || written == 0) {
      return false;
    }
    done += written;
  }
  return true;
}

std::wstring RandomSuffix() {
  static std::minstd_rand generator{std::random_device{}()};
  std::wstring suffix = L".tmp";
  for (int i = 0; i < 6; ++i) {
    suffix += static_cast<wchar_t>(HexDigit(generator() % kHexLower.size(), false));
  }
  return suffix;
}

// Creates a new file beside `target` with the attributes given; its name goes to `name`, and
// the system's error to `error` when nothing could be created.
Handle CreateTemporaryBeside(const std::filesystem::path& target, DWORD attributes,
                             std::filesystem::path& name, DWORD& error) {
  error = ERROR_FILE_EXISTS;
  for (int attempt = 0; attempt < kTemporaryNameAttempts && error == ERROR_FILE_EXISTS; ++attempt) {
    name = target;
    name += RandomSuffix();
    const HANDLE file =
        ::CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, attributes, nullptr);
    if (file != INVALID_HANDLE_VALUE) return Handle(file);
    error = ::GetLastError();
  }
  return Handle();
}

// The folder is where the temporary file would have gone; the file itself is still writable,
// so it gets the new content in place: written over from the start, then cut to length.
bool WriteInPlace(const std::filesystem::path& target, std::string_view content) {
  Handle file(::CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file || ::GetFileType(file.get()) != FILE_TYPE_DISK) return false;
  return WriteAll(file.get(), content) && ::SetEndOfFile(file.get()) &&
         ::FlushFileBuffers(file.get()) && file.close();
}

}  // namespace

FileReadResult ReadWholeFile(const std::filesystem::path& path, std::size_t maxSize,
                             std::string& text) {
  text.clear();
  Handle file(::CreateFileW(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    const DWORD error = ::GetLastError();
    return (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
               ? FileReadResult::Absent
               : FileReadResult::Failed;
  }
  LARGE_INTEGER size{};
  if (::GetFileType(file.get()) != FILE_TYPE_DISK || !::GetFileSizeEx(file.get(), &size) ||
      size.QuadPart < 0 || static_cast<std::uint64_t>(size.QuadPart) > maxSize) {
    return FileReadResult::Failed;
  }
  const auto readSome = [&](char* into, std::size_t count) -> std::optional<std::size_t> {
    DWORD got = 0;
    const DWORD chunk = static_cast<DWORD>(std::min(count, kChunk));
    if (!::ReadFile(file.get(), into, chunk, &got, nullptr)) return std::nullopt;
    return got;
  };
  return ReadAtMost(maxSize, text, readSome);
}

bool ReplaceFileContent(const std::filesystem::path& path, std::string_view content) {
  const std::optional<std::filesystem::path> resolved = ReplacementTarget(path);
  if (!resolved) return false;
  const std::filesystem::path& target = *resolved;

  const DWORD old = ::GetFileAttributesW(target.c_str());
  const bool exists = old != INVALID_FILE_ATTRIBUTES;
  if (!exists && ::GetLastError() != ERROR_FILE_NOT_FOUND) return false;
  // A settings file the user made read-only stays as it is.
  if (exists && (old & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) return false;
  DWORD attributes =
      exists ? old & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE) : 0;
  if (attributes == 0) attributes = FILE_ATTRIBUTE_NORMAL;

  std::filesystem::path temporary;
  DWORD createError = 0;
  Handle file = CreateTemporaryBeside(target, attributes, temporary, createError);
  if (!file) {
    // Only a refusal by the folder: rewriting in place after, say, a full disk could leave
    // the file half written.
    return exists && createError == ERROR_ACCESS_DENIED && WriteInPlace(target, content);
  }
  const bool written =
      WriteAll(file.get(), content) && ::FlushFileBuffers(file.get()) && file.close();
  if (!written || !::MoveFileExW(temporary.c_str(), target.c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    file.close();
    ::DeleteFileW(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace movrand

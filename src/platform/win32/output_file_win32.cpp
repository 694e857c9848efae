// Output files on Windows. The file is opened as itself (FILE_FLAG_OPEN_REPARSE_POINT), so a
// symbolic link or junction in its place is seen and refused rather than followed, and only a
// disk file is taken. The record's lock is LockFileEx over the whole file, which every program
// that appends the same way takes too.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <thread>

#include "platform/output_file.h"

namespace movrand {
namespace {

constexpr std::chrono::milliseconds kLockRetry{10};
constexpr DWORD kWholeFile = MAXDWORD;  // lock length, low and high halves

HANDLE handleOf(std::intptr_t value) {
  return reinterpret_cast<HANDLE>(value);
}

std::string Reason(const std::string& what, DWORD error) {
  return what + ": system error " + std::to_string(error);
}

// Opens `path` as a plain disk file with `access`; the handle, or INVALID_HANDLE_VALUE with
// `error`.
HANDLE OpenPlain(const std::filesystem::path& path, DWORD access, OutputFileError& error) {
  const HANDLE file =
      CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = OutputFileError::Failed;
    return file;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    error = OutputFileError::NotRegular;
  } else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    error = OutputFileError::Link;
  } else {
    error = OutputFileError::None;
    return file;
  }
  CloseHandle(file);
  return INVALID_HANDLE_VALUE;
}

bool WriteAt(HANDLE file, std::int64_t offset, const char* bytes, DWORD count) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD written = 0;
  return WriteFile(file, bytes, count, &written, &at) && written == count;
}

}  // namespace

std::FILE* CreateOutputFile(const std::filesystem::path& path, OutputFileError& error) {
  const HANDLE file = OpenPlain(path, GENERIC_WRITE, error);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  if (!SetEndOfFile(file)) {  // the position is at the start: empties it
    error = OutputFileError::Failed;
    CloseHandle(file);
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(file), _O_WRONLY | _O_BINARY);
  if (fd < 0) {
    error = OutputFileError::Failed;
    CloseHandle(file);
    return nullptr;
  }
  std::FILE* stream = _fdopen(fd, "wb");
  if (!stream) {
    error = OutputFileError::Failed;
    _close(fd);  // closes the handle with it
  }
  return stream;
}

Result<void> AppendFile::open(const std::filesystem::path& path) {
  close();
  OutputFileError error = OutputFileError::None;
  const HANDLE file = OpenPlain(path, GENERIC_READ | GENERIC_WRITE, error);
  if (file == INVALID_HANDLE_VALUE) {
    if (error == OutputFileError::Failed) {
      return Failure(Reason("cannot open " + path.string() + " for appending", GetLastError()));
    }
    return Failure(path.string() + " is not a plain file");
  }
  handle_ = reinterpret_cast<std::intptr_t>(file);
  return Done();
}

Result<void> AppendFile::appendLine(std::string_view line) {
  if (!isOpen()) return Failure("the file is not open");
  const HANDLE file = handleOf(handle_);
  const auto giveUp = std::chrono::steady_clock::now() + kLockWait;
  OVERLAPPED whole{};
  while (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, kWholeFile,
                     kWholeFile, &whole)) {
    if (GetLastError() != ERROR_LOCK_VIOLATION)
      return Failure(Reason("cannot lock the file", GetLastError()));
    if (std::chrono::steady_clock::now() >= giveUp) {
      return Failure("another program has held the file locked for " +
                     std::to_string(kLockWait.count() / 1000) + " s");
    }
    std::this_thread::sleep_for(kLockRetry);
  }
  std::string failure;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file, &size)) {
    failure = Reason("cannot look at the file", GetLastError());
  } else {
    std::int64_t end = size.QuadPart;
    if (end > 0) {
      char last = '\n';
      DWORD got = 0;
      OVERLAPPED at{};
      at.Offset = static_cast<DWORD>(end - 1);
      at.OffsetHigh = static_cast<DWORD>((end - 1) >> 32);
      if (ReadFile(file, &last, 1, &got, &at) && got == 1 && last != '\n') {
        // A line torn earlier: ended here, so that it spoils no whole line after it.
        if (WriteAt(file, end, "\n", 1)) {
          ++end;
        } else {
          failure = Reason("cannot end the torn line before it", GetLastError());
        }
      }
    }
    if (failure.empty() && !WriteAt(file, end, line.data(), static_cast<DWORD>(line.size()))) {
      failure = Reason("cannot write", GetLastError());
      // Take back what went of it; if even that fails, the next append ends it.
      LARGE_INTEGER back{};
      back.QuadPart = end;
      if (SetFilePointerEx(file, back, nullptr, FILE_BEGIN)) SetEndOfFile(file);
    }
  }
  UnlockFileEx(file, 0, kWholeFile, kWholeFile, &whole);
  if (!failure.empty()) return Failure(std::move(failure));
  return Done();
}

void AppendFile::close() {
  if (!isOpen()) return;
  CloseHandle(handleOf(handle_));
  handle_ = kNoHandle;
}

}  // namespace movrand

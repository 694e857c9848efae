// Output files on Linux. O_NOFOLLOW refuses a symbolic link in the file's place, O_NONBLOCK
// keeps the open of a pipe from waiting for a reader, and the file type is checked before a
// byte is written. The record's lock is flock(2), which every program that appends the same
// way takes too.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "platform/output_file.h"

namespace movrand {
namespace {

constexpr mode_t kFileMode = 0644;  // read by everyone, written by the owner
constexpr std::chrono::milliseconds kLockRetry{10};

std::string Reason(const std::string& what, int error) {
  return what + ": " + std::strerror(error);
}

// Opens `path` with `flags`, taking only a plain file; the descriptor, or -1 with `error`.
int OpenPlain(const std::filesystem::path& path, int flags, OutputFileError& error) {
  const int fd = ::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, kFileMode);
  if (fd < 0) {
    error = errno == ELOOP                      ? OutputFileError::Link
            : errno == ENXIO || errno == EISDIR ? OutputFileError::NotRegular
                                                : OutputFileError::Failed;
    return -1;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    error = OutputFileError::NotRegular;
    ::close(fd);
    return -1;
  }
  // Plain files never block; later writes go as any others.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  error = OutputFileError::None;
  return fd;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

std::FILE* CreateOutputFile(const std::filesystem::path& path, OutputFileError& error) {
  const int fd = OpenPlain(path, O_WRONLY | O_CREAT | O_NOFOLLOW, error);
  if (fd < 0) return nullptr;
  if (::ftruncate(fd, 0) != 0) {
    error = OutputFileError::Failed;
    ::close(fd);
    return nullptr;
  }
  std::FILE* file = ::fdopen(fd, "wb");
  if (!file) {
    error = OutputFileError::Failed;
    ::close(fd);
  }
  return file;
}

Result<void> AppendFile::open(const std::filesystem::path& path) {
  close();
  OutputFileError error = OutputFileError::None;
  errno = 0;
  // Read as well as append: an append looks at the last byte for a torn line.
  const int fd = OpenPlain(path, O_RDWR | O_APPEND | O_CREAT, error);
  if (fd < 0) {
    if (error == OutputFileError::NotRegular || error == OutputFileError::Link) {
      return Failure(path.string() + " is not a plain file");
    }
    return Failure(Reason("cannot open " + path.string() + " for appending", errno));
  }
  handle_ = fd;
  return Done();
}

Result<void> AppendFile::appendLine(std::string_view line) {
  if (!isOpen()) return Failure("the file is not open");
  const int fd = static_cast<int>(handle_);
  const auto giveUp = std::chrono::steady_clock::now() + kLockWait;
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR)
      return Failure(Reason("cannot lock the file", errno));
    if (std::chrono::steady_clock::now() >= giveUp) {
      return Failure("another program has held the file locked for " +
                     std::to_string(kLockWait.count() / 1000) + " s");
    }
    std::this_thread::sleep_for(kLockRetry);
  }
  std::string failure;
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    failure = Reason("cannot look at the file", errno);
  } else {
    off_t end = info.st_size;
    char last = '\n';
    if (end > 0 && ::pread(fd, &last, 1, end - 1) == 1 && last != '\n') {
      // A line torn earlier: ended here, so that it spoils no whole line after it.
      if (WriteAll(fd, "\n")) {
        ++end;
      } else {
        failure = Reason("cannot end the torn line before it", errno);
      }
    }
    errno = 0;
    if (failure.empty() && !WriteAll(fd, line)) {
      failure = Reason("cannot write", errno != 0 ? errno : EIO);
      // Take back what went of it; if even that fails, the next append ends it.
      [[maybe_unused]] const int ignored = ::ftruncate(fd, end);
    }
  }
  ::flock(fd, LOCK_UN);
  if (!failure.empty()) return Failure(std::move(failure));
  return Done();
}

void AppendFile::close() {
  if (!isOpen()) return;
  ::close(static_cast<int>(handle_));
  handle_ = kNoHandle;
}

}  // namespace movrand

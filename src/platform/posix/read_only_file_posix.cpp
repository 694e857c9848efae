// Read-only files on Linux: a plain open, as the system offers no open that keeps other
// programs out. O_NONBLOCK makes the open of a pipe return at once instead of waiting for a
// writer; the file type is checked before anything is read.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/read_only_file.h"

namespace movrand {

bool ReadOnlyFile::open(const std::string& path) {
  close();
  if (path.find('\0') != std::string::npos) return false;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return false;
  }
  handle_ = fd;
  return true;
}

std::optional<std::int64_t> ReadOnlyFile::size() {
  if (!isOpen()) return std::nullopt;
  const int fd = static_cast<int>(handle_);
  const off_t end = ::lseek(fd, 0, SEEK_END);
  if (end < 0 || ::lseek(fd, 0, SEEK_SET) != 0) return std::nullopt;
  return static_cast<std::int64_t>(end);
}

bool ReadOnlyFile::seek(std::int64_t offset) {
  if (!isOpen() || offset < 0) return false;
  return ::lseek(static_cast<int>(handle_), static_cast<off_t>(offset), SEEK_SET) ==
         static_cast<off_t>(offset);
}

std::size_t ReadOnlyFile::read(std::span<std::uint8_t> bytes) {
  if (!isOpen()) return 0;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::read(static_cast<int>(handle_), bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // end of file or a read error
    done += static_cast<std::size_t>(n);
  }
  return done;
}

void ReadOnlyFile::close() {
  if (!isOpen()) return;
  ::close(static_cast<int>(handle_));
  handle_ = kNoHandle;
}

}  // namespace movrand

// Whole-file reads and crash-safe replacement on Linux: O_NONBLOCK keeps the open of a pipe
// from waiting for a writer; the new content is written to a temporary file in the same
// folder (so the rename cannot cross file systems), flushed with fsync and renamed over the
// old file, and the folder is flushed so that the rename itself survives a power loss.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

// Owns a file descriptor and closes it once.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() { reset(); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  // Closes now and reports whether the close succeeded (a late write error shows here).
  bool close() {
    if (fd_ < 0) return true;
    const int result = ::close(fd_);
    fd_ = -1;
    return result == 0;
  }
  void reset() { close(); }

 private:
  int fd_;
};

bool WriteAll(int fd, std::string_view content) {
  std::size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::string RandomSuffix() {
  static std::minstd_rand generator{std::random_device{}()};
  std::string suffix = ".tmp";
  for (int i = 0; i < 6; ++i) suffix += HexDigit(generator() % kHexLower.size(), false);
  return suffix;
}

// Creates a new file beside `target`; its name goes to `name`, and the system's error to
// `error` when nothing could be created.
Descriptor CreateTemporaryBeside(const std::filesystem::path& target, std::filesystem::path& name,
                                 int& error) {
  error = EEXIST;
  for (int attempt = 0; attempt < kTemporaryNameAttempts && error == EEXIST; ++attempt) {
    name = target;
    name += RandomSuffix();
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd >= 0) return Descriptor(fd);
    error = errno;
  }
  return Descriptor();
}

// The folder is where the temporary file would have gone; the file itself is still writable,
// so it gets the new content in place: written over from the start, then cut to length.
bool WriteInPlace(const std::filesystem::path& target, std::string_view content) {
  Descriptor file(::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!file) return false;
  struct stat info {};
  if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  return WriteAll(file.get(), content) &&
         ::ftruncate(file.get(), static_cast<off_t>(content.size())) == 0 &&
         ::fsync(file.get()) == 0 && file.close();
}

void SyncFolder(const std::filesystem::path& folder) {
  Descriptor handle(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_CLOEXEC));
  if (!handle) return;
  // Best effort: the rename is done either way.
  [[maybe_unused]] const int synced = ::fsync(handle.get());
}

}  // namespace

FileReadResult ReadWholeFile(const std::filesystem::path& path, std::size_t maxSize,
                             std::string& text) {
  text.clear();
  Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!file) {
    return (errno == ENOENT || errno == ENOTDIR) ? FileReadResult::Absent : FileReadResult::Failed;
  }
  struct stat info {};
  if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) return FileReadResult::Failed;
  if (info.st_size < 0 || static_cast<std::uintmax_t>(info.st_size) > maxSize) {
    return FileReadResult::Failed;
  }
  // A read cut short by a signal is made again.
  const auto readSome = [&](char* into, std::size_t count) -> std::optional<std::size_t> {
    for (;;) {
      const ssize_t n = ::read(file.get(), into, count);
      if (n >= 0) return static_cast<std::size_t>(n);
      if (errno != EINTR) return std::nullopt;
    }
  };
  return ReadAtMost(maxSize, text, readSome);
}

bool ReplaceFileContent(const std::filesystem::path& path, std::string_view content) {
  const std::optional<std::filesystem::path> resolved = ReplacementTarget(path);
  if (!resolved) return false;
  const std::filesystem::path& target = *resolved;

  struct stat old {};
  const bool exists = ::stat(target.c_str(), &old) == 0;
  if (!exists && errno != ENOENT) return false;
  if (exists && !S_ISREG(old.st_mode)) return false;
  // A settings file the user made read-only stays as it is, even in a writable folder.
  if (exists && ::access(target.c_str(), W_OK) != 0) return false;

  std::filesystem::path temporary;
  int createError = 0;
  Descriptor file = CreateTemporaryBeside(target, temporary, createError);
  if (!file) {
    // Only a refusal by the folder: rewriting in place after, say, a full disk could leave
    // the file half written.
    const bool folderRefused = createError == EACCES || createError == EPERM;
    return exists && folderRefused && WriteInPlace(target, content);
  }
  bool written = true;
  if (exists) {
    written = ::fchmod(file.get(), old.st_mode & 07777) == 0;
    // Only a privileged user can give the file back to its owner; anyone else owns it now.
    [[maybe_unused]] const int owned = ::fchown(file.get(), old.st_uid, old.st_gid);
  }
  written = written && WriteAll(file.get(), content) && ::fsync(file.get()) == 0 && file.close();
  if (!written || ::rename(temporary.c_str(), target.c_str()) != 0) {
    file.reset();
    ::unlink(temporary.c_str());
    return false;
  }
  SyncFolder(target.parent_path());
  return true;
}

}  // namespace movrand

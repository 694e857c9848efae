// A path that names a pipe nobody writes to, for tests that a reader refuses what is not a
// plain file instead of blocking on it: a FIFO in `folder` on Linux, a named pipe
// ("\\.\pipe\...") on Windows. The pipe lasts as long as the object.
#pragma once

#include <filesystem>
#include <string>

namespace movrand::test {

class PipePath {
 public:
  explicit PipePath(const std::filesystem::path& folder);  // throws std::runtime_error
  ~PipePath();
  PipePath(const PipePath&) = delete;
  PipePath& operator=(const PipePath&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
  void* handle_ = nullptr;  // the Windows pipe's server end
};

}  // namespace movrand::test

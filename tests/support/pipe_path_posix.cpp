#include <sys/stat.h>

#include <stdexcept>

#include "support/pipe_path.h"

namespace movrand::test {

PipePath::PipePath(const std::filesystem::path& folder) : path_((folder / "pipe.bin").string()) {
  if (::mkfifo(path_.c_str(), 0600) != 0) throw std::runtime_error("no FIFO " + path_);
}

PipePath::~PipePath() {
  std::error_code ignored;
  std::filesystem::remove(path_, ignored);
}

}  // namespace movrand::test

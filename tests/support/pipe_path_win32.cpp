#include <windows.h>

#include <atomic>
#include <stdexcept>

#include "support/pipe_path.h"

namespace movrand::test {

PipePath::PipePath(const std::filesystem::path&) {
  static std::atomic<int> count{0};
  path_ = "\\\\.\\pipe\\movrand-test-" + std::to_string(GetCurrentProcessId()) + "-" +
          std::to_string(++count);
  const HANDLE pipe = CreateNamedPipeA(path_.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE,
                                       PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr);
  if (pipe == INVALID_HANDLE_VALUE) throw std::runtime_error("no named pipe " + path_);
  handle_ = pipe;
}

PipePath::~PipePath() {
  CloseHandle(static_cast<HANDLE>(handle_));
}

}  // namespace movrand::test

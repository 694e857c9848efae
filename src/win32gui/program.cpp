#include "win32gui/program.h"

#include <utility>
#include <vector>

#include "win32gui/error_box.h"

namespace movrand::win32 {

void Win32Toolkit::showCurrentError() {
  showErrorBox(currentExceptionMessage());
}

std::filesystem::path ProgramFilePath() {
  // Long paths are allowed; the call says by filling the buffer that it needs a larger one.
  std::vector<char> path(MAX_PATH);
  for (;;) {
    const DWORD length = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) return std::filesystem::path(std::string(path.data(), length));
    if (path.size() >= 32768) return {};
    path.resize(path.size() * 2);
  }
}

std::string ArgumentTextOf(std::string_view commandLine) {
  std::size_t at = 0;
  if (!commandLine.empty() && commandLine.front() == '"') {
    const std::size_t close = commandLine.find('"', 1);
    at = close == std::string_view::npos ? commandLine.size() : close + 1;
  } else {
    at = commandLine.find_first_of(" \t");
    if (at == std::string_view::npos) at = commandLine.size();
  }
  return std::string(commandLine.substr(at));
}

int runProgram(Program::Options options, std::string_view argumentText) {
  return runWindowProgram<Win32Toolkit>(std::move(options), argumentText);
}

}  // namespace movrand::win32

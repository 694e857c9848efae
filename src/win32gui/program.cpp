#include "win32gui/program.h"

#include <utility>
#include <vector>

#include "win32gui/error_box.h"

namespace movrand::win32 {
namespace {

std::unique_ptr<LocalClock> orSystemClock(std::unique_ptr<LocalClock> clock) {
  return clock ? std::move(clock) : std::make_unique<SystemLocalClock>();
}

std::unique_ptr<PortSource> orSystemPorts(std::unique_ptr<PortSource> ports) {
  return ports ? std::move(ports) : CreateSystemPortSource();
}

}  // namespace

Program::Program(Options options)
    : clock_(orSystemClock(std::move(options.clock))),
      ports_(orSystemPorts(std::move(options.ports))),
      form_(loop_, MainFormServices{.clock = *clock_,
                                    .ports = *ports_,
                                    .fileDialog = fileDialog_,
                                    .dialogs = dialogs_,
                                    .programFile = std::move(options.programFile)}),
      comm_(form_, loop_, options.serialDriver ? *options.serialDriver : systemSerialDriver()),
      window_(form_, loop_),
      termForm_(form_),
      termWindow_(termForm_, loop_, window_.hwnd()),
      devProgWindow_(devProgForm_, loop_, window_.hwnd()),
      attentionWindow_(attentionForm_, loop_, window_.hwnd()) {
  form_.TermForm = &termForm_;
  fileDialog_.setOwner(window_.hwnd());
  dialogs_.attach(window_.hwnd(), &attentionWindow_, &devProgWindow_);
}

Program::~Program() {
  // Nothing queued runs any more, and no reader waits on a loop that is going.
  loop_.stop();
  // The serial link outlives the terminal and may still deliver while it closes.
  form_.TermForm = nullptr;
  // Nothing may show a window that is being destroyed.
  dialogs_.attach(nullptr, nullptr, nullptr);
  fileDialog_.setOwner(nullptr);
}

Switches Program::applyCommandLine(std::string_view argumentText) {
  const Switches switches = ApplyCommandLine(form_, argumentText);
  if (!switches.test) termForm_.Monitoring = false;
  return switches;
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
  std::unique_ptr<Program> program;
  try {
    program = std::make_unique<Program>(std::move(options));
    program->applyCommandLine(argumentText);
    program->mainWindow().show();
  } catch (...) {
    // The windows could not be built: say why and end; there is no other exit code than 0.
    showErrorBox(currentExceptionMessage());
    return 0;
  }
  program->loop().run();
  return 0;
}

}  // namespace movrand::win32

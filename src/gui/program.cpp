#include "gui/program.h"

#include <QCoreApplication>
#include <QFile>
#include <utility>

#include "gui/application.h"

namespace movrand::gui {
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
      window_(form_),
      termForm_(form_),
      termWindow_(termForm_, &window_),
      devProgWindow_(devProgForm_, &window_),
      attentionWindow_(attentionForm_, &window_) {
  form_.TermForm = &termForm_;
  fileDialog_.setParent(&window_);
  dialogs_.attach(&window_, &attentionWindow_, &devProgWindow_);
}

Program::~Program() {
  // The serial link outlives the terminal and may still deliver while it closes.
  form_.TermForm = nullptr;
  // Nothing may show a window that is being destroyed.
  dialogs_.attach(nullptr, nullptr, nullptr);
  fileDialog_.setParent(nullptr);
}

Switches Program::applyCommandLine(std::string_view argumentText) {
  const Switches switches = ApplyCommandLine(form_, argumentText);
  if (!switches.test) termForm_.Monitoring = false;
  return switches;
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
  QCoreApplication::exec();
  return 0;
}

std::filesystem::path programFilePath() {
  return std::filesystem::path(
      QFile::encodeName(QCoreApplication::applicationFilePath()).toStdString());
}

}  // namespace movrand::gui

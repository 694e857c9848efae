// The program as it runs on screen, put together once for every toolkit: the event loop, the
// services, the main window's model and view, the terminal window, then the programming notice
// and the warning dialog, created in this order and destroyed in the reverse one.
//
// Building it runs the main window's construction (port list, settings), which may throw;
// `runWindowProgram` shows such a failure in the toolkit's error box and ends.
//
// A toolkit (gui/ for Qt, win32gui/ for Win32) is a struct that names its windows
// (`WindowToolkitTypes`) and does the few things each toolkit does its own way:
//   Session                       made before everything else and gone after it
//   mainWindow(form, loop)        the main window
//   ownedWindow<W>(form, loop, main)  a window the main window owns
//   owner(main)                   the main window as the file dialog and the dialogs name it
//   beforeClosing(loop)           the first step of the program's end
//   showCurrentError()            the exception being handled, in the error box
//   run(loop)                     runs the loop until the main window closes
#pragma once

#include <filesystem>
#include <memory>
#include <string_view>
#include <utility>

#include "app/comm_session.h"
#include "app/command_line.h"
#include "app/dialogs.h"
#include "app/main_form.h"
#include "app/services.h"
#include "app/terminal.h"
#include "platform/local_time.h"
#include "platform/port_source.h"
#include "platform/serial_device.h"

namespace movrand {

struct WindowProgramOptions {
  std::unique_ptr<PortSource> ports;     // the system's port list unless a test says else
  std::unique_ptr<LocalClock> clock;     // the system clock unless a test says else
  std::filesystem::path programFile;     // where the settings file lives beside
  SerialDriver* serialDriver = nullptr;  // the system's serial ports unless a test says else
};

// The event loop, the dialogs and the windows of a toolkit, in the order the program holds
// them.
template <class LoopType, class FileDialogType, class DialogsType, class MainWindowType,
          class TerminalWindowType, class DevProgWindowType, class AttentionDialogType>
struct WindowToolkitTypes {
  using Loop = LoopType;
  using FileDialog = FileDialogType;
  using Dialogs = DialogsType;
  using MainWindow = MainWindowType;
  using TerminalWindow = TerminalWindowType;
  using DevProgWindow = DevProgWindowType;
  using AttentionDialog = AttentionDialogType;
};

template <class Toolkit>
class WindowProgram {
 public:
  using Options = WindowProgramOptions;
  using Loop = typename Toolkit::Loop;
  using MainWindow = typename Toolkit::MainWindow;
  using TerminalWindow = typename Toolkit::TerminalWindow;
  using DevProgWindow = typename Toolkit::DevProgWindow;
  using AttentionDialog = typename Toolkit::AttentionDialog;

  explicit WindowProgram(Options options)
      : clock_(options.clock ? std::move(options.clock) : std::make_unique<SystemLocalClock>()),
        ports_(options.ports ? std::move(options.ports) : CreateSystemPortSource()),
        form_(loop_, MainFormServices{.clock = *clock_,
                                      .ports = *ports_,
                                      .fileDialog = fileDialog_,
                                      .dialogs = dialogs_,
                                      .programFile = std::move(options.programFile)}),
        comm_(form_, loop_, options.serialDriver ? *options.serialDriver : systemSerialDriver()),
        window_(Toolkit::mainWindow(form_, loop_)),
        termForm_(form_),
        termWindow_(Toolkit::template ownedWindow<TerminalWindow>(termForm_, loop_, window_)),
        devProgWindow_(Toolkit::template ownedWindow<DevProgWindow>(devProgForm_, loop_, window_)),
        attentionWindow_(
            Toolkit::template ownedWindow<AttentionDialog>(attentionForm_, loop_, window_)) {
    form_.TermForm = &termForm_;
    fileDialog_.setOwner(Toolkit::owner(window_));
    dialogs_.attach(Toolkit::owner(window_), &attentionWindow_, &devProgWindow_);
  }

  ~WindowProgram() {
    Toolkit::beforeClosing(loop_);
    // The serial link outlives the terminal and may still deliver while it closes.
    form_.TermForm = nullptr;
    // Nothing may show a window that is being destroyed.
    dialogs_.attach(nullptr, nullptr, nullptr);
    fileDialog_.setOwner(nullptr);
  }

  WindowProgram(const WindowProgram&) = delete;
  WindowProgram& operator=(const WindowProgram&) = delete;

  // Applies the command-line switch to the built windows; without test mode the terminal
  // does not monitor.
  Switches applyCommandLine(std::string_view argumentText) {
    const Switches switches = ApplyCommandLine(form_, argumentText);
    if (!switches.test) termForm_.Monitoring = false;
    return switches;
  }

  Loop& loop() { return loop_; }
  TMainForm& form() { return form_; }
  MainWindow& mainWindow() { return window_; }
  TTermForm& termForm() { return termForm_; }
  TerminalWindow& terminalWindow() { return termWindow_; }
  TFormAttention& attentionForm() { return attentionForm_; }
  AttentionDialog& attentionWindow() { return attentionWindow_; }
  TFormDevProg& devProgForm() { return devProgForm_; }
  DevProgWindow& devProgWindow() { return devProgWindow_; }
  Dialogs& dialogs() { return dialogs_; }

 private:
  typename Toolkit::Session session_;
  Loop loop_;
  std::unique_ptr<LocalClock> clock_;
  std::unique_ptr<PortSource> ports_;
  typename Toolkit::FileDialog fileDialog_;
  typename Toolkit::Dialogs dialogs_;
  TMainForm form_;
  CommSession comm_;
  MainWindow window_;
  // The terminal and the dialogs are owned by the main window; as members they go before it.
  TTermForm termForm_;
  TerminalWindow termWindow_;
  TFormDevProg devProgForm_;
  DevProgWindow devProgWindow_;
  TFormAttention attentionForm_;
  AttentionDialog attentionWindow_;
};

// The program's start and run: builds the windows, applies the switch in `argumentText`,
// shows the main window and runs the toolkit's loop until the main window closes. A failure
// while the windows are built is shown in the error box and ends the run. Returns the exit
// code, which is always 0.
template <class Toolkit>
int runWindowProgram(WindowProgramOptions options, std::string_view argumentText) {
  std::unique_ptr<WindowProgram<Toolkit>> program;
  try {
    program = std::make_unique<WindowProgram<Toolkit>>(std::move(options));
    program->applyCommandLine(argumentText);
    program->mainWindow().show();
  } catch (...) {
    // The windows could not be built: say why and end; there is no other exit code than 0.
    Toolkit::showCurrentError();
    return 0;
  }
  Toolkit::run(program->loop());
  return 0;
}

}  // namespace movrand

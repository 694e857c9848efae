// The program as it runs on Windows: the event loop, the services, the main window's model and
// view, the terminal window, then the programming notice and the warning dialog, created in
// this order and destroyed in the reverse one.
//
// Building it runs the main window's construction (port list, settings), which may throw;
// `runProgram` shows such a failure in the error box and ends.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "app/comm_session.h"
#include "app/command_line.h"
#include "app/dialogs.h"
#include "app/main_form.h"
#include "app/services.h"
#include "app/terminal.h"
#include "platform/port_source.h"
#include "platform/serial_device.h"
#include "win32gui/artwork.h"
#include "win32gui/dialog_windows.h"
#include "win32gui/main_window.h"
#include "win32gui/terminal_window.h"
#include "win32gui/win32_event_loop.h"

namespace movrand::win32 {

class Program {
 public:
  struct Options {
    std::unique_ptr<PortSource> ports;     // the registry's port list unless a test says else
    std::unique_ptr<LocalClock> clock;     // the system clock unless a test says else
    std::filesystem::path programFile;     // where the settings file lives beside
    SerialDriver* serialDriver = nullptr;  // the system's serial ports unless a test says else
  };

  explicit Program(Options options);
  ~Program();
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  // Applies the command-line switch to the built windows; without test mode the terminal
  // does not monitor.
  Switches applyCommandLine(std::string_view argumentText);

  Win32EventLoop& loop() { return loop_; }
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
  GraphicsSession graphics_;
  Win32EventLoop loop_;
  std::unique_ptr<LocalClock> clock_;
  std::unique_ptr<PortSource> ports_;
  Win32FileDialog fileDialog_;
  Win32Dialogs dialogs_;
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

// The program file's full path (GetModuleFileName), as the settings and the file dialog need it.
std::filesystem::path ProgramFilePath();

// The argument text of a Windows command line: what follows the program's name, which stands
// first, in double quotes when it holds blanks. The switch test skips the blanks after it.
std::string ArgumentTextOf(std::string_view commandLine);

// The program's start and run: builds the windows, applies the switch in `argumentText`,
// shows the main window and runs the message loop until the main window closes. A failure
// while the windows are built is shown in the error box and ends the run. Returns the exit
// code, which is always 0.
int runProgram(Program::Options options, std::string_view argumentText);

}  // namespace movrand::win32

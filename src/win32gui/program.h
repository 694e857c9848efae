// The program as it runs on Windows: the window program of app/window_program.h over the Win32
// windows and the Win32 event loop, with GDI+ started before the first window and ended after
// the last.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "app/window_program.h"
#include "win32gui/artwork.h"
#include "win32gui/dialog_windows.h"
#include "win32gui/main_window.h"
#include "win32gui/terminal_window.h"
#include "win32gui/win32_event_loop.h"

namespace movrand::win32 {

struct Win32Toolkit : WindowToolkitTypes<Win32EventLoop, Win32FileDialog, Win32Dialogs, MainWindow,
                                         TerminalWindow, DevProgWindow, AttentionDialog> {
  using Session = GraphicsSession;

  static MainWindow mainWindow(TMainForm& form, Win32EventLoop& loop) {
    return MainWindow(form, loop);
  }
  template <class Window, class Form>
  static Window ownedWindow(Form& form, Win32EventLoop& loop, MainWindow& main) {
    return Window(form, loop, main.hwnd());
  }
  static HWND owner(MainWindow& main) { return main.hwnd(); }
  // Nothing queued runs any more, and no reader waits on a loop that is going.
  static void beforeClosing(Win32EventLoop& loop) { loop.stop(); }
  static void showCurrentError();
  static void run(Win32EventLoop& loop) { loop.run(); }
};

using Program = WindowProgram<Win32Toolkit>;

// The program file's full path (GetModuleFileName), as the settings and the file dialog need it.
std::filesystem::path ProgramFilePath();

// The argument text of a Windows command line: what follows the program's name, which stands
// first, in double quotes when it holds blanks. The switch test skips the blanks after it.
std::string ArgumentTextOf(std::string_view commandLine);

// The program's start and run (runWindowProgram): the message loop runs until the main window
// closes. Returns the exit code, which is always 0.
int runProgram(Program::Options options, std::string_view argumentText);

}  // namespace movrand::win32

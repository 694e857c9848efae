// The program as it runs on screen with Qt: the window program of app/window_program.h over
// the Qt windows and the Qt event loop. The Qt application must exist first.
#pragma once

#include <filesystem>
#include <string_view>

#include "app/window_program.h"
#include "gui/dialog_windows.h"
#include "gui/main_window.h"
#include "gui/qt_event_loop.h"
#include "gui/terminal_window.h"

namespace movrand::gui {

struct QtToolkit : WindowToolkitTypes<QtEventLoop, QtFileDialog, QtDialogs, MainWindow,
                                      TerminalWindow, DevProgWindow, AttentionDialog> {
  // The Qt application, which the windows need first, is main()'s.
  struct Session {};

  static MainWindow mainWindow(TMainForm& form, QtEventLoop&) { return MainWindow(form); }
  // The main window's own windows are its children.
  template <class Window, class Form>
  static Window ownedWindow(Form& form, QtEventLoop&, MainWindow& main) {
    return Window(form, &main);
  }
  static QWidget* owner(MainWindow& main) { return &main; }
  // The loop stops by itself when the application quits, and when it is destroyed.
  static void beforeClosing(QtEventLoop&) {}
  static void showCurrentError();
  static void run(QtEventLoop&);
};

using Program = WindowProgram<QtToolkit>;

// The program file's full path, as the settings and the file dialog need it.
std::filesystem::path programFilePath();

// The program's start and run (runWindowProgram): the Qt application's loop runs until the
// main window closes. Returns the exit code, which is always 0.
int runProgram(Program::Options options, std::string_view argumentText);

}  // namespace movrand::gui

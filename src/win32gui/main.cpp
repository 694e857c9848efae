// The program's start on Windows: the common controls, then the windows, the command-line
// switch and the message loop (runProgram). The manifest beside this file asks for the
// version 6 controls and per-monitor DPI awareness.
#include <windows.h>

#include <commctrl.h>

#include "win32gui/program.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  using namespace movrand;
  INITCOMMONCONTROLSEX controls{};
  controls.dwSize = sizeof controls;
  controls.dwICC = ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES;
  InitCommonControlsEx(&controls);
  return win32::runProgram(
      win32::Program::Options{
          .ports = nullptr, .clock = nullptr, .programFile = win32::ProgramFilePath()},
      win32::ArgumentTextOf(GetCommandLineA()));
}

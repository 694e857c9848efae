// The program's start: the Qt application titled "Movrand", then the windows, the
// command-line switch and the loop (runProgram).
#include "app/command_line.h"
#include "gui/application.h"
#include "gui/program.h"

int main(int argc, char** argv) {
  using namespace movrand;
  gui::Application app(argc, argv);  // takes its own options (-platform ...) out of argv
  return gui::runProgram(
      gui::Program::Options{
          .ports = nullptr, .clock = nullptr, .programFile = gui::programFilePath()},
      ArgumentText(argc, argv));
}

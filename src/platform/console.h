// The console the headless front end was started from: its width, whether the output goes
// to it, Ctrl-C, and a typed answer. One implementation per operating system (posix/: the
// terminal and signals; win32/: the console window and its control handler).
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace movrand {

// Whether standard output is a console that can show a line redrawn in place (carriage
// return and the erase-to-line-end sequence). On Windows the console is switched to those
// sequences here; a console that cannot take them counts as no console.
bool PrepareConsoleOutput();
// Puts the console back as PrepareConsoleOutput found it (Windows: its mode and output code
// page); harmless when nothing was changed. Called at every end of the program, a forced one
// included.
void RestoreConsoleOutput();

// Columns of the console that standard output shows in; 0 when it is no console.
int ConsoleWidth();

// Ctrl-C while the watch runs: each press calls the handler given to `start`, on a thread
// that is not the main thread. On Linux a termination request (SIGTERM) counts as a press;
// on Windows Ctrl-Break does. Broken pipes never end the program: a failed write is an error
// of that write.
class InterruptWatch {
 public:
  // Make it before any other thread exists (on Linux the threads inherit its signal mask).
  InterruptWatch();
  ~InterruptWatch();  // stops
  InterruptWatch(const InterruptWatch&) = delete;
  InterruptWatch& operator=(const InterruptWatch&) = delete;

  void start(std::function<void()> onInterrupt);
  // No handler call starts after this returns.
  void stop();
  // Set at the first press, whether or not the watch was started.
  const std::atomic<bool>& interrupted() const;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// One line from standard input, without its line end. Nothing at the end of the input, on a
// read error, for a line longer than `limit`, or when `interrupted` becomes true while it
// waits (it looks at least ten times a second). A console echoes what is typed.
std::optional<std::string> ReadInputLine(const std::atomic<bool>& interrupted, std::size_t limit);

}  // namespace movrand

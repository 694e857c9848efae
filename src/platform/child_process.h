// A program this one starts and follows: its standard output and error come back line by
// line, its end with its exit code, and it can be sent a Ctrl-C of its own. The headless
// front end runs one station of a production line per child process, since the serial link
// is one port per process. One implementation per operating system (posix/: posix_spawn,
// pipes, SIGINT to the child alone; win32/: CreateProcess, pipes, and the line "interrupt"
// on the child's standard input, since a console control event cannot be counted on to
// reach one child of a program that may have no console).
//
// A child is started in a process group of its own, so a Ctrl-C typed at the console reaches
// only this program, which decides what each child gets. Its standard input is empty on
// Linux and a pipe from this program on Windows.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/error.h"

namespace movrand {

// A line longer than this is handed over in pieces of this length (nothing is dropped).
inline constexpr std::size_t kChildLineMax = 64 * 1024;

class ChildProcess {
 public:
  // A line of the child's output without its line end; `fromError`: standard error. Called
  // on a thread of the child's own, never on the main thread.
  using LineHandler = std::function<void(bool fromError, std::string line)>;
  // Once both streams have ended and the child has exited: its exit code (128 + the signal
  // for a child ended by a signal, on Linux). On the child's own thread, after every line.
  using EndHandler = std::function<void(int exitCode)>;

  ChildProcess();
  // Waits for the child's thread; a child still running is ended at once first.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts `program` with `args`; fails with why it could not be started.
  Result<void> start(const std::string& program, const std::vector<std::string>& args,
                     LineHandler onLine, EndHandler onEnd);
  // A Ctrl-C for this child alone: SIGINT on Linux, the line "interrupt" on its standard
  // input on Windows (movrand-flash --station takes either as a press). Nothing once it has
  // ended.
  void interrupt();
  // Ends the child at once (SIGKILL, TerminateProcess), for one that did not end by itself
  // in time. Nothing once it has ended.
  void kill();

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// The full path of this program's own file, to start it again as a child; empty when the
// system does not tell.
std::string OwnProgramPath();

}  // namespace movrand

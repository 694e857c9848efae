// A run of the movrand-sim program on a pseudo-terminal, for end-to-end tests: started with
// fork/exec, its port read from the first line it prints ("PORT /dev/pts/N"), stopped with
// SIGTERM (its summary line is then the last thing it prints).
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace movrand::testing {

// Waits for `pid` at most `limit`; kills it when it takes longer. The exit code, 128 + the
// signal for a killed child, or -1 when it had to be killed.
inline int WaitForChild(pid_t pid, std::chrono::milliseconds limit) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + limit;
  for (;;) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (Clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds{10});
  }
}

class SimProcess {
 public:
  static constexpr std::chrono::seconds kStartLimit{10};
  static constexpr std::chrono::seconds kStopLimit{10};

  SimProcess(const std::string& program, const std::vector<std::string>& args) {
    int out[2];
    if (pipe(out) != 0) return;
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      close(out[0]);
      close(out[1]);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
    close(out[1]);
    out_ = out[0];
    const std::string first = readLine(kStartLimit);
    if (first.rfind("PORT ", 0) == 0) port_ = first.substr(5);
  }
  ~SimProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      WaitForChild(pid_, kStopLimit);
    }
    if (out_ >= 0) close(out_);
  }
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  // The slave's path, e.g. /dev/pts/5; empty when the program did not start.
  const std::string& port() const { return port_; }
  // The port's name as the serial link opens it: the path after "/dev/" ("pts/5").
  std::string portName() const { return port_.rfind("/dev/", 0) == 0 ? port_.substr(5) : port_; }

  // Stops the program and returns its summary line.
  std::string stop() {
    if (pid_ <= 0) return {};
    kill(pid_, SIGTERM);
    // A fixture whose port vanished and came back printed a "PORT" line for each new port.
    std::string summary = readLine(kStopLimit);
    while (summary.rfind("PORT ", 0) == 0) summary = readLine(kStopLimit);
    exitCode_ = WaitForChild(pid_, kStopLimit);
    pid_ = -1;
    return summary;
  }
  int exitCode() const { return exitCode_; }

  // Ends the program at once, as pulling out a cable would: its end of the line is gone.
  void unplug() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    exitCode_ = WaitForChild(pid_, kStopLimit);
    pid_ = -1;
  }

 private:
  std::string readLine(std::chrono::milliseconds limit) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + limit;
    std::string line;
    while (Clock::now() < deadline) {
      pollfd fd{out_, POLLIN, 0};
      if (poll(&fd, 1, 100) <= 0) continue;
      char c;
      if (read(out_, &c, 1) != 1) break;
      if (c == '\n') return line;
      line += c;
    }
    return line;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  std::string port_;
  int exitCode_ = -1;
};

}  // namespace movrand::testing

// Child processes on Linux: posix_spawn into a process group of its own, with the signal mask
// and the dispositions of the signals this program takes reset, so the child handles Ctrl-C
// as if it had been started from the shell. One thread per child polls both pipes and reaps
// the child.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/child_process.h"

extern char** environ;

namespace movrand {

struct ChildProcess::State {
  pid_t pid = -1;
  // Under mutex: set just before the child is reaped, after which its pid may belong to
  // another process. Signals are sent under the mutex and only while it is false.
  bool reaped = false;
  std::mutex mutex;
  std::thread thread;
};

namespace {

// Hands over each complete line of `pending`, and pieces of an overlong one.
void TakeLines(std::string& pending, bool fromError, const ChildProcess::LineHandler& onLine) {
  std::size_t start = 0;
  for (;;) {
    const std::size_t nl = pending.find('\n', start);
    if (nl == std::string::npos) break;
    std::string line = pending.substr(start, nl - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    onLine(fromError, std::move(line));
    start = nl + 1;
  }
  pending.erase(0, start);
  while (pending.size() >= kChildLineMax) {
    onLine(fromError, pending.substr(0, kChildLineMax));
    pending.erase(0, kChildLineMax);
  }
}

}  // namespace

ChildProcess::ChildProcess() : state_(std::make_unique<State>()) {}

ChildProcess::~ChildProcess() {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->pid > 0 && !state_->reaped) ::kill(state_->pid, SIGKILL);
  }
  if (state_->thread.joinable()) state_->thread.join();
}

Result<void> ChildProcess::start(const std::string& program, const std::vector<std::string>& args,
                                 LineHandler onLine, EndHandler onEnd) {
  int out[2] = {-1, -1};
  int err[2] = {-1, -1};
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    const std::string why = std::strerror(errno);
    for (int fd : {out[0], out[1], err[0], err[1]}) {
      if (fd >= 0) close(fd);
    }
    return Failure("no pipe for the child: " + why);
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, reset;
  sigemptyset(&none);
  sigemptyset(&reset);
  for (int signal : {SIGINT, SIGTERM, SIGPIPE}) sigaddset(&reset, signal);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &reset);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int failed =
      posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(out[1]);
  close(err[1]);
  if (failed != 0) {
    close(out[0]);
    close(err[0]);
    return Failure("cannot start " + program + ": " + std::strerror(failed));
  }
  state_->pid = pid;
  State& s = *state_;
  s.thread = std::thread([&s, pid, outFd = out[0], errFd = err[0], onLine = std::move(onLine),
                          onEnd = std::move(onEnd)] {
    std::array<std::string, 2> pending;
    std::array<pollfd, 2> fds = {pollfd{outFd, POLLIN, 0}, pollfd{errFd, POLLIN, 0}};
    std::array<char, 4096> buffer;
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
      if (poll(fds.data(), fds.size(), -1) < 0) {
        if (errno == EINTR) continue;
        break;
      }
      for (std::size_t i = 0; i < fds.size(); ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0) continue;
        const ssize_t got = read(fds[i].fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
          if (!pending[i].empty()) onLine(i == 1, std::move(pending[i]));
          pending[i].clear();
          close(fds[i].fd);
          fds[i].fd = -1;
          continue;
        }
        pending[i].append(buffer.data(), static_cast<std::size_t>(got));
        TakeLines(pending[i], i == 1, onLine);
      }
    }
    for (pollfd& fd : fds) {
      if (fd.fd >= 0) close(fd.fd);
    }
    // Wait for the end without reaping: until the child is reaped its process id cannot be
    // given to another process, so an interrupt or a kill sent meanwhile reaches this child
    // or nothing. Only once `reaped` is set, under the lock that every signal is sent
    // under, is it reaped.
    siginfo_t ended{};
    while (waitid(P_PID, static_cast<id_t>(pid), &ended, WEXITED | WNOWAIT) != 0 &&
           errno == EINTR) {
    }
    int status = 0;
    pid_t reaped = -1;
    {
      std::lock_guard lock(s.mutex);
      s.reaped = true;
      do {
        reaped = waitpid(pid, &status, 0);
      } while (reaped < 0 && errno == EINTR);
    }
    int code = 1;
    if (reaped == pid && WIFEXITED(status)) code = WEXITSTATUS(status);
    if (reaped == pid && WIFSIGNALED(status)) code = 128 + WTERMSIG(status);
    if (onEnd) onEnd(code);
  });
  return Done();
}

void ChildProcess::interrupt() {
  std::lock_guard lock(state_->mutex);
  if (state_->pid > 0 && !state_->reaped) ::kill(state_->pid, SIGINT);
}

void ChildProcess::kill() {
  std::lock_guard lock(state_->mutex);
  if (state_->pid > 0 && !state_->reaped) ::kill(state_->pid, SIGKILL);
}

std::string OwnProgramPath() {
  std::array<char, PATH_MAX> path{};
  const ssize_t length = readlink("/proc/self/exe", path.data(), path.size() - 1);
  if (length <= 0) return {};
  return std::string(path.data(), static_cast<std::size_t>(length));
}

}  // namespace movrand

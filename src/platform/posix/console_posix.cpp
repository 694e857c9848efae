// The terminal on Linux: TIOCGWINSZ for the width, signals taken by a thread of their own,
// and poll on standard input for the answer so that Ctrl-C is seen while it waits.
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <mutex>
#include <thread>

#include "platform/console.h"

namespace movrand {
namespace {

// How often the watch thread and a waiting answer look whether they should end.
constexpr std::chrono::milliseconds kLookInterval{100};

}  // namespace

bool PrepareConsoleOutput() {
  return isatty(STDOUT_FILENO) == 1;
}

void RestoreConsoleOutput() {
  // Nothing to put back: the output's terminal settings are never changed.
}

int ConsoleWidth() {
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

// SIGINT and SIGTERM are blocked in every thread and taken with sigtimedwait by the watch's
// own thread, so no handler runs at an arbitrary point of the program.
struct InterruptWatch::State {
  sigset_t signals{};
  std::thread thread;
  std::atomic<bool> finished{false};
  std::atomic<bool> interrupted{false};
};

InterruptWatch::InterruptWatch() : state_(std::make_unique<State>()) {
  sigemptyset(&state_->signals);
  sigaddset(&state_->signals, SIGINT);
  sigaddset(&state_->signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &state_->signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

InterruptWatch::~InterruptWatch() {
  stop();
}

void InterruptWatch::start(std::function<void()> onInterrupt) {
  State& s = *state_;
  s.finished = false;
  s.thread = std::thread([&s, onInterrupt = std::move(onInterrupt)] {
    const auto poll = std::chrono::duration_cast<std::chrono::nanoseconds>(kLookInterval);
    const timespec wait{0, static_cast<long>(poll.count())};
    while (!s.finished) {
      if (sigtimedwait(&s.signals, nullptr, &wait) > 0) {
        s.interrupted = true;
        if (onInterrupt) onInterrupt();
      }
    }
  });
}

void InterruptWatch::stop() {
  state_->finished = true;
  if (state_->thread.joinable()) state_->thread.join();
}

const std::atomic<bool>& InterruptWatch::interrupted() const {
  return state_->interrupted;
}

std::optional<std::string> ReadInputLine(const std::atomic<bool>& interrupted, std::size_t limit) {
  std::string line;
  for (;;) {
    if (interrupted) return std::nullopt;
    pollfd input{STDIN_FILENO, POLLIN, 0};
    const int ready = poll(&input, 1, static_cast<int>(kLookInterval.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return std::nullopt;
    if (ready == 0) continue;
    char c = 0;
    const ssize_t got = read(STDIN_FILENO, &c, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return std::nullopt;
    if (c == '\n') return line;
    if (line.size() >= limit) return std::nullopt;
    line += c;
  }
}

}  // namespace movrand

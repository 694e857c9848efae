#include "platform/std_event_loop.h"

#include <algorithm>

namespace movrand {

StdEventLoop::StdEventLoop() : start_(std::chrono::steady_clock::now()) {}

Milliseconds StdEventLoop::now() const {
  return std::chrono::duration_cast<Milliseconds>(std::chrono::steady_clock::now() - start_);
}

void StdEventLoop::run() {
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (quit_) {
        quit_ = false;
        return;
      }
    }
    step(std::chrono::steady_clock::time_point::max());
  }
}

void StdEventLoop::quit() {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
  }
  workArrived_.notify_all();
}

bool StdEventLoop::runUntil(const std::function<bool()>& done, Milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return done();
    step(deadline);
  }
  return true;
}

void StdEventLoop::step(std::chrono::steady_clock::time_point deadline) {
  bool ran = runPosted();
  while (fireOneDue(now())) {
    runPosted();
    ran = true;
  }
  if (ran) return;  // let the caller look at its condition before sleeping

  // A bounded sleep keeps the time arithmetic of the wait far from overflow.
  auto wakeAt = std::min(deadline, std::chrono::steady_clock::now() + std::chrono::hours(1));
  if (auto due = nextDue()) wakeAt = std::min(wakeAt, start_ + *due);
  std::unique_lock lock(mutex_);
  workArrived_.wait_until(lock, wakeAt, [&] {
    return quit_ || hasPosted() || std::chrono::steady_clock::now() >= wakeAt;
  });
}

}  // namespace movrand

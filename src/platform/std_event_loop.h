// A real-time event loop built on the standard library alone, for the headless front end,
// the simulated module program and the tests that run over real pseudo-terminals.
#pragma once

#include <chrono>
#include <functional>

#include "platform/queued_event_loop.h"

namespace movrand {

class StdEventLoop : public QueuedEventLoop {
 public:
  StdEventLoop();
  Milliseconds now() const override;

  // Runs until `quit` is called (from any thread).
  void run();
  void quit();
  // Runs until `done()` holds or `limit` has passed; returns the final value of `done()`.
  bool runUntil(const std::function<bool()>& done, Milliseconds limit);
  // Runs for `span` of real time.
  void runFor(Milliseconds span) {
    runUntil([] { return false; }, span);
  }

 private:
  // One pass: posted work, due timers, then sleep until the next due time, new work,
  // a quit or `deadline`, whichever comes first.
  void step(std::chrono::steady_clock::time_point deadline);

  std::chrono::steady_clock::time_point start_;
  bool quit_ = false;  // under mutex_
};

}  // namespace movrand

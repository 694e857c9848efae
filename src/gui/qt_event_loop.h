// The program's real event loop: the Qt application's loop seen through `movrand::EventLoop`.
//
// Work posted from any thread runs on the main (GUI) thread in posting order, interleaved
// with the window's own events. `invoke` from another thread waits until the work has run on
// the main thread; once the loop is stopped (the application is quitting, or the loop is being
// destroyed) it refuses new work and releases every waiting thread with false, so the port's
// reader never hangs on a window that is gone. Each armed `Timer` gets its own precise
// single-shot QTimer, re-armed by `EventLoop::fire` for the next period. What posted work, a
// hand-off or a timer handler throws is shown in the application's error box and the loop goes
// on. Create, arm, disarm and stop on the main thread; `post` and `invoke` are safe from any
// thread.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <thread>

#include "platform/event_loop.h"

class QObject;
class QTimer;

namespace movrand {

class QtEventLoop final : public EventLoop {
 public:
  // Needs a QCoreApplication; call on the main thread.
  QtEventLoop();
  ~QtEventLoop() override;
  QtEventLoop(const QtEventLoop&) = delete;
  QtEventLoop& operator=(const QtEventLoop&) = delete;

  void post(std::function<void()> work) override;
  bool invoke(std::function<void()> work) override;
  Milliseconds now() const override;

  // Refuses all further work and releases the threads waiting in `invoke`. Runs by itself
  // when the application is about to quit. Main thread.
  void stop();
  bool stopped() const;

 protected:
  void arm(Timer& timer, Milliseconds after) override;
  void disarm(Timer& timer) override;

 private:
  struct Shared;  // the stop flag and the hand-off wait, shared with the queued calls

  std::shared_ptr<Shared> shared_;
  std::unique_ptr<QObject> context_;  // lives on the main thread; queued calls run through it
  std::map<Timer*, QTimer*> timers_;  // children of context_
  std::chrono::steady_clock::time_point start_;
  std::thread::id mainThread_;
};

}  // namespace movrand

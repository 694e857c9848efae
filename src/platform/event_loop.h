// The main-thread event loop as the rest of the program sees it.
//
// All program state lives on one thread, the main thread. Other threads (the port's reader,
// the delayed reconnect) reach it only through `post` (fire and forget) or `invoke` (run and
// wait until it has run). Timers carry an interval, an enabled flag and a tag, and fire on the
// main thread. Three loops implement this seam: StdEventLoop (real time, no toolkit),
// VirtualEventLoop (a clock that moves only when a test says so) and the Qt loop of the windows.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace movrand {

using Milliseconds = std::chrono::milliseconds;

class Timer;

class EventLoop {
 public:
  virtual ~EventLoop() = default;

  // Queues `work` to run on the main thread. Safe from any thread.
  virtual void post(std::function<void()> work) = 0;

  // Runs `work` on the main thread and returns when it has run. Called on the main thread it
  // runs `work` at once. Returns false, without running `work`, when the loop has stopped and
  // will not run it any more (so a reader thread never hangs on a loop that is gone).
  virtual bool invoke(std::function<void()> work) = 0;

  // Time on this loop's clock since the loop was made.
  virtual Milliseconds now() const = 0;

 protected:
  friend class Timer;
  // Schedules `timer` to fire `after` from now, replacing any earlier schedule of it.
  virtual void arm(Timer& timer, Milliseconds after) = 0;
  virtual void disarm(Timer& timer) = 0;
  // Called by the loop when a timer is due: re-arms a periodic timer, then runs its handler.
  static void fire(Timer& timer);
};

// A repeating timer of the main window: fires every `interval()` while enabled.
// Enabling a timer that already runs does not restart its period; changing the interval of a
// running timer starts its period again. Not thread-safe: main thread only.
class Timer {
 public:
  explicit Timer(EventLoop& loop, Milliseconds interval = Milliseconds{1000});
  ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  bool enabled() const { return enabled_; }
  void setEnabled(bool enabled);
  Milliseconds interval() const { return interval_; }
  void setInterval(Milliseconds interval);
  int tag() const { return tag_; }
  void setTag(int tag) { tag_ = tag; }

  // The handler; runs on the main thread at each tick.
  std::function<void()> onTimer;

 private:
  friend class EventLoop;
  void restart();

  EventLoop& loop_;
  Milliseconds interval_;
  bool enabled_ = false;
  int tag_ = 0;
};

}  // namespace movrand

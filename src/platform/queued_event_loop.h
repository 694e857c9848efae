// The part that the toolkit-free loops share: a queue of work posted from any thread, the
// synchronous hand-off from another thread, and the table of armed timers. Subclasses
// supply the clock and the way the main thread waits.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/event_loop.h"

namespace movrand {

class QueuedEventLoop : public EventLoop {
 public:
  QueuedEventLoop();
  ~QueuedEventLoop() override;

  void post(std::function<void()> work) override;
  bool invoke(std::function<void()> work) override;

  // Refuses all further work and releases every thread waiting in `invoke`.
  void stop();

 protected:
  void arm(Timer& timer, Milliseconds after) override;
  void disarm(Timer& timer) override;

  // Runs the work queued so far (and what that work queues in turn). Main thread only.
  // Returns true when something ran.
  bool runPosted();
  // Fires the earliest timer due at or before `limit`, if any; returns whether one fired.
  bool fireOneDue(Milliseconds limit);
  std::optional<Milliseconds> nextDue() const;
  bool onMainThread() const { return std::this_thread::get_id() == mainThread_; }

  // Wakes the main thread when work is posted (StdEventLoop waits on it).
  std::mutex mutex_;
  std::condition_variable workArrived_;
  bool hasPosted() const { return !posted_.empty(); }  // under mutex_

 private:
  struct Hand;  // one synchronous hand-off: its completion flag
  struct Item {
    std::function<void()> work;
    std::shared_ptr<Hand> hand;  // null for posted work
  };
  struct Armed {
    Milliseconds due;
    std::uint64_t order;
  };

  std::thread::id mainThread_;
  std::deque<Item> posted_;
  std::condition_variable handDone_;
  bool stopped_ = false;
  std::map<Timer*, Armed> armed_;  // main thread only
  std::uint64_t armOrder_ = 0;
};

}  // namespace movrand

// One-off work at a given time on an event loop, in due-time order.
//
// The event loops offer repeating timers only; the simulated module and its in-process line
// need "do this at t" (a reply after the answer delay, bytes arriving when their last bit is
// on the wire). Work due at the same time runs in the order it was queued. Work that is
// already due runs from the loop's posted queue, never inside the call that queued it.
// Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>

#include "platform/event_loop.h"

namespace movrand::sim {

class DelayQueue {
 public:
  explicit DelayQueue(EventLoop& loop);
  ~DelayQueue();
  DelayQueue(const DelayQueue&) = delete;
  DelayQueue& operator=(const DelayQueue&) = delete;

  // Runs `work` when the loop's clock reaches `due`.
  void at(Milliseconds due, std::function<void()> work);
  void after(Milliseconds delay, std::function<void()> work) {
    at(loop_.now() + delay, std::move(work));
  }
  // Drops every queued item.
  void clear();
  bool empty() const { return items_.empty(); }

 private:
  void rearm();
  void drain();

  EventLoop& loop_;
  Timer timer_;
  // Equal keys keep their insertion order in a multimap.
  std::multimap<Milliseconds, std::function<void()>> items_;
  bool drainPosted_ = false;
  // Lets a posted drain find out that the queue has gone meanwhile.
  std::shared_ptr<DelayQueue*> self_;
};

}  // namespace movrand::sim

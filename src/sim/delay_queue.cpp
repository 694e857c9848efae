#include "sim/delay_queue.h"

namespace movrand::sim {

DelayQueue::DelayQueue(EventLoop& loop)
    : loop_(loop), timer_(loop), self_(std::make_shared<DelayQueue*>(this)) {
  timer_.onTimer = [this] { drain(); };
}

DelayQueue::~DelayQueue() {
  *self_ = nullptr;
}

void DelayQueue::at(Milliseconds due, std::function<void()> work) {
  items_.emplace(due, std::move(work));
  rearm();
}

void DelayQueue::clear() {
  items_.clear();
  rearm();
}

void DelayQueue::rearm() {
  timer_.setEnabled(false);
  if (items_.empty()) return;
  const Milliseconds now = loop_.now();
  const Milliseconds due = items_.begin()->first;
  if (due > now) {
    timer_.setInterval(due - now);
    timer_.setEnabled(true);
    return;
  }
  if (drainPosted_) return;
  drainPosted_ = true;
  loop_.post([weak = std::weak_ptr<DelayQueue*>(self_)] {
    const auto self = weak.lock();
    if (self && *self) (*self)->drain();
  });
}

void DelayQueue::drain() {
  drainPosted_ = false;
  // Each item runs with the clock at or after its due time; what it queues for now runs in
  // this same pass, after the items already due.
  while (!items_.empty() && items_.begin()->first <= loop_.now()) {
    auto node = items_.extract(items_.begin());
    node.mapped()();
  }
  rearm();
}

}  // namespace movrand::sim

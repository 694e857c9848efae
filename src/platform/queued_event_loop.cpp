#include "platform/queued_event_loop.h"

#include <utility>

namespace movrand {

struct QueuedEventLoop::Hand {
  bool done = false;
};

QueuedEventLoop::QueuedEventLoop() : mainThread_(std::this_thread::get_id()) {}

QueuedEventLoop::~QueuedEventLoop() {
  stop();
}

void QueuedEventLoop::post(std::function<void()> work) {
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    posted_.push_back({std::move(work), nullptr});
  }
  workArrived_.notify_all();
}

bool QueuedEventLoop::invoke(std::function<void()> work) {
  if (onMainThread()) {
    work();
    return true;
  }
  auto hand = std::make_shared<Hand>();
  std::unique_lock lock(mutex_);
  if (stopped_) return false;
  posted_.push_back({std::move(work), hand});
  workArrived_.notify_all();
  handDone_.wait(lock, [&] { return hand->done || stopped_; });
  return hand->done;
}

void QueuedEventLoop::stop() {
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    posted_.clear();
  }
  handDone_.notify_all();
  workArrived_.notify_all();
}

bool QueuedEventLoop::runPosted() {
  bool ran = false;
  for (;;) {
    Item item;
    {
      std::lock_guard lock(mutex_);
      if (posted_.empty()) return ran;
      item = std::move(posted_.front());
      posted_.pop_front();
    }
    item.work();
    ran = true;
    if (item.hand) {
      {
        std::lock_guard lock(mutex_);
        item.hand->done = true;
      }
      handDone_.notify_all();
    }
  }
}

void QueuedEventLoop::arm(Timer& timer, Milliseconds after) {
  armed_[&timer] = {now() + after, armOrder_++};
}

void QueuedEventLoop::disarm(Timer& timer) {
  armed_.erase(&timer);
}

std::optional<Milliseconds> QueuedEventLoop::nextDue() const {
  std::optional<Milliseconds> earliest;
  for (const auto& [timer, armed] : armed_) {
    if (!earliest || armed.due < *earliest) earliest = armed.due;
  }
  return earliest;
}

bool QueuedEventLoop::fireOneDue(Milliseconds limit) {
  Timer* chosen = nullptr;
  Armed best{};
  for (const auto& [timer, armed] : armed_) {
    if (armed.due > limit) continue;
    if (!chosen || armed.due < best.due || (armed.due == best.due && armed.order < best.order)) {
      chosen = timer;
      best = armed;
    }
  }
  if (!chosen) return false;
  armed_.erase(chosen);
  fire(*chosen);
  return true;
}

}  // namespace movrand

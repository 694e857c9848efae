#include "platform/event_loop.h"

namespace movrand {

void EventLoop::fire(Timer& timer) {
  // The next period starts now, before the handler runs, so a handler that disables the
  // timer or changes its interval has the last word.
  timer.restart();
  if (timer.onTimer) timer.onTimer();
}

Timer::Timer(EventLoop& loop, Milliseconds interval) : loop_(loop), interval_(interval) {}

Timer::~Timer() {
  loop_.disarm(*this);
}

void Timer::setEnabled(bool enabled) {
  if (enabled == enabled_) return;  // a running timer keeps its period
  enabled_ = enabled;
  restart();
}

void Timer::setInterval(Milliseconds interval) {
  if (interval == interval_) return;
  interval_ = interval;
  restart();
}

void Timer::restart() {
  // A timer with no interval never fires, as an idle toolkit timer would.
  if (enabled_ && interval_.count() > 0) {
    loop_.arm(*this, interval_);
  } else {
    loop_.disarm(*this);
  }
}

}  // namespace movrand

// An event loop whose clock moves only when told to: tests and the in-process simulated
// module run on it, so that every time-out can be checked to the millisecond and no test
// ever sleeps.
#pragma once

#include "platform/queued_event_loop.h"

namespace movrand {

class VirtualEventLoop : public QueuedEventLoop {
 public:
  Milliseconds now() const override { return now_; }

  // Moves the clock forward by `span`: runs posted work, then fires every timer that falls
  // due on the way, in time order (equal times in the order they were armed), running the
  // work they post after each. The clock stands at each timer's due time while it fires.
  void advance(Milliseconds span);
  // Runs the posted work without moving the clock.
  void runPending() { runPosted(); }

 private:
  Milliseconds now_{0};
};

}  // namespace movrand

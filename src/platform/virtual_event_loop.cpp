#include "platform/virtual_event_loop.h"

namespace movrand {

void VirtualEventLoop::advance(Milliseconds span) {
  const Milliseconds target = now_ + span;
  runPosted();
  for (;;) {
    auto due = nextDue();
    if (!due || *due > target) break;
    if (*due > now_) now_ = *due;
    fireOneDue(now_);
    runPosted();
  }
  now_ = target;
  runPosted();
}

}  // namespace movrand

#include "app/services.h"

#include "platform/local_time.h"

namespace movrand {

std::string SystemLocalClock::LongTime() {
  return LocalLongTime();
}

}  // namespace movrand

// The current local time as the user's system writes it in its long time format (the
// locale's time with seconds and no time zone, for example 14:03:12): the stamp of the log
// pane's timed lines. Main thread only.
#pragma once

#include <string>

namespace movrand {

std::string LocalLongTime();

// Local time in the user's long time format, as a small interface a test can fake.
class LocalClock {
 public:
  virtual ~LocalClock() = default;
  virtual std::string LongTime() = 0;
};

// The system's clock in the user's long time format.
class SystemLocalClock final : public LocalClock {
 public:
  std::string LongTime() override { return LocalLongTime(); }
};

}  // namespace movrand

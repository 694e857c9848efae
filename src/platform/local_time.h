// The current local time as the user's system writes it in its long time format (the
// locale's time with seconds and no time zone, for example 14:03:12): the stamp of the log
// pane's timed lines. Main thread only.
#pragma once

#include <string>

namespace movrand {

std::string LocalLongTime();

}  // namespace movrand

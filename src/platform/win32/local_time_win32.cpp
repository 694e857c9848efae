#include <windows.h>

#include "platform/local_time.h"

namespace movrand {

std::string LocalLongTime() {
  // The user's long time format from the regional settings (no flags, current time).
  char text[80];
  const int written =
      GetTimeFormatA(LOCALE_USER_DEFAULT, 0, nullptr, nullptr, text, static_cast<int>(sizeof text));
  if (written <= 0) return {};
  return std::string(text, static_cast<std::size_t>(written - 1));  // without the terminator
}

}  // namespace movrand

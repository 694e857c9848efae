#include <ctime>
#include <iomanip>
#include <locale>
#include <sstream>
#include <stdexcept>

#include "platform/local_time.h"

namespace movrand {
namespace {

// The user's locale from the environment; the plain "C" form (24-hour, with seconds) when
// the environment names a locale the system does not have.
std::locale UserLocale() {
  try {
    return std::locale("");
  } catch (const std::runtime_error&) {
    return std::locale::classic();
  }
}

}  // namespace

std::string LocalLongTime() {
  static const std::locale locale = UserLocale();
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr) return {};
  std::ostringstream out;
  out.imbue(locale);
  out << std::put_time(&local, "%X");  // the locale's time representation
  return out.str();
}

}  // namespace movrand

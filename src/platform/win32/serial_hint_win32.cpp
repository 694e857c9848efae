#include "platform/serial_device.h"

namespace movrand {

std::string_view OpenErrorHint(OpenError error) {
  // Windows refuses a port that another program has open as "access denied".
  if (error == OpenError::Busy) return "close the program that uses the port and try again";
  return {};
}

}  // namespace movrand

#include "platform/serial_device.h"

namespace movrand {

std::string_view OpenErrorHint(OpenError error) {
  // Serial devices belong to the group "dialout"; its members may open them.
  if (error == OpenError::AccessDenied) {
    return "add your user to the group dialout (sudo usermod -aG dialout $USER) and log in "
           "again";
  }
  if (error == OpenError::OwnTerminal) {
    return "name the port the module is on; movrand-flash --list shows the serial ports";
  }
  return {};
}

}  // namespace movrand

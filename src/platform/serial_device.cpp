#include "platform/serial_device.h"

namespace movrand {

std::string_view OpenErrorText(OpenError error) {
  switch (error) {
    case OpenError::None:
      break;
    case OpenError::Missing:
      return "the port does not exist";
    case OpenError::Busy:
      return "another program holds the port";
    case OpenError::AccessDenied:
      return "access to the port is denied";
    case OpenError::SettingsRefused:
      return "the port's driver refused the settings";
    case OpenError::Failed:
      return "the system could not open the port";
  }
  return {};
}

std::string_view OpenErrorName(OpenError error) {
  switch (error) {
    case OpenError::None:
      break;
    case OpenError::Missing:
      return "missing";
    case OpenError::Busy:
      return "busy";
    case OpenError::AccessDenied:
      return "access-denied";
    case OpenError::SettingsRefused:
      return "settings-refused";
    case OpenError::Failed:
      return "failed";
  }
  return {};
}

}  // namespace movrand

#include "platform/port_names.h"

namespace movrand {

PortLookup LookUpPort(std::string_view argument, std::size_t maxNameLength) {
  return LookUpDevicePort(argument, maxNameLength, "/dev");
}

}  // namespace movrand

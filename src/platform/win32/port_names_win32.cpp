// A port exists when the system has a DOS device of its name (COM5 stands for
// \Device\Serial4, or for whatever driver made it). The list of ports is the registry's; a
// port a driver made without listing it there can still be named.
#include <windows.h>

#include <array>

#include "platform/port_names.h"

namespace movrand {
namespace {

constexpr DWORD kTargetCapacity = 1024;  // the device's target path; only its presence counts

bool HasDosDevice(const std::string& name) {
  std::array<char, kTargetCapacity> target{};
  if (QueryDosDeviceA(name.c_str(), target.data(), static_cast<DWORD>(target.size())) != 0) {
    return true;
  }
  // A target path longer than the buffer still means the device is there.
  return GetLastError() == ERROR_INSUFFICIENT_BUFFER;
}

}  // namespace

PortLookup LookUpPort(std::string_view argument, std::size_t maxNameLength) {
  return LookUpComPort(argument, maxNameLength, HasDosDevice);
}

}  // namespace movrand

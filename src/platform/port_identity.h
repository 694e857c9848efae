// A port named by what does not change when the system renames it: the serial number of its
// USB adapter ("usb-serial:A50285BI") or the socket it is plugged into ("usb-location:1-1.2:1.0"),
// in the forms `movrand-flash --list` prints. Such a name is resolved against the port list
// at every open, so a station follows its adapter or its socket wherever the system puts it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/port_names.h"
#include "platform/port_source.h"

namespace movrand {

inline constexpr std::string_view kUsbSerialPrefix = "usb-serial:";
inline constexpr std::string_view kUsbLocationPrefix = "usb-location:";

struct PortIdentityArgument {
  enum class Kind { Serial, Location };
  Kind kind = Kind::Serial;
  std::string value;  // compared without regard to case (Windows writes ids in capitals)
};

// Nothing when `argument` is not of either form (a name or a path).
std::optional<PortIdentityArgument> ParsePortIdentity(std::string_view argument);
bool IsPortIdentity(std::string_view argument);

// "usb-serial:A50285BI", "usb-location:1-1.2:1.0"; empty when the identity has none.
std::string SerialArgument(const UsbIdentity& usb);
std::string LocationArgument(const UsbIdentity& usb);
// "0403:6001".
std::string UsbIdText(const UsbIdentity& usb);

// The ports of `ports` that `identity` names.
std::vector<SerialPortEntry> PortsNamedBy(const PortIdentityArgument& identity,
                                          const std::vector<SerialPortEntry>& ports);

// What the port list shows now, in one line for a refusal: "ttyUSB0 (usb-serial:A50285BI
// usb-location:1-1.2:1.0), ttyS0"; "no ports" for an empty list.
std::string PortListSummary(const std::vector<SerialPortEntry>& ports);

// A port argument of any form resolved now: a name or path by this system's rules (without
// reading the port list), an identity through `source`, with the identity it was found by.
// An identity that names no port is `missing`; one that names several is an error.
struct FoundPort {
  PortLookup lookup;
  std::optional<UsbIdentity> usb;
};
FoundPort FindPort(std::string_view argument, std::size_t maxNameLength, PortSource& source);
// The USB identity the port list gives the port named `name`, when it has one.
std::optional<UsbIdentity> UsbIdentityOf(const std::string& name, PortSource& source);

}  // namespace movrand

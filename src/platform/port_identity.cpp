#include "platform/port_identity.h"

#include <algorithm>

#include "platform/text.h"

namespace movrand {
namespace {

// How the list shows one port: its name and the identity arguments that name it.
std::string Shown(const SerialPortEntry& port) {
  std::string text = port.name;
  if (!port.usb) return text;
  std::string ids = SerialArgument(*port.usb);
  if (const std::string location = LocationArgument(*port.usb); !location.empty()) {
    ids += (ids.empty() ? "" : " ") + location;
  }
  if (!ids.empty()) text += " (" + ids + ")";
  return text;
}

PortLookup Failure(std::string error, bool missing) {
  return PortLookup{.name = {}, .error = std::move(error), .missing = missing};
}

}  // namespace

std::optional<PortIdentityArgument> ParsePortIdentity(std::string_view argument) {
  for (const auto& [prefix, kind] :
       {std::pair{kUsbSerialPrefix, PortIdentityArgument::Kind::Serial},
        std::pair{kUsbLocationPrefix, PortIdentityArgument::Kind::Location}}) {
    if (argument.size() >= prefix.size() &&
        EqualsIgnoringCase(argument.substr(0, prefix.size()), prefix)) {
      return PortIdentityArgument{.kind = kind,
                                  .value = std::string(argument.substr(prefix.size()))};
    }
  }
  return std::nullopt;
}

bool IsPortIdentity(std::string_view argument) {
  return ParsePortIdentity(argument).has_value();
}

std::string SerialArgument(const UsbIdentity& usb) {
  return usb.serial.empty() ? std::string() : std::string(kUsbSerialPrefix) + usb.serial;
}

std::string LocationArgument(const UsbIdentity& usb) {
  return usb.location.empty() ? std::string() : std::string(kUsbLocationPrefix) + usb.location;
}

std::string UsbIdText(const UsbIdentity& usb) {
  return usb.vendorId + ":" + usb.productId;
}

std::vector<SerialPortEntry> PortsNamedBy(const PortIdentityArgument& identity,
                                          const std::vector<SerialPortEntry>& ports) {
  std::vector<SerialPortEntry> named;
  if (identity.value.empty()) return named;
  for (const SerialPortEntry& port : ports) {
    if (!port.usb) continue;
    const std::string& value =
        identity.kind == PortIdentityArgument::Kind::Serial ? port.usb->serial : port.usb->location;
    if (EqualsIgnoringCase(value, identity.value)) named.push_back(port);
  }
  return named;
}

std::string PortListSummary(const std::vector<SerialPortEntry>& ports) {
  if (ports.empty()) return "no ports";
  std::string text;
  for (const SerialPortEntry& port : ports) text += (text.empty() ? "" : ", ") + Shown(port);
  return text;
}

std::optional<UsbIdentity> UsbIdentityOf(const std::string& name, PortSource& source) {
  if (const auto ports = source.ListPorts()) {
    for (const SerialPortEntry& port : *ports) {
      if (port.name == name) return port.usb;
    }
  }
  return std::nullopt;
}

FoundPort FindPort(std::string_view argument, std::size_t maxNameLength, PortSource& source) {
  const std::optional<PortIdentityArgument> identity = ParsePortIdentity(argument);
  if (!identity) return {LookUpPort(argument, maxNameLength), std::nullopt};
  const std::string text(argument);
  if (identity->value.empty()) return {Failure(text + " names nothing after the colon", false), {}};
  const auto ports = source.ListPorts();
  if (!ports) return {Failure("the system's list of ports cannot be read for " + text, true), {}};
  const std::vector<SerialPortEntry> named = PortsNamedBy(*identity, *ports);
  if (named.empty()) {
    return {Failure("no port has " + text + "; the ports now: " + PortListSummary(*ports), true),
            {}};
  }
  if (named.size() > 1) {
    return {Failure(text + " names " + std::to_string(named.size()) +
                        " ports: " + PortListSummary(named) + "; name one by what only it has",
                    false),
            {}};
  }
  FoundPort found{.lookup = LookUpPort(source.DeviceOf(named.front()), maxNameLength),
                  .usb = named.front().usb};
  if (!found.lookup.error.empty()) found.lookup.error = text + ": " + found.lookup.error;
  return found;
}

}  // namespace movrand

#include "cli/port_listing.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "platform/port_identity.h"
#include "platform/text.h"
#include "protocol/visible_text.h"

namespace movrand::cli {
namespace {

using Json = nlohmann::ordered_json;

// The selector's item: the name, four blanks and a hyphen, the description.
std::string ItemText(const SerialPortEntry& port) {
  return port.name + "    -" + port.description;
}

Json TextOrNull(const std::string& text) {
  return text.empty() ? Json(nullptr) : Json(text);
}

}  // namespace

std::vector<SerialPortEntry> InSelectorOrder(std::vector<SerialPortEntry> ports) {
  std::stable_sort(ports.begin(), ports.end(), [](const auto& a, const auto& b) {
    return LessIgnoringCase(ItemText(a), ItemText(b));
  });
  return ports;
}

std::string PortListLine(const SerialPortEntry& port) {
  std::string line = ItemText(port);
  const auto add = [&line](const std::string& part) {
    if (!part.empty()) line += "  " + part;
  };
  if (port.usb) {
    add(SerialArgument(*port.usb));
    add(LocationArgument(*port.usb));
    add(UsbIdText(*port.usb));
  }
  add(port.product);
  // Names, descriptions and product texts come from the system and the device.
  return VisibleText(line);
}

std::string PortListJson(const SerialPortEntry& port) {
  const std::optional<UsbIdentity>& usb = port.usb;
  const Json json{{"port", port.name},
                  {"description", port.description},
                  {"product", port.product},
                  {"vid", usb ? TextOrNull(usb->vendorId) : Json(nullptr)},
                  {"pid", usb ? TextOrNull(usb->productId) : Json(nullptr)},
                  {"serial", usb ? TextOrNull(usb->serial) : Json(nullptr)},
                  {"location", usb ? TextOrNull(usb->location) : Json(nullptr)},
                  {"by_serial", usb ? TextOrNull(SerialArgument(*usb)) : Json(nullptr)},
                  {"by_location", usb ? TextOrNull(LocationArgument(*usb)) : Json(nullptr)}};
  return json.dump(-1, ' ', true, Json::error_handler_t::replace);
}

}  // namespace movrand::cli

#include "platform/windows_device_ids.h"

#include <algorithm>

#include "platform/text.h"

namespace movrand {
namespace {

// The parents a port's ids and serial are looked for in: more than any port's own driver
// layers, interface and device take; a deeper chain is not one Windows builds.
constexpr std::size_t kMaxChain = 32;
// Windows writes a location path as a short chain of bus steps.
constexpr std::size_t kMaxLocationLength = 1024;

bool IsHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The hexadecimal digits of "<prefix><digits>" in lower case, when the token is exactly that.
std::optional<std::string> HexField(std::string_view token, std::string_view prefix,
                                    std::size_t digits) {
  if (token.size() != prefix.size() + digits || !StartsWithIgnoringCase(token, prefix)) {
    return std::nullopt;
  }
  std::string value;
  for (char c : token.substr(prefix.size())) {
    if (!IsHex(c)) return std::nullopt;
    value.push_back(ToLowerAscii(c));
  }
  return value;
}

unsigned HexValue(std::string_view digits) {
  unsigned value = 0;
  for (char c : digits) {
    value = value * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : ToLowerAscii(c) - 'a' + 10);
  }
  return value;
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  for (std::size_t start = 0;;) {
    const std::size_t end = text.find(separator, start);
    pieces.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) return pieces;
    start = end + 1;
  }
}

// Printable, without spaces.
bool IsWord(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c > ' ' && c < 0x7f; });
}

// A serial number as Windows keeps it in an instance id: a word without the '&' that marks
// the texts Windows makes up for devices it cannot tell apart.
bool IsSerial(std::string_view text) {
  return IsWord(text) && text.find('&') == std::string_view::npos;
}

bool IsText(std::string_view text) {
  return std::none_of(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
  });
}

// The ids of one node: its instance id says the most (the serial); a node whose instance id
// names no USB device may still say which one it serves in its hardware ids.
std::optional<WindowsUsbIds> IdsOf(const WindowsDeviceNode& node) {
  if (std::optional<WindowsUsbIds> ids = ParseWindowsDeviceId(node.instanceId)) return ids;
  for (const std::string& hardwareId : node.hardwareIds) {
    if (std::optional<WindowsUsbIds> ids = ParseWindowsDeviceId(hardwareId)) {
      ids->serial.clear();  // a hardware id names a kind of device, never one of them
      return ids;
    }
  }
  return std::nullopt;
}

// Bluetooth's virtual ports hang below the Bluetooth radio, which is often a USB device:
// its ids are not the port's.
bool IsBluetooth(const WindowsDeviceNode& node) {
  return StartsWithIgnoringCase(node.instanceId, "BTH");
}

}  // namespace

std::optional<WindowsUsbIds> ParseWindowsDeviceId(std::string_view id) {
  if (id.empty() || id.size() > kMaxWindowsDeviceIdLength || !IsText(id)) return std::nullopt;
  const std::vector<std::string_view> segments = Split(id, '\\');
  // Enumerator and device segment, and for an instance id the instance segment.
  if (segments.size() < 2 || segments.size() > 3 || segments[0].empty()) return std::nullopt;
  const std::string_view deviceSegment = segments[1];

  WindowsUsbIds ids;
  std::string_view serial;
  if (deviceSegment.find('+') != std::string_view::npos) {
    // FTDI's bus: "VID_0403+PID_6001+A50285BIA"; its instance segment only counts the ports.
    const std::size_t first = deviceSegment.find('+');
    const std::size_t second = deviceSegment.find('+', first + 1);
    std::optional<std::string> vendor = HexField(deviceSegment.substr(0, first), "VID_", 4);
    std::optional<std::string> product =
        HexField(deviceSegment.substr(
                     first + 1, second == std::string_view::npos ? second : second - first - 1),
                 "PID_", 4);
    if (!vendor || !product) return std::nullopt;
    ids.vendorId = std::move(*vendor);
    ids.productId = std::move(*product);
    if (second != std::string_view::npos) serial = deviceSegment.substr(second + 1);
  } else {
    // "VID_0403&PID_6001&REV_0600", "VID_1546&PID_01A8&MI_00", "COMPORT&VID_0403&PID_6001".
    for (std::string_view token : Split(deviceSegment, '&')) {
      if (std::optional<std::string> vendor = HexField(token, "VID_", 4)) {
        if (ids.vendorId.empty()) ids.vendorId = std::move(*vendor);
      } else if (std::optional<std::string> product = HexField(token, "PID_", 4)) {
        if (ids.productId.empty()) ids.productId = std::move(*product);
      } else if (std::optional<std::string> number = HexField(token, "MI_", 2)) {
        if (!ids.interfaceNumber) ids.interfaceNumber = HexValue(*number);
      }
    }
    if (ids.vendorId.empty() || ids.productId.empty()) return std::nullopt;
    if (segments.size() == 3) serial = segments[2];
  }
  if (IsSerial(serial)) ids.serial = std::string(serial);
  return ids;
}

std::vector<std::string> SplitWindowsMultiString(std::string_view data) {
  std::vector<std::string> texts;
  if (data.size() > kMaxWindowsMultiStringLength) return texts;
  while (!data.empty()) {
    const std::size_t end = data.find('\0');
    const std::string_view text = data.substr(0, end);
    if (text.empty()) break;
    texts.emplace_back(text);
    if (end == std::string_view::npos) break;
    data.remove_prefix(end + 1);
  }
  return texts;
}

std::string WindowsLocationOf(std::string_view locationPaths) {
  const std::vector<std::string> paths = SplitWindowsMultiString(locationPaths);
  if (paths.empty()) return {};
  // An interface's "#USBMI(n)" stays: it tells the ports of one device's interfaces apart.
  const std::string& first = paths.front();
  if (first.size() > kMaxLocationLength || !IsWord(first)) return {};
  return first;
}

std::optional<UsbIdentity> ChooseWindowsUsbIdentity(std::span<const WindowsDeviceNode> chain) {
  chain = chain.first(std::min(chain.size(), kMaxChain));
  std::vector<std::optional<WindowsUsbIds>> ids;
  for (const WindowsDeviceNode& node : chain) ids.push_back(IdsOf(node));

  // The ids come from the nearest node that has them: the port's own, or for a port on a
  // driver's bus of its own, the USB device that bus belongs to.
  std::size_t device = 0;
  while (device < chain.size() && !ids[device]) ++device;
  if (device == chain.size()) return std::nullopt;
  for (std::size_t i = 0; i < device; ++i) {
    if (IsBluetooth(chain[i])) return std::nullopt;
  }
  // The nodes of that one device go on up while the ids stay the same (an interface, then the
  // composite device); a hub above it is another device, with a serial of its own.
  std::size_t last = device;
  while (last + 1 < chain.size() && ids[last + 1] &&
         ids[last + 1]->vendorId == ids[device]->vendorId &&
         ids[last + 1]->productId == ids[device]->productId) {
    ++last;
  }

  UsbIdentity identity{ids[device]->vendorId, ids[device]->productId, {}, {}};
  // The port's own serial first: FTDI's bus tells the channels of one chip apart by it.
  for (std::size_t i = 0; i <= last && identity.serial.empty(); ++i) {
    if (ids[i]) identity.serial = ids[i]->serial;
  }
  for (std::size_t i = 0; i <= last && identity.location.empty(); ++i) {
    identity.location = WindowsLocationOf(chain[i].locationPaths);
  }
  return identity;
}

}  // namespace movrand

// What Windows's device ids say about the USB device behind a serial port, read from the text
// alone so that it is the same on every system (and its tests run on Linux).
//
// Windows names each device node by an instance id: the bus's enumerator, the device segment
// and an instance segment, joined by backslashes ("USB\VID_0403&PID_6001\A50285BI"). A
// hardware id has the first two only ("USB\VID_0403&PID_6001&REV_0600"). For a USB device the
// device segment holds the vendor and product ids, and for one interface of a composite device
// its number (&MI_00); the instance segment is the device's serial number when it has one
// Windows accepts, and otherwise a text Windows makes up, which always holds an '&'. FTDI's
// driver puts its ports on a bus of its own, whose device segment joins the ids and the serial
// with '+' ("FTDIBUS\VID_0403+PID_6001+A50285BIA\0000"), the serial followed by the channel
// letter.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/port_source.h"

namespace movrand {

// Windows keeps device ids to this many characters (MAX_DEVICE_ID_LEN); a longer text is
// not one of its ids.
inline constexpr std::size_t kMaxWindowsDeviceIdLength = 200;
// A property that lists texts (hardware ids, location paths) longer than this is not one
// Windows wrote.
inline constexpr std::size_t kMaxWindowsMultiStringLength = 8192;

struct WindowsUsbIds {
  std::string vendorId;   // four lower-case hexadecimal digits
  std::string productId;  // the same
  // The interface's number when the id names one interface of a composite device.
  std::optional<unsigned> interfaceNumber = std::nullopt;
  // The serial number an instance id carries; empty when it has none or Windows made it up.
  std::string serial = {};

  bool operator==(const WindowsUsbIds&) const = default;
};

// The USB ids of a hardware id or an instance id; nothing when it names no vendor and product.
std::optional<WindowsUsbIds> ParseWindowsDeviceId(std::string_view id);

// The texts of a REG_MULTI_SZ property as read: each ends at a '\0', an empty one or the end
// of the data ends the list. Nothing from data longer than kMaxWindowsMultiStringLength.
std::vector<std::string> SplitWindowsMultiString(std::string_view data);

// The location a port is known by, from a SPDRP_LOCATION_PATHS property as read: its first
// path as Windows wrote it ("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(1)", an interface of
// a composite device ending in "#USBMI(0)"); empty when there is none or it is not text.
std::string WindowsLocationOf(std::string_view locationPaths);

// One node of the device tree as Windows describes it.
struct WindowsDeviceNode {
  std::string instanceId;
  std::vector<std::string> hardwareIds = {};
  std::string locationPaths = {};  // SPDRP_LOCATION_PATHS as read; empty when it has none
};

// The USB identity of the port whose node is `chain[0]`, its parent `chain[1]` and so on up
// the tree; nothing when the port is not on a USB device.
std::optional<UsbIdentity> ChooseWindowsUsbIdentity(std::span<const WindowsDeviceNode> chain);

}  // namespace movrand

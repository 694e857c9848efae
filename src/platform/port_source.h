// The serial ports the system knows at this moment, for the port selector.
//
// A source lists each port once as its name (what the serial device opens: "COM3" on
// Windows, "ttyUSB0" on Linux, where the device path is "/dev/" + name) and a short
// description for display (the kernel device or the driver). The list is in the system's
// own order; sorting is the selector's business. A source that cannot be read at all says so
// (no list) rather than returning an empty one, so the caller can tell "no ports" from
// "cannot find out". Where the system knows it, an entry carries the port's USB identity.
// Reads the system each time it is asked; main thread only.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace movrand {

// What a USB serial adapter (or a module with its own USB port) says about itself, and where
// it is plugged in: what stays the same when the system hands out another port name.
struct UsbIdentity {
  std::string vendorId;   // four lower-case hexadecimal digits: "0403"
  std::string productId;  // "6001"
  std::string serial;     // the adapter's serial number; empty when it has none
  // Where it is plugged in, the chain of hub ports down to the port's interface: on Linux
  // the kernel's name of the USB interface ("1-1.4.2:1.0"), on Windows the device's location
  // path ("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(1)"). Empty when unknown.
  std::string location;

  bool operator==(const UsbIdentity&) const = default;
};

struct SerialPortEntry {
  std::string name;
  std::string description;
  // What the device or its driver calls itself ("FT232R USB UART", "USB Serial Port (COM3)");
  // empty when the system does not say.
  std::string product = {};
  std::optional<UsbIdentity> usb = std::nullopt;

  bool operator==(const SerialPortEntry&) const = default;
};

class PortSource {
 public:
  virtual ~PortSource() = default;
  // The ports, or nothing when the system's list of serial devices cannot be read.
  virtual std::optional<std::vector<SerialPortEntry>> ListPorts() = 0;
  // What the serial link is given to open the port listed as `entry`: its name, unless the
  // source keeps its devices elsewhere than the system's device folder (a test's fake tree).
  virtual std::string DeviceOf(const SerialPortEntry& entry) const { return entry.name; }
};

// The source of the system this program was built for.
std::unique_ptr<PortSource> CreateSystemPortSource();

}  // namespace movrand

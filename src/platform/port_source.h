// The serial ports the system knows at this moment, for the port selector.
//
// A source lists each port once as its name (what the serial device opens: "COM3" on
// Windows, "ttyUSB0" on Linux, where the device path is "/dev/" + name) and a short
// description for display (the kernel device or the driver). The list is in the system's
// own order; sorting is the selector's business. A source that cannot be read at all says so
// (no list) rather than returning an empty one, so the caller can tell "no ports" from
// "cannot find out". Reads the system each time it is asked; main thread only.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace movrand {

struct SerialPortEntry {
  std::string name;
  std::string description;

  bool operator==(const SerialPortEntry&) const = default;
};

class PortSource {
 public:
  virtual ~PortSource() = default;
  // The ports, or nothing when the system's list of serial devices cannot be read.
  virtual std::optional<std::vector<SerialPortEntry>> ListPorts() = 0;
};

// The source of the system this program was built for.
std::unique_ptr<PortSource> CreateSystemPortSource();

}  // namespace movrand

// The Linux port source: serial devices from sysfs plus the pseudo-terminals published as
// "tty*" links in the device folder (how the simulated module and other virtual ports appear).
// A port on USB carries its identity, read from the USB device above it in sysfs (vendor and
// product ids, serial number, product text) and the kernel's name of its interface, which
// says which socket of which hub it is plugged into.
//
// Both roots are parameters so that a test can point the source at a fake tree.
#pragma once

#include <filesystem>

#include "platform/port_source.h"

namespace movrand {

class SysfsPortSource final : public PortSource {
 public:
  // `ttyClass` lists the tty devices of the kernel (one entry per device, those backed by
  // hardware have a "device" link); `devFolder` holds the device nodes and links.
  explicit SysfsPortSource(std::filesystem::path ttyClass = "/sys/class/tty",
                           std::filesystem::path devFolder = "/dev");

  // Nothing when `ttyClass` cannot be read; a `devFolder` that cannot be read only means
  // no virtual ports.
  std::optional<std::vector<SerialPortEntry>> ListPorts() override;
  // The port's node in `devFolder`.
  std::string DeviceOf(const SerialPortEntry& entry) const override;

 private:
  std::filesystem::path ttyClass_;
  std::filesystem::path devFolder_;
};

}  // namespace movrand

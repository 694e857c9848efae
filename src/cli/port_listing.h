// What `movrand-flash --list` prints: one line per port as the port selector shows it, in
// its order, followed by what names the port by what does not change (its adapter's serial
// number, the socket it is plugged into, its USB ids and its product text); with --json one
// object per port:
//
//   {"port":"ttyUSB0","description":"ftdi_sio","product":"FT232R USB UART","vid":"0403",
//    "pid":"6001","serial":"A50285BI","location":"1-1.2:1.0",
//    "by_serial":"usb-serial:A50285BI","by_location":"usb-location:1-1.2:1.0"}
//
// Parts a port does not have are null (a built-in or virtual port has no USB identity).
#pragma once

#include <string>
#include <vector>

#include "platform/port_source.h"

namespace movrand::cli {

// In the selector's order: by the whole item text, without regard to case.
std::vector<SerialPortEntry> InSelectorOrder(std::vector<SerialPortEntry> ports);
// "ttyUSB0    -ftdi_sio  usb-serial:A50285BI  usb-location:1-1.2:1.0  0403:6001  FT232R USB UART"
std::string PortListLine(const SerialPortEntry& port);
std::string PortListJson(const SerialPortEntry& port);

}  // namespace movrand::cli

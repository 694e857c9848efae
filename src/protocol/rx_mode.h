// What the receive side does with incoming bytes: the main window's link mode.
//
// The value decides where each received byte goes (nowhere, the NMEA collector, the BINR
// collector or the firmware transfer) and, at loader entry, which protocol the loader-entry
// command is sent in. The numbers are kept as the window's state record stores them.
#pragma once

#include <cstdint>

namespace movrand {

enum class RxMode : std::uint32_t {
  Idle = 0,        // no connection; bytes are only mirrored
  Nmea = 1,        // port open for NMEA; bytes go to the sentence collector
  Binr = 2,        // port open for BINR; bytes go to the packet collector
  LoaderWait = 3,  // loader entry sent; waiting for the loader's start requests
  Transfer = 4,    // firmware blocks being sent
};

}  // namespace movrand

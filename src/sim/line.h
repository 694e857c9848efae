// The simulated serial line between the host and the module: the settings each side talks
// with, and the time a run of bytes takes on the wire.
//
// Both sides must agree on rate and parity for bytes to arrive intact; the module compares
// the host's settings with its own for every chunk it receives and every reply it sends.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/serial_device.h"

namespace movrand::sim {

// What the module talks on its port: NMEA sentences at 8N1 or BINR frames at 8O1.
enum class Protocol { Nmea, Binr };

struct LineSettings {
  std::uint32_t baud = 0;
  Parity parity = Parity::None;
  bool operator==(const LineSettings&) const = default;
};

// The settings that `protocol` uses at `baud`: NMEA without parity, BINR with odd parity.
LineSettings SettingsFor(Protocol protocol, std::uint32_t baud);

// One start bit, eight data bits, the parity bit when there is one, one stop bit.
int BitsPerByte(Parity parity);

// How long `count` bytes take on the wire at `settings`.
std::chrono::microseconds TransmissionTime(std::size_t count, LineSettings settings);

// Rounds a span up to whole milliseconds: the event loops count in milliseconds, and a byte
// that has not fully arrived has not arrived.
std::chrono::milliseconds CeilMilliseconds(std::chrono::microseconds span);

// "none" or "odd", as the events file writes it.
const char* ParityName(Parity parity);
const char* ProtocolName(Protocol protocol);

}  // namespace movrand::sim

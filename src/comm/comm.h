// The serial link: the one port the program talks through.
//
// Free functions over the link's module state, as the rest of the program expects them:
// `OpenPort` opens and configures the port and starts its reader, `ClosePort` stops it,
// `WritePort` sends bytes and returns when they are sent, `SetPortBaud` changes the rate of
// the open port. All four are called on the main thread only and never throw; failures are
// reported as results and the caller writes the log line. Received bytes reach the main
// thread, chunk by chunk in arrival order, through `CommHandlers::dataReceived`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

#include "platform/event_loop.h"
#include "platform/serial_device.h"

namespace movrand {

inline constexpr std::size_t kTxBufferSize = 1024;  // the largest single write
// The longest name `OpenPort` takes; a longer one is no port's name (`OpenError::Missing`),
// whatever the system would make of it. The program's own limit is the connection's port-name
// field (`kPortNameMax`, connection/link.h), which it checks before anything is opened and
// which must lie within this one; this is the serial link's guard for every caller, wider so
// that a name the field can hold is never the one refused here.
inline constexpr std::size_t kMaxPortNameLength = 15;

struct CommHandlers {
  // A chunk of received bytes (1 to 10240 of them), valid until the call returns.
  std::function<void(const std::uint8_t* data, int length)> dataReceived;
  // A line error (framing, overrun, parity) was seen and cleared.
  std::function<void()> errorReceived;
  // The device behind the open port has gone (an adapter was unplugged). Reported once per
  // open; the port stays open until the caller closes it.
  std::function<void()> portLost;
  // The traffic log's tap: sees every write before it goes to the port.
  std::function<void(std::span<const std::uint8_t>)> sent;
};

// Connects the link to the main thread's loop, the driver that opens ports and the handlers.
// Call once before the first `OpenPort`; `CommDetach` closes the port and waits for readers.
void CommAttach(EventLoop& loop, SerialDriver& driver, CommHandlers handlers);
void CommDetach();

// Opens `portName` (at most `kMaxPortNameLength` characters) at `baudRate` with `parity`
// (0 none, 1 odd).
bool OpenPort(std::string_view portName, std::uint32_t baudRate, std::uint8_t parity);
// Why the last `OpenPort` failed (`None` after one that succeeded): the callers keep writing
// their one line for every failure, and the front ends may say more.
OpenError LastOpenError();
// Stops the reader and closes the port; harmless when nothing is open. Does not wait for the
// reader: it ends on its own, and what it read after this call is never delivered.
void ClosePort();
// Sends `length` bytes and returns the count written (0 when no port is open). Writes longer
// than the 1024-byte send buffer go out in several pieces.
int WritePort(const std::uint8_t* data, int length);
// Sets a new rate on the open port without emptying its queues; false when no port is open
// or the port's driver did not take the rate.
bool SetPortBaud(std::uint32_t baudRate);

bool PortIsOpen();

}  // namespace movrand

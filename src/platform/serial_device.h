// The serial device as the serial link needs it, one implementation per operating system
// (posix/, win32/) and one in the tests (the in-process simulated module).
//
// A SerialDevice is one open port. The main thread writes and changes the rate; one reader
// thread waits for input and reads what is queued; `close` may come from the main thread at
// any time and wakes a waiting reader at once. Each open port is its own object, so a reader
// that is still winding down after a close never touches a port opened after it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace movrand {

// The parity codes that callers pass, as the platform numbers them.
enum class Parity : std::uint8_t {
  None = 0,  // NMEA links
  Odd = 1,   // BINR links
};

enum class WaitResult {
  Data,       // bytes are queued
  LineError,  // a framing, overrun or parity error was seen (and cleared)
  Closed,     // `close` was called
  Failed,     // the device is gone or the wait itself failed
};

class SerialDevice {
 public:
  virtual ~SerialDevice() = default;

  // Main thread. Changes the rate without touching the queues; false when the current
  // settings cannot be read (for example after `close`) or the driver did not take the rate
  // (the settings are read back after they were set).
  virtual bool setBaud(std::uint32_t baud) = 0;
  // Main thread. Writes all of `bytes` and returns when they have left the port; the result
  // is the count written (0 when the port is closed or the write failed). The wait has a
  // limit, `WriteTimeLimit`: a device that takes no more data by then (it stopped reading,
  // its flow stopped for good) is lost, as an unplugged one is: the write returns what went,
  // the reader's wait reports `Failed`, and every later write returns 0 at once.
  virtual std::size_t write(std::span<const std::uint8_t> bytes) = 0;
  // Reader thread. Blocks until input is queued, a line error, `close`, or a failure (the
  // device has gone, or a write could not get rid of its bytes in time).
  virtual WaitResult wait() = 0;
  // Reader thread. Reads at most `into.size()` of the bytes queued now, without blocking.
  virtual std::size_t read(std::span<std::uint8_t> into) = 0;
  // Any thread, idempotent. Releases the port at once and wakes a waiting reader.
  virtual void close() = 0;

  // A device that delivers its input on the main thread by itself (the in-process simulated
  // module on the virtual clock) takes `sink` here and returns true; the serial link then
  // starts no reader thread for it.
  using Sink = std::function<void(std::span<const std::uint8_t>)>;
  virtual bool deliverOnMainThread(Sink sink) {
    (void)sink;
    return false;
  }
};

// The bits a byte takes on the wire: a start bit, 8 data bits, the parity bit if any, a stop
// bit.
inline constexpr int kBitsPerByte = 10;
inline constexpr int kParityBits = 1;
// What a write may take beyond twice its bytes' wire time before the device counts as lost: a
// driver's queue of other bytes, a scheduler that runs late, a USB adapter's latency timer.
inline constexpr std::chrono::milliseconds kWriteMargin{1000};

// The time `bytes` take on the wire at `baud` with `parity`, rounded up to the millisecond.
std::chrono::milliseconds WireTime(std::size_t bytes, std::uint32_t baud, Parity parity);
// The longest a write of `bytes` may wait, its drain included: twice its wire time plus
// kWriteMargin (a 133-byte block: 1.02 s at 115200, 1.61 s at 4800 with parity).
std::chrono::milliseconds WriteTimeLimit(std::size_t bytes, std::uint32_t baud, Parity parity);

// Why a port could not be opened.
enum class OpenError : std::uint8_t {
  None,             // it opened
  Missing,          // no such port (or a name that names none)
  Busy,             // another program holds it
  AccessDenied,     // this user may not open it
  SettingsRefused,  // the driver refused the rate, parity or time-outs
  OwnTerminal,      // the terminal this program runs in (probes would go to the user's screen)
  Failed,           // any other failure of the system
};
// In words, for a message: "the port does not exist", ...; empty for `None`.
std::string_view OpenErrorText(OpenError error);
// A short name for scripts: "missing", "busy", "access-denied", "settings-refused",
// "own-terminal", "failed"; empty for `None`.
std::string_view OpenErrorName(OpenError error);
// What the user can do about it on this system, as one sentence; empty when there is nothing
// to add (one file per operating system).
std::string_view OpenErrorHint(OpenError error);

// Opens ports. The system's driver is `systemSerialDriver()`; tests substitute their own.
class SerialDriver {
 public:
  virtual ~SerialDriver() = default;
  // Opens `name` (the bare port name, as the port list shows it) exclusively at `baud` and
  // `parity`: 8 data bits, 1 stop bit, no flow control, DTR and RTS off, queues emptied.
  // Null, with the reason in `error`, when the port does not exist, is held by another
  // program, may not be opened by this user, or refuses the settings; `error` is `None` on
  // success.
  virtual std::unique_ptr<SerialDevice> openPort(std::string_view name, std::uint32_t baud,
                                                 Parity parity, OpenError& error) = 0;
  // The same, for callers that need no reason.
  std::unique_ptr<SerialDevice> open(std::string_view name, std::uint32_t baud, Parity parity) {
    OpenError ignored = OpenError::None;
    return openPort(name, baud, parity, ignored);
  }
};

SerialDriver& systemSerialDriver();

}  // namespace movrand

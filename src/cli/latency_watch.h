// Watches the turnaround of the link during the first blocks of a transfer and says once how
// to lower it when it is that of a USB serial adapter's latency timer.
//
// Many adapters hold received bytes for up to 16 ms before passing them on (a latency timer;
// the default of common adapters). Each ACK then arrives that much late: more than a whole
// block's time at 115200, so the transfer runs at half its speed or worse. Where the port
// could not be set to low latency (Windows, or a driver that refuses), only the technician
// can lower the timer; this says how.
//
// The watch is a serial driver in front of the real one: it sees every block the program
// writes, on the main thread. From one block's start to the next, the line itself needs the
// block and its ACK (134 bytes); what the first blocks take beyond that is the turnaround of
// the module, the port and the program together. When its median is that of a latency timer,
// the hint is said once. Plain C++ on the loop's clock: the same on every system.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/event_loop.h"
#include "platform/serial_device.h"

namespace movrand::cli {

class LatencyWatch final : public SerialDriver {
 public:
  // Block-to-block gaps looked at: the first blocks of a transfer.
  static constexpr int kGapsWatched = 16;
  // A median turnaround at least this long is taken for a latency timer: a loader answers
  // within a few milliseconds, an adapter's timer holds the ACK for up to 16.
  static constexpr Milliseconds kLatencyTimerSign{8};

  using Say = std::function<void(const std::string&)>;

  LatencyWatch(SerialDriver& driver, EventLoop& loop, Say say);
  ~LatencyWatch() override;

  std::unique_ptr<SerialDevice> openPort(std::string_view name, std::uint32_t baud, Parity parity,
                                         OpenError& error) override;

  // The hint was said.
  bool hinted() const;

  struct State;

 private:
  SerialDriver& driver_;
  std::shared_ptr<State> state_;
};

// The hint for a turnaround of `extra` beyond the line's `lineTime` per block, on port `name`.
std::string LatencyHintText(std::string_view name, Milliseconds extra,
                            std::chrono::microseconds lineTime);

}  // namespace movrand::cli

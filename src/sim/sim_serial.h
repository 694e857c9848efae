// An in-process serial port with a simulated module at its far end, for tests on the
// virtual clock.
//
// `SimSerialDriver` opens exactly one port name (by default "SIM0"), once at a time: another
// name does not exist, a second open while the port is open finds it busy. The device it
// returns delivers on the main thread (the serial link starts no reader thread for it).
// Bytes take their transmission time on the wire in each direction (10 bits a byte, 11 with
// parity, one byte after the other): what the host writes reaches the module with the
// settings the host's port had when it wrote them; what the module sends reaches the host
// only if, when its last bit arrives, the host has the port open at the module's rate and
// parity. Otherwise it is lost, as on a real line, and the module records the loss.
//
// The module must outlive the driver; the driver attaches itself to the module's output on
// construction and detaches on destruction. Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/event_loop.h"
#include "platform/serial_device.h"
#include "sim/line.h"
#include "sim/module.h"

namespace movrand::sim {

inline constexpr std::string_view kSimPortName = "SIM0";

namespace detail {
struct SimLine;
}

class SimSerialDriver final : public SerialDriver {
 public:
  SimSerialDriver(EventLoop& loop, SimModule& module,
                  std::string portName = std::string(kSimPortName));
  ~SimSerialDriver() override;
  SimSerialDriver(const SimSerialDriver&) = delete;
  SimSerialDriver& operator=(const SimSerialDriver&) = delete;

  // Any other name is missing; while the host has the port open it is busy.
  std::unique_ptr<SerialDevice> openPort(std::string_view name, std::uint32_t baud, Parity parity,
                                         OpenError& error) override;

  // The host's port settings while it is open, nothing while it is closed.
  std::optional<LineSettings> hostSettings() const;
  // How many times the host opened the port.
  int openCount() const;

  // Spoils what the host writes on its way to the module: `fault` may drop, change or add
  // bytes of each write (all of them: nothing arrives). Null for a clean line.
  using WireFault = std::function<void(std::vector<std::uint8_t>&)>;
  void setWireFault(WireFault fault);

 private:
  std::shared_ptr<detail::SimLine> line_;
  const std::string portName_;
};

}  // namespace movrand::sim

#include "sim/sim_serial.h"

#include <algorithm>
#include <vector>

#include "sim/delay_queue.h"

namespace movrand::sim {

using Micros = std::chrono::microseconds;

namespace detail {

// The wire and whatever is on it. The devices hold it weakly: one that outlives the driver
// inside the serial link for a moment finds it gone and does nothing.
struct SimLine {
  SimLine(EventLoop& l, SimModule& m) : loop(l), module(&m), queue(l) {}

  EventLoop& loop;
  SimModule* module;
  DelayQueue queue;
  bool open = false;
  std::uint64_t openId = 0;  // which open the current device belongs to
  int opens = 0;
  LineSettings host;
  SerialDevice::Sink sink;
  SimSerialDriver::WireFault wireFault;
  // When each direction of the wire is free again, on the loop's clock.
  Micros toModuleFree{0};
  Micros toHostFree{0};

  // Puts `count` bytes on one direction of the wire; returns when their last bit arrives.
  Milliseconds transmit(Micros& freeAt, std::size_t count, LineSettings settings) {
    const Micros start = std::max<Micros>(loop.now(), freeAt);
    freeAt = start + TransmissionTime(count, settings);
    return CeilMilliseconds(freeAt);
  }

  std::optional<LineSettings> hostView() const {
    if (!open) return std::nullopt;
    return host;
  }
};

}  // namespace detail

namespace {

using detail::SimLine;

class SimSerialDevice final : public SerialDevice {
 public:
  SimSerialDevice(std::weak_ptr<SimLine> line, std::uint64_t openId)
      : line_(std::move(line)), openId_(openId) {}
  ~SimSerialDevice() override { close(); }

  bool setBaud(std::uint32_t baud) override {
    const auto line = current();
    if (!line || baud == 0) return false;
    line->host.baud = baud;
    return true;
  }

  std::size_t write(std::span<const std::uint8_t> bytes) override {
    const auto line = current();
    if (!line || !line->module || bytes.empty()) return 0;
    // The bytes leave with the settings the port has now, whatever it is set to later.
    const LineSettings sentWith = line->host;
    const Milliseconds arrival = line->transmit(line->toModuleFree, bytes.size(), sentWith);
    std::vector<std::uint8_t> data(bytes.begin(), bytes.end());
    if (line->wireFault) line->wireFault(data);
    SimLine* raw = line.get();  // the queue lives in the line: the line outlives its items
    line->queue.at(arrival, [raw, data = std::move(data), sentWith] {
      if (raw->module && !data.empty()) raw->module->receive(data, sentWith);
    });
    return bytes.size();
  }

  WaitResult wait() override { return WaitResult::Closed; }  // no reader thread is started
  std::size_t read(std::span<std::uint8_t> into) override {
    (void)into;
    return 0;
  }

  void close() override {
    if (const auto line = current()) {
      line->open = false;
      line->sink = nullptr;
    }
    closed_ = true;
  }

  bool deliverOnMainThread(Sink sink) override {
    const auto line = current();
    if (!line) return false;
    line->sink = std::move(sink);
    return true;
  }

 private:
  // The line, while it exists and this device is the one open on it.
  std::shared_ptr<SimLine> current() {
    if (closed_) return nullptr;
    auto line = line_.lock();
    if (!line || !line->open || line->openId != openId_) return nullptr;
    return line;
  }

  std::weak_ptr<SimLine> line_;
  std::uint64_t openId_;
  bool closed_ = false;
};

}  // namespace

SimSerialDriver::SimSerialDriver(EventLoop& loop, SimModule& module, std::string portName)
    : line_(std::make_shared<SimLine>(loop, module)), portName_(std::move(portName)) {
  SimLine* line = line_.get();
  module.setHostView([line] { return line->hostView(); });
  module.setOutput([line](std::span<const std::uint8_t> bytes, LineSettings sentWith) {
    const Milliseconds arrival = line->transmit(line->toHostFree, bytes.size(), sentWith);
    line->queue.at(arrival,
                   [line, data = std::vector<std::uint8_t>(bytes.begin(), bytes.end()), sentWith] {
                     if (!line->module) return;
                     if (!line->open || line->host != sentWith || !line->sink) {
                       line->module->reportLost(data, sentWith, line->hostView());
                       return;
                     }
                     // A copy: the host may close the port while it handles these bytes.
                     const SerialDevice::Sink sink = line->sink;
                     sink(data);
                   });
  });
}

SimSerialDriver::~SimSerialDriver() {
  if (line_->module) {
    line_->module->setOutput(nullptr);
    line_->module->setHostView(nullptr);
  }
  line_->module = nullptr;
  line_->open = false;
  line_->sink = nullptr;
  line_->queue.clear();
}

std::unique_ptr<SerialDevice> SimSerialDriver::openPort(std::string_view name, std::uint32_t baud,
                                                        Parity parity, OpenError& error) {
  error = OpenError::None;
  if (name != portName_) {
    error = OpenError::Missing;
    return nullptr;
  }
  if (line_->open) {
    error = OpenError::Busy;
    return nullptr;
  }
  if (baud == 0 || (parity != Parity::None && parity != Parity::Odd)) {
    error = OpenError::SettingsRefused;
    return nullptr;
  }
  line_->open = true;
  ++line_->openId;
  ++line_->opens;
  line_->host = {baud, parity};
  line_->sink = nullptr;
  return std::make_unique<SimSerialDevice>(line_, line_->openId);
}

std::optional<LineSettings> SimSerialDriver::hostSettings() const {
  return line_->hostView();
}

void SimSerialDriver::setWireFault(WireFault fault) {
  line_->wireFault = std::move(fault);
}

int SimSerialDriver::openCount() const {
  return line_->opens;
}

}  // namespace movrand::sim

#include "cli/latency_watch.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace movrand::cli {
namespace {

constexpr std::size_t kBlockSize = 133;        // SOH, number, complement, 128 bytes, CRC
constexpr std::uint8_t kSoh = 0x01;            // first byte of a block
constexpr std::int64_t kBlockAndAnswer = 134;  // bytes on the wire per block: block and ACK

std::chrono::microseconds LineTime(std::uint32_t baud, Parity parity) {
  if (baud == 0) return std::chrono::microseconds{0};
  const std::int64_t bitsPerByte = parity == Parity::None ? 10 : 11;
  return std::chrono::microseconds{kBlockAndAnswer * bitsPerByte * 1'000'000 / baud};
}

}  // namespace

struct LatencyWatch::State {
  EventLoop& loop;
  Say say;
  bool decided = false;  // the first blocks have been looked at
  bool hinted = false;
  // The port written to now: its name, rate and parity, and when its last block started.
  std::string name;
  std::uint32_t baud = 0;
  Parity parity = Parity::None;
  std::optional<Milliseconds> lastBlock;
  std::vector<std::chrono::microseconds> extras;  // turnaround beyond the line, per gap

  State(EventLoop& l, Say s) : loop(l), say(std::move(s)) {}

  void restart() {
    lastBlock.reset();
    extras.clear();
  }

  void written(std::span<const std::uint8_t> bytes) {
    if (decided) return;
    if (bytes.size() != kBlockSize || bytes[0] != kSoh) {
      lastBlock.reset();  // something else went out between: no block-to-block gap here
      return;
    }
    const Milliseconds now = loop.now();
    const std::chrono::microseconds line = LineTime(baud, parity);
    if (lastBlock) extras.push_back(std::chrono::microseconds(now - *lastBlock) - line);
    lastBlock = now;
    if (static_cast<int>(extras.size()) < kGapsWatched) return;
    std::nth_element(extras.begin(), extras.begin() + kGapsWatched / 2, extras.end());
    const std::chrono::microseconds median = extras[kGapsWatched / 2];
    // Said once, or not at all: a later transfer of the same run would say the same.
    decided = true;
    if (median < kLatencyTimerSign) return;
    hinted = true;
    if (say) say(LatencyHintText(name, std::chrono::duration_cast<Milliseconds>(median), line));
  }
};

namespace {

class WatchedDevice final : public SerialDevice {
 public:
  WatchedDevice(std::unique_ptr<SerialDevice> device, std::shared_ptr<LatencyWatch::State> state)
      : device_(std::move(device)), state_(std::move(state)) {}

  bool setBaud(std::uint32_t baud) override {
    state_->baud = baud;
    state_->restart();
    return device_->setBaud(baud);
  }
  std::size_t write(std::span<const std::uint8_t> bytes) override {
    state_->written(bytes);
    return device_->write(bytes);
  }
  WaitResult wait() override { return device_->wait(); }
  std::size_t read(std::span<std::uint8_t> into) override { return device_->read(into); }
  void close() override { device_->close(); }
  bool deliverOnMainThread(Sink sink) override {
    return device_->deliverOnMainThread(std::move(sink));
  }

 private:
  std::unique_ptr<SerialDevice> device_;
  std::shared_ptr<LatencyWatch::State> state_;
};

}  // namespace

LatencyWatch::LatencyWatch(SerialDriver& driver, EventLoop& loop, Say say)
    : driver_(driver), state_(std::make_shared<State>(loop, std::move(say))) {}

LatencyWatch::~LatencyWatch() = default;

bool LatencyWatch::hinted() const {
  return state_->hinted;
}

std::unique_ptr<SerialDevice> LatencyWatch::openPort(std::string_view name, std::uint32_t baud,
                                                     Parity parity, OpenError& error) {
  std::unique_ptr<SerialDevice> device = driver_.openPort(name, baud, parity, error);
  if (!device) return nullptr;
  state_->name = std::string(name);
  state_->baud = baud;
  state_->parity = parity;
  state_->restart();
  return std::make_unique<WatchedDevice>(std::move(device), state_);
}

std::string LatencyHintText(std::string_view name, Milliseconds extra,
                            std::chrono::microseconds lineTime) {
  const double line = static_cast<double>(lineTime.count()) / 1000.0;
  const double pace = line / (line + static_cast<double>(extra.count())) * 100.0;
  char figures[160];
  std::snprintf(figures, sizeof figures,
                "each block waits about %lld ms for its answer beyond the %.1f ms the line "
                "needs, so the transfer runs at about %.0f %% of the line's speed",
                static_cast<long long>(extra.count()), line, pace);
  const std::string port(name);
  return std::string(figures) +
         ". A USB serial adapter's latency timer (16 ms on many adapters) holds the module's "
         "answers that long. Lower it to 1 ms: on Windows in the Device Manager, the port's "
         "Properties, Port Settings, Advanced, Latency Timer (msec) 1; on Linux with "
         "\"setserial /dev/" +
         port + " low_latency\" or by writing 1 to /sys/bus/usb-serial/devices/" + port +
         "/latency_timer.";
}

}  // namespace movrand::cli

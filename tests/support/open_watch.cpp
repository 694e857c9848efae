#include "support/open_watch.h"

#include <utility>

namespace movrand::cli {
namespace {

// The device as opened, with its failed waits noted.
class WatchedDevice final : public SerialDevice {
 public:
  WatchedDevice(std::unique_ptr<SerialDevice> device, std::shared_ptr<std::atomic<bool>> lost)
      : device_(std::move(device)), lost_(std::move(lost)) {}

  bool setBaud(std::uint32_t baud) override { return device_->setBaud(baud); }
  std::size_t write(std::span<const std::uint8_t> bytes) override { return device_->write(bytes); }
  WaitResult wait() override {
    const WaitResult result = device_->wait();
    if (result == WaitResult::Failed) *lost_ = true;
    return result;
  }
  std::size_t read(std::span<std::uint8_t> into) override { return device_->read(into); }
  void close() override { device_->close(); }
  bool deliverOnMainThread(Sink sink) override {
    return device_->deliverOnMainThread(std::move(sink));
  }

 private:
  std::unique_ptr<SerialDevice> device_;
  std::shared_ptr<std::atomic<bool>> lost_;
};

}  // namespace

std::unique_ptr<SerialDevice> OpenWatch::openPort(std::string_view name, std::uint32_t baud,
                                                  Parity parity, OpenError& error) {
  std::unique_ptr<SerialDevice> device = driver_.openPort(name, baud, parity, error);
  if (!device) {
    ++failed_;
    return nullptr;
  }
  ++opened_;
  current_ = std::make_shared<std::atomic<bool>>(false);
  return std::make_unique<WatchedDevice>(std::move(device), current_);
}

}  // namespace movrand::cli

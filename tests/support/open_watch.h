// A serial driver that passes every open to another one and counts how it goes, so a test can
// check what a run did to the port: how many opens succeeded and failed, and whether the
// device opened last reported that it has gone.
#pragma once

#include <atomic>
#include <memory>
#include <string_view>

#include "platform/serial_device.h"

namespace movrand::cli {

class OpenWatch final : public SerialDriver {
 public:
  explicit OpenWatch(SerialDriver& driver) : driver_(driver) {}

  std::unique_ptr<SerialDevice> openPort(std::string_view name, std::uint32_t baud, Parity parity,
                                         OpenError& error) override;

  // Opens that succeeded and that failed so far. Main thread only, as every open is.
  int opened() const { return opened_; }
  int failed() const { return failed_; }
  // The device opened last reported that it has gone. Main thread only.
  bool lost() const { return current_ && *current_; }

 private:
  SerialDriver& driver_;
  int opened_ = 0;
  int failed_ = 0;
  // Set by the reader of the device opened last when its wait fails.
  std::shared_ptr<std::atomic<bool>> current_;
};

}  // namespace movrand::cli

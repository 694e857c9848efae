// A serial driver that passes every open to the real one and watches how it goes, so the
// headless front end can tell "the port could not be opened at all" (exit code 3) from "the
// port opened but no module answered" (exit code 4) - with the protocol "Auto" the window
// says the same ">>Program could not find the device!" for both - and can see that the
// device behind the open port has gone (an adapter pulled out).
#pragma once

#include <atomic>
#include <memory>
#include <string_view>

#include "platform/serial_device.h"

namespace movrand::cli {

class OpenWatch final : public SerialDriver {
 public:
  explicit OpenWatch(SerialDriver& driver) : driver_(driver) {}

  std::unique_ptr<SerialDevice> open(std::string_view name, std::uint32_t baud,
                                     Parity parity) override;

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

// The terminal window as a plain model: the received bytes as text or hexadecimal, shown
// while test mode's "Show process" is checked.
#pragma once

#include <cstdint>

namespace movrand {

class TMainForm;

class TTermForm {
 public:
  explicit TTermForm(TMainForm& mainForm);

  // True while received chunks are echoed.
  bool Monitoring = false;

  // Echoes a received chunk when monitoring.
  void Echo(const std::uint8_t* data, int length);

 private:
  TMainForm& mainForm_;
};

}  // namespace movrand

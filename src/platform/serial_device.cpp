#include "platform/serial_device.h"

namespace movrand {

std::chrono::milliseconds WireTime(std::size_t bytes, std::uint32_t baud, Parity parity) {
  if (baud == 0) return kWriteMargin;  // no rate: nothing goes; the margin alone bounds it
  const std::uint64_t bits =
      static_cast<std::uint64_t>(bytes) *
      static_cast<std::uint64_t>(kBitsPerByte + (parity == Parity::None ? 0 : kParityBits));
  // bits / baud seconds, in whole milliseconds rounded up.
  const std::uint64_t ms = (bits * 1000 + baud - 1) / baud;
  return std::chrono::milliseconds{static_cast<std::chrono::milliseconds::rep>(ms)};
}

std::chrono::milliseconds WriteTimeLimit(std::size_t bytes, std::uint32_t baud, Parity parity) {
  return 2 * WireTime(bytes, baud, parity) + kWriteMargin;
}

std::string_view OpenErrorText(OpenError error) {
  switch (error) {
    case OpenError::None:
      break;
    case OpenError::Missing:
      return "the port does not exist";
    case OpenError::Busy:
      return "another program holds the port";
    case OpenError::AccessDenied:
      return "access to the port is denied";
    case OpenError::SettingsRefused:
      return "the port's driver refused the settings";
    case OpenError::OwnTerminal:
      return "the port is the terminal this program runs in";
    case OpenError::Failed:
      return "the system could not open the port";
  }
  return {};
}

std::string_view OpenErrorName(OpenError error) {
  switch (error) {
    case OpenError::None:
      break;
    case OpenError::Missing:
      return "missing";
    case OpenError::Busy:
      return "busy";
    case OpenError::AccessDenied:
      return "access-denied";
    case OpenError::SettingsRefused:
      return "settings-refused";
    case OpenError::OwnTerminal:
      return "own-terminal";
    case OpenError::Failed:
      return "failed";
  }
  return {};
}

}  // namespace movrand

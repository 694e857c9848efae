#include "sim/line.h"

namespace movrand::sim {

LineSettings SettingsFor(Protocol protocol, std::uint32_t baud) {
  return {baud, protocol == Protocol::Binr ? Parity::Odd : Parity::None};
}

int BitsPerByte(Parity parity) {
  return parity == Parity::None ? 10 : 11;
}

std::chrono::microseconds TransmissionTime(std::size_t count, LineSettings settings) {
  if (settings.baud == 0 || count == 0) return std::chrono::microseconds{0};
  const std::uint64_t bits =
      static_cast<std::uint64_t>(count) * static_cast<std::uint64_t>(BitsPerByte(settings.parity));
  // Rounded up: the last bit has to be on the wire before the byte counts as received.
  const std::uint64_t micros = (bits * 1'000'000 + settings.baud - 1) / settings.baud;
  return std::chrono::microseconds{static_cast<std::int64_t>(micros)};
}

std::chrono::milliseconds CeilMilliseconds(std::chrono::microseconds span) {
  return std::chrono::ceil<std::chrono::milliseconds>(span);
}

const char* ParityName(Parity parity) {
  return parity == Parity::Odd ? "odd" : "none";
}

const char* ProtocolName(Protocol protocol) {
  return protocol == Protocol::Binr ? "binr" : "nmea";
}

}  // namespace movrand::sim

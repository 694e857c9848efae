#include "protocol/binr_output.h"

#include "protocol/crc16.h"
#include "protocol/module_contract.h"

namespace movrand {
namespace {

// DLE 0xFF, two CRC bytes, DLE ETX.
constexpr std::size_t kTrailerLength = 6;

// The id and data of a template: everything between its leading DLE and its closing DLE ETX.
std::span<const std::uint8_t> idAndData(std::span<const std::uint8_t> message) {
  return message.subspan(1, message.size() - 3);
}

// The rate commands carry the rate little-endian after the port number.
constexpr std::uint32_t rateOf(const std::array<std::uint8_t, 10>& message) {
  return static_cast<std::uint32_t>(message[3]) | static_cast<std::uint32_t>(message[4]) << 8 |
         static_cast<std::uint32_t>(message[5]) << 16 |
         static_cast<std::uint32_t>(message[6]) << 24;
}
static_assert(rateOf(MsgRate115200) == 115200 && rateOf(MsgRate230400) == 230400);

}  // namespace

std::size_t FrameBinrMessage(std::span<const std::uint8_t> message, BinrFrameBuffer& frame) {
  if (message.size() < kBinrMinTemplateLength) return 0;
  const auto body = idAndData(message);
  std::size_t length = 1 + kTrailerLength;
  for (const std::uint8_t b : body) length += (b == kBinrDle) ? 2 : 1;
  if (length > frame.size()) return 0;

  std::size_t at = 0;
  std::uint16_t crc = 0;
  frame[at++] = kBinrDle;
  for (const std::uint8_t b : body) {
    frame[at++] = b;
    crc = Crc16Update(crc, b);
    if (b == kBinrDle) {
      frame[at++] = b;
      crc = Crc16Update(crc, b);
    }
  }
  frame[at++] = kBinrDle;
  frame[at++] = kBinrTrailerMarker;
  frame[at++] = static_cast<std::uint8_t>(crc & 0xFF);
  frame[at++] = static_cast<std::uint8_t>(crc >> 8);
  frame[at++] = kBinrDle;
  frame[at++] = kBinrEtx;
  return at;
}

std::vector<std::uint8_t> FrameBinrMessage(std::span<const std::uint8_t> message) {
  BinrFrameBuffer frame{};
  const std::size_t length = FrameBinrMessage(message, frame);
  return {frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(length)};
}

int SendBinrMessage(const std::uint8_t* message, int n) {
  if (!message || n < 0) return 0;
  return SendBinrMessage(std::span(message, static_cast<std::size_t>(n)));
}

int SendBinrMessage(std::span<const std::uint8_t> message) {
  BinrFrameBuffer frame{};
  const std::size_t length = FrameBinrMessage(message, frame);
  if (length == 0) return 0;
  return WritePort(frame.data(), static_cast<int>(length));
}

}  // namespace movrand

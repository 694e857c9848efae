#include "protocol/nmea_output.h"

#include <algorithm>

#include "comm/comm.h"
#include "platform/text.h"

namespace movrand {
namespace {

constexpr std::uint8_t kChecksumMark = '*';
constexpr std::uint8_t kCr = 0x0D;
constexpr std::uint8_t kLf = 0x0A;

}  // namespace

std::uint8_t NmeaChecksum(std::string_view body) {
  std::uint8_t sum = 0;
  for (std::size_t i = 1; i < body.size(); ++i) sum ^= static_cast<std::uint8_t>(body[i]);
  return sum;
}

std::size_t FrameNmeaSentence(std::string_view body, NmeaFrameBuffer& frame) {
  const std::size_t n = body.size();
  if (n == 0 || n > kMaxNmeaBodyLength) return 0;
  std::transform(body.begin(), body.end(), frame.begin(),
                 [](char c) { return static_cast<std::uint8_t>(c); });
  const std::uint8_t sum = NmeaChecksum(body);
  frame[n] = kChecksumMark;
  frame[n + 1] = static_cast<std::uint8_t>(HexDigit(sum >> 4));
  frame[n + 2] = static_cast<std::uint8_t>(HexDigit(sum));
  frame[n + 3] = kCr;
  frame[n + 4] = kLf;
  return n + kNmeaFrameOverhead;
}

std::vector<std::uint8_t> FrameNmeaSentence(std::string_view body) {
  NmeaFrameBuffer frame{};
  const std::size_t length = FrameNmeaSentence(body, frame);
  return {frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(length)};
}

int SendNmeaSentence(std::string_view body) {
  NmeaFrameBuffer frame{};
  const std::size_t length = FrameNmeaSentence(body, frame);
  if (length == 0) return 0;
  return WritePort(frame.data(), static_cast<int>(length));
}

}  // namespace movrand

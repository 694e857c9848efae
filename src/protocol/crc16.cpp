#include "protocol/crc16.h"

#include <array>
#include <cstddef>

namespace movrand {
namespace {

constexpr std::uint16_t kPolynomial = 0x1021;

// The bitwise step for one byte; also what each table entry is made of.
constexpr std::uint16_t bitwiseStep(std::uint16_t crc, std::uint8_t byte) {
  crc = static_cast<std::uint16_t>(crc ^ (byte << 8));
  for (int bit = 0; bit < 8; ++bit) {
    const bool top = (crc & 0x8000) != 0;
    crc = static_cast<std::uint16_t>(crc << 1);
    if (top) crc = static_cast<std::uint16_t>(crc ^ kPolynomial);
  }
  return crc;
}

// Entry i is the checksum of the single byte i.
constexpr std::array<std::uint16_t, 256> kTable = [] {
  std::array<std::uint16_t, 256> table{};
  for (std::size_t i = 0; i < table.size(); ++i) {
    table[i] = bitwiseStep(0, static_cast<std::uint8_t>(i));
  }
  return table;
}();

static_assert(kTable[1] == 0x1021 && kTable[255] == 0x1EF0, "the standard 0x1021 table");

}  // namespace

std::uint16_t Crc16Update(std::uint16_t crc, std::uint8_t byte) {
  return static_cast<std::uint16_t>((crc << 8) ^ kTable[((crc >> 8) ^ byte) & 0xFF]);
}

std::uint16_t Crc16Block(const std::uint8_t* buffer, int length) {
  if (!buffer || length <= 0) return 0;
  return Crc16Block(std::span(buffer, static_cast<std::size_t>(length)));
}

std::uint16_t Crc16Block(std::span<const std::uint8_t> bytes) {
  // The table gives what the bitwise step gives, a byte at a time instead of a bit: the CRC
  // of the next block is computed between an ACK's arrival and the block's departure.
  std::uint16_t crc = 0;
  for (const std::uint8_t byte : bytes) crc = Crc16Update(crc, byte);
  return crc;
}

}  // namespace movrand

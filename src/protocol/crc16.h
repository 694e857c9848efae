// CRC-16 with the XMODEM parameters: polynomial 0x1021, most significant bit first, initial
// value 0, no reflection, no final XOR (check value 0x31C3 over the text "123456789").
//
// Two forms of the same checksum: `Crc16Update`, one table step on a register held by the
// caller (used while a BINR frame is built byte by byte), and `Crc16Block`, the checksum of a whole
// buffer (used for the firmware blocks; the bitwise step of the definition built the table). Both
// give the same result for the same bytes.
#pragma once

#include <cstdint>
#include <span>

namespace movrand {

// One table step: crc := (crc << 8) XOR table[(crc >> 8) XOR byte], kept to 16 bits.
std::uint16_t Crc16Update(std::uint16_t crc, std::uint8_t byte);

// The checksum of `length` bytes from `buffer`, starting from 0. A null buffer or a length
// of 0 or less counts as no bytes (result 0).
std::uint16_t Crc16Block(const std::uint8_t* buffer, int length);
std::uint16_t Crc16Block(std::span<const std::uint8_t> bytes);

}  // namespace movrand

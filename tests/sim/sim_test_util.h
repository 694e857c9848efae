// Helpers for the simulated module's tests, written independently of the module's own code
// so that a fault in one is not repeated in the other: a bitwise CRC-16/XMODEM, NMEA
// framing, XMODEM blocks and a BINR frame reader.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace movrand::sim::testing {

using Bytes = std::vector<std::uint8_t>;

inline Bytes ToBytes(std::string_view text) {
  return Bytes(text.begin(), text.end());
}
inline std::string ToText(const Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// Polynomial 0x1021, initial 0, most significant bit first.
inline std::uint16_t BitwiseCrc16(const std::uint8_t* data, std::size_t size) {
  std::uint16_t crc = 0;
  for (std::size_t i = 0; i < size; ++i) {
    crc = static_cast<std::uint16_t>(crc ^ (data[i] << 8));
    for (int bit = 0; bit < 8; ++bit) {
      crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
  }
  return crc;
}

// "$" body "*hh" CR LF.
inline std::string Sentence(std::string_view body) {
  unsigned sum = 0;
  for (const char c : body) sum ^= static_cast<unsigned char>(c);
  static constexpr char kHex[] = "0123456789ABCDEF";
  return "$" + std::string(body) + "*" + kHex[sum >> 4] + kHex[sum & 15] + "\r\n";
}

// A 133-byte XMODEM-CRC block with `number` and `fill` + i as data byte i.
inline Bytes Block(std::uint8_t number, std::uint8_t fill) {
  Bytes block{0x01, number, static_cast<std::uint8_t>(255 - number)};
  for (int i = 0; i < 128; ++i) block.push_back(static_cast<std::uint8_t>(fill + i));
  const std::uint16_t crc = BitwiseCrc16(block.data() + 3, 128);
  block.push_back(static_cast<std::uint8_t>(crc >> 8));
  block.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  return block;
}

inline Bytes BlockData(const Bytes& block) {
  return Bytes(block.begin() + 3, block.begin() + 131);
}

// A host BINR frame: DLE, id, stuffed data, DLE 0xFF, CRC low, CRC high, DLE ETX.
inline Bytes HostFrame(std::uint8_t id, const Bytes& data) {
  Bytes wire;
  auto put = [&](std::uint8_t b) {
    wire.push_back(b);
    if (b == 0x10) wire.push_back(b);
  };
  put(id);
  for (const auto b : data) put(b);
  const std::uint16_t crc = BitwiseCrc16(wire.data(), wire.size());
  // Built byte by byte: growing a one-byte vector by a range makes GCC 12's optimiser warn
  // about an overlap that cannot happen.
  Bytes frame;
  frame.reserve(wire.size() + 7);
  frame.push_back(0x10);
  for (const auto b : wire) frame.push_back(b);
  for (const std::uint8_t b :
       {std::uint8_t{0x10}, std::uint8_t{0xFF}, static_cast<std::uint8_t>(crc & 0xFF),
        static_cast<std::uint8_t>(crc >> 8), std::uint8_t{0x10}, std::uint8_t{0x03}}) {
    frame.push_back(b);
  }
  return frame;
}

struct ReadFrame {
  std::uint8_t id = 0;
  Bytes data;
  bool hadCrc = false;
  bool crcOk = false;
};

// Reads the one frame that `bytes` must hold exactly, with either ending.
inline std::optional<ReadFrame> ReadOneFrame(const Bytes& bytes) {
  if (bytes.size() < 4 || bytes[0] != 0x10) return std::nullopt;
  ReadFrame frame;
  Bytes wire;  // id and data as on the wire
  std::size_t i = 1;
  for (; i < bytes.size(); ++i) {
    if (bytes[i] != 0x10) {
      wire.push_back(bytes[i]);
      continue;
    }
    if (i + 1 >= bytes.size()) return std::nullopt;
    if (bytes[i + 1] == 0x10) {
      wire.push_back(0x10);
      wire.push_back(0x10);
      ++i;
      continue;
    }
    break;
  }
  if (wire.empty() || i + 1 >= bytes.size()) return std::nullopt;
  if (bytes[i + 1] == 0xFF) {
    if (i + 6 != bytes.size() || bytes[i + 4] != 0x10 || bytes[i + 5] != 0x03) {
      return std::nullopt;
    }
    frame.hadCrc = true;
    const std::uint16_t crc = static_cast<std::uint16_t>(bytes[i + 2] | bytes[i + 3] << 8);
    frame.crcOk = crc == BitwiseCrc16(wire.data(), wire.size());
  } else if (bytes[i + 1] != 0x03 || i + 2 != bytes.size()) {
    return std::nullopt;
  }
  frame.id = wire[0];
  for (std::size_t k = 1; k < wire.size(); ++k) {
    frame.data.push_back(wire[k]);
    if (wire[k] == 0x10) ++k;  // the second copy of a stuffed byte
  }
  return frame;
}

// The zero-terminated text at `at` in `data`.
inline std::string TextAt(const Bytes& data, std::size_t at) {
  std::string text;
  while (at < data.size() && data[at] != 0) text += static_cast<char>(data[at++]);
  return text;
}

}  // namespace movrand::sim::testing

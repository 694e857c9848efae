// Firmware files made on the spot for the image and programming tests: a private folder that
// is removed afterwards, small images with model names at chosen places, large images with a
// correct (or deliberately wrong) header, and the image as the module must receive it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "programming/image.h"
#include "support/temp_folder.h"

namespace movrand::testing {

using Bytes = std::vector<std::uint8_t>;

// CRC-16/XMODEM bit by bit, independent of the program's routines.
inline std::uint16_t ReferenceCrc16(const std::uint8_t* data, std::size_t n) {
  std::uint16_t crc = 0;
  for (std::size_t i = 0; i < n; ++i) {
    crc ^= static_cast<std::uint16_t>(data[i] << 8);
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000) ? static_cast<std::uint16_t>((crc << 1) ^ 0x1021)
                           : static_cast<std::uint16_t>(crc << 1);
    }
  }
  return crc;
}

// The block the loader must receive for `number` and the 128 bytes at `data`.
inline Bytes ExpectedBlock(std::uint8_t number, const std::uint8_t* data) {
  // Sized once and filled in place: growing a three-byte vector by a range makes GCC 12's
  // optimiser warn about an overlap that cannot happen.
  Bytes block(3 + 128);
  block[0] = 0x01;
  block[1] = number;
  block[2] = static_cast<std::uint8_t>(255 - number);
  std::copy(data, data + 128, block.begin() + 3);
  const std::uint16_t crc = ReferenceCrc16(data, 128);
  block.push_back(static_cast<std::uint8_t>(crc >> 8));
  block.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  return block;
}

// A reference CRC-32 computed bit by bit, independent of the program's table.
inline std::uint32_t BitwiseCrc32(const Bytes& bytes, std::size_t from = 0) {
  std::uint32_t crc = 0xFFFFFFFF;
  for (std::size_t i = from; i < bytes.size(); ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320 : crc >> 1;
  }
  return ~crc;
}

// `size` bytes of a repeatable pattern without 0x1A, letters or digits, so that no model name
// and no pad byte occurs in it by chance.
inline Bytes Pattern(std::size_t size, std::uint32_t seed = 1) {
  Bytes bytes(size);
  std::uint32_t x = seed * 2654435761u + 12345;
  for (auto& b : bytes) {
    x = x * 1103515245u + 12345;
    std::uint8_t v = static_cast<std::uint8_t>(x >> 16);
    if (v == 0x1A || std::isalnum(v)) v = 0x20;
    b = v;
  }
  return bytes;
}

// Writes `text` into `bytes` at `at`.
inline void Put(Bytes& bytes, std::size_t at, std::string_view text) {
  std::copy(text.begin(), text.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
}

inline void PutLittleEndian32(Bytes& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// A large image of `size` bytes (header included) with a correct header; `names` are written
// into the payload before the CRC is taken.
inline Bytes LargeImage(std::size_t size, std::initializer_list<std::string_view> names = {}) {
  Bytes bytes = Pattern(size, 7);
  std::size_t at = 100;
  for (std::string_view name : names) {
    Put(bytes, at, name);
    at += 1000;
  }
  PutLittleEndian32(bytes, 0, static_cast<std::uint32_t>(size - 8));
  PutLittleEndian32(bytes, 4, BitwiseCrc32(bytes, 8));
  return bytes;
}

// A small image (no header) of `size` bytes carrying `names`.
inline Bytes SmallImage(std::size_t size, std::initializer_list<std::string_view> names = {}) {
  Bytes bytes = Pattern(size, 3);
  std::size_t at = 10;
  for (std::string_view name : names) {
    Put(bytes, at, name);
    at += name.size() + 5;
  }
  return bytes;
}

// The file as the module must receive it: padded with 0x1A to whole 128-byte blocks.
inline Bytes Padded(Bytes bytes) {
  bytes.resize((bytes.size() + 127) / 128 * 128, 0x1A);
  return bytes;
}

// A private folder for one test, removed with everything in it at the end.
class TempDir {
 public:
  TempDir() : path_(test::MakeTempFolder("movrand-prog")) {}
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

  std::filesystem::path Write(const std::string& name, const Bytes& bytes) const {
    const std::filesystem::path file = path_ / name;
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    EXPECT_TRUE(out.good()) << file;
    return file;
  }

 private:
  std::filesystem::path path_;
};

}  // namespace movrand::testing

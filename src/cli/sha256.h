// SHA-256 of a byte stream, for the record of what went into a module: the image's hash
// lets a later look at the record tell exactly which file was written.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace movrand::cli {

class Sha256 {
 public:
  Sha256();
  void update(std::span<const std::uint8_t> bytes);
  // The digest of everything given; the object is spent afterwards.
  std::array<std::uint8_t, 32> finish();
  // The digest as 64 lower-case hexadecimal digits.
  std::string finishHex();

 private:
  void compress(const std::uint8_t* block);

  std::array<std::uint32_t, 8> state_;
  std::array<std::uint8_t, 64> buffer_{};
  std::size_t buffered_ = 0;
  std::uint64_t length_ = 0;  // bytes given so far
};

}  // namespace movrand::cli

#include "protocol/crc16.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string_view>
#include <vector>

namespace movrand {
namespace {

std::uint16_t tableCrc(std::span<const std::uint8_t> bytes) {
  std::uint16_t crc = 0;
  for (const std::uint8_t b : bytes) crc = Crc16Update(crc, b);
  return crc;
}

// The definition, a bit at a time, as an independent reference.
std::uint16_t bitwiseCrc(std::span<const std::uint8_t> bytes) {
  std::uint16_t crc = 0;
  for (const std::uint8_t b : bytes) {
    crc = static_cast<std::uint16_t>(crc ^ (b << 8));
    for (int bit = 0; bit < 8; ++bit) {
      crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
  }
  return crc;
}

std::vector<std::uint8_t> bytesOf(std::string_view text) {
  return {text.begin(), text.end()};
}

TEST(Crc16, BothFormsGiveTheXmodemCheckValue) {
  const auto check = bytesOf("123456789");
  EXPECT_EQ(Crc16Block(check.data(), static_cast<int>(check.size())), 0x31C3);
  EXPECT_EQ(Crc16Block(check), 0x31C3);
  EXPECT_EQ(tableCrc(check), 0x31C3);
}

TEST(Crc16, TableStepOfOneByteIsTheStandardTableEntry) {
  // Entries of the usual 0x1021 table, first, a few inside, and last.
  EXPECT_EQ(Crc16Update(0, 0x00), 0x0000);
  EXPECT_EQ(Crc16Update(0, 0x01), 0x1021);
  EXPECT_EQ(Crc16Update(0, 0x10), 0x1231);
  EXPECT_EQ(Crc16Update(0, 0x80), 0x9188);
  EXPECT_EQ(Crc16Update(0, 0xFF), 0x1EF0);
}

TEST(Crc16, FormsAgreeOnRandomDataAndABlockFollowedByItsCrcChecksToZero) {
  std::mt19937 random(1021);
  std::uniform_int_distribution<int> byte(0, 255), length(0, 300);
  for (int round = 0; round < 300; ++round) {
    std::vector<std::uint8_t> data(static_cast<std::size_t>(length(random)));
    for (auto& b : data) b = static_cast<std::uint8_t>(byte(random));
    const std::uint16_t crc = Crc16Block(data.data(), static_cast<int>(data.size()));
    ASSERT_EQ(tableCrc(data), crc) << "length " << data.size();
    ASSERT_EQ(bitwiseCrc(data), crc) << "length " << data.size();
    // Appended high byte first, as in a firmware block, the remainder is zero.
    data.push_back(static_cast<std::uint8_t>(crc >> 8));
    data.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    ASSERT_EQ(Crc16Block(data), 0);
  }
}

TEST(Crc16, AllZeroBytesAndEmptyOrInvalidInputGiveZero) {
  const std::vector<std::uint8_t> zeros(128, 0);
  EXPECT_EQ(Crc16Block(zeros), 0);
  EXPECT_EQ(tableCrc(zeros), 0);
  EXPECT_EQ(Crc16Block(zeros.data(), 0), 0);
  EXPECT_EQ(Crc16Block(zeros.data(), -5), 0);
  EXPECT_EQ(Crc16Block(nullptr, 10), 0);
}

}  // namespace
}  // namespace movrand

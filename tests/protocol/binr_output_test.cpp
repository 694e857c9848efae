#include "protocol/binr_output.h"

#include <gtest/gtest.h>

#include <span>
#include <string>
#include <vector>

#include "protocol/crc16.h"
#include "support/capture_serial.h"

namespace movrand {
namespace {

using test::Bytes;
using test::CapturedLink;

struct MessageCase {
  const char* name;
  std::span<const std::uint8_t> message;
  Bytes wire;
};

class FrameOnTheWire : public testing::TestWithParam<MessageCase> {};

TEST_P(FrameOnTheWire, InOneWriteByteForByte) {
  CapturedLink link;
  ASSERT_TRUE(link.open(115200, Parity::Odd));
  const MessageCase& c = GetParam();
  EXPECT_EQ(SendBinrMessage(c.message.data(), static_cast<int>(c.message.size())),
            static_cast<int>(c.wire.size()));
  ASSERT_EQ(link.driver.writes().size(), 1u);
  EXPECT_EQ(link.driver.writes()[0], c.wire);
  EXPECT_EQ(FrameBinrMessage(c.message), c.wire);
  // No 0x10 in the id or data of the stored messages: the frame is 4 bytes longer.
  EXPECT_EQ(c.wire.size(), c.message.size() + 4);
}

INSTANTIATE_TEST_SUITE_P(
    BinrOutput, FrameOnTheWire,
    testing::Values(
        MessageCase{"Probe", MsgProbe, {0x10, 0x26, 0x10, 0xFF, 0xA4, 0x44, 0x10, 0x03}},
        MessageCase{
            "VersionRequest", MsgVersionRequest, {0x10, 0x1B, 0x10, 0xFF, 0x5A, 0xA3, 0x10, 0x03}},
        MessageCase{
            "Rate115200",
            MsgRate115200,
            {0x10, 0x0B, 0x00, 0x00, 0xC2, 0x01, 0x00, 0x04, 0x10, 0xFF, 0x57, 0x62, 0x10, 0x03}},
        MessageCase{
            "Rate230400",
            MsgRate230400,
            {0x10, 0x0B, 0x00, 0x00, 0x84, 0x03, 0x00, 0x04, 0x10, 0xFF, 0x32, 0x45, 0x10, 0x03}},
        MessageCase{"LoaderR",
                    MsgLoaderR,
                    {0x10, 0x01, 0x52, 0x45, 0x4C, 0x4F, 0x41, 0x44, 0x5F, 0x52, 0x10, 0xFF, 0xBB,
                     0xA3, 0x10, 0x03}},
        MessageCase{"LoaderB",
                    MsgLoaderB,
                    {0x10, 0x01, 0x52, 0x45, 0x4C, 0x4F, 0x41, 0x44, 0x5F, 0x42, 0x10, 0xFF, 0x8A,
                     0xB1, 0x10, 0x03}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BinrOutput, DleInDataIsSentTwiceAndCountedTwiceInTheCrc) {
  // Id 0x01, data 10 05: CRC over 01 10 10 05 is 0x6601, sent low byte first.
  const Bytes message{0x10, 0x01, 0x10, 0x05, 0x10, 0x03};
  EXPECT_EQ(FrameBinrMessage(message),
            (Bytes{0x10, 0x01, 0x10, 0x10, 0x05, 0x10, 0xFF, 0x01, 0x66, 0x10, 0x03}));
  // The CRC over the data as sent, not over the data as stored.
  EXPECT_NE(Crc16Block(Bytes{0x01, 0x10, 0x05}), 0x6601);
}

TEST(BinrOutput, DleAsIdIsStuffedToo) {
  // CRC over 10 10 is 0x1142.
  EXPECT_EQ(FrameBinrMessage(Bytes{0x10, 0x10, 0x10, 0x03}),
            (Bytes{0x10, 0x10, 0x10, 0x10, 0xFF, 0x42, 0x11, 0x10, 0x03}));
}

TEST(BinrOutput, AllZeroMessageHasAZeroCrc) {
  EXPECT_EQ(FrameBinrMessage(Bytes{0x10, 0x00, 0x00, 0x00, 0x10, 0x03}),
            (Bytes{0x10, 0x00, 0x00, 0x00, 0x10, 0xFF, 0x00, 0x00, 0x10, 0x03}));
}

TEST(BinrOutput, CrcGoesOutLowByteFirst) {
  const Bytes frame = FrameBinrMessage(MsgProbe);
  ASSERT_EQ(frame.size(), 8u);
  EXPECT_EQ(Crc16Block(Bytes{0x26}), 0x44A4);
  EXPECT_EQ(frame[4], 0xA4);
  EXPECT_EQ(frame[5], 0x44);
}

TEST(BinrOutput, ShortTemplatesAreRefusedAndNothingIsSent) {
  CapturedLink link;
  ASSERT_TRUE(link.open(115200, Parity::Odd));
  const Bytes three{0x10, 0x26, 0x10};
  for (int n = 0; n <= 3; ++n) {
    EXPECT_EQ(SendBinrMessage(three.data(), n), 0) << n;
    EXPECT_TRUE(FrameBinrMessage(std::span(three).first(static_cast<std::size_t>(n))).empty());
  }
  EXPECT_EQ(SendBinrMessage(nullptr, 4), 0);
  EXPECT_EQ(SendBinrMessage(MsgProbe.data(), -1), 0);
  EXPECT_TRUE(link.driver.writes().empty());
}

// A template with `plain` ordinary data bytes and `dles` data bytes 0x10.
Bytes templateWith(std::size_t plain, std::size_t dles) {
  Bytes message{0x10, 0x01};
  message.insert(message.end(), plain, 0x55);
  message.insert(message.end(), dles, 0x10);
  message.insert(message.end(), {0x10, 0x03});
  return message;
}

TEST(BinrOutput, FrameMustFitTheSendBufferAfterStuffing) {
  CapturedLink link;
  ASSERT_TRUE(link.open(115200, Parity::Odd));
  // DLE + id + data + 6 trailer bytes: 1016 plain data bytes make exactly 1024.
  const Bytes fits = templateWith(1016, 0);
  EXPECT_EQ(SendBinrMessage(fits), 1024);
  ASSERT_EQ(link.driver.writes().size(), 1u);
  EXPECT_EQ(link.driver.writes()[0].size(), 1024u);

  BinrFrameBuffer frame;
  frame.fill(0xEE);
  for (const Bytes& tooBig : {templateWith(1017, 0), templateWith(0, 509), templateWith(1014, 2)}) {
    EXPECT_EQ(FrameBinrMessage(tooBig, frame), 0u);
    EXPECT_EQ(SendBinrMessage(tooBig), 0);
  }
  EXPECT_TRUE(std::all_of(frame.begin(), frame.end(), [](auto b) { return b == 0xEE; }));
  EXPECT_EQ(link.driver.writes().size(), 1u);
  // 508 stuffed 0x10 bytes still fit (1 + 1 + 1016 + 6).
  EXPECT_EQ(FrameBinrMessage(templateWith(0, 508)).size(), 1024u);
}

TEST(BinrOutput, SendWithThePortClosedWritesNothing) {
  CapturedLink link;
  EXPECT_EQ(SendBinrMessage(MsgProbe), 0);
  EXPECT_TRUE(link.driver.writes().empty());
}

}  // namespace
}  // namespace movrand

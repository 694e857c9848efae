#include "protocol/nmea_output.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "support/capture_serial.h"

namespace movrand {
namespace {

using test::Bytes;
using test::CapturedLink;

Bytes bytesOf(std::string_view text) {
  return {text.begin(), text.end()};
}

struct SentenceCase {
  std::string_view body;
  std::string_view wire;
};

class SentOnTheWire : public testing::TestWithParam<SentenceCase> {};

TEST_P(SentOnTheWire, InOneWriteByteForByte) {
  CapturedLink link;
  ASSERT_TRUE(link.open());
  const SentenceCase& c = GetParam();
  EXPECT_EQ(SendNmeaSentence(c.body), static_cast<int>(c.wire.size()));
  ASSERT_EQ(link.driver.writes().size(), 1u);
  EXPECT_EQ(link.driver.writes()[0], bytesOf(c.wire));
  EXPECT_EQ(FrameNmeaSentence(c.body), bytesOf(c.wire));
}

INSTANTIATE_TEST_SUITE_P(
    NmeaOutput, SentOnTheWire,
    testing::Values(SentenceCase{SentenceVersionQuery, "$POVER*5E\r\n"},
                    SentenceCase{SentenceRate115200, "$PORZA,0,115200,1*7C\r\n"},
                    SentenceCase{SentenceRate230400, "$PORZA,0,230400,1*7E\r\n"},
                    SentenceCase{SentenceLoaderR, "$POPRL,R*2F\r\n"},
                    SentenceCase{SentenceLoaderB, "$POPRL,B*3F\r\n"},
                    SentenceCase{SentenceLoaderC, "$POPRL,C*3E\r\n"},
                    // Only "$": nothing to sum.
                    SentenceCase{"$", "$*00\r\n"},
                    // The first character is never summed, whatever it is; hex is upper case.
                    SentenceCase{"!\xAB\x01", "!\xAB\x01*AA\r\n"}));

TEST(NmeaOutput, LongestBodyFillsTheFrameBufferExactly) {
  const std::string body = "$" + std::string(kMaxNmeaBodyLength - 1, 'A');
  NmeaFrameBuffer frame{};
  ASSERT_EQ(FrameNmeaSentence(body, frame), kNmeaFrameBufferSize);
  // 154 'A' cancel out in pairs.
  EXPECT_EQ(std::string(frame.end() - 5, frame.end()), "*00\r\n");
}

TEST(NmeaOutput, BodyTooLongOrEmptyIsRefusedWholeAndNothingIsSent) {
  CapturedLink link;
  ASSERT_TRUE(link.open());
  const std::string tooLong = "$" + std::string(kMaxNmeaBodyLength, 'A');  // 156 characters
  for (const std::string_view body : {std::string_view(tooLong), std::string_view()}) {
    NmeaFrameBuffer frame;
    frame.fill(0xEE);
    EXPECT_EQ(FrameNmeaSentence(body, frame), 0u);
    EXPECT_TRUE(std::all_of(frame.begin(), frame.end(), [](auto b) { return b == 0xEE; }));
    EXPECT_TRUE(FrameNmeaSentence(body).empty());
    EXPECT_EQ(SendNmeaSentence(body), 0);
  }
  EXPECT_TRUE(link.driver.writes().empty());
}

TEST(NmeaOutput, SendWithThePortClosedWritesNothing) {
  CapturedLink link;
  EXPECT_EQ(SendNmeaSentence(SentenceVersionQuery), 0);
  ASSERT_TRUE(link.open());
  ClosePort();
  EXPECT_EQ(SendNmeaSentence(SentenceVersionQuery), 0);
  EXPECT_TRUE(link.driver.writes().empty());
}

}  // namespace
}  // namespace movrand

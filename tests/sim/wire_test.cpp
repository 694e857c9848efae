// The module's strict receivers and its framing of replies.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/report.h"
#include "sim/wire.h"
#include "sim_test_util.h"

namespace movrand::sim {
namespace {

using testing::Bytes;
using testing::ToBytes;

// What a receiver made of a whole byte string: the messages and the violations, in order.
template <typename Receiver, typename OnMessage>
std::vector<std::string> Feed(Receiver& rx, const Bytes& bytes, OnMessage onMessage) {
  std::vector<std::string> out;
  for (const auto b : bytes) {
    const RxStep step = rx.push(b);
    if (step.kind == RxStep::Kind::Message) out.push_back(onMessage(rx));
    if (step.kind == RxStep::Kind::Violation) out.push_back(std::string("!") + step.violation);
    if (step.kind == RxStep::Kind::Stray) out.push_back("stray");
  }
  return out;
}

std::vector<std::string> FeedNmea(const std::string& text) {
  StrictNmeaReceiver rx;
  return Feed(rx, ToBytes(text), [](const StrictNmeaReceiver& r) { return r.body(); });
}

struct NmeaCase {
  const char* name;
  std::string input;
  std::vector<std::string> expected;
};

TEST(StrictNmeaReceiver, AcceptsOnlyWellFormedSentences) {
  const std::string longBody(77, 'A');  // "$" + 77 + "*hh" + CR LF = 83 characters
  const std::string maxBody(76, 'A');   // exactly 82
  const std::vector<NmeaCase> cases = {
      {"version query", "$POVER*5E\r\n", {"POVER"}},
      {"rate command", "$PORZA,0,115200,1*7C\r\n", {"PORZA,0,115200,1"}},
      {"two in a row", "$POVER*5E\r\n$POPRL,B*3F\r\n", {"POVER", "POPRL,B"}},
      {"wrong checksum", "$POVER*5F\r\n", {"!nmea-bad-checksum"}},
      {"lower-case checksum", "$PORZA,0,115200,1*7c\r\n", {"!nmea-bad-checksum-field"}},
      {"one checksum digit", "$POVER*5\r\n", {"!nmea-bad-checksum-field"}},
      {"no checksum", "$POVER\r\n", {"!nmea-missing-checksum"}},
      {"LF without CR", "$POVER*5E\n", {"!nmea-missing-cr"}},
      {"CR without LF", "$POVER*5E\rX", {"!nmea-missing-lf"}},
      {"restart inside", "$POV$POVER*5E\r\n", {"!nmea-unterminated", "POVER"}},
      {"control character", "$PO\x01VER*5E\r\n", {"!nmea-bad-character"}},
      {"longest allowed", testing::Sentence(maxBody), {maxBody}},
      {"one too long", testing::Sentence(longBody), {"!nmea-too-long"}},
      {"bytes between sentences", "xy$POVER*5E\r\n", {"stray", "stray", "POVER"}},
  };
  for (const auto& c : cases) EXPECT_EQ(FeedNmea(c.input), c.expected) << c.name;
}

TEST(StrictNmeaReceiver, KeepsASentenceAcrossChunksAndRecoversAfterADrop) {
  StrictNmeaReceiver rx;
  std::vector<std::string> got;
  for (const std::string chunk : {"$POV", "ER*5E\r", "\n", "$POVER*00\r\n", "$POVER*5E\r\n"}) {
    const auto part =
        Feed(rx, ToBytes(chunk), [](const StrictNmeaReceiver& r) { return r.body(); });
    got.insert(got.end(), part.begin(), part.end());
  }
  EXPECT_EQ(got, (std::vector<std::string>{"POVER", "!nmea-bad-checksum", "POVER"}));
}

std::vector<std::string> FeedBinr(const Bytes& bytes) {
  StrictBinrReceiver rx;
  return Feed(rx, bytes, [](const StrictBinrReceiver& r) {
    std::string s = "id" + std::to_string(r.id()) + ":";
    for (const auto b : r.data()) s += std::to_string(b) + ",";
    return s;
  });
}

struct BinrCase {
  const char* name;
  Bytes input;
  std::vector<std::string> expected;
};

TEST(StrictBinrReceiver, AcceptsOnlyStuffedFramesWithTheRightCrc) {
  Bytes badCrc = {0x10, 0x26, 0x10, 0xFF, 0xA4, 0x45, 0x10, 0x03};
  Bytes tooLong = {0x10, 0x22};
  tooLong.insert(tooLong.end(), 1100, 0x00);
  const std::vector<BinrCase> cases = {
      // The host's probe and rate command exactly as it sends them.
      {"probe", {0x10, 0x26, 0x10, 0xFF, 0xA4, 0x44, 0x10, 0x03}, {"id38:"}},
      {"rate 115200",
       {0x10, 0x0B, 0x00, 0x00, 0xC2, 0x01, 0x00, 0x04, 0x10, 0xFF, 0x57, 0x62, 0x10, 0x03},
       {"id11:0,0,194,1,0,4,"}},
      {"stuffed data byte", testing::HostFrame(0x0B, {0x10, 0x20}), {"id11:16,32,"}},
      {"CRC bytes swapped", badCrc, {"!binr-bad-crc"}},
      {"no CRC trailer", {0x10, 0x26, 0x10, 0x03}, {"!binr-missing-crc"}},
      {"lone DLE in data", {0x10, 0x0B, 0x10, 0x41, 0x10, 0x03}, {"!binr-bad-stuffing"}},
      {"frame start DLE ETX", {0x10, 0x03}, {"!binr-bad-start"}},
      {"trailer not DLE ETX",
       {0x10, 0x26, 0x10, 0xFF, 0xA4, 0x44, 0x10, 0x04},
       {"!binr-bad-trailer"}},
      {"1024 bytes without an end", tooLong, {"!binr-too-long"}},
      {"bytes before a frame",
       {0x55, 0x10, 0x26, 0x10, 0xFF, 0xA4, 0x44, 0x10, 0x03},
       {"stray", "id38:"}},
  };
  for (const auto& c : cases) EXPECT_EQ(FeedBinr(c.input), c.expected) << c.name;
}

TEST(StrictBinrReceiver, TakesTheNextFrameAfterADroppedOne) {
  Bytes bytes = {0x10, 0x0B, 0x10, 0x41, 0x00, 0x10, 0x03};  // bad stuffing, then its end
  const Bytes probe = {0x10, 0x26, 0x10, 0xFF, 0xA4, 0x44, 0x10, 0x03};
  bytes.insert(bytes.end(), probe.begin(), probe.end());
  EXPECT_EQ(FeedBinr(bytes), (std::vector<std::string>{"!binr-bad-stuffing", "id38:"}));
}

TEST(ModuleFraming, NmeaRepliesCarryAnUpperCaseChecksumAndCrLf) {
  EXPECT_EQ(FrameNmea("POVER"), "$POVER*5E\r\n");
  EXPECT_EQ(FrameNmea("PORZA,0,115200,1"), "$PORZA,0,115200,1*7C\r\n");
  EXPECT_EQ(FrameNmea("POVER,A1,KAP41,0207"), testing::Sentence("POVER,A1,KAP41,0207"));
}

TEST(ModuleFraming, BinrRepliesAreStuffedAndEndAsChosen) {
  EXPECT_EQ(FrameBinr(0x54, {}, BinrEnding::DleEtx), (Bytes{0x10, 0x54, 0x10, 0x03}));
  const std::uint8_t probeAnswerCrc[] = {0x54};
  const std::uint16_t crc = testing::BitwiseCrc16(probeAnswerCrc, 1);
  EXPECT_EQ(FrameBinr(0x54, {}, BinrEnding::Crc),
            (Bytes{0x10, 0x54, 0x10, 0xFF, static_cast<std::uint8_t>(crc & 0xFF),
                   static_cast<std::uint8_t>(crc >> 8), 0x10, 0x03}));
  // A data byte 0x10 goes out twice and both copies are in the CRC, as the host does it.
  const Bytes data = {0x00, 0x10, 0x7F};
  EXPECT_EQ(FrameBinr(0x50, data, BinrEnding::Crc), testing::HostFrame(0x50, data));
  const auto read = testing::ReadOneFrame(FrameBinr(0x50, data, BinrEnding::DleEtx));
  ASSERT_TRUE(read);
  EXPECT_EQ(read->data, data);
  EXPECT_FALSE(read->hadCrc);
}

TEST(CheckXmodemBlock, VerifiesComplementAndHighByteFirstCrc) {
  using Span = std::span<const std::uint8_t, kXmodemBlock>;
  const Bytes good = testing::Block(7, 0x10);
  auto check = [](const Bytes& b) { return CheckXmodemBlock(Span(b.data(), kXmodemBlock)); };
  EXPECT_TRUE(check(good).ok);
  EXPECT_EQ(check(good).number, 7);

  Bytes badComplement = good;
  badComplement[2] = 0xF7;
  EXPECT_STREQ(check(badComplement).violation, "xmodem-bad-complement");

  Bytes swappedCrc = good;  // low byte first, as BINR frames carry it
  std::swap(swappedCrc[131], swappedCrc[132]);
  ASSERT_NE(swappedCrc[131], swappedCrc[132]);
  EXPECT_STREQ(check(swappedCrc).violation, "xmodem-bad-crc");

  Bytes flipped = good;
  flipped[70] ^= 0x01;
  EXPECT_STREQ(check(flipped).violation, "xmodem-bad-crc");

  EXPECT_TRUE(check(testing::Block(0, 0xAA)).ok);  // the number after 255
}

// The events and the summary are read by scripts with jq and grep: the escapes, the key order
// and the layout are kept as they always were.
TEST(SimReport, WritesPlainAsciiJsonInTheOrderGiven) {
  EXPECT_EQ(JsonString("q\"b\\n\n\r\t\x01\x1f\x7f\xc3\xa9\xff"),
            R"("q\"b\\n\n\r\t\u0001\u001f\u007f\u00c3\u00a9\u00ff")");
  EXPECT_EQ(JsonString(std::string("a\0b", 3)), R"("a\u0000b")");

  const JsonObject inner = JsonObject().add("open", false);
  EXPECT_EQ(JsonObject()
                .add("z", std::int64_t{-3})
                .add("a", "text")
                .add("m", inner)
                .add("e", JsonObject())
                .addRaw("n", "null")
                .add("b", true)
                .text(),
            R"({"z":-3,"a":"text","m":{"open":false},"e":{},"n":null,"b":true})");

  SimStats stats;
  stats.sent["xmodem ACK"] = 2;
  stats.sent["nmea version"] = 1;
  stats.violations["stray-bytes"] = 4;
  stats.transferMicros = 1234567;
  EXPECT_EQ(stats.summaryJson(),
            R"({"seen":{},"sent":{"nmea version":1,"xmodem ACK":2},"blocks_accepted":0,)"
            R"("transfers_started":0,"blocks_repeated":0,"acks_sent":0,"naks_sent":0,)"
            R"("injected_naks":0,"violations":{"stray-bytes":4},"violation_total":4,)"
            R"("noise_chunks":0,"noise_bytes":0,"ignored_chunks":0,"lost":0,"image_bytes":0,)"
            R"("images_written":0,"restarts":0,"transfer_us":1234567})");
}

}  // namespace
}  // namespace movrand::sim

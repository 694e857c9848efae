#include "comm/collectors.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/binr_output.h"

namespace movrand {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Each non-zero `Push` result with the index of the byte that produced it.
struct Event {
  std::size_t at;
  int result;
  bool operator==(const Event&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Event& e) {
  return os << "{byte " << e.at << ": " << e.result << "}";
}

// Feeds `bytes` in two chunks cut at `cut` (the collector lives on between them) and
// records every non-zero result.
std::vector<Event> feedBinr(BinrCollector& rx, const Bytes& bytes, std::size_t cut) {
  std::vector<Event> events;
  auto feed = [&](std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) {
      if (const int r = rx.Push(bytes[i]); r != 0) events.push_back({i, r});
    }
  };
  feed(0, cut);
  feed(cut, bytes.size());
  return events;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// ---------------------------------------------------------------------------------------
// BinrCollector on whole streams

struct BinrCase {
  const char* name;
  Bytes stream;
  std::vector<Event> events;
  // Expected 0x50 results (the collector starts from zero).
  std::uint8_t port = 0;
  std::int32_t baud = 0;
  std::uint8_t protocol = 0;
};

class BinrStream : public testing::TestWithParam<BinrCase> {};

TEST_P(BinrStream, GivesTheSameResultsWhereverTheStreamIsCut) {
  const BinrCase& c = GetParam();
  for (std::size_t cut = 0; cut <= c.stream.size(); ++cut) {
    BinrCollector rx;
    EXPECT_EQ(feedBinr(rx, c.stream, cut), c.events) << "cut at " << cut;
    EXPECT_EQ(rx.Port, c.port);
    EXPECT_EQ(rx.Baud, c.baud);
    EXPECT_EQ(rx.Protocol, c.protocol);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Collectors, BinrStream,
    testing::Values(
        BinrCase{"ProbeAnswerWithoutData", {0x10, 0x54, 0x10, 0x03}, {{3, 0x54}}},
        BinrCase{"PortSettingsDecoded",
                 {0x10, 0x50, 0x01, 0x00, 0xC2, 0x01, 0x00, 0x04, 0x10, 0x03},
                 {{9, 0x50}},
                 1,
                 115200,
                 4},
        BinrCase{"DoubledDleIsOneDataByte",
                 {0x10, 0x50, 0x02, 0x10, 0x10, 0xC2, 0x01, 0x00, 0x05, 0x10, 0x03},
                 {{10, 0x50}},
                 2,
                 0x0001C210,
                 5},
        BinrCase{"LoneDleInsideAPacketIsDropped",
                 {0x10, 0x50, 0x01, 0x10, 0x00, 0xC2, 0x01, 0x00, 0x04, 0x10, 0x03},
                 {{10, 0x50}},
                 1,
                 115200,
                 4},
        BinrCase{"NegativeRateAsReceived",
                 {0x10, 0x50, 0x00, 0xFE, 0xFF, 0xFF, 0xFF, 0x00, 0x10, 0x03},
                 {{9, 0x50}},
                 0,
                 -2,
                 0},
        // The frame as the module sends it: DLE 0xFF ends it; CRC and DLE ETX are ignored.
        BinrCase{"TrailerFormEndsAtDle0xFF",
                 {0x10, 0x54, 0x10, 0xFF, 0xA4, 0x44, 0x10, 0x03},
                 {{3, 0x54}}},
        // Id 0x54 with data 0x0B has the CRC 0x7310, sent 10 73: the CRC's 0x10 is no DLE,
        // so 0x73 starts no phantom packet.
        BinrCase{"CrcByte0x10StartsNoPacket",
                 {0x10, 0x54, 0x0B, 0x10, 0xFF, 0x10, 0x73, 0x10, 0x03},
                 {{4, 0x54}}},
        // A CRC whose high byte is 0x50 must not pass for a rate confirmation.
        BinrCase{"CrcCannotFakeARateConfirmation",
                 {0x10, 0x54, 0x10, 0xFF, 0x10, 0x50, 0x10, 0x03, 0x10, 0x26, 0x10, 0x03},
                 {{3, 0x54}, {11, 0x26}}},
        BinrCase{"CrcBytesDleDleStartNothing",
                 {0x10, 0x54, 0x10, 0xFF, 0x10, 0x10, 0x10, 0x03, 0x54, 0x10, 0x03},
                 {{3, 0x54}}},
        BinrCase{"NoiseBetweenFramesIsIgnored",
                 {0x54, 0x03, 0xFF, 0x10, 0x03, 0x10, 0x10, 0x10, 0xFF, 0x54, 0x10,
                  0x26, 0x10, 0x03, 0x00, 0x10, 0x03, 0x10, 0x1B, 0x10, 0x03},
                 {{13, 0x26}, {20, 0x1B}}},
        // Identifier 0 ends with result 0, the same as a byte that ended nothing.
        BinrCase{"IdentifierZeroIsSilent", {0x10, 0x00, 0x10, 0x03}, {}},
        BinrCase{"ShortPortSettingsLeaveTheResults",
                 {0x10, 0x50, 0x01, 0x00, 0xC2, 0x01, 0x00, 0x04, 0x10, 0x03,  // well-formed
                  0x10, 0x50, 0x02, 0x00, 0x84, 0x03, 0x00, 0x10, 0x03,        // 5 data bytes
                  0x10, 0x50, 0x02, 0x00, 0x84, 0x03, 0x00, 0x04, 0x09, 0x10, 0x03},  // 7
                 {{9, 0x50}, {18, 0x50}, {29, 0x50}},
                 1,
                 115200,
                 4}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------
// BinrCollector: the version reply, overflow, clearing

// A 0x70 packet with `dataLength` data bytes counting up from `first`, stuffed as sent.
Bytes versionFrame(std::size_t dataLength, std::uint8_t first) {
  Bytes frame{0x10, 0x70};
  for (std::size_t i = 0; i < dataLength; ++i) {
    const auto b = static_cast<std::uint8_t>(first + i);
    frame.push_back(b);
    if (b == 0x10) frame.push_back(b);
  }
  frame.insert(frame.end(), {0x10, 0x03});
  return frame;
}

TEST(BinrCollector, VersionInfoTakesOnlyAReplyOfExactly76DataBytes) {
  BinrCollector rx;
  for (const std::uint8_t b : versionFrame(76, 0x20)) rx.Push(b);
  std::array<std::uint8_t, 76> expected{};
  for (std::size_t i = 0; i < expected.size(); ++i)
    expected[i] = static_cast<std::uint8_t>(0x20 + i);
  EXPECT_EQ(rx.VersionInfo, expected);

  for (const std::size_t length : {75u, 77u, 0u}) {
    int last = 0;
    for (const std::uint8_t b : versionFrame(length, 0x01)) last = rx.Push(b);
    EXPECT_EQ(last, 0x70) << length;
    EXPECT_EQ(rx.VersionInfo, expected) << length;
  }
}

TEST(BinrCollector, PacketOf1023BytesEndsButThe1024thByteDropsIt) {
  // Identifier plus 1022 data bytes: Length 1023, still a packet.
  Bytes fits{0x10, 0x26};
  fits.insert(fits.end(), 1022, 0x55);
  fits.insert(fits.end(), {0x10, 0x03});
  BinrCollector rx;
  EXPECT_EQ(feedBinr(rx, fits, 0), (std::vector<Event>{{fits.size() - 1, 0x26}}));
  EXPECT_EQ(rx.Length, 1023);

  // One more data byte, sent stuffed: the stored 1024th byte drops the packet at once, its
  // DLE ETX then ends nothing, and the next packet is collected as usual.
  Bytes over{0x10, 0x26};
  over.insert(over.end(), 1022, 0x55);
  over.insert(over.end(), {0x10, 0x10, 0x10, 0x03, 0x10, 0x54, 0x10, 0x03});
  EXPECT_EQ(feedBinr(rx, over, 500),
            (std::vector<Event>{{1025, BinrCollector::kPacketDropped}, {over.size() - 1, 0x54}}));
  EXPECT_FALSE(rx.InPacket);
}

TEST(BinrCollector, EndlessStreamIsDroppedEvery1024BytesWithoutOverrun) {
  BinrCollector rx;
  std::vector<Event> events;
  Bytes stream{0x10, 0x26};
  stream.insert(stream.end(), 5000, 0x10);  // 2500 stuffed data bytes, never an end
  for (std::size_t i = 0; i < stream.size(); ++i) {
    if (const int r = rx.Push(stream[i]); r != 0) events.push_back({i, r});
    ASSERT_LE(rx.Length, BinrCollector::kMaxPacketLength);
  }
  // The first packet drops at its 1024th byte; the 0x10 pairs after it start nothing.
  EXPECT_EQ(events, (std::vector<Event>{{2 + 2 * 1023 - 1, BinrCollector::kPacketDropped}}));
}

TEST(BinrCollector, ClearForgetsThePartialPacketButKeepsTheResults) {
  BinrCollector rx;
  for (const std::uint8_t b : {0x10, 0x50, 0x01, 0x00, 0xC2, 0x01, 0x00, 0x04, 0x10, 0x03}) {
    rx.Push(b);
  }
  for (const std::uint8_t b : {0x10, 0x54, 0x01, 0x10}) rx.Push(b);
  rx.Clear();
  EXPECT_FALSE(rx.InPacket);
  EXPECT_FALSE(rx.DlePending);
  EXPECT_EQ(rx.Length, 0);
  // The DLE pushed before Clear no longer pairs: 0x54 starts nothing.
  EXPECT_EQ(feedBinr(rx, {0x54, 0x01, 0x10, 0x03}, 0), std::vector<Event>{});
  EXPECT_EQ(rx.Baud, 115200);
}

// Frames built by the sending side come back whole through the collector, stuffing removed.
TEST(BinrCollector, RecoversEveryFrameTheSenderBuilds) {
  std::mt19937 random(20240611);
  std::uniform_int_distribution<int> byte(0, 255), length(0, 40);
  for (int round = 0; round < 500; ++round) {
    std::uint8_t id = 0;
    while (id == 0 || id == 0x03 || id == 0x10 || id == 0xFF)
      id = static_cast<std::uint8_t>(byte(random));
    Bytes data(static_cast<std::size_t>(length(random)));
    for (auto& b : data) b = (byte(random) < 64) ? 0x10 : static_cast<std::uint8_t>(byte(random));
    const Bytes message = concat({{0x10, id}, data, {0x10, 0x03}});
    const Bytes frame = FrameBinrMessage(message);
    ASSERT_FALSE(frame.empty());

    // The frame ends at the 0xFF of DLE 0xFF; nothing after it, whatever the CRC bytes
    // are, ends another packet.
    const std::size_t end = frame.size() - 5;
    BinrCollector rx;
    for (std::size_t i = 0; i < end; ++i) ASSERT_EQ(rx.Push(frame[i]), 0) << i;
    ASSERT_EQ(rx.Push(frame[end]), id);
    ASSERT_EQ(rx.Length, static_cast<std::int32_t>(data.size() + 1));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), rx.Buffer.begin() + 1));
    for (std::size_t i = end + 1; i < frame.size(); ++i) ASSERT_EQ(rx.Push(frame[i]), 0) << i;
    EXPECT_FALSE(rx.InPacket);
    EXPECT_FALSE(rx.DlePending);
  }
}

// ---------------------------------------------------------------------------------------
// NmeaCollector

struct NmeaRun {
  std::vector<Event> events;
  std::vector<std::string> sentences;
};

NmeaRun feedNmea(NmeaCollector& rx, std::string_view text, std::size_t cut) {
  NmeaRun run;
  NmeaSentence sentence{};
  auto feed = [&](std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) {
      const int r = rx.Push(text[i], sentence);
      if (r != 0) run.events.push_back({i, r});
      if (r == NmeaCollector::kSentenceComplete) run.sentences.emplace_back(sentence.data());
    }
  };
  feed(0, cut);
  feed(cut, text.size());
  return run;
}

struct NmeaCase {
  const char* name;
  std::string stream;
  std::vector<Event> events;
  std::vector<std::string> sentences;
};

class NmeaStream : public testing::TestWithParam<NmeaCase> {};

TEST_P(NmeaStream, GivesTheSameSentencesWhereverTheStreamIsCut) {
  const NmeaCase& c = GetParam();
  for (std::size_t cut = 0; cut <= c.stream.size(); ++cut) {
    NmeaCollector rx;
    const NmeaRun run = feedNmea(rx, c.stream, cut);
    EXPECT_EQ(run.events, c.events) << "cut at " << cut;
    EXPECT_EQ(run.sentences, c.sentences) << "cut at " << cut;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Collectors, NmeaStream,
    testing::Values(
        NmeaCase{"VersionReply",
                 "\r\n\x01garbage$POVER,A1,KAP41,0102*5E\r\n",
                 {{34, 1}},
                 {"$POVER,A1,KAP41,0102*5E"}},
        NmeaCase{"TwoSentencesBackToBack",
                 "$PORZA,0,230400,1*7E\r\n$POVER*5E\r\n",
                 {{21, 1}, {32, 1}},
                 {"$PORZA,0,230400,1*7E", "$POVER*5E"}},
        NmeaCase{"DollarRestarts", "$POV$POVER*5E\r\n", {{4, -1}, {14, 1}}, {"$POVER*5E"}},
        NmeaCase{
            "CrWithoutLfDiscards", "$POVER*5E\rX$POVER,1\r\n", {{10, -1}, {20, 1}}, {"$POVER,1"}},
        NmeaCase{"LfAloneIsText", "$A\nB\r\n", {{5, 1}}, {"$A\nB"}},
        NmeaCase{"DollarAfterCrIsKeptUntilLf", "$AB\r$\n", {{5, 1}}, {"$AB$"}},
        NmeaCase{"DollarAfterCrThenOtherDiscards", "$AB\r$X\r\n", {{5, -1}}, {}},
        NmeaCase{"BareDollar", "$\r\n", {{2, 1}}, {"$"}}),
    [](const auto& info) { return std::string(info.param.name); });

std::string sentenceOfLength(std::size_t length) {
  std::string s = "$";
  while (s.size() < length) s.push_back(static_cast<char>('A' + s.size() % 26));
  return s;
}

TEST(NmeaCollector, SentenceUpTo82CharactersFillsTheCallersAreaZeroPadded) {
  NmeaCollector rx;
  NmeaSentence sentence;
  for (const std::size_t length : {1u, 9u, 82u}) {
    sentence.fill('x');
    const std::string text = sentenceOfLength(length);
    int last = 0;
    for (const char c : text + "\r\n") last = rx.Push(c, sentence);
    ASSERT_EQ(last, NmeaCollector::kSentenceComplete) << length;
    EXPECT_EQ(std::string_view(sentence.data(), length), text);
    EXPECT_TRUE(std::all_of(sentence.begin() + static_cast<std::ptrdiff_t>(length), sentence.end(),
                            [](char c) { return c == '\0'; }))
        << length;
  }
}

TEST(NmeaCollector, FinishedSentenceTooLongForTheCallersAreaIsDroppedWhole) {
  for (const std::size_t length : {83u, 100u}) {
    NmeaCollector rx;
    NmeaSentence sentence;
    sentence.fill('x');
    const NmeaSentence before = sentence;
    std::vector<int> results;
    for (const char c : sentenceOfLength(length) + "\r\n") results.push_back(rx.Push(c, sentence));
    EXPECT_EQ(results.back(), NmeaCollector::kSentenceDiscarded) << length;
    EXPECT_EQ(std::count(results.begin(), results.end(), 0), static_cast<long>(length + 1));
    EXPECT_EQ(sentence, before) << length;
    // The collector is ready for the next sentence.
    EXPECT_EQ(feedNmea(rx, "$POVER*5E\r\n", 0).sentences, std::vector<std::string>{"$POVER*5E"});
  }
}

TEST(NmeaCollector, The101stCharacterDiscardsSilentlyAndTheRestWaitsForDollar) {
  NmeaCollector rx;
  // 100 characters fill the buffer; the 101st discards with result 0; CR LF and the rest of
  // the line are ignored; the next "$" starts afresh.
  const std::string text = sentenceOfLength(100) + "XYZ\r\n,1,2*00\r\n$POVER*5E\r\n";
  const NmeaRun run = feedNmea(rx, text, 0);
  EXPECT_EQ(run.events, (std::vector<Event>{{text.size() - 1, 1}}));
  EXPECT_EQ(run.sentences, std::vector<std::string>{"$POVER*5E"});
}

TEST(NmeaCollector, ClearDropsThePartialSentence) {
  NmeaCollector rx;
  NmeaSentence sentence{};
  for (const char c : std::string_view("$POVER,1\r")) rx.Push(c, sentence);
  rx.Clear();
  EXPECT_EQ(rx.Push('\n', sentence), 0);
  EXPECT_EQ(rx.Position, 0u);
}

NmeaSentence sentenceArea(std::string_view text) {
  NmeaSentence s{};
  std::copy_n(text.begin(), std::min(text.size(), s.size()), s.begin());
  return s;
}

std::string wordsOf(std::string_view text) {
  NmeaWords words{};
  NmeaCollector::FieldsToWords(sentenceArea(text), words);
  const auto end = std::find(words.begin(), words.end(), '\0');
  EXPECT_TRUE(std::all_of(end, words.end(), [](char c) { return c == '\0'; }));
  return {words.begin(), end};
}

TEST(NmeaCollector, FieldsToWordsTakesTheFieldsBetweenTheFirstCommaAndTheAsterisk) {
  EXPECT_EQ(wordsOf("$POVER,A1,KAP41,0102*5E"), "A1 KAP41 0102");
  EXPECT_EQ(wordsOf("$POVER,A1,,RTK,1,2*00,9"), "A1  RTK 1 2");
  EXPECT_EQ(wordsOf("$POVER,A1,KAP41"), "A1 KAP41");  // no "*": up to the end
  EXPECT_EQ(wordsOf("$POVER,*5E"), "");
  EXPECT_EQ(wordsOf("$POVER*5E"), "");  // no comma: nothing written
  // Stops at the sentence's terminating zero, not at the end of the area.
  EXPECT_EQ(wordsOf(std::string_view("$POVER,A1\0KAP41,X*", 18)), "A1");
}

TEST(NmeaCollector, FieldsToWordsStaysInsideAnAreaWithoutTerminator) {
  NmeaSentence full;
  full.fill('7');
  full[1] = ',';
  NmeaWords words{};
  NmeaCollector::FieldsToWords(full, words);
  EXPECT_EQ(std::count(words.begin(), words.end(), '7'), 81);
}

struct ThreeInts {
  const char* text;
  int count;
  int first, second, third;
};

class ReadThreeIntsCase : public testing::TestWithParam<ThreeInts> {};

TEST_P(ReadThreeIntsCase, ReadsLikeScanfAndLeavesUnreadVariables) {
  const ThreeInts& c = GetParam();
  int a = -7, b = -8, d = -9;
  EXPECT_EQ(NmeaCollector::ReadThreeInts(sentenceArea(c.text), a, b, d), c.count);
  EXPECT_EQ(a, c.first);
  EXPECT_EQ(b, c.second);
  EXPECT_EQ(d, c.third);
}

INSTANTIATE_TEST_SUITE_P(
    Collectors, ReadThreeIntsCase,
    testing::Values(
        ThreeInts{"$PORZA,0,230400,1*7E", 3, 0, 230400, 1}, ThreeInts{"$PORZA,1,2,3,4", 3, 1, 2, 3},
        ThreeInts{"$PORZA,0,115200", 2, 0, 115200, -9}, ThreeInts{"$PORZA,0,x,1", 1, 0, -8, -9},
        ThreeInts{"$PORZA,,230400,1", 0, -7, -8, -9}, ThreeInts{"$PORZA", 0, -7, -8, -9},
        ThreeInts{"$PORZA,", 0, -7, -8, -9}, ThreeInts{"$PORZA, 5,\t+6, -7", 3, 5, 6, -7},
        ThreeInts{"$PORZA,5 ,6,7", 1, 5, -8, -9},  // a comma must follow at once
        ThreeInts{"$PORZA,-,1,2", 0, -7, -8, -9}, ThreeInts{"$PORZA,007,0x10,1", 2, 7, 0, -9},
        ThreeInts{"$PORZA,2147483647,-2147483648,2147483648", 2, INT_MAX, INT_MIN, -9},
        ThreeInts{"$PORZA,99999999999999999999999,1,2", 0, -7, -8, -9},
        ThreeInts{"$A,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,"
                  "24,25,26,27,28",
                  3, 1, 2, 3}));

TEST(NmeaCollector, ReadThreeIntsStaysInsideAnAreaWithoutTerminator) {
  NmeaSentence digits;
  digits.fill('1');
  digits[1] = ',';
  int a = 5, b = 6, c = 7;
  EXPECT_EQ(NmeaCollector::ReadThreeInts(digits, a, b, c), 0);  // 81 digits: out of range
  EXPECT_EQ(a, 5);

  NmeaSentence tail;
  tail.fill(' ');
  const std::string_view head = "$P,12,34,";
  std::copy(head.begin(), head.end(), tail.begin());
  std::fill(tail.end() - 3, tail.end(), '9');  // the area ends in digits, no terminator
  EXPECT_EQ(NmeaCollector::ReadThreeInts(tail, a, b, c), 3);
  EXPECT_EQ(a, 12);
  EXPECT_EQ(b, 34);
  EXPECT_EQ(c, 999);
}

}  // namespace
}  // namespace movrand

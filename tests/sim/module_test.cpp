// The simulated module on the virtual clock, reached the way the program reaches a module:
// through the serial link (`Comm`) and the in-process simulated port.
#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

#include "comm/comm.h"
#include "platform/virtual_event_loop.h"
#include "sim/module.h"
#include "sim/sim_serial.h"
#include "sim_test_util.h"

namespace movrand::sim {
namespace {

using namespace std::chrono_literals;
using testing::Bytes;
using testing::Sentence;
using testing::ToBytes;
using testing::ToText;

constexpr std::uint8_t kNone = 0;
constexpr std::uint8_t kOdd = 1;

const Bytes kProbe = {0x10, 0x26, 0x10, 0xFF, 0xA4, 0x44, 0x10, 0x03};
const Bytes kVersionRequest = {0x10, 0x1B, 0x10, 0xFF, 0x5A, 0xA3, 0x10, 0x03};

// A module, the line to it and the host's serial link, all on one virtual clock.
class Bench {
 public:
  explicit Bench(SimConfig config) : module(loop, std::move(config)), driver(loop, module) {
    module.setEventSink([this](const std::string& line) { events.push_back(line); });
    CommHandlers handlers;
    handlers.dataReceived = [this](const std::uint8_t* data, int length) {
      received.insert(received.end(), data, data + length);
      arrivals.push_back(loop.now());
    };
    CommAttach(loop, driver, handlers);
    module.powerOn();
  }
  ~Bench() { CommDetach(); }

  void write(const Bytes& bytes) { WritePort(bytes.data(), static_cast<int>(bytes.size())); }
  void write(const std::string& text) { write(ToBytes(text)); }
  // What arrived since the last call.
  Bytes take() {
    Bytes out;
    out.swap(received);
    arrivals.clear();
    return out;
  }
  std::int64_t eventsContaining(const std::string& needle) const {
    std::int64_t n = 0;
    for (const auto& e : events) n += e.find(needle) != std::string::npos;
    return n;
  }
  // Events lines holding every one of `needles`.
  std::int64_t eventsWithAll(std::initializer_list<std::string> needles) const {
    std::int64_t n = 0;
    for (const auto& e : events) {
      n += std::all_of(needles.begin(), needles.end(),
                       [&](const std::string& needle) { return e.find(needle) != e.npos; });
    }
    return n;
  }

  VirtualEventLoop loop;
  SimModule module;
  SimSerialDriver driver;
  Bytes received;
  std::vector<Milliseconds> arrivals;
  std::vector<std::string> events;
};

SimConfig Nmea(std::uint32_t baud = 115200) {
  SimConfig c;
  c.baud = baud;
  c.versionWords = {"A1", "KAP41", "0207"};
  c.newVersionWords = {"A1", "KAP41", "0300"};
  return c;
}

SimConfig Binr(std::uint32_t baud = 115200) {
  SimConfig c = Nmea(baud);
  c.protocol = Protocol::Binr;
  return c;
}

TEST(SimModule, AnswersTheVersionQueryAfterTheAnswerDelayAndTransmissionTime) {
  Bench bench(Nmea());
  ASSERT_TRUE(OpenPort("SIM0", 115200, kNone));
  bench.write(Sentence("POVER"));
  // 11 bytes in, 1 ms on the wire; the answer delay; 25 bytes back take 2.2 ms.
  const auto due = 1ms + kAnswerDelay + 3ms;
  bench.loop.advance(due - 1ms);
  EXPECT_TRUE(bench.received.empty());
  bench.loop.advance(1ms);
  EXPECT_EQ(ToText(bench.take()), Sentence("POVER,A1,KAP41,0207"));
  EXPECT_EQ(bench.module.stats().seen.at("nmea POVER"), 1);
}

TEST(SimModule, RtkTypeModelsReportFiveWords) {
  SimConfig config;
  config.model = "RTK";
  Bench bench(config);
  ASSERT_TRUE(OpenPort("SIM0", 115200, kNone));
  bench.write(Sentence("POVER"));
  bench.loop.advance(100ms);
  EXPECT_EQ(ToText(bench.take()), Sentence("POVER,A1,RTK,0102,B1,0001"));
}

TEST(SimModule, ConfirmsARateChangeAtTheOldRateThenTalksOnlyAtTheNewOne) {
  Bench bench(Nmea(57600));
  ASSERT_TRUE(OpenPort("SIM0", 57600, kNone));
  bench.write(Sentence("PORZA,0,115200,1"));
  bench.loop.advance(100ms);
  // The host is still at 57600: it could only have received a reply sent at 57600.
  EXPECT_EQ(ToText(bench.take()), "$PORZA,0,115200,1*7C\r\n");
  EXPECT_EQ(bench.module.line().baud, 115200u);

  bench.write(Sentence("POVER"));  // the host has not followed yet
  bench.loop.advance(100ms);
  EXPECT_TRUE(bench.take().empty());
  EXPECT_EQ(bench.module.stats().noiseChunks, 1);

  ASSERT_TRUE(SetPortBaud(115200));
  bench.write(Sentence("POVER"));
  bench.loop.advance(100ms);
  EXPECT_EQ(ToText(bench.take()), Sentence("POVER,A1,KAP41,0207"));
}

TEST(SimModule, AHostThatSwitchesBeforeTheConfirmationArrivesLosesIt) {
  Bench bench(Nmea(57600));
  ASSERT_TRUE(OpenPort("SIM0", 57600, kNone));
  bench.write(Sentence("PORZA,0,115200,1"));
  bench.loop.advance(5ms);
  ASSERT_TRUE(SetPortBaud(115200));
  bench.loop.advance(100ms);
  EXPECT_TRUE(bench.take().empty());
  EXPECT_EQ(bench.module.stats().lost, 1);
  EXPECT_EQ(bench.eventsContaining("lost: host at wrong rate"), 1);
}

TEST(SimModule, RefusesRateCommandsItCannotFollow) {
  Bench bench(Nmea());
  ASSERT_TRUE(OpenPort("SIM0", 115200, kNone));
  for (const char* body : {"PORZA,0,123456,1", "PORZA,1,57600,1", "PORZA,0,57600,4",
                           "PORZA,0,57600", "PORZA,0,+57600,1"}) {
    bench.write(Sentence(body));
  }
  bench.loop.advance(200ms);
  EXPECT_TRUE(bench.take().empty());
  EXPECT_EQ(bench.module.line().baud, 115200u);
  EXPECT_EQ(bench.module.stats().violations.at("rate-command-unsupported"), 3);
  EXPECT_EQ(bench.module.stats().violations.at("rate-command-malformed"), 2);
}

struct ProbeCase {
  std::uint32_t baud;
  std::uint8_t parity;
  bool answered;
};

TEST(SimModule, AnswersTheBinrProbeOnlyAtItsOwnRateAndParity) {
  const ProbeCase cases[] = {
      {115200, kNone, false},  // right rate, no parity: garbage to the module
      {57600, kOdd, false},    // right parity, wrong rate
      {115200, kOdd, true},
  };
  for (const auto& c : cases) {
    Bench bench(Binr());
    ASSERT_TRUE(OpenPort("SIM0", c.baud, c.parity));
    bench.write(kProbe);
    bench.loop.advance(100ms);
    const Bytes got = bench.take();
    if (!c.answered) {
      EXPECT_TRUE(got.empty()) << c.baud << "/" << int(c.parity);
      EXPECT_EQ(bench.module.stats().noiseChunks, 1);
      EXPECT_EQ(bench.eventsContaining("\"dir\":\"noise\""), 1);
      continue;
    }
    const auto frame = testing::ReadOneFrame(got);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->id, 0x54);
    EXPECT_TRUE(frame->hadCrc && frame->crcOk);
  }
}

TEST(SimModule, EndsBinrRepliesWithPlainDleEtxWhenAsked) {
  SimConfig config = Binr();
  config.binrEnding = BinrEnding::DleEtx;
  Bench bench(config);
  ASSERT_TRUE(OpenPort("SIM0", 115200, kOdd));
  bench.write(kProbe);
  bench.loop.advance(100ms);
  EXPECT_EQ(bench.take(), (Bytes{0x10, 0x54, 0x10, 0x03}));
}

TEST(SimModule, BinrVersionReplyHoldsTwoZeroTerminatedTextsIn76Bytes) {
  SimConfig config = Binr();
  config.binrText1 = "KAP41 0207";
  config.binrText2 = std::string(49, 'x');  // the longest that fits
  Bench bench(config);
  ASSERT_TRUE(OpenPort("SIM0", 115200, kOdd));
  bench.write(kVersionRequest);
  bench.loop.advance(100ms);
  const auto frame = testing::ReadOneFrame(bench.take());
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->id, 0x70);
  EXPECT_TRUE(frame->crcOk);
  ASSERT_EQ(frame->data.size(), 76u);
  EXPECT_EQ(testing::TextAt(frame->data, 1), "KAP41 0207");
  EXPECT_EQ(testing::TextAt(frame->data, 26), std::string(49, 'x'));
  EXPECT_EQ(frame->data[75], 0);
}

TEST(SimModule, BinrRateCommandIsConfirmedWithMessage0x50ThenTheRateChanges) {
  Bench bench(Binr(57600));
  ASSERT_TRUE(OpenPort("SIM0", 57600, kOdd));
  bench.write(
      Bytes{0x10, 0x0B, 0x00, 0x00, 0xC2, 0x01, 0x00, 0x04, 0x10, 0xFF, 0x57, 0x62, 0x10, 0x03});
  bench.loop.advance(100ms);
  const auto frame = testing::ReadOneFrame(bench.take());
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->id, 0x50);
  EXPECT_EQ(frame->data, (Bytes{0x00, 0x00, 0xC2, 0x01, 0x00, 0x04}));
  EXPECT_EQ(bench.module.line(), (LineSettings{115200, Parity::Odd}));
  ASSERT_TRUE(SetPortBaud(115200));
  bench.write(kProbe);
  bench.loop.advance(100ms);
  EXPECT_FALSE(bench.take().empty());
}

TEST(SimModule, IgnoresSentencesWithABadChecksumAndCountsThem) {
  Bench bench(Nmea());
  ASSERT_TRUE(OpenPort("SIM0", 115200, kNone));
  bench.write(std::string("$POVER*5F\r\n"));
  bench.write(std::string("$POVER\r\n"));
  bench.write(kProbe);  // BINR bytes at the NMEA settings: outside any sentence
  bench.loop.advance(200ms);
  EXPECT_TRUE(bench.take().empty());
  const auto& v = bench.module.stats().violations;
  EXPECT_EQ(v.at("nmea-bad-checksum"), 1);
  EXPECT_EQ(v.at("nmea-missing-checksum"), 1);
  EXPECT_EQ(v.at("stray-bytes"), 1);
}

TEST(SimModule, SilentModuleNeverAnswers) {
  SimConfig config = Nmea();
  config.silent = true;
  Bench bench(config);
  ASSERT_TRUE(OpenPort("SIM0", 115200, kNone));
  bench.write(Sentence("POVER"));
  bench.write(Sentence("POPRL,B"));
  bench.loop.advance(2s);
  EXPECT_TRUE(bench.take().empty());
  EXPECT_EQ(bench.module.mode(), SimModule::Mode::Running);
  EXPECT_EQ(bench.module.stats().seen.at("nmea POVER"), 1);
}

TEST(SimSerialDriver, OpensOnlyItsOwnPortAndOnlyOnceAtATime) {
  Bench bench(Nmea());
  EXPECT_FALSE(OpenPort("COM1", 115200, kNone));
  ASSERT_TRUE(OpenPort("SIM0", 115200, kNone));
  EXPECT_EQ(bench.driver.open("SIM0", 115200, Parity::None), nullptr);  // busy
  ClosePort();
  EXPECT_FALSE(bench.driver.hostSettings());
  auto device = bench.driver.open("SIM0", 9600, Parity::Odd);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(bench.driver.hostSettings(), (LineSettings{9600, Parity::Odd}));
}

// --- Loader ----------------------------------------------------------------------------

// Sends `block` and returns the single answer byte after the block's time on the wire.
std::uint8_t Answer(Bench& bench, const Bytes& block) {
  bench.take();
  bench.write(block);
  bench.loop.advance(50ms);
  const Bytes got = bench.take();
  return got.size() == 1 ? got[0] : 0xEE;
}

constexpr std::uint8_t kAck = 0x06;
constexpr std::uint8_t kNak = 0x15;

TEST(SimLoader, EntersOnTheLoaderCommandAndRepeatsTheStartRequest) {
  Bench bench(Nmea());
  ASSERT_TRUE(OpenPort("SIM0", 115200, kNone));
  bench.write(Sentence("POPRL,B"));
  bench.loop.advance(2ms);  // 13 bytes: the command has arrived
  ASSERT_EQ(bench.module.mode(), SimModule::Mode::Loader);
  const Milliseconds entered = bench.loop.now();
  bench.loop.advance(3 * kStartRequestInterval + 1ms);
  EXPECT_EQ(ToText(bench.received), "CCC");
  ASSERT_EQ(bench.arrivals.size(), 3u);
  EXPECT_EQ(bench.arrivals[0], entered + kStartRequestInterval + 1ms);
  EXPECT_EQ(bench.arrivals[2] - bench.arrivals[1], kStartRequestInterval);
  EXPECT_EQ(bench.module.stats().violations.count("loader-variant-mismatch"), 0u);
}

struct EntryCase {
  const char* model;
  Protocol protocol;
  Bytes command;
  bool suitsModel;
};

TEST(SimLoader, EveryLoaderEntryCommandEntersAndTheVariantIsCheckedAgainstTheModel) {
  const auto nmea = [](const char* body) { return ToBytes(Sentence(body)); };
  const auto binr = [](const char* text) { return testing::HostFrame(0x01, ToBytes(text)); };
  const EntryCase cases[] = {
      {"KAP41", Protocol::Nmea, nmea("POPRL,B"), true},
      {"dov42", Protocol::Nmea, nmea("POPRL,B"), true},  // the whole word, any letter case
      {"RTK", Protocol::Nmea, nmea("POPRL,C"), true},
      {"RTM7", Protocol::Nmea, nmea("POPRL,C"), true},
      {"RTK7", Protocol::Nmea, nmea("POPRL,R"), true},  // only RTM is matched by its beginning
      {"NV100", Protocol::Nmea, nmea("POPRL,R"), true},
      {"KAP41", Protocol::Nmea, nmea("POPRL,R"), false},
      {"KAP42", Protocol::Binr, binr("RELOAD_B"), true},
      {"RTK", Protocol::Binr, binr("RELOAD_R"), true},
      {"RTK", Protocol::Binr, binr("RELOAD_B"), false},
  };
  for (const auto& c : cases) {
    SimConfig config;
    config.model = c.model;
    config.protocol = c.protocol;
    Bench bench(config);
    ASSERT_TRUE(OpenPort("SIM0", 115200, c.protocol == Protocol::Binr ? kOdd : kNone));
    bench.write(c.command);
    bench.loop.advance(kStartRequestInterval + 10ms);
    EXPECT_EQ(bench.module.mode(), SimModule::Mode::Loader) << c.model;
    EXPECT_EQ(ToText(bench.take()), "C") << c.model;
    EXPECT_EQ(bench.module.stats().violations.count("loader-variant-mismatch"),
              c.suitsModel ? 0u : 1u)
        << c.model;
  }
}

TEST(SimLoader, RecordsALoaderCommandThatDoesNotSuitTheModel) {
  Bench bench(Binr());
  ASSERT_TRUE(OpenPort("SIM0", 115200, kOdd));
  bench.write(testing::HostFrame(0x01, ToBytes("RELOAD_R")));  // a KAP41 takes RELOAD_B
  bench.loop.advance(1s);
  EXPECT_EQ(bench.module.mode(), SimModule::Mode::Loader);
  EXPECT_EQ(bench.module.stats().violations.at("loader-variant-mismatch"), 1);
  // The loader stays at the link's rate and parity.
  EXPECT_EQ(ToText(bench.take()), "CCC");
}

TEST(SimLoader, StartRequestsAreLostWhileTheHostHasNoPortOpen) {
  SimConfig config = Nmea();
  config.startInLoader = true;
  Bench bench(config);
  bench.loop.advance(1s);
  EXPECT_EQ(bench.module.stats().lost, 3);
  ASSERT_TRUE(OpenPort("SIM0", 115200, kNone));
  bench.loop.advance(kStartRequestInterval);
  EXPECT_EQ(ToText(bench.take()), "C");
}

TEST(SimLoader, ReceivesAnImageWithRejectionsARepeatedBlockAndRestartsWithTheNewVersion) {
  SimConfig config = Nmea();
  config.nakBlocks = {2};
  config.restartTime = 2000ms;
  Bench bench(config);
  ASSERT_TRUE(OpenPort("SIM0", 115200, kNone));
  bench.write(Sentence("POPRL,B"));
  bench.loop.advance(1s);

  const Bytes b1 = testing::Block(1, 0x00), b2 = testing::Block(2, 0x80),
              b3 = testing::Block(3, 0x10);
  EXPECT_EQ(Answer(bench, b1), kAck);
  EXPECT_EQ(Answer(bench, b2), kNak);  // rejected once, as ordered
  EXPECT_EQ(Answer(bench, b2), kAck);
  EXPECT_EQ(Answer(bench, b2), kAck);  // as after a lost ACK: acknowledged, not stored
  EXPECT_EQ(Answer(bench, b3), kAck);

  bench.take();
  const Milliseconds eotSent = bench.loop.now();
  bench.write(Bytes{0x04});
  bench.loop.advance(1ms + kBlockAnswerDelay + 1ms);
  EXPECT_EQ(bench.take(), Bytes{kAck});
  Bytes image = testing::BlockData(b1);
  for (const auto* b : {&b2, &b3}) {
    const Bytes data = testing::BlockData(*b);
    image.insert(image.end(), data.begin(), data.end());
  }
  EXPECT_EQ(bench.module.image(), image);
  const SimStats& s = bench.module.stats();
  EXPECT_EQ(s.blocksAccepted, 3);
  EXPECT_EQ(s.blocksRepeated, 1);
  EXPECT_EQ(s.injectedNaks, 1);
  EXPECT_EQ(s.naksSent, 1);
  EXPECT_EQ(s.violationTotal(), 0);
  // The ordered NAK and the repeated block's ACK say why in the events.
  EXPECT_EQ(bench.eventsWithAll({"\"kind\":\"xmodem NAK\"", "\"note\":\"rejected as ordered\""}),
            1);
  EXPECT_EQ(bench.eventsWithAll({"\"kind\":\"xmodem ACK\"", "\"note\":\"repeated block\""}), 1);

  // Up again exactly the restart time after the ACK of EOT (which left 1 ms + the block
  // answer delay after EOT was written); a query arriving 1 ms earlier is not heard.
  const Milliseconds up = eotSent + 1ms + kBlockAnswerDelay + config.restartTime;
  const Milliseconds queryOnWire = 1ms;
  bench.loop.advance(up - queryOnWire - 1ms - bench.loop.now());
  bench.write(Sentence("POVER"));
  bench.loop.advance(1ms);
  EXPECT_EQ(bench.module.mode(), SimModule::Mode::Restarting);
  bench.write(Sentence("POVER"));  // arrives at `up`
  bench.loop.advance(200ms);
  EXPECT_EQ(ToText(bench.take()), Sentence("POVER,A1,KAP41,0300"));
  EXPECT_EQ(bench.module.stats().ignoredChunks, 1);
  EXPECT_EQ(bench.module.stats().seen.at("nmea POVER"), 1);
}

TEST(SimLoader, WithoutAnAnswerDelayABlockIsAnsweredAsSoonAsItsLastByteIsIn) {
  SimConfig config = Nmea();
  config.blockAnswerDelay = 0ms;
  config.startInLoader = true;
  Bench bench(config);
  ASSERT_TRUE(OpenPort("SIM0", 115200, kNone));
  bench.loop.advance(1s);
  bench.take();
  const Milliseconds sent = bench.loop.now();
  bench.write(testing::Block(1, 0x00));
  // The block is in after 12 ms (11.55 ms at 115200, to the line's whole milliseconds), the
  // ACK one more later: no answer delay lies between them.
  bench.loop.advance(12ms);
  EXPECT_TRUE(bench.take().empty());
  bench.loop.advance(1ms);
  ASSERT_EQ(bench.arrivals.size(), 1u);
  EXPECT_EQ(bench.arrivals[0] - sent, 13ms);
  EXPECT_EQ(bench.take(), Bytes{kAck});

  // A block with a byte too many in the same chunk is overlong, even judged at once.
  Bytes longer = testing::Block(2, 0x40);
  longer.push_back(0x55);
  bench.write(longer);
  bench.loop.advance(1500ms);
  EXPECT_EQ(bench.module.stats().violations.count("xmodem-long-block"), 1u);
  EXPECT_EQ(bench.take(), Bytes{kNak});  // after the quiet time
  EXPECT_EQ(bench.module.stats().blocksAccepted, 1);
}

TEST(SimLoader, MeasuresTheTransferFromTheFirstBlockToEot) {
  SimConfig config = Nmea();
  config.startInLoader = true;
  Bench bench(config);
  ASSERT_TRUE(OpenPort("SIM0", 115200, kNone));
  bench.loop.advance(1s);
  const Milliseconds first = bench.loop.now();
  EXPECT_EQ(Answer(bench, testing::Block(1, 0x00)), kAck);
  EXPECT_EQ(Answer(bench, testing::Block(2, 0x00)), kAck);
  const Milliseconds eot = bench.loop.now();
  bench.write(Bytes{0x04});
  bench.loop.advance(50ms);
  // Each arrives when its last byte is in: block 1 after 12 ms, EOT after 1 ms.
  EXPECT_EQ(bench.module.stats().transferMicros,
            std::chrono::microseconds(eot + 1ms - (first + 12ms)).count());
}

TEST(SimLoader, RestartsAtThePowerOnRateNotTheProgrammingRate) {
  SimConfig config = Nmea(57600);
  config.restartTime = 100ms;
  Bench bench(config);
  ASSERT_TRUE(OpenPort("SIM0", 57600, kNone));
  bench.write(Sentence("PORZA,0,115200,1"));
  bench.loop.advance(100ms);
  ASSERT_TRUE(SetPortBaud(115200));
  bench.write(Sentence("POPRL,B"));
  bench.loop.advance(1s);
  ASSERT_EQ(bench.module.line().baud, 115200u);
  EXPECT_EQ(Answer(bench, testing::Block(1, 0)), kAck);
  bench.write(Bytes{0x04});
  bench.loop.advance(1s);
  EXPECT_EQ(bench.module.mode(), SimModule::Mode::Running);
  EXPECT_EQ(bench.module.line(), (LineSettings{57600, Parity::None}));
}

struct BadBlockCase {
  const char* name;
  Bytes bytes;
  const char* violation;
  Milliseconds nakAfter;  // from the last byte's arrival
  const char* nakNote;    // the reason the events give with the NAK
};

TEST(SimLoader, RejectsEveryMalformedBlockAndThenTakesAGoodOne) {
  Bytes wrongNumber = testing::Block(2, 0);
  Bytes lowFirst = testing::Block(1, 0);
  std::swap(lowFirst[131], lowFirst[132]);
  Bytes complement = testing::Block(1, 0);
  complement[2] = 0x00;
  Bytes shortBlock = testing::Block(1, 0);
  shortBlock.resize(100);
  Bytes longBlock = testing::Block(1, 0);
  longBlock.push_back(0x00);
  const BadBlockCase cases[] = {
      {"wrong number", wrongNumber, "xmodem-wrong-block-number", kBlockAnswerDelay,
       "wrong block number"},
      {"CRC low byte first", lowFirst, "xmodem-bad-crc", kBlockAnswerDelay, "xmodem-bad-crc"},
      {"bad complement", complement, "xmodem-bad-complement", kBlockAnswerDelay,
       "xmodem-bad-complement"},
      {"short", shortBlock, "xmodem-short-block", kBlockByteTimeout, "short block"},
      {"one byte too long", longBlock, "xmodem-long-block", kBlockAnswerDelay + kLineQuietTime,
       "after a garbled block"},
  };
  for (const auto& c : cases) {
    SimConfig config = Nmea();
    config.startInLoader = true;
    Bench bench(config);
    ASSERT_TRUE(OpenPort("SIM0", 115200, kNone));
    bench.loop.advance(1s);
    bench.take();
    bench.write(c.bytes);
    // The block's last byte is on the wire after ceil(bytes * 10 bits / 115200) ms.
    const auto onWire = std::chrono::ceil<Milliseconds>(
        std::chrono::microseconds(c.bytes.size() * 10'000'000 / 115200));
    bench.loop.advance(onWire + c.nakAfter);
    EXPECT_TRUE(bench.received.empty()) << c.name << ": answered too early";
    bench.loop.advance(1ms);  // and the NAK itself on the wire
    EXPECT_EQ(bench.take(), Bytes{kNak}) << c.name;
    EXPECT_EQ(bench.module.stats().violations.at(c.violation), 1) << c.name;
    EXPECT_EQ(bench.eventsWithAll(
                  {"\"kind\":\"xmodem NAK\"", "\"note\":\"" + std::string(c.nakNote) + "\""}),
              1)
        << c.name;
    EXPECT_EQ(Answer(bench, testing::Block(1, 0)), kAck) << c.name;
    // A plain ACK gives no reason; the note did not change what the summary counts.
    EXPECT_EQ(bench.eventsWithAll({"\"kind\":\"xmodem ACK\"", "\"note\""}), 0) << c.name;
    EXPECT_EQ(bench.module.stats().naksSent, 1) << c.name;
    EXPECT_EQ(bench.module.stats().sent.at("xmodem NAK"), 1) << c.name;
    EXPECT_EQ(bench.module.stats().blocksAccepted, 1) << c.name;
  }
}

TEST(SimLoader, NumbersBlocksOnFrom255To0) {
  SimConfig config = Nmea();
  config.startInLoader = true;
  config.nakForever = 300;
  Bench bench(config);
  ASSERT_TRUE(OpenPort("SIM0", 115200, kNone));
  bench.loop.advance(1s);
  for (int position = 1; position <= 299; ++position) {
    ASSERT_EQ(Answer(bench, testing::Block(static_cast<std::uint8_t>(position & 0xFF),
                                           static_cast<std::uint8_t>(position))),
              kAck)
        << position;
  }
  for (int attempt = 0; attempt < 4; ++attempt) {
    EXPECT_EQ(Answer(bench, testing::Block(300 & 0xFF, 0)), kNak);
  }
  EXPECT_EQ(bench.module.stats().injectedNaks, 4);
  EXPECT_EQ(bench.module.stats().violationTotal(), 0);
}

TEST(SimLoader, GivesUpAfterAMinuteWithoutABlockAndComesBackWithTheOldFirmware) {
  SimConfig config = Nmea();
  config.restartTime = 1000ms;
  Bench bench(config);
  ASSERT_TRUE(OpenPort("SIM0", 115200, kNone));
  bench.write(Sentence("POPRL,B"));
  bench.loop.advance(2ms);  // the command has arrived
  bench.loop.advance(kLoaderIdleTimeout - 1ms);
  EXPECT_EQ(bench.module.mode(), SimModule::Mode::Loader);
  bench.loop.advance(1ms);
  EXPECT_EQ(bench.module.mode(), SimModule::Mode::Restarting);
  bench.loop.advance(config.restartTime);
  EXPECT_EQ(bench.module.mode(), SimModule::Mode::Running);
  bench.take();
  bench.write(Sentence("POVER"));
  bench.loop.advance(100ms);
  EXPECT_EQ(ToText(bench.take()), Sentence("POVER,A1,KAP41,0207"));
}

TEST(SimLoader, TwoCancelBytesEndTheTransferAndTheLoaderAsksAgain) {
  SimConfig config = Nmea();
  config.startInLoader = true;
  Bench bench(config);
  ASSERT_TRUE(OpenPort("SIM0", 115200, kNone));
  bench.loop.advance(1s);
  EXPECT_EQ(Answer(bench, testing::Block(1, 0)), kAck);
  bench.write(Bytes{0x18, 0x18});
  bench.loop.advance(1s);
  EXPECT_EQ(ToText(bench.take()), "CCC");
  EXPECT_EQ(Answer(bench, testing::Block(1, 0)), kAck);  // a new transfer from block 1
}

// The host's program ended (or its cable came out) in the middle of a transfer: after the
// silence the loader drops what it had and asks again, and a new host's transfer from block 1
// is the image it keeps. A host that is merely slow is not cut off.
TEST(SimLoader, AHostThatVanishedMidTransferIsFollowedByANewTransferFromBlockOne) {
  SimConfig config = Nmea();
  config.startInLoader = true;
  Bench bench(config);
  ASSERT_TRUE(OpenPort("SIM0", 115200, kNone));
  bench.loop.advance(1s);
  EXPECT_EQ(Answer(bench, testing::Block(1, 0x00)), kAck);
  bench.loop.advance(kHostGoneSilence - 100ms);  // slow, not gone
  EXPECT_EQ(bench.take(), Bytes{});
  EXPECT_EQ(Answer(bench, testing::Block(2, 0x40)), kAck);
  EXPECT_EQ(Answer(bench, testing::Block(3, 0x50)), kAck);

  bench.loop.advance(kHostGoneSilence - 100ms);  // counted from the ACK, 50 ms ago at most
  EXPECT_EQ(bench.take(), Bytes{}) << "no start request while the host may still send";
  bench.loop.advance(100ms + 3 * kStartRequestInterval);
  EXPECT_EQ(ToText(bench.take()), "CCC");
  EXPECT_EQ(bench.module.mode(), SimModule::Mode::Loader);

  const Bytes b1 = testing::Block(1, 0x21), b2 = testing::Block(2, 0x31);
  EXPECT_EQ(Answer(bench, b1), kAck);
  EXPECT_EQ(Answer(bench, b2), kAck);
  bench.write(Bytes{0x04});
  bench.loop.advance(50ms);
  EXPECT_EQ(bench.take(), Bytes{kAck});
  Bytes image = testing::BlockData(b1);
  const Bytes second = testing::BlockData(b2);
  image.insert(image.end(), second.begin(), second.end());
  EXPECT_EQ(bench.module.image(), image) << "only the new transfer's blocks";
  EXPECT_EQ(bench.module.stats().violationTotal(), 0);
}

}  // namespace
}  // namespace movrand::sim

// The fixture of a flashing station on the virtual clock: its file, and the script it runs
// with modules put on a port of the test's own, reached through their host-side interface.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/virtual_event_loop.h"
#include "sim/fixture.h"
#include "sim/vanish.h"
#include "sim_test_util.h"
#include "support/temp_folder.h"

namespace movrand::sim {
namespace {

using namespace std::chrono_literals;
using testing::Bytes;
using testing::Sentence;
using testing::ToBytes;

struct Detach {
  Milliseconds at;
  TakeOff how;
  bool operator==(const Detach&) const = default;
};

// The port: the host's bytes reach the module on it at once; its replies are kept when sent
// at the host's settings.
class TestPort final : public FixturePort {
 public:
  explicit TestPort(VirtualEventLoop& loop) : loop_(loop) {}
  bool attach(SimModule& module, std::string& error) override {
    if (!refusal.empty()) {
      error = refusal;
      return false;
    }
    module_ = &module;
    attaches.push_back(loop_.now());
    module.setHostView([this] { return std::optional<LineSettings>(host); });
    module.setOutput([this](std::span<const std::uint8_t> bytes, LineSettings sentWith) {
      if (sentWith == host) received.append(bytes.begin(), bytes.end());
    });
    return true;
  }
  void detach(TakeOff how) override {
    module_->setOutput(nullptr);
    module_->setHostView(nullptr);
    module_ = nullptr;
    detaches.push_back({loop_.now(), how});
  }
  // Sends `bytes`; what came back within `wait`.
  std::string ask(const Bytes& bytes, Milliseconds wait = 50ms) {
    received.clear();
    if (module_) module_->receive(bytes, host);
    loop_.advance(wait);
    return received;
  }
  std::string ask(const std::string& text, Milliseconds wait = 50ms) {
    return ask(ToBytes(text), wait);
  }
  // Programs the module (from its loader command, unless it is in its loader already) with
  // `blocks` blocks and waits out its restart; the image it was given.
  Bytes flash(std::uint8_t fill, int blocks, bool command = true) {
    EXPECT_EQ(ask(command ? Sentence("POPRL,B") : "", kStartRequestInterval), "C");
    Bytes image;
    for (int n = 1; n <= blocks; ++n) {
      const Bytes block = testing::Block(static_cast<std::uint8_t>(n), fill);
      EXPECT_EQ(ask(block, 10ms), "\x06") << "block " << n;
      const Bytes data = testing::BlockData(block);
      image.insert(image.end(), data.begin(), data.end());
    }
    ask(Bytes{0x04}, 510ms);  // EOT, its ACK and the restart
    return image;
  }

  LineSettings host{115200, Parity::None};
  std::string refusal;  // when set, no port can be made and attach fails with it
  std::string received;
  std::vector<Milliseconds> attaches;
  std::vector<Detach> detaches;

 private:
  VirtualEventLoop& loop_;
  SimModule* module_ = nullptr;
};

struct Bench {
  explicit Bench(std::string_view text, std::string imageOut = {})
      : parsed(ParseFixture(text, "f", true)), fixture(loop, port, parsed.modules, Base(imageOut)) {
    fixture.setEventSink([this](const std::string& line) { events.push_back(line); });
    fixture.start();
  }
  static SimConfig Base(std::string imageOut) {
    SimConfig base;
    base.restartTime = 500ms;
    base.imageOut = std::move(imageOut);
    return base;
  }
  std::optional<Milliseconds> outcome(std::size_t i) const {
    return fixture.records().at(i).outcome;
  }

  VirtualEventLoop loop;
  TestPort port{loop};
  ParsedFixture parsed;
  Fixture fixture;
  std::vector<std::string> events;
};

// --- The script --------------------------------------------------------------------------

TEST(Fixture, AModuleStaysAfterItsOutcomeAndTheNextComesAfterTheEmptyFixture) {
  Bench b("stay=2 empty=1.5\nbehaviour=current stay=0.25 off=vanish\n");
  EXPECT_EQ(b.port.attaches, std::vector<Milliseconds>{0ms});
  // The old version and the load are not yet the outcome; the new version after it is.
  EXPECT_EQ(b.port.ask(Sentence("POVER")), Sentence("POVER,A1,KAP41,0102"));
  b.port.flash(0x10, 2);
  EXPECT_FALSE(b.outcome(0));
  const Milliseconds outcome = b.loop.now() + kAnswerDelay;
  EXPECT_EQ(b.port.ask(Sentence("POVER")), Sentence("POVER,A1,KAP41,0103"));
  EXPECT_EQ(b.outcome(0), outcome);

  b.loop.advance(outcome + 2000ms - 1ms - b.loop.now());
  EXPECT_TRUE(b.port.detaches.empty());
  b.loop.advance(1ms);
  EXPECT_EQ(b.port.detaches, (std::vector<Detach>{{outcome + 2000ms, TakeOff::Silent}}));
  EXPECT_EQ(b.port.ask(Sentence("POVER")), "");
  b.loop.advance(outcome + 3500ms - 1ms - b.loop.now());
  EXPECT_EQ(b.port.attaches.size(), 1u);
  b.loop.advance(1ms);
  EXPECT_EQ(b.port.attaches.back(), outcome + 3500ms);

  const Milliseconds second = b.loop.now() + kAnswerDelay;
  EXPECT_EQ(b.port.ask(Sentence("POVER")), Sentence("POVER,A1,KAP41,0103"));
  b.loop.advance(1h);
  EXPECT_EQ(b.port.detaches.back(), (Detach{second + 250ms, TakeOff::Vanish}));
  EXPECT_EQ(b.port.attaches.size(), 2u) << "after the last module the fixture stays empty";
  EXPECT_TRUE(b.fixture.done());
  EXPECT_EQ(b.fixture.records()[0].stats.versionQueries(), 2);
}

TEST(Fixture, TheOutcomeOfLoaderAndCurrentModulesInEitherProtocol) {
  Bench b(
      "behaviour=loader stay=0 empty=0\nbehaviour=current stay=0 empty=0\n"
      "behaviour=current protocol=binr baud=57600\n");
  b.port.flash(0x20, 1, false);  // asks with "C" by itself
  EXPECT_FALSE(b.outcome(0));
  EXPECT_EQ(b.port.ask(Sentence("POVER")), Sentence("POVER,A1,KAP41,0103"));
  EXPECT_TRUE(b.outcome(0));

  const Milliseconds asked = b.loop.now();
  EXPECT_EQ(b.port.ask(Sentence("POVER")), Sentence("POVER,A1,KAP41,0103"));
  EXPECT_EQ(b.outcome(1), asked + kAnswerDelay);

  b.port.host = {57600, Parity::Odd};
  const auto frame = testing::ReadOneFrame(
      ToBytes(b.port.ask(Bytes{0x10, 0x1B, 0x10, 0xFF, 0x5A, 0xA3, 0x10, 0x03})));
  ASSERT_TRUE(frame);
  EXPECT_EQ(testing::TextAt(frame->data, 1), "KAP41 0103");
  EXPECT_EQ(b.outcome(2), asked + 50ms + kAnswerDelay);
}

TEST(Fixture, ANakForeverModuleHasItsOutcomeAtTheFourthRejectionInARow) {
  Bench b("behaviour=nak-forever nak=2 stay=0.5\n");
  EXPECT_EQ(b.port.ask(Sentence("POPRL,B"), kStartRequestInterval), "C");
  const Bytes first = testing::Block(1, 0), second = testing::Block(2, 0);
  EXPECT_EQ(b.port.ask(first), "\x06");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(b.port.ask(second), "\x15");
  EXPECT_EQ(b.port.ask(first), "\x06");  // block 1 again, as after a lost ACK: the row is broken
  for (int i = 0; i < 3; ++i) EXPECT_EQ(b.port.ask(second), "\x15");
  EXPECT_FALSE(b.outcome(0));
  const Milliseconds sent = b.loop.now();
  EXPECT_EQ(b.port.ask(second), "\x15");
  EXPECT_EQ(b.outcome(0), sent + kBlockAnswerDelay);
  b.loop.advance(1s);
  EXPECT_EQ(b.port.detaches.at(0).at, sent + kBlockAnswerDelay + 500ms);
}

TEST(Fixture, ASilentModuleHasItsOutcomeOnArrivalAndAnswersNothing) {
  Bench b("behaviour=silent first=0.75 stay=1.25\n");
  EXPECT_TRUE(b.port.attaches.empty());
  b.loop.advance(750ms);
  EXPECT_EQ(b.outcome(0), 750ms);
  EXPECT_EQ(b.port.ask(Sentence("POPRL,B"), 1s), "");
  b.loop.advance(1s);
  EXPECT_EQ(b.port.detaches, (std::vector<Detach>{{2000ms, TakeOff::Silent}}));
}

TEST(Fixture, MaxTakesAModuleOffWhateverHappenedButNotBeforeItsStayEnds) {
  Bench b(
      "behaviour=loader max=5 empty=0\nbehaviour=current stay=3 max=1 empty=0\n"
      "behaviour=silent stay=0.5 max=2\n");
  b.loop.advance(5100ms);
  EXPECT_EQ(b.port.ask(Sentence("POVER")), Sentence("POVER,A1,KAP41,0103"));
  b.loop.advance(10s);
  EXPECT_EQ(b.port.attaches, (std::vector<Milliseconds>{0ms, 5000ms, 6000ms}));
  const auto r = b.fixture.records();
  ASSERT_EQ(r.size(), 3u);
  EXPECT_FALSE(r[0].outcome);  // nobody programmed it
  EXPECT_EQ(r[1].outcome, 5120ms);
  EXPECT_EQ(r[2].outcome, 6000ms);
  const std::string reasons[] = {r[0].offReason, r[1].offReason, r[2].offReason};
  EXPECT_EQ((std::vector<std::optional<Milliseconds>>{r[0].off, r[1].off, r[2].off}),
            (std::vector<std::optional<Milliseconds>>{5000ms, 6000ms, 6500ms}));
  EXPECT_EQ(reasons[0] + " " + reasons[1] + " " + reasons[2], "max max stay");
}

TEST(Fixture, EachModuleWritesItsImagesToItsOwnFileAndTheSummaryCountsThem) {
  const auto folder = movrand::test::MakeTempFolder("movrand-fixture");
  Bench b("stay=0 empty=0\nstay=0\n", (folder / "img").string());
  b.port.flash(0x00, 3);
  const Bytes second = b.port.flash(0x40, 2);  // programmed twice: the file holds the last
  b.port.ask(Sentence("POVER"));
  const Bytes third = b.port.flash(0x80, 1);
  const auto read = [&](const char* name) {
    std::ifstream in(folder / name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  };
  EXPECT_EQ(read("img.1"), second);
  EXPECT_EQ(read("img.2"), third);
  std::filesystem::remove_all(folder);

  const auto modules = nlohmann::json::parse(b.fixture.modulesJson());
  ASSERT_EQ(modules.size(), 2u);
  EXPECT_EQ(modules[0]["images_written"], 2);
  EXPECT_EQ(modules[0]["transfers_started"], 2);
  EXPECT_EQ(modules[0]["blocks_accepted"], 5);
  EXPECT_EQ(modules[0]["image_bytes"], 256);
  EXPECT_EQ(modules[0]["off_reason"], "stay");
  EXPECT_EQ(modules[1]["number"], 2);
  EXPECT_EQ(modules[1]["transfers_started"], 1);
  EXPECT_TRUE(modules[1]["outcome_ms"].is_null()) << "not asked for its version yet";
  EXPECT_TRUE(modules[1]["off_ms"].is_null());
  EXPECT_EQ(b.fixture.totals().imagesWritten, 3);
  int written = 0;
  for (const auto& e : b.events) {
    written += e.find("\"module_number\":2") != e.npos && e.find("image-written") != e.npos;
  }
  EXPECT_EQ(written, 1);
}

// --- A module alone that leaves with its port at its restart ---------------------------------

// A module alone on the test's port, which it leaves at each restart with a new image.
struct Alone {
  explicit Alone(Milliseconds restart) : module(loop, Config(restart)) {
    std::string error;
    EXPECT_TRUE(port.attach(module, error));
    module.powerOn();
  }
  static SimConfig Config(Milliseconds restart) {
    SimConfig config;
    config.restartTime = restart;
    return config;
  }
  // Programs the module with two blocks and EOT; when the ACK of EOT went out.
  Milliseconds load(std::uint8_t fill) {
    EXPECT_EQ(port.ask(Sentence("POPRL,B"), kStartRequestInterval), "C");
    for (std::uint8_t n = 1; n <= 2; ++n) {
      EXPECT_EQ(port.ask(testing::Block(n, fill), 10ms), "\x06") << "block " << int{n};
    }
    EXPECT_EQ(port.ask(Bytes{0x04}, kBlockAnswerDelay), "\x06") << "the ACK of EOT";
    return loop.now();
  }

  VirtualEventLoop loop;
  TestPort port{loop};
  SimModule module;
  VanishOnRestart vanish{loop, module, port};
};

TEST(VanishOnRestart, ThePortGoesAMomentAfterTheAckOfEotAndANewOneComesWhenTheModuleIsUp) {
  Alone a(3000ms);
  const Milliseconds acked = a.load(0x20);
  a.loop.advance(acked + kBusLeaveDelay - 1ms - a.loop.now());
  EXPECT_TRUE(a.port.detaches.empty()) << "the host has time to read the ACK";
  a.loop.advance(1ms);
  EXPECT_EQ(a.port.detaches, (std::vector<Detach>{{acked + kBusLeaveDelay, TakeOff::Vanish}}));
  EXPECT_TRUE(a.vanish.gone());
  a.loop.advance(acked + 3000ms - 1ms - a.loop.now());
  EXPECT_EQ(a.port.attaches.size(), 1u);
  a.loop.advance(1ms);
  EXPECT_EQ(a.port.attaches, (std::vector<Milliseconds>{0ms, acked + 3000ms}));
  // Asked the moment its new port is there, it answers: it was up before the port came.
  EXPECT_EQ(a.port.ask(Sentence("POVER")), Sentence("POVER,A1,KAP41,0103"));

  const Milliseconds again = a.load(0x60);
  a.loop.advance(3s);
  EXPECT_EQ(a.port.detaches.back(), (Detach{again + kBusLeaveDelay, TakeOff::Vanish}));
  EXPECT_EQ(a.port.attaches.back(), again + 3000ms);
  EXPECT_EQ(a.vanish.vanished(), 2);
  EXPECT_FALSE(a.vanish.gone());
}

TEST(VanishOnRestart, ARestartShorterThanTheLeavingTimeTakesThePortAtItsEndAndBringsANewOne) {
  Alone a(50ms);
  const Milliseconds acked = a.load(0x20);
  a.loop.advance(1s);
  EXPECT_EQ(a.port.detaches, (std::vector<Detach>{{acked + 50ms, TakeOff::Vanish}}));
  EXPECT_EQ(a.port.attaches, (std::vector<Milliseconds>{0ms, acked + 50ms}));
  // Gone and back in that order: the test's port forgets its module on detach.
  EXPECT_EQ(a.port.ask(Sentence("POVER")), Sentence("POVER,A1,KAP41,0103"));
}

TEST(VanishOnRestart, ARestartWithoutANewImageKeepsThePort) {
  Alone a(500ms);
  EXPECT_EQ(a.port.ask(Sentence("POPRL,B"), kStartRequestInterval), "C");
  a.loop.advance(kLoaderIdleTimeout + 1s);
  EXPECT_EQ(a.module.stats().restarts, 1);
  EXPECT_TRUE(a.port.detaches.empty());
  EXPECT_EQ(a.port.attaches.size(), 1u);
  EXPECT_EQ(a.port.ask(Sentence("POVER")), Sentence("POVER,A1,KAP41,0102"));
}

TEST(VanishOnRestart, APortThatCannotBeMadeAnewIsToldAndTheModuleStaysWithout) {
  Alone a(500ms);
  std::string failed;
  a.vanish.setPortFailed([&](const std::string& why) { failed = why; });
  a.port.refusal = "no terminal left";
  a.load(0x20);
  a.loop.advance(1s);
  EXPECT_EQ(failed, "no terminal left");
  EXPECT_TRUE(a.vanish.gone());
  EXPECT_EQ(a.port.attaches.size(), 1u);
}

// --- The file ----------------------------------------------------------------------------

TEST(FixtureFile, ReadsEveryKeyAndLeavesOutBlankAndCommentLines) {
  const ParsedFixture p = ParseFixture(
      "# station 3\r\n\n"
      "  model=RTK\tprotocol=binr baud=57600 behaviour=nak-forever nak=9 stay=0.5 empty=2 "
      "first=1.25 off=vanish max=30\r\n"
      "   # spare\n"
      "behaviour=loader",
      "f", true);
  ASSERT_EQ(p.error, "");
  ASSERT_EQ(p.modules.size(), 2u);
  const FixtureModule& m = p.modules[0];
  EXPECT_EQ(m.line, 3u);
  EXPECT_EQ(m.model + " " + ProtocolName(m.protocol) + " " + BehaviourName(m.behaviour),
            "RTK binr nak-forever");
  EXPECT_EQ(m.baud, 57600u);
  EXPECT_EQ(m.nak, 9);
  EXPECT_EQ((std::vector<Milliseconds>{m.stay, m.empty, m.first, *m.max}),
            (std::vector<Milliseconds>{500ms, 2000ms, 1250ms, 30000ms}));
  EXPECT_EQ(m.off, TakeOff::Vanish);
  const FixtureModule& d = p.modules[1];
  EXPECT_EQ(d.line, 5u);
  EXPECT_EQ(d.model + " " + std::to_string(d.baud), "KAP41 115200");
  EXPECT_EQ((std::vector<Milliseconds>{d.stay, d.empty}), (std::vector<Milliseconds>{1s, 1s}));
  EXPECT_EQ(d.off, TakeOff::Silent);
  EXPECT_FALSE(d.max);
}

TEST(FixtureFile, RefusesWhatIsWrongNamingTheLine) {
  const std::pair<std::string, const char*> cases[] = {
      {"colour=red", "f:1: unknown key \"colour\""},
      {"#\nstay", "f:2: \"stay\" is not key=value"},
      {"stay=1 stay=2", "f:1: stay= is given twice"},
      {"baud=115201", "f:1: baud=115201: must be one of 4800"},
      {"protocol=ubx", "f:1: protocol=ubx: must be nmea or binr"},
      {"behaviour=fast", "f:1: behaviour=fast: must be normal"},
      {"stay=86400.001", "f:1: stay=86400.001: must be seconds"},
      {"empty=-1", "f:1: empty=-1: must be seconds"},
      {"behaviour=nak-forever nak=0", "f:1: nak=0: must be a block position"},
      {"nak=3", "f:1: nak= belongs to behaviour=nak-forever"},
      {"\nstay=1\nfirst=1", "f:3: first= belongs on the first module's line"},
      {"model=\x01,", "f:1: model=<01>,: the model must be one word"},
      {"off=gone", "f:1: off=gone: must be silent or vanish"},
      {"# nothing\n\n", "f: no modules"},
      {"\n\n" + std::string(1025, ' '), "f:3: longer than 1024 characters"},
      {std::string(1000, '\n') + "#", "f:1001: more than 1000 lines"},
  };
  for (const auto& [text, error] : cases) {
    const ParsedFixture p = ParseFixture(text, "f", true);
    EXPECT_EQ(p.error.rfind(error, 0), 0u) << error << " / " << p.error;
    EXPECT_TRUE(p.modules.empty());
  }
  EXPECT_EQ(ParseFixture("off=vanish", "f", false).error.rfind("f:1: off=vanish needs --link", 0),
            0u);
}

TEST(FixtureFile, TakesItsBoundsExactly) {
  std::string thousand;
  for (int i = 0; i < 1000; ++i) thousand += "stay=0\n";
  EXPECT_EQ(ParseFixture(thousand, "f", false).modules.size(), 1000u);
  EXPECT_EQ(ParseFixture("stay=0" + std::string(1018, ' ') + "\r\n", "f", false).error, "");

  const auto folder = movrand::test::MakeTempFolder("movrand-fixture-file");
  const std::string path = (folder / "line.txt").string();
  std::ofstream(path) << thousand << "stay=0\n";
  EXPECT_EQ(ReadFixture(path, false).error, path + ":1001: more than 1000 lines");
  std::ofstream(path) << std::string(5'000'000, ' ');  // one line, larger than any bound
  EXPECT_EQ(ReadFixture(path, false).error, path + ":1: longer than 1024 characters");
  EXPECT_NE(ReadFixture(path + ".none", false).error.find("cannot read"), std::string::npos);
  EXPECT_NE(ReadFixture(folder.string(), false).error.find("is a folder"), std::string::npos);
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace movrand::sim

// The unattended station's cycle on the virtual clock: the main window's model with in-process
// simulated modules put on and taken off a fixture, driven by Station as movrand-flash
// --continuous drives it. Each test is a stretch of a shift on a production line.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/comm_session.h"
#include "app/form_fakes.h"
#include "app/main_form.h"
#include "cli/headless_dialogs.h"
#include "cli/log_printer.h"
#include "cli/station.h"
#include "comm/comm.h"
#include "platform/virtual_event_loop.h"
#include "sim/module.h"
#include "sim/sim_serial.h"
#include "support/sim_form.h"
#include "support/temp_folder.h"

namespace movrand::cli {
namespace {

namespace fs = std::filesystem;
using movrand::testing::FakePortSource;
using movrand::testing::VirtualClockTime;
using sim::Protocol;
using sim::SimConfig;
using Bytes = std::vector<std::uint8_t>;

constexpr Milliseconds kStep{1};
constexpr std::string_view kOldVersion = "A1 KAP41 0102";
constexpr std::string_view kNewVersion = "A1 KAP41 0103";

SimConfig Module(Protocol protocol = Protocol::Nmea, std::uint32_t baud = 115200) {
  SimConfig config;
  config.protocol = protocol;
  config.baud = baud;
  sim::CompleteVersionTexts(config);
  return config;
}

// A module that already runs the image's version.
SimConfig CurrentModule() {
  SimConfig config = Module();
  config.versionWords = config.newVersionWords;
  return config;
}

// The fixture: modules put on and taken off one port. Every module ever put on stays alive
// (a device the host opened keeps talking to its module); a module taken off hears nothing
// more, and a vanished port is missing until the next module comes.
class Fixture final : public SerialDriver {
 public:
  explicit Fixture(VirtualEventLoop& loop) : loop_(loop) {
    SimConfig nobody = Module();
    nobody.silent = true;
    empty_ = add(nobody);
  }

  sim::SimModule& put(SimConfig config) {
    present_ = true;
    on_ = add(std::move(config));
    on_->module->powerOn();
    return *on_->module;
  }
  // The operator lifts the module off; the port stays.
  void takeOffSilently() {
    if (on_) on_->driver->setWireFault([](std::vector<std::uint8_t>& bytes) { bytes.clear(); });
    on_ = nullptr;
  }
  // The module goes with its adapter: the port is gone, and an open one is lost.
  void takeOffWithThePort(TMainForm& form) {
    present_ = false;
    if (on_ && on_->driver->hostSettings()) form.PortLost();
    on_ = nullptr;
  }
  bool present() const { return present_; }
  int lookUps = 0;
  bool busy = false;  // another program holds the port
  int opens = 0;

  std::unique_ptr<SerialDevice> openPort(std::string_view name, std::uint32_t baud, Parity parity,
                                         OpenError& error) override {
    ++opens;
    if (!present_) {
      error = OpenError::Missing;
      return nullptr;
    }
    if (busy) {
      error = OpenError::Busy;
      return nullptr;
    }
    return (on_ ? on_ : empty_)->driver->openPort(name, baud, parity, error);
  }

 private:
  struct Slot {
    std::unique_ptr<sim::SimModule> module;
    std::unique_ptr<sim::SimSerialDriver> driver;
  };
  Slot* add(SimConfig config) {
    slots_.push_back({std::make_unique<sim::SimModule>(loop_, config), nullptr});
    slots_.back().driver = std::make_unique<sim::SimSerialDriver>(loop_, *slots_.back().module);
    return &slots_.back();
  }

  VirtualEventLoop& loop_;
  std::deque<Slot> slots_;
  Slot* empty_ = nullptr;
  Slot* on_ = nullptr;
  bool present_ = true;
};

// `size` bytes without letters, with the model name a quarter of the way in.
std::string WriteImage(const fs::path& folder, std::size_t size) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(0x80 + (i * 7) % 64);
  const std::string model = "KAP41";
  std::copy(model.begin(), model.end(), bytes.begin() + static_cast<std::ptrdiff_t>(size / 4));
  const fs::path file = folder / "fw.bin";
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(size));
  return file.string();
}

struct Bench {
  struct Setup {
    ProtocolChoice protocol = ProtocolChoice::Nmea;
    std::optional<std::uint32_t> baud = 115200;
    std::optional<std::string> expectVersion = std::string(kNewVersion);
    std::string model = {};
    std::optional<int> count = {};
    std::optional<Milliseconds> timeout = {};
    bool portAtStart = true;
  };

  explicit Bench(Setup s)
      : setup(std::move(s)),
        folder(test::MakeTempFolder("movrand-station")),
        clock(loop),
        ports(Ports()),
        fixture(loop),
        printer(loop, OutputMode::Json, [this](std::string_view t) { events.append(t); }),
        fileDialog(WriteImage(folder, 3000)),
        dialogs(printer, true, [](const std::string&) { return false; }),
        form(loop,
             MainFormServices{clock, ports, fileDialog, dialogs, movrand::testing::kProgramFile}),
        session(form, loop, fixture, [this](std::span<const std::uint8_t> bytes) {
          if (station) station->received(bytes);
        }) {
    if (!setup.portAtStart) fixture.takeOffWithThePort(form);
    StationHooks hooks;
    hooks.lookUpPort = [this](const std::string& argument) -> std::optional<PortHere> {
      ++fixture.lookUps;
      if (!fixture.present()) return std::nullopt;
      return PortHere{.name = argument};
    };
    hooks.stage = [this](std::string_view stage) {
      stages.emplace_back(stage);
      stageTimes.push_back(loop.now());
    };
    hooks.module = [this](const StationRecord& record) {
      records.push_back(record);
      return recordWorks;
    };
    hooks.say = [this](const std::string& text) { said.push_back(text); };
    hooks.ended = [this] { ++endedCalls; };
    station = std::make_unique<Station>(form, dialogs, printer,
                                        StationChoices{.port = std::string(sim::kSimPortName),
                                                       .protocol = setup.protocol,
                                                       .baud = setup.baud,
                                                       .moduleTimeout = setup.timeout,
                                                       .expectVersion = setup.expectVersion,
                                                       .model = setup.model,
                                                       .programmingRate = 115200,
                                                       .count = setup.count,
                                                       .imageName = "fw.bin"},
                                        std::move(hooks));
  }
  ~Bench() {
    station.reset();
    fs::remove_all(folder);
  }

  static FakePortSource Ports() {
    FakePortSource source;
    source.ports = std::vector<SerialPortEntry>{{std::string(sim::kSimPortName), "sim"}};
    return source;
  }

  template <typename Predicate>
  bool RunUntil(Predicate done, Milliseconds limit) {
    const Milliseconds end = loop.now() + limit;
    while (!done()) {
      if (loop.now() >= end) return false;
      loop.advance(kStep);
    }
    return true;
  }
  void Run(Milliseconds time) { loop.advance(time); }
  bool InState(StationPhase state) const { return station->state() == state; }
  std::size_t Count(std::string_view stage) const {
    return static_cast<std::size_t>(std::count(stages.begin(), stages.end(), stage));
  }

  Setup setup;
  fs::path folder;
  VirtualEventLoop loop;
  VirtualClockTime clock;
  FakePortSource ports;
  Fixture fixture;
  std::string events;
  LogPrinter printer;
  PathFileDialog fileDialog;
  HeadlessDialogs dialogs;
  TMainForm form;
  CommSession session;
  std::unique_ptr<Station> station;
  std::vector<std::string> stages;
  std::vector<Milliseconds> stageTimes;
  std::vector<StationRecord> records;
  std::vector<std::string> said;
  bool recordWorks = true;
  int endedCalls = 0;
};

constexpr Milliseconds kModuleLimit{60000};  // a whole cycle of a small image, with room

// ---- The cycle ------------------------------------------------------------------------------

TEST(StationCycle, WaitsForThePortProgramsTheModuleAndNeverProgramsItTwiceWhileItStays) {
  Bench b({.portAtStart = false});
  b.station->start();
  b.Run(Milliseconds{5000});
  ASSERT_TRUE(b.InState(StationPhase::WaitingForPort));
  EXPECT_EQ(b.Count("waiting-for-port"), 1u) << "one stage event, not one per look";
  // Looked for twice a second, not more (no busy loop) and not less.
  EXPECT_GE(b.fixture.lookUps, 9);
  EXPECT_LE(b.fixture.lookUps, 12);

  sim::SimModule& module = b.fixture.put(Module());
  ASSERT_TRUE(b.RunUntil([&] { return !b.records.empty(); }, kModuleLimit)) << b.events;
  const StationRecord& record = b.records.front();
  ASSERT_TRUE(record.module);
  EXPECT_EQ(record.module->verdict, Verdict::Pass) << record.summary.detail;
  EXPECT_EQ(record.module->sequence, 1);
  EXPECT_EQ(record.summary.oldVersion, kOldVersion);
  EXPECT_EQ(record.summary.newVersion, kNewVersion);
  EXPECT_EQ(record.summary.imageBytes, 3000);
  ASSERT_TRUE(record.image);
  EXPECT_EQ(record.image->name, "fw.bin");
  EXPECT_EQ(module.stats().imagesWritten, 1);
  EXPECT_TRUE(b.InState(StationPhase::WaitingForRemoval));

  // The operator is slow: the module stays a while, answering every query, and is left alone.
  b.Run(Milliseconds{20000});
  EXPECT_TRUE(b.InState(StationPhase::WaitingForRemoval));
  EXPECT_EQ(module.stats().imagesWritten, 1);
  EXPECT_EQ(b.records.size(), 1u);

  // The module's log came out as events; the fruitless connects before it did not.
  EXPECT_NE(b.events.find("FW upgrade is FINISHED"), std::string::npos) << b.events;
  EXPECT_EQ(b.events.find("not responding"), std::string::npos) << b.events;
}

TEST(StationCycle, AModuleTakenOffInSilenceIsGoneAfterOneAndAHalfSecondsOfUnansweredQueries) {
  Bench b({});
  b.station->start();
  b.fixture.put(Module());
  ASSERT_TRUE(b.RunUntil([&] { return !b.records.empty(); }, kModuleLimit)) << b.events;
  b.Run(Milliseconds{3000});
  ASSERT_TRUE(b.InState(StationPhase::WaitingForRemoval));
  const std::size_t before = b.stages.size();
  b.fixture.takeOffSilently();
  const Milliseconds off = b.loop.now();
  ASSERT_TRUE(
      b.RunUntil([&] { return b.InState(StationPhase::WaitingForModule); }, Milliseconds{5000}));
  const Milliseconds gone = b.loop.now() - off;
  // Queries every 500 ms, gone once none was answered for 1.5 s: between 1.5 s and 2 s after
  // the last answer.
  EXPECT_GE(gone, Milliseconds{1400});
  EXPECT_LE(gone, Milliseconds{2100});
  ASSERT_GT(b.stages.size(), before);
  EXPECT_EQ(b.stages.back(), "waiting-for-module");

  // The next module is found and programmed; the records are numbered on.
  sim::SimModule& next = b.fixture.put(Module());
  ASSERT_TRUE(b.RunUntil([&] { return b.records.size() == 2; }, kModuleLimit)) << b.events;
  EXPECT_EQ(b.records[1].module->sequence, 2);
  EXPECT_EQ(b.records[1].module->verdict, Verdict::Pass);
  EXPECT_EQ(next.stats().imagesWritten, 1);
}

TEST(StationCycle, AModuleAtTheExpectedVersionIsCountedAsCurrentAndNotProgrammed) {
  Bench b({});
  b.station->start();
  sim::SimModule& module = b.fixture.put(CurrentModule());
  ASSERT_TRUE(b.RunUntil([&] { return !b.records.empty(); }, kModuleLimit)) << b.events;
  EXPECT_EQ(b.records[0].module->verdict, Verdict::Current);
  EXPECT_EQ(b.records[0].summary.code, ExitCode::Success);
  EXPECT_EQ(b.records[0].summary.oldVersion, kNewVersion);
  EXPECT_FALSE(b.records[0].summary.imageBytes) << "no image was loaded for it";
  EXPECT_EQ(b.station->current(), 1);
  b.Run(Milliseconds{10000});
  EXPECT_EQ(module.stats().blocksAccepted, 0);
  EXPECT_EQ(module.stats().imagesWritten, 0);
  EXPECT_EQ(b.records.size(), 1u);
}

TEST(StationCycle, AFailedModuleIsRecordedAndWaitedForEvenInItsLoader) {
  Bench b({});
  b.station->start();
  SimConfig rejecting = Module();
  rejecting.nakForever = 3;
  sim::SimModule& module = b.fixture.put(rejecting);
  ASSERT_TRUE(b.RunUntil([&] { return !b.records.empty(); }, kModuleLimit)) << b.events;
  EXPECT_EQ(b.records[0].module->verdict, Verdict::Fail);
  EXPECT_EQ(b.records[0].summary.code, ExitCode::Cancelled);
  EXPECT_EQ(b.station->code(), ExitCode::Cancelled);
  // Left in its loader it answers no version query, yet asks for a transfer now and then: it
  // is still there, and neither recovered nor programmed again.
  b.Run(Milliseconds{30000});
  EXPECT_TRUE(b.InState(StationPhase::WaitingForRemoval));
  EXPECT_EQ(b.records.size(), 1u);
  EXPECT_EQ(module.stats().imagesWritten, 0);
  b.fixture.takeOffWithThePort(b.form);
  ASSERT_TRUE(
      b.RunUntil([&] { return b.InState(StationPhase::WaitingForPort); }, Milliseconds{2000}));
}

TEST(StationCycle, AModuleInItsLoaderIsRecoveredWithTheModelAndOnlyReportedWithout) {
  {
    Bench b({.model = "KAP41"});
    b.station->start();
    SimConfig loader = Module();
    loader.startInLoader = true;
    sim::SimModule& module = b.fixture.put(loader);
    ASSERT_TRUE(b.RunUntil([&] { return !b.records.empty(); }, kModuleLimit)) << b.events;
    EXPECT_EQ(b.records[0].module->verdict, Verdict::Pass) << b.records[0].summary.detail;
    EXPECT_EQ(module.stats().imagesWritten, 1);
    EXPECT_EQ(b.records[0].summary.newVersion, kNewVersion);
  }
  {
    Bench b({});
    b.station->start();
    SimConfig loader = Module();
    loader.startInLoader = true;
    sim::SimModule& module = b.fixture.put(loader);
    ASSERT_TRUE(
        b.RunUntil([&] { return b.InState(StationPhase::ModuleInLoader); }, Milliseconds{30000}));
    b.Run(Milliseconds{20000});
    EXPECT_EQ(std::count(b.said.begin(), b.said.end(),
                         "module in its loader: give --model to recover it"),
              1);
    EXPECT_TRUE(b.records.empty());
    EXPECT_EQ(module.stats().blocksAccepted, 0);
    b.fixture.takeOffWithThePort(b.form);
    ASSERT_TRUE(
        b.RunUntil([&] { return b.InState(StationPhase::WaitingForPort); }, Milliseconds{2000}));
  }
}

TEST(StationCycle, AnAutomaticSearchFindsModulesOfEitherProtocolAndALoaderBetween) {
  Bench b({.protocol = ProtocolChoice::Auto,
           .baud = std::nullopt,
           .expectVersion = std::nullopt,
           .model = "KAP41"});
  b.station->start();
  b.Run(Milliseconds{12000});  // an empty fixture searched a few times
  EXPECT_TRUE(b.records.empty());
  b.fixture.put(Module(Protocol::Binr, 57600));
  ASSERT_TRUE(b.RunUntil([&] { return b.records.size() == 1; }, kModuleLimit)) << b.events;
  EXPECT_EQ(b.records[0].summary.protocol, "BINR");
  b.fixture.takeOffSilently();
  SimConfig loader = Module(Protocol::Binr, 115200);
  loader.startInLoader = true;
  sim::SimModule& recovered = b.fixture.put(loader);
  ASSERT_TRUE(b.RunUntil([&] { return b.records.size() == 2; }, kModuleLimit)) << b.events;
  EXPECT_EQ(b.records[1].module->verdict, Verdict::Pass) << b.records[1].summary.detail;
  EXPECT_EQ(recovered.stats().imagesWritten, 1);
}

TEST(StationCycle, APortAnotherProgramHoldsIsTriedAgainCalmlyAndSaidOnce) {
  Bench b({});
  b.fixture.busy = true;
  b.station->start();
  b.Run(Milliseconds{10000});
  EXPECT_TRUE(b.InState(StationPhase::WaitingForModule));
  EXPECT_EQ(std::count_if(b.said.begin(), b.said.end(),
                          [](const std::string& text) {
                            return text.find("cannot be opened") != std::string::npos;
                          }),
            1)
      << ::testing::PrintToString(b.said);
  EXPECT_LE(b.fixture.opens, 40) << "no busy loop on a port that opens at no time";
  EXPECT_GE(b.fixture.opens, 5);
  b.fixture.busy = false;
  b.fixture.put(Module());
  ASSERT_TRUE(b.RunUntil([&] { return !b.records.empty(); }, kModuleLimit)) << b.events;
  EXPECT_EQ(b.records[0].module->verdict, Verdict::Pass);
}

// ---- Ending -----------------------------------------------------------------------------------

TEST(StationEnd, CountEndsTheStationAfterThatManyModulesOfAnyVerdict) {
  Bench b({.count = 2});
  b.station->start();
  b.fixture.put(CurrentModule());
  ASSERT_TRUE(b.RunUntil([&] { return b.records.size() == 1; }, kModuleLimit));
  b.fixture.takeOffSilently();
  b.fixture.put(Module());
  ASSERT_TRUE(b.RunUntil([&] { return b.station->ended(); }, kModuleLimit)) << b.events;
  EXPECT_EQ(b.records.size(), 2u);
  EXPECT_EQ(b.station->current(), 1);
  EXPECT_EQ(b.station->passed(), 1);
  EXPECT_EQ(b.endedCalls, 1);
  EXPECT_EQ(b.station->code(), ExitCode::Success);
  EXPECT_FALSE(PortIsOpen());
}

TEST(StationEnd, AStopEndsAWaitAtOnceButLetsAModuleBeingProgrammedFinish) {
  {
    Bench b({});
    b.station->start();
    b.Run(Milliseconds{4000});
    EXPECT_TRUE(b.station->interrupt()) << "nothing is being programmed";
    b.Run(Milliseconds{10});
    EXPECT_TRUE(b.station->ended());
    EXPECT_TRUE(b.records.empty());
    EXPECT_EQ(b.station->code(), ExitCode::Success);
  }
  {
    Bench b({});
    b.station->start();
    sim::SimModule& module = b.fixture.put(Module());
    ASSERT_TRUE(b.RunUntil([&] { return module.stats().blocksAccepted > 3; }, kModuleLimit));
    EXPECT_FALSE(b.station->interrupt()) << "the flash is not cut";
    EXPECT_TRUE(b.InState(StationPhase::Stopping));
    ASSERT_TRUE(b.RunUntil([&] { return b.station->ended(); }, kModuleLimit)) << b.events;
    ASSERT_EQ(b.records.size(), 1u);
    EXPECT_EQ(b.records[0].module->verdict, Verdict::Pass);
    EXPECT_EQ(module.stats().imagesWritten, 1);
  }
  {
    Bench b({});
    b.station->start();
    sim::SimModule& module = b.fixture.put(Module());
    ASSERT_TRUE(b.RunUntil([&] { return module.stats().blocksAccepted > 3; }, kModuleLimit));
    b.station->interrupt();
    EXPECT_TRUE(b.station->interrupt()) << "the second presses Cancel";
    ASSERT_TRUE(b.RunUntil([&] { return b.station->ended(); }, Milliseconds{2000}));
    ASSERT_EQ(b.records.size(), 1u);
    EXPECT_EQ(b.records[0].module->verdict, Verdict::Fail);
    EXPECT_EQ(b.records[0].summary.code, ExitCode::Cancelled);
    EXPECT_EQ(b.station->code(), ExitCode::Cancelled);
  }
}

TEST(StationEnd, TheTimeLimitCountsPerModuleFromItsAnswer) {
  Bench b({.timeout = Milliseconds{4000}});
  b.station->start();
  b.Run(Milliseconds{10000});  // longer than the limit, on an empty fixture: no failure
  EXPECT_TRUE(b.records.empty());
  SimConfig slow = Module();
  slow.restartTime = Milliseconds{20000};  // the restart takes longer than the limit allows
  b.fixture.put(slow);
  ASSERT_TRUE(b.RunUntil([&] { return !b.records.empty(); }, kModuleLimit)) << b.events;
  EXPECT_EQ(b.records[0].summary.code, ExitCode::TimedOut);
  EXPECT_LE(b.records[0].seconds, 6.0);
}

TEST(StationEnd, AModuleThatCannotBeRecordedEndsTheStation) {
  Bench b({});
  b.recordWorks = false;
  b.station->start();
  b.fixture.put(Module());
  ASSERT_TRUE(b.RunUntil([&] { return b.station->ended(); }, kModuleLimit)) << b.events;
  EXPECT_EQ(b.station->code(), ExitCode::RecordFailed);
  EXPECT_EQ(b.records.size(), 1u);
}

}  // namespace
}  // namespace movrand::cli

// A whole headless run on the virtual clock: the main window's model with the in-process
// simulated module behind the serial link, driven by FlashRun as movrand-flash drives it, with
// the plain log view. Each test is a scenario from the production line and checks the exit
// code, what the log says and what the module saw.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/comm_session.h"
#include "app/command_line.h"
#include "app/form_fakes.h"
#include "app/main_form.h"
#include "cli/flash_run.h"
#include "cli/headless_dialogs.h"
#include "cli/log_printer.h"
#include "comm/comm.h"
#include "platform/virtual_event_loop.h"
#include "sim/module.h"
#include "sim/sim_serial.h"
#include "support/error_text.h"
#include "support/open_watch.h"
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

SimConfig Module(Protocol protocol, std::uint32_t baud) {
  SimConfig config;
  config.protocol = protocol;
  config.baud = baud;
  sim::CompleteVersionTexts(config);
  return config;
}

// `size` bytes of a pattern without letters, with `model` written at a quarter of the way.
Bytes SmallImage(std::size_t size, const std::string& model) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(0x80 + (i * 7) % 64);
  std::copy(model.begin(), model.end(), bytes.begin() + static_cast<std::ptrdiff_t>(size / 4));
  return bytes;
}

// A private folder for the images and the module's received image.
class Folder {
 public:
  Folder() { path_ = test::MakeTempFolder("movrand-flash-run"); }
  ~Folder() { fs::remove_all(path_); }
  std::string write(const std::string& name, const Bytes& bytes) const {
    const fs::path file = path_ / name;
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return file.string();
  }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

// What the module holds after receiving `file`: the file, then pad bytes to a whole block.
Bytes AsBlocks(Bytes file) {
  file.resize((file.size() + 127) / 128 * 128, 0x1A);
  return file;
}

Bytes ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// movrand-flash's pieces, put together as its main() does, around the in-process module.
struct Headless {
  struct Setup {
    SimConfig module = Module(Protocol::Nmea, 115200);
    std::string port = std::string(sim::kSimPortName);
    ProtocolChoice protocol = ProtocolChoice::Auto;
    std::optional<std::uint32_t> baud = {};
    std::string image = {};  // none: connect only
    bool yes = true;         // --yes
    bool answer = false;     // what the technician types when asked
    bool test = false;       // --test
    bool powerOn = true;
    std::optional<Milliseconds> timeout = {};
    std::optional<std::string> expectVersion = {};
    std::optional<Recovery> recovery = {};
    std::function<std::optional<std::string>()> portNow = nullptr;
  };

  static RunChoices Choices(const Setup& s) {
    RunChoices choices{s.port,    s.protocol,      s.baud,    !s.image.empty() && !s.recovery,
                       s.timeout, s.expectVersion, s.recovery};
    choices.portNow = s.portNow;
    return choices;
  }

  explicit Headless(Setup s)
      : setup(std::move(s)),
        clock(loop),
        ports(Ports()),
        module(loop, setup.module),
        simDriver(loop, module),
        opens(simDriver),
        printer(loop, OutputMode::Plain, [this](std::string_view t) { out.append(t); }),
        fileDialog(setup.image),
        dialogs(printer, setup.yes,
                [this](const std::string&) {
                  ++asked;
                  return setup.answer;
                }),
        form(loop,
             MainFormServices{clock, ports, fileDialog, dialogs, movrand::testing::kProgramFile}),
        session(form, loop, opens),
        run(
            form, dialogs, Choices(setup), [this] { ++finishedCalls; },
            [this](const std::string& note) { notes.push_back(note); }) {
    if (setup.test) ApplyCommandLine(form, "/t");
    printer.setProgress(form.Messages.TextFileSize, [this] { return run.progress(); });
    BindView(form, printer, run);
    if (setup.powerOn) module.powerOn();
  }
  ~Headless() { UnbindView(form); }

  static FakePortSource Ports() {
    FakePortSource source;
    source.ports = std::vector<SerialPortEntry>{{std::string(sim::kSimPortName), "sim"}};
    return source;
  }

  // Selects and presses Connect.
  void Start() {
    ASSERT_EQ(test::ErrorText(run.select()), "");
    run.start();
  }
  // Runs the clock until the run has finished, at most `limit`; the exit code.
  ExitCode Finish(Milliseconds limit) {
    const Milliseconds end = loop.now() + limit;
    while (!run.finished() && loop.now() < end) loop.advance(kStep);
    EXPECT_TRUE(run.finished()) << "still running after " << limit.count() << " ms:\n" << out;
    loop.advance(Milliseconds{10});  // whatever the finish posted
    return run.summary().code;
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
  bool Printed(const std::string& text) const { return out.find(text) != std::string::npos; }

  Setup setup;
  VirtualEventLoop loop;
  VirtualClockTime clock;
  FakePortSource ports;
  sim::SimModule module;
  sim::SimSerialDriver simDriver;
  OpenWatch opens;
  std::string out;
  LogPrinter printer;
  PathFileDialog fileDialog;
  int asked = 0;
  HeadlessDialogs dialogs;
  TMainForm form;
  CommSession session;
  int finishedCalls = 0;
  std::vector<std::string> notes;
  FlashRun run;
};

// ---- Connect only ---------------------------------------------------------------------------

TEST(FlashRunConnect, FindsTheModuleReportsTheVersionAndDisconnects) {
  for (const Protocol protocol : {Protocol::Nmea, Protocol::Binr}) {
    Headless h({.module = Module(protocol, 57600)});
    h.Start();
    EXPECT_EQ(h.Finish(Milliseconds{30000}), ExitCode::Success) << h.out;
    EXPECT_EQ(h.finishedCalls, 1);
    const RunSummary summary = h.run.summary();
    EXPECT_EQ(summary.port, std::string(sim::kSimPortName));
    EXPECT_EQ(summary.baud, 57600);
    EXPECT_EQ(summary.protocol, protocol == Protocol::Nmea ? "NMEA" : "BINR");
    ASSERT_TRUE(summary.version);
    EXPECT_NE(summary.version->find("KAP41"), std::string::npos) << *summary.version;
    // Disconnected as the window does it, the port closed.
    EXPECT_TRUE(h.form.Memo1.lines().back().ends_with(">>COM-port closes")) << h.out;
    EXPECT_FALSE(PortIsOpen());
    EXPECT_EQ(h.form.SpeedButtonSynch.caption(), "Connect");
  }
}

TEST(FlashRunConnect, FixedProtocolAndRateAreTheWindowsSelection) {
  Headless h(
      {.module = Module(Protocol::Binr, 19200), .protocol = ProtocolChoice::Binr, .baud = 19200u});
  h.Start();
  EXPECT_EQ(h.form.ProtocolComboBox.text(), "BINR");
  EXPECT_EQ(h.form.BaudComboBox.text(), "19200");
  EXPECT_EQ(h.Finish(Milliseconds{5000}), ExitCode::Success) << h.out;
  EXPECT_TRUE(h.Printed(">>Port: SIM0 19200 BINR")) << h.out;
  EXPECT_FALSE(h.Printed("Scanning")) << "a fixed rate is probed, not searched";
}

TEST(FlashRunConnect, RateTheWindowDoesNotOfferIsRefused) {
  Headless h({.protocol = ProtocolChoice::Nmea, .baud = 12345u});
  const std::string error = test::ErrorText(h.run.select());
  EXPECT_NE(error, "");
  EXPECT_NE(error.find("12345 is not offered"), std::string::npos) << error;
  EXPECT_NE(error.find("230400"), std::string::npos) << "names the rates it offers: " << error;
}

TEST(FlashRunConnect, TestModeOffersItsExtraRate) {
  Headless h({.protocol = ProtocolChoice::Nmea, .baud = 148874u, .test = true});
  EXPECT_EQ(test::ErrorText(h.run.select()), "");
  EXPECT_EQ(h.form.BaudComboBox.text(), "148874");
}

TEST(FlashRunConnect, SilentModuleIsNotFound) {
  SimConfig silent = Module(Protocol::Nmea, 115200);
  silent.silent = true;
  Headless fixed({.module = silent, .protocol = ProtocolChoice::Nmea, .baud = 115200u});
  fixed.Start();
  EXPECT_EQ(fixed.Finish(Milliseconds{6000}), ExitCode::DeviceNotFound) << fixed.out;
  EXPECT_EQ(fixed.run.summary().detail, ">>Device is not responding...");
}

TEST(FlashRunConnect, SilentModuleIsNotFoundByTheSearchEither) {
  SimConfig silent = Module(Protocol::Nmea, 115200);
  silent.silent = true;
  Headless h({.module = silent});
  h.Start();
  EXPECT_EQ(h.Finish(Milliseconds{30000}), ExitCode::DeviceNotFound) << h.out;
  EXPECT_EQ(h.run.summary().detail, ">>Program could not find the device!");
}

TEST(FlashRunConnect, PortThatNeverOpensIsAPortProblemEvenWithAutoProtocol) {
  // The window says ">>Program could not find the device!" for this too; no open succeeded.
  Headless h({.port = "SIM9"});
  h.Start();
  EXPECT_EQ(h.Finish(Milliseconds{30000}), ExitCode::PortUnavailable) << h.out;
  EXPECT_GT(h.opens.failed(), 0);
  EXPECT_EQ(h.opens.opened(), 0);
  EXPECT_EQ(h.form.PortComboBox.text(), "SIM9") << "added to the list as a technician's choice";
}

TEST(FlashRunConnect, BusyPortAtAFixedRate) {
  Headless h({.protocol = ProtocolChoice::Nmea, .baud = 115200u});
  // Another program holds the port.
  std::unique_ptr<SerialDevice> holder = h.simDriver.open(sim::kSimPortName, 9600, Parity::None);
  ASSERT_TRUE(holder);
  h.Start();
  EXPECT_EQ(h.Finish(Milliseconds{3000}), ExitCode::PortUnavailable) << h.out;
  EXPECT_EQ(h.run.summary().detail, ">>COM port is busy or not available");
}

TEST(FlashRunConnect, InterruptDuringTheSearchRunsCancel) {
  SimConfig silent = Module(Protocol::Nmea, 115200);
  silent.silent = true;
  Headless h({.module = silent});
  h.Start();
  h.loop.advance(Milliseconds{1500});
  h.run.interrupt();
  EXPECT_TRUE(h.run.finished());
  EXPECT_EQ(h.run.summary().code, ExitCode::Cancelled);
  EXPECT_TRUE(h.form.Memo1.lines().back().ends_with(">>The process is aborted")) << h.out;
  EXPECT_FALSE(h.form.TimerAutoBaudNmea.enabled() || h.form.TimerProtocol.enabled());
  EXPECT_FALSE(PortIsOpen());
}

TEST(FlashRunConnect, TheResultSaysWhyThePortWouldNotOpenAndNamesNoLink) {
  Headless busy({.protocol = ProtocolChoice::Nmea, .baud = 115200u});
  std::unique_ptr<SerialDevice> holder = busy.simDriver.open(sim::kSimPortName, 9600, Parity::None);
  ASSERT_TRUE(holder);
  busy.Start();
  EXPECT_EQ(busy.Finish(Milliseconds{3000}), ExitCode::PortUnavailable) << busy.out;
  RunSummary summary = busy.run.summary();
  EXPECT_EQ(summary.reason, "busy");
  EXPECT_EQ(summary.reasonText, "another program holds the port");
  EXPECT_FALSE(summary.port) << "nothing was identified";
  EXPECT_FALSE(summary.baud);
  EXPECT_FALSE(summary.protocol);

  Headless missing({.port = "SIM9"});
  missing.Start();
  EXPECT_EQ(missing.Finish(Milliseconds{30000}), ExitCode::PortUnavailable) << missing.out;
  summary = missing.run.summary();
  EXPECT_EQ(summary.reason, "missing");
  EXPECT_EQ(summary.detail, ">>Program could not find the device!");
  EXPECT_FALSE(summary.baud);
}

TEST(FlashRunConnect, TheConfirmationQuestionIsAnEventWithJson) {
  VirtualEventLoop loop;
  std::string out;
  LogPrinter printer(loop, OutputMode::Json, [&out](std::string_view t) { out.append(t); });
  std::string seenWhenAsked;
  HeadlessDialogs dialogs(printer, false, [&](const std::string& question) {
    seenWhenAsked = out;
    EXPECT_EQ(question, "Program the module now? [y/N] ");
    return true;
  });
  EXPECT_EQ(dialogs.ShowAttention(), ModalResult::OK);
  EXPECT_NE(seenWhenAsked.find(R"("kind":"question")"), std::string::npos)
      << "the question is out before the answer is read: " << seenWhenAsked;
  EXPECT_NE(seenWhenAsked.find("Program the module now? [y/N]"), std::string::npos);
  // With --yes nobody is asked, so there is no question.
  std::string quiet;
  LogPrinter json(loop, OutputMode::Json, [&quiet](std::string_view t) { quiet.append(t); });
  HeadlessDialogs yes(json, true, [](const std::string&) { return false; });
  EXPECT_EQ(yes.ShowAttention(), ModalResult::OK);
  EXPECT_EQ(quiet.find(R"("kind":"question")"), std::string::npos) << quiet;
}

// ---- Programming ----------------------------------------------------------------------------

struct Programming : ::testing::Test {
  Folder folder;
};

TEST_F(Programming, FlashesInBothProtocolsAndTheModuleHasTheImage) {
  for (const Protocol protocol : {Protocol::Nmea, Protocol::Binr}) {
    const Bytes image = SmallImage(4096, "KAP41");
    SimConfig config = Module(protocol, 115200);
    config.imageOut = folder.file("received.bin");
    fs::remove(config.imageOut);
    Headless h({.module = config, .image = folder.write("fw.bin", image)});
    h.Start();
    EXPECT_EQ(h.Finish(Milliseconds{60000}), ExitCode::Success) << h.out;
    EXPECT_EQ(ReadAll(config.imageOut), image);
    EXPECT_TRUE(h.Printed(">>Loading completed")) << h.out;
    EXPECT_TRUE(h.Printed(">>FW upgrade is FINISHED")) << h.out;
    EXPECT_TRUE(h.Printed("[Attention!!!] confirmed (--yes)")) << h.out;
    EXPECT_TRUE(h.Printed("[Attention!!!] Device programming...")) << "the notice: " << h.out;
    EXPECT_TRUE(h.form.Memo1.lines().back().ends_with(">>Device is ready for normal operation"));
    ASSERT_TRUE(h.run.summary().version);
    EXPECT_NE(h.run.summary().version->find("0103"), std::string::npos)
        << "the new version: " << *h.run.summary().version;
    EXPECT_FALSE(PortIsOpen());
  }
}

TEST_F(Programming, AtALowRateTheLinkIsRaisedFirst) {
  const Bytes image = SmallImage(2048, "KAP41");
  SimConfig config = Module(Protocol::Nmea, 38400);
  config.imageOut = folder.file("received.bin");
  Headless h({.module = config, .image = folder.write("fw.bin", image)});
  h.Start();
  EXPECT_EQ(h.Finish(Milliseconds{60000}), ExitCode::Success) << h.out;
  EXPECT_TRUE(h.Printed(">>COM-port baudrate have been changed to 115200 for device programming!"))
      << h.out;
  EXPECT_EQ(ReadAll(config.imageOut), image);
}

TEST_F(Programming, DeclinedConfirmationSendsNothingAndDisconnects) {
  SimConfig config = Module(Protocol::Nmea, 115200);
  config.imageOut = folder.file("received.bin");
  Headless h({.module = config,
              .image = folder.write("fw.bin", SmallImage(1024, "KAP41")),
              .yes = false,
              .answer = false});
  h.Start();
  EXPECT_EQ(h.Finish(Milliseconds{10000}), ExitCode::Cancelled) << h.out;
  EXPECT_EQ(h.asked, 1);
  EXPECT_TRUE(h.Printed("[Attention!!!] declined")) << h.out;
  EXPECT_FALSE(h.Printed(">>File Size")) << "no loader entry";
  EXPECT_TRUE(h.form.Memo1.lines().back().ends_with(">>COM-port closes")) << h.out;
  EXPECT_FALSE(fs::exists(config.imageOut));
}

TEST_F(Programming, ConfirmationAskedWithoutYes) {
  SimConfig config = Module(Protocol::Nmea, 115200);
  Headless h({.module = config,
              .image = folder.write("fw.bin", SmallImage(1024, "KAP41")),
              .yes = false,
              .answer = true});
  h.Start();
  EXPECT_EQ(h.Finish(Milliseconds{60000}), ExitCode::Success) << h.out;
  EXPECT_EQ(h.asked, 1);
  EXPECT_TRUE(h.Printed("[Attention!!!] confirmed\n")) << h.out;
}

TEST_F(Programming, ImageForAnotherModelIsRejected) {
  SimConfig config = Module(Protocol::Nmea, 115200);
  config.imageOut = folder.file("received.bin");
  Headless h({.module = config, .image = folder.write("fw.bin", SmallImage(4096, "DOV42"))});
  h.Start();
  EXPECT_EQ(h.Finish(Milliseconds{10000}), ExitCode::ImageRejected) << h.out;
  EXPECT_NE(h.run.summary().detail.find(
                ">>Version of the software does not match the version of the device "),
            std::string::npos)
      << h.run.summary().detail;
  EXPECT_EQ(h.dialogs.attentionShown(), 0) << "rejected before the confirmation";
  EXPECT_FALSE(PortIsOpen()) << "disconnected afterwards";
  EXPECT_FALSE(fs::exists(config.imageOut));
}

TEST_F(Programming, LargeImageWithABrokenHeaderIsRejected) {
  Bytes image = SmallImage(131072, "KAP41");
  image[0] = 0x00;  // a length field that cannot match
  Headless h({.image = folder.write("fw.bin", image)});
  h.Start();
  EXPECT_EQ(h.Finish(Milliseconds{10000}), ExitCode::ImageRejected) << h.out;
  EXPECT_EQ(h.run.summary().detail, ">>RTK FW length/CRC error!!!");
}

TEST_F(Programming, ImageLargerThanTheBufferOrGoneIsRejected) {
  {
    Headless h({.image = folder.write("huge.bin", SmallImage((1u << 20) + 1, "KAP41"))});
    h.Start();
    EXPECT_EQ(h.Finish(Milliseconds{10000}), ExitCode::ImageRejected) << h.out;
    EXPECT_EQ(h.dialogs.attentionShown(), 0);
  }
  {
    // Chosen at the start, gone by the time Programming is pressed.
    Headless h({.image = folder.write("fw.bin", SmallImage(1024, "KAP41"))});
    h.Start();
    fs::remove(folder.file("fw.bin"));
    EXPECT_EQ(h.Finish(Milliseconds{10000}), ExitCode::ImageRejected) << h.out;
    EXPECT_EQ(h.run.summary().detail, ">>Can't open the file fw.bin");
  }
}

TEST_F(Programming, BlockRejectedForeverAbortsTheTransfer) {
  SimConfig config = Module(Protocol::Nmea, 115200);
  config.nakForever = 3;
  config.imageOut = folder.file("received.bin");
  Headless h({.module = config, .image = folder.write("fw.bin", SmallImage(4096, "KAP41"))});
  h.Start();
  EXPECT_EQ(h.Finish(Milliseconds{30000}), ExitCode::Cancelled) << h.out;
  EXPECT_EQ(h.run.summary().detail, ">>Data loading has been canceled because of multiple errors!");
  EXPECT_FALSE(fs::exists(config.imageOut));
  EXPECT_FALSE(PortIsOpen());
}

TEST_F(Programming, ModuleThatNeverComesBackFailsTheReconnect) {
  SimConfig config = Module(Protocol::Binr, 115200);
  config.restartTime = Milliseconds{24 * 3600 * 1000};
  Headless h({.module = config, .image = folder.write("fw.bin", SmallImage(4096, "KAP41"))});
  h.Start();
  EXPECT_EQ(h.Finish(Milliseconds{90000}), ExitCode::ReconnectFailed) << h.out;
  EXPECT_TRUE(h.Printed(">>Loading completed"));
  EXPECT_TRUE(h.Printed(">>Connection...")) << h.out;
  EXPECT_FALSE(h.Printed(">>Device is ready for normal operation"));
  EXPECT_FALSE(PortIsOpen());
}

TEST_F(Programming, TheResultNamesTheLinkOfTheIdentificationAndBothVersions) {
  SimConfig config = Module(Protocol::Binr, 57600);
  Headless h({.module = config, .image = folder.write("fw.bin", SmallImage(2048, "KAP41"))});
  h.Start();
  EXPECT_EQ(h.Finish(Milliseconds{60000}), ExitCode::Success) << h.out;
  const RunSummary summary = h.run.summary();
  // The reconnect found the module where programming left the selectors.
  EXPECT_EQ(summary.port, std::string(sim::kSimPortName));
  EXPECT_EQ(summary.baud, 57600);
  EXPECT_EQ(summary.protocol, "BINR");
  ASSERT_TRUE(summary.version && summary.previousVersion);
  EXPECT_NE(*summary.version, *summary.previousVersion);
  EXPECT_NE(summary.previousVersion->find("KAP41"), std::string::npos) << *summary.previousVersion;
  EXPECT_EQ(h.run.progress().sent, 2048);
  EXPECT_EQ(h.run.progress().total, 2048);
}

TEST_F(Programming, AFailedReconnectReportsTheLinkTheModuleWasFoundOn) {
  SimConfig config = Module(Protocol::Binr, 57600);
  config.restartTime = Milliseconds{24 * 3600 * 1000};
  Headless h({.module = config, .image = folder.write("fw.bin", SmallImage(2048, "KAP41"))});
  h.Start();
  EXPECT_EQ(h.Finish(Milliseconds{120000}), ExitCode::ReconnectFailed) << h.out;
  const RunSummary summary = h.run.summary();
  EXPECT_EQ(summary.baud, 57600) << "the identification's rate, not one a failed search left";
  EXPECT_EQ(summary.protocol, "BINR");
  EXPECT_FALSE(summary.previousVersion) << "no upgrade was finished";
}

// A module with its own USB port leaves the bus at its restart; the run looks for its port when
// the restart wait ends and holds the reconnect while it is missing.
struct PortThatLeaves : Programming {
  // Programs a small image and takes the port away once it is loaded; returns when the
  // restart wait has ended (the window's ">>Connection...").
  void ProgramAndTakeThePortAway() {
    h = std::make_unique<Headless>(
        Headless::Setup{.module = Module(Protocol::Nmea, 115200),
                        .image = folder.write("fw.bin", SmallImage(2048, "KAP41")),
                        .portNow = [this]() -> std::optional<std::string> {
                          ++looks;
                          if (!present) return std::nullopt;
                          return std::string(sim::kSimPortName);
                        }});
    h->form.Events.Listen([this](const FormEvent& event) {
      if (event.kind == FormEvent::Kind::Waiting && event.waitFor == WaitFor::Reconnect) {
        waitEnded = h->loop.now();
      }
    });
    h->Start();
    ASSERT_TRUE(
        h->RunUntil([&] { return h->Printed(">>Loading completed"); }, Milliseconds{60000}));
    present = false;
    ASSERT_TRUE(h->RunUntil([&] { return waitEnded.has_value(); }, Milliseconds{40000})) << h->out;
    opensBefore = h->opens.opened() + h->opens.failed();
  }
  // Runs the clock up to `after` past the end of the restart wait.
  bool RunTo(Milliseconds after) {
    return h->RunUntil([&] { return h->loop.now() >= *waitEnded + after; }, after);
  }
  int Opens() const { return h->opens.opened() + h->opens.failed(); }

  bool present = true;
  int looks = 0;
  int opensBefore = 0;
  std::optional<Milliseconds> waitEnded;
  std::unique_ptr<Headless> h;
};

TEST_F(PortThatLeaves, APortBackLateIsReconnectedWhenItReturns) {
  ASSERT_NO_FATAL_FAILURE(ProgramAndTakeThePortAway());
  // Gone past the window's own pause of two seconds: no open is tried meanwhile.
  ASSERT_TRUE(RunTo(Milliseconds{6000}));
  EXPECT_EQ(Opens(), opensBefore) << h->out;
  EXPECT_GE(looks, 10) << "looked for every half second";
  present = true;
  std::optional<Milliseconds> reconnected;
  h->form.Events.Listen([&](const FormEvent& event) {
    if (event.kind == FormEvent::Kind::Identified && !reconnected) reconnected = h->loop.now();
  });
  EXPECT_EQ(h->Finish(Milliseconds{30000}), ExitCode::Success) << h->out;
  ASSERT_TRUE(reconnected);
  EXPECT_LE(*reconnected - *waitEnded, Milliseconds{8000}) << "found within a look of its return";
  EXPECT_TRUE(h->Printed(">>Device is ready for normal operation")) << h->out;
  ASSERT_GE(h->notes.size(), 2u);
  EXPECT_NE(h->notes.front().find("waiting up to 12 s"), std::string::npos) << h->notes.front();
}

TEST_F(PortThatLeaves, APortBackWithinTheWindowsPauseIsReconnectedAsTheWindowWould) {
  ASSERT_NO_FATAL_FAILURE(ProgramAndTakeThePortAway());
  ASSERT_TRUE(RunTo(Milliseconds{700}));
  present = true;
  const int opened = h->opens.opened();
  ASSERT_TRUE(h->RunUntil([&] { return h->opens.opened() > opened; }, Milliseconds{5000}));
  EXPECT_GE(h->loop.now() - *waitEnded, Milliseconds{2000}) << "not before the window's pause";
  EXPECT_LE(h->loop.now() - *waitEnded, Milliseconds{2100});
  EXPECT_EQ(h->Finish(Milliseconds{30000}), ExitCode::Success) << h->out;
}

TEST_F(PortThatLeaves, APortThatNeverReturnsFailsTheReconnectTenSecondsAfterTheWindowsPause) {
  ASSERT_NO_FATAL_FAILURE(ProgramAndTakeThePortAway());
  EXPECT_EQ(h->Finish(Milliseconds{60000}), ExitCode::ReconnectFailed) << h->out;
  const Milliseconds ended = h->loop.now() - *waitEnded;
  EXPECT_GE(ended, Milliseconds{12000});
  EXPECT_LE(ended, Milliseconds{12100});
  EXPECT_EQ(Opens(), opensBefore) << "no connect to a missing port";
  const RunSummary summary = h->run.summary();
  EXPECT_EQ(summary.reason, "missing");
  EXPECT_NE(summary.detail.find("did not come back within 10 s"), std::string::npos)
      << summary.detail;
}

TEST_F(Programming, InterruptDuringTheTransferCancelsWithTheWarning) {
  SimConfig config = Module(Protocol::Nmea, 115200);
  config.imageOut = folder.file("received.bin");
  Headless h({.module = config, .image = folder.write("fw.bin", SmallImage(65536, "KAP41"))});
  h.Start();
  ASSERT_TRUE(
      h.RunUntil([&] { return h.form.Programmer.Sender.KBSent() >= 8; }, Milliseconds{30000}))
      << h.out;
  h.run.interrupt();
  EXPECT_TRUE(h.run.finished());
  EXPECT_EQ(h.run.summary().code, ExitCode::Cancelled);
  EXPECT_TRUE(h.Printed("[Warning] FW loading procedure canceled")) << h.out;
  EXPECT_TRUE(h.Printed(">>The process is aborted")) << h.out;
  EXPECT_EQ(h.form.RxMode, RxMode::Idle);
  EXPECT_FALSE(PortIsOpen());
  h.loop.advance(Milliseconds{5000});
  EXPECT_FALSE(fs::exists(config.imageOut));
}

TEST_F(Programming, InterruptDuringTheRestartWaitIsRefusedOnceThenEndsTheRun) {
  Headless h({.image = folder.write("fw.bin", SmallImage(2048, "KAP41"))});
  h.Start();
  ASSERT_TRUE(h.RunUntil([&] { return h.Printed(">>Loading completed"); }, Milliseconds{30000}));
  h.loop.advance(Milliseconds{1000});
  h.run.interrupt();
  EXPECT_FALSE(h.run.finished()) << "the window disables Cancel while the module restarts";
  ASSERT_EQ(h.notes.size(), 1u);
  EXPECT_NE(h.notes[0].find("Ctrl-C again"), std::string::npos) << h.notes[0];
  h.run.interrupt();
  EXPECT_TRUE(h.run.finished());
  EXPECT_EQ(h.run.summary().code, ExitCode::Cancelled);
}

TEST_F(Programming, TestModeLoadsAnyImageAndDisconnectsAfterwards) {
  SimConfig config = Module(Protocol::Nmea, 115200);
  config.imageOut = folder.file("received.bin");
  const Bytes image = SmallImage(1024, "DOV42");  // another model: test mode does not check
  Headless h(
      {.module = config, .image = folder.write("fw.bin", image), .yes = false, .test = true});
  h.Start();
  EXPECT_EQ(h.Finish(Milliseconds{30000}), ExitCode::Success) << h.out;
  EXPECT_EQ(h.asked, 0) << "no confirmation in test mode";
  EXPECT_TRUE(h.form.Memo1.lines().back().ends_with(">>COM-port closes")) << h.out;
  EXPECT_FALSE(h.Printed(">>Connection...")) << "no restart wait in test mode";
  h.loop.advance(Milliseconds{100});
  EXPECT_EQ(ReadAll(config.imageOut), image);
}

// ---- A bounded run ---------------------------------------------------------------------------

// The window waits for the loader without limit; a station with --timeout presses Cancel when
// its time is up, says what it waited for, and ends with its own code, on the dot.
TEST(FlashRunTimeout, ALoaderThatNeverAsksIsCancelledWhenTheTimeIsUp) {
  Folder folder;
  SimConfig module = Module(Protocol::Nmea, 115200);
  module.startInLoader = true;
  module.silent = true;
  Headless h({.module = module,
              .protocol = ProtocolChoice::Nmea,
              .image = folder.write("fw.bin", SmallImage(2048, "KAP41")),
              .timeout = Milliseconds{5000},
              .recovery = Recovery{.linkMode = RxMode::Nmea, .rate = 115200, .model = "KAP41"}});
  std::vector<Stage> stages;
  h.run.onStage = [&stages](Stage stage) { stages.push_back(stage); };
  h.Start();
  EXPECT_EQ(h.run.stage(), Stage::Loader);
  h.loop.advance(Milliseconds{4999});
  EXPECT_FALSE(h.run.finished()) << h.out;
  EXPECT_EQ(h.form.RxMode, RxMode::LoaderWait);
  h.loop.advance(Milliseconds{1});
  ASSERT_TRUE(h.run.finished()) << h.out;
  const RunSummary summary = h.run.summary();
  EXPECT_EQ(summary.code, ExitCode::TimedOut);
  EXPECT_EQ(summary.detail,
            "no result within 5 s: the run was waiting for the loader's start requests (\"C\")");
  // Cancel as the window's: the port closed, the line and the advice written.
  EXPECT_FALSE(PortIsOpen());
  EXPECT_EQ(h.form.RxMode, RxMode::Idle);
  EXPECT_TRUE(h.Printed(">>The process is aborted")) << h.out;
  EXPECT_TRUE(h.Printed("[Warning] FW loading procedure canceled")) << h.out;
  EXPECT_EQ(stages, (std::vector<Stage>{Stage::Loader, Stage::Done}));
}

TEST(FlashRunTimeout, ASilentModuleWhileConnectingSaysWhatItWaitedFor) {
  SimConfig silent = Module(Protocol::Nmea, 115200);
  silent.silent = true;
  Headless h({.module = silent, .timeout = Milliseconds{2000}});
  h.Start();
  EXPECT_EQ(h.Finish(Milliseconds{2001}), ExitCode::TimedOut) << h.out;
  EXPECT_NE(h.run.summary().detail.find("waiting for the module's answer while connecting"),
            std::string::npos)
      << h.run.summary().detail;
  EXPECT_FALSE(h.form.TimerProtocol.enabled() || h.form.TimerAutoBaudNmea.enabled());
  EXPECT_FALSE(PortIsOpen());
}

TEST(FlashRunTimeout, ARunThatEndsInTimeIsNotTouchedByIt) {
  Folder folder;
  const Bytes image = SmallImage(4096, "KAP41");
  Headless h({.image = folder.write("fw.bin", image), .timeout = Milliseconds{60000}});
  h.Start();
  EXPECT_EQ(h.Finish(Milliseconds{60000}), ExitCode::Success) << h.out;
  h.loop.advance(Milliseconds{60000});
  EXPECT_EQ(h.run.summary().code, ExitCode::Success);
  EXPECT_EQ(h.module.image(), AsBlocks(image));
}

// ---- The version after the reconnect -------------------------------------------------------

TEST(FlashRunExpectVersion, TheNewVersionMustBeTheOneExpected) {
  Folder folder;
  const std::string file = folder.write("fw.bin", SmallImage(2048, "KAP41"));
  Headless right({.image = file, .expectVersion = "A1 KAP41 0103"});
  right.Start();
  EXPECT_EQ(right.Finish(Milliseconds{60000}), ExitCode::Success) << right.out;
  EXPECT_EQ(right.run.summary().newVersion, "A1 KAP41 0103");
  EXPECT_EQ(right.run.summary().oldVersion, "A1 KAP41 0102");

  Headless wrong({.image = file, .expectVersion = "A1 KAP41 0104"});
  wrong.Start();
  EXPECT_EQ(wrong.Finish(Milliseconds{60000}), ExitCode::WrongVersion) << wrong.out;
  EXPECT_EQ(wrong.run.summary().detail,
            "the module reports version \"A1 KAP41 0103\", not \"A1 KAP41 0104\"");
  EXPECT_TRUE(wrong.Printed(">>FW upgrade is FINISHED")) << "the upgrade itself went through";
}

TEST(FlashRunExpectVersion, WithoutAnImageTheConnectedVersionIsChecked) {
  Headless wrong({.expectVersion = "A1 KAP41 0103"});
  wrong.Start();
  EXPECT_EQ(wrong.Finish(Milliseconds{30000}), ExitCode::WrongVersion) << wrong.out;
  EXPECT_FALSE(PortIsOpen()) << "disconnected as without the check";
  Headless right({.expectVersion = "A1 KAP41 0102"});
  right.Start();
  EXPECT_EQ(right.Finish(Milliseconds{30000}), ExitCode::Success) << right.out;
}

// ---- Recovery of a module in its loader ----------------------------------------------------

TEST(FlashRunRecovery, AModuleInItsLoaderGetsTheImageThenRestartsAndIsFound) {
  Folder folder;
  for (const Protocol protocol : {Protocol::Nmea, Protocol::Binr}) {
    const Bytes image = SmallImage(5000, "KAP41");
    SimConfig module = Module(protocol, 115200);
    module.startInLoader = true;
    const RxMode mode = protocol == Protocol::Nmea ? RxMode::Nmea : RxMode::Binr;
    Headless h(
        {.module = module,
         .protocol = protocol == Protocol::Nmea ? ProtocolChoice::Nmea : ProtocolChoice::Binr,
         .image = folder.write("fw.bin", image),
         .recovery = Recovery{.linkMode = mode, .rate = 115200, .model = "KAP41"}});
    h.Start();
    EXPECT_EQ(h.Finish(Milliseconds{60000}), ExitCode::Success) << h.out;
    EXPECT_EQ(h.module.image(), AsBlocks(image));
    EXPECT_TRUE(h.module.firmwareLoaded());
    EXPECT_EQ(h.module.stats().violationTotal(), 0) << "no loader-entry command, nothing amiss";
    const RunSummary summary = h.run.summary();
    EXPECT_FALSE(summary.oldVersion) << "a loader reports no version";
    EXPECT_NE(summary.newVersion.value_or("").find("0103"), std::string::npos) << h.out;
    for (const char* line : {">>Loading completed", ">>Connection...", ">>FW upgrade is FINISHED",
                             ">>Device is ready for normal operation"}) {
      EXPECT_TRUE(h.Printed(line)) << line << " in\n" << h.out;
    }
  }
}

TEST(FlashRunRecovery, TheImageMustNameTheModelGiven) {
  Folder folder;
  SimConfig module = Module(Protocol::Nmea, 115200);
  module.startInLoader = true;
  Headless h({.module = module,
              .protocol = ProtocolChoice::Nmea,
              .image = folder.write("fw.bin", SmallImage(2048, "DOV42")),
              .recovery = Recovery{.linkMode = RxMode::Nmea, .rate = 115200, .model = "KAP41"}});
  h.Start();
  EXPECT_EQ(h.Finish(Milliseconds{1000}), ExitCode::ImageRejected) << h.out;
  EXPECT_TRUE(h.Printed(">>Version of the software does not match the version of the device"))
      << h.out;
  EXPECT_FALSE(PortIsOpen()) << "the port is not even opened";
  EXPECT_EQ(h.module.stats().blocksAccepted, 0);
}

TEST(FlashRunRecovery, WithoutAModelCheckAnyImageGoes) {
  Folder folder;
  const Bytes image = SmallImage(1024, "DOV42");
  SimConfig module = Module(Protocol::Nmea, 230400);
  module.startInLoader = true;
  Headless h({.module = module,
              .protocol = ProtocolChoice::Nmea,
              .image = folder.write("fw.bin", image),
              .recovery = Recovery{.linkMode = RxMode::Nmea, .rate = 230400, .model = ""}});
  h.Start();
  EXPECT_EQ(h.Finish(Milliseconds{60000}), ExitCode::Success) << h.out;
  EXPECT_EQ(h.module.image(), AsBlocks(image));
}

TEST(FlashRunRecovery, ABusyPortIsAPortProblem) {
  Folder folder;
  SimConfig module = Module(Protocol::Nmea, 115200);
  module.startInLoader = true;
  Headless h({.module = module,
              .protocol = ProtocolChoice::Nmea,
              .image = folder.write("fw.bin", SmallImage(2048, "KAP41")),
              .recovery = Recovery{.linkMode = RxMode::Nmea, .rate = 115200, .model = "KAP41"}});
  std::unique_ptr<SerialDevice> holder = h.simDriver.open(sim::kSimPortName, 9600, Parity::None);
  ASSERT_TRUE(holder);
  h.Start();
  EXPECT_EQ(h.Finish(Milliseconds{1000}), ExitCode::PortUnavailable) << h.out;
  EXPECT_EQ(h.run.summary().reason, "busy");
  EXPECT_TRUE(h.Printed(">>COM port is busy or not available")) << h.out;
}

TEST(FlashRunRecovery, AnRtkImageIsCheckedAgainstTheModelGiven) {
  // The rule for small RTK images checks the module's fourth version word, which a loader
  // never reported: the model given stands for it.
  Folder folder;
  SimConfig module = Module(Protocol::Nmea, 115200);
  module.startInLoader = true;
  Bytes image = SmallImage(4096, "DOV-RTK");
  Headless h({.module = module,
              .protocol = ProtocolChoice::Nmea,
              .image = folder.write("fw.bin", image),
              .recovery = Recovery{.linkMode = RxMode::Nmea, .rate = 115200, .model = "RTK01"}});
  h.Start();
  EXPECT_EQ(h.Finish(Milliseconds{1000}), ExitCode::ImageRejected) << h.out;
}

TEST(FlashRunRecovery, WithoutStartRequestsTheWaitEndsAfterTheDefaultLimit) {
  Folder folder;
  SimConfig module = Module(Protocol::Nmea, 115200);
  module.startInLoader = true;
  module.silent = true;
  Headless h({.module = module,
              .protocol = ProtocolChoice::Nmea,
              .image = folder.write("fw.bin", SmallImage(2048, "KAP41")),
              .recovery = Recovery{.linkMode = RxMode::Nmea, .rate = 115200, .model = "KAP41"}});
  h.Start();
  h.loop.advance(FlashRun::kRecoveryLoaderWait - Milliseconds{1});
  EXPECT_FALSE(h.run.finished());
  h.loop.advance(Milliseconds{1});
  ASSERT_TRUE(h.run.finished());
  EXPECT_EQ(h.run.summary().code, ExitCode::TimedOut);
  EXPECT_NE(h.run.summary().detail.find("(\"C\")"), std::string::npos) << h.run.summary().detail;
}

}  // namespace
}  // namespace movrand::cli

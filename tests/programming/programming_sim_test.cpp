// Programming through the main window into the simulated module on the virtual clock: the
// module's loader checks every block strictly and keeps the image it received, so each run
// ends by comparing that image with the file padded with 0x1A.
#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>

#include "comm/comm.h"
#include "support/image_files.h"
#include "support/sim_form.h"

namespace movrand::testing {
namespace {

using namespace std::chrono_literals;
using sim::Protocol;
using sim::SimConfig;

SimConfig Module(Protocol protocol, std::uint32_t baud, std::string model = "KAP41") {
  SimConfig config;
  config.protocol = protocol;
  config.baud = baud;
  config.model = std::move(model);
  return config;
}

constexpr std::size_t kStampLength = 8;  // "HH:MM:SS"

class Programming : public ::testing::Test {
 protected:
  void Make(SimConfig config) { sim = std::make_unique<SimForm>(std::move(config)); }
  TMainForm& form() { return sim->form; }

  void ConnectWith(const std::string& protocol, const std::string& baud) {
    sim->Select(protocol, baud);
    sim->Connect();
    ASSERT_TRUE(sim->RunUntil([&] { return form().DeviceIdentified; }, 20s));
    ASSERT_TRUE(PortIsOpen());
  }

  void Choose(const Bytes& bytes) {
    file = bytes;
    form().OpenDialog1.FileName = dir.Write("fw.bin", bytes).string();
    form().Edit1.setText("fw.bin");
    form().UpdateProgramButton();
    ASSERT_TRUE(form().SpeedButtonProgram.enabled());
  }

  // A line written (stamped) with exactly `text` after its time stamp.
  bool HasStamped(std::string_view text) const {
    for (const std::string& line : sim->Lines()) {
      if (line.size() == kStampLength + text.size() && line.ends_with(text)) return true;
    }
    return false;
  }

  // Presses Programming and runs until the transfer has ended one way or another.
  void ProgramUntilEnd(Milliseconds limit = 60s) {
    form().SpeedButtonProgram.click();
    ASSERT_TRUE(sim->RunUntil(
        [&] {
          return HasStamped(">>Loading completed") ||
                 HasStamped(">>Data loading has been canceled because of multiple errors!");
        },
        limit));
  }

  // The EOT is on its way when the window reports completion: the module keeps the image once
  // it has arrived.
  void ExpectImageReceived() {
    ASSERT_TRUE(sim->RunUntil([&] { return sim->module.stats().imagesWritten > 0; }, 1s));
    EXPECT_EQ(sim->module.image(), Padded(file));
    EXPECT_EQ(sim->module.stats().violationTotal(), 0) << sim->module.stats().summaryJson();
  }

  TempDir dir;
  std::unique_ptr<SimForm> sim;
  Bytes file;
};

TEST_F(Programming, OverNmeaAt115200TheImageArrivesAndTheWindowReconnects) {
  Make(Module(Protocol::Nmea, 115200));
  ConnectWith("NMEA", "115200");
  Choose(SmallImage(5000, {"KAP41"}));
  form().SpeedButtonProgram.click();
  EXPECT_EQ(sim->dialogs.attentionShown, 1);
  EXPECT_EQ(form().RxMode, RxMode::LoaderWait);
  EXPECT_TRUE(HasStamped(">>File Size 5kB (0kB)"));
  ASSERT_TRUE(sim->RunUntil([&] { return HasStamped(">>Loading completed"); }, 30s));
  const Milliseconds done = sim->loop.now();
  ExpectImageReceived();
  EXPECT_EQ(sim->module.stats().blocksAccepted, 40);
  const auto& lines = sim->Lines();
  EXPECT_EQ(lines[lines.size() - 2].substr(kStampLength), ">>File Size 5kB (5kB)");
  EXPECT_TRUE(sim->dialogs.devProgVisible);

  // The restart wait of a small image: seven ticks, then the reconnect begins.
  ASSERT_TRUE(sim->RunUntil([&] { return HasStamped(">>Connection..."); }, 30s));
  EXPECT_EQ(sim->loop.now() - done, 7000ms);
  EXPECT_FALSE(sim->dialogs.devProgVisible);
  ASSERT_TRUE(
      sim->RunUntil([&] { return HasStamped(">>Device is ready for normal operation"); }, 20s));
  EXPECT_TRUE(HasStamped(">>FW upgrade is FINISHED"));
  EXPECT_FALSE(HasStamped(">>The process is aborted"));
  EXPECT_FALSE(PortIsOpen());
  EXPECT_TRUE(form().BitBtn1.enabled());
  EXPECT_TRUE(form().SpeedButton1.enabled());
  EXPECT_TRUE(sim->module.firmwareLoaded());
}

struct WaitCase {
  const char* what;
  bool large;
  std::size_t size;
  Milliseconds wait;
};

void PrintTo(const WaitCase& c, std::ostream* out) {
  *out << c.what;
}

class RestartWait : public Programming, public ::testing::WithParamInterface<WaitCase> {};

TEST_P(RestartWait, FollowsTheRoundedImageLength) {
  const WaitCase c = GetParam();
  Make(Module(Protocol::Nmea, 230400));
  ConnectWith("NMEA", "230400");
  Choose(c.large ? LargeImage(c.size, {"KAP41"}) : SmallImage(c.size, {"KAP41"}));
  ProgramUntilEnd(120s);
  const Milliseconds done = sim->loop.now();
  ExpectImageReceived();
  ASSERT_TRUE(sim->RunUntil([&] { return HasStamped(">>Connection..."); }, 30s));
  EXPECT_EQ(sim->loop.now() - done, c.wait);
}

INSTANTIATE_TEST_SUITE_P(Images, RestartWait,
                         ::testing::Values(WaitCase{"small", false, 65536, 7000ms},
                                           WaitCase{"small, rounded to 131072", false, 130945,
                                                    26000ms},
                                           WaitCase{"large", true, 131072, 26000ms}),
                         [](const auto& info) {
                           return std::string(info.param.large ? "Large" : "Small") +
                                  std::to_string(info.param.size);
                         });

TEST_F(Programming, At57600TheLinkIsRaisedTo115200First) {
  Make(Module(Protocol::Nmea, 57600));
  ConnectWith("NMEA", "57600");
  Choose(SmallImage(3000, {"KAP41"}));
  ProgramUntilEnd();
  EXPECT_TRUE(
      HasStamped(">>COM-port baudrate have been changed to 115200 for device programming!"));
  EXPECT_EQ(sim->driver.hostSettings()->baud, 115200u);
  EXPECT_EQ(form().CurrentBaud, 115200u);
  ExpectImageReceived();
  // The selectors kept the rate the module came back at after its restart.
  EXPECT_EQ(form().ProtocolComboBox.text(), "NMEA");
  EXPECT_EQ(form().BaudComboBox.text(), "57600");
}

TEST_F(Programming, OverBinrWithFastProgrammingTheLinkGoesTo230400) {
  Make(Module(Protocol::Binr, 115200, "KAP42"));
  form().FastProgramming = true;
  ConnectWith("BINR", "115200");
  Choose(SmallImage(3000, {"KAP42"}));
  ProgramUntilEnd();
  EXPECT_TRUE(
      HasStamped(">>COM-port baudrate have been changed to 230400 for device programming!"));
  EXPECT_EQ(sim->driver.hostSettings()->baud, 230400u);
  ExpectImageReceived();
}

TEST_F(Programming, AfterAnAutomaticSearchTheSelectorsShowTheLinkFound) {
  Make(Module(Protocol::Nmea, 115200));
  ConnectWith("Auto", "Auto");
  Choose(SmallImage(3000, {"KAP41"}));
  ProgramUntilEnd();
  EXPECT_EQ(form().ProtocolComboBox.text(), "NMEA");
  EXPECT_EQ(form().BaudComboBox.text(), "115200");
  ExpectImageReceived();
}

TEST_F(Programming, RejectedBlocksAreSentAgainAndTheImageStillArrivesWhole) {
  SimConfig config = Module(Protocol::Nmea, 115200);
  config.nakBlocks = {1, 7, 256, 257};
  Make(config);
  ConnectWith("NMEA", "115200");
  Choose(SmallImage(300 * 128, {"KAP41"}));
  ProgramUntilEnd();
  ASSERT_TRUE(HasStamped(">>Loading completed"));
  ExpectImageReceived();
  EXPECT_EQ(sim->module.stats().injectedNaks, 4);
  // 304 blocks went out: 38 kB, with the repeats counted.
  const auto& lines = sim->Lines();
  EXPECT_EQ(lines[lines.size() - 2].substr(kStampLength), ">>File Size 37kB (38kB)");
}

TEST_F(Programming, ALoaderThatRejectsOneBlockForeverEndsTheTransfer) {
  SimConfig config = Module(Protocol::Nmea, 115200);
  config.nakForever = 5;
  Make(config);
  ConnectWith("NMEA", "115200");
  Choose(SmallImage(20 * 128, {"KAP41"}));
  ProgramUntilEnd();
  ASSERT_TRUE(HasStamped(">>Data loading has been canceled because of multiple errors!"));
  EXPECT_FALSE(PortIsOpen());
  EXPECT_EQ(form().RxMode, RxMode::Idle);
  EXPECT_EQ(form().SpeedButtonSynch.caption(), "Connect");
  sim->loop.advance(2s);
  // Blocks 1 to 4, then block 5 and its four repeats; nothing after the abort.
  EXPECT_EQ(sim->module.stats().seen.at("xmodem block"), 9);
  EXPECT_EQ(sim->module.stats().imagesWritten, 0);
  EXPECT_TRUE(sim->dialogs.messages.empty());
}

TEST_F(Programming, CancelWhileTheLoaderStartsUpWarnsAndSendsNoBlock) {
  Make(Module(Protocol::Nmea, 115200));
  ConnectWith("NMEA", "115200");
  Choose(SmallImage(3000, {"KAP41"}));
  form().SpeedButtonProgram.click();
  sim->loop.advance(400ms);  // the loader has asked once or twice
  ASSERT_EQ(form().RxMode, RxMode::LoaderWait);
  form().SpeedButton1.click();
  ASSERT_EQ(sim->dialogs.messages.size(), 1u);
  EXPECT_EQ(sim->dialogs.messages[0].first, "Warning");
  EXPECT_EQ(form().RxMode, RxMode::Idle);
  EXPECT_TRUE(HasStamped(">>The process is aborted"));
  EXPECT_FALSE(PortIsOpen());
  sim->loop.advance(3s);
  EXPECT_EQ(sim->module.stats().seen.count("xmodem block"), 0u);
}

TEST_F(Programming, CancelDuringTheTransferStopsItThere) {
  Make(Module(Protocol::Nmea, 115200));
  ConnectWith("NMEA", "115200");
  Choose(SmallImage(100 * 128, {"KAP41"}));
  form().SpeedButtonProgram.click();
  ASSERT_TRUE(sim->RunUntil([&] { return form().Programmer.Sender.KBSent() >= 2; }, 10s));
  ASSERT_TRUE(form().Timer1.enabled());
  form().SpeedButton1.click();
  EXPECT_EQ(sim->dialogs.messages.size(), 1u);
  EXPECT_EQ(form().RxMode, RxMode::Idle);
  EXPECT_FALSE(form().Timer1.enabled());
  EXPECT_EQ(form().SpeedButtonSynch.caption(), "Connect");
  EXPECT_TRUE(form().BaudComboBox.enabled()) << "the protocol selector shows NMEA";
  EXPECT_FALSE(form().DeviceIdentified);
  const std::size_t lines = sim->Lines().size();
  const std::int64_t blocks = sim->module.stats().seen.at("xmodem block");
  sim->loop.advance(3s);
  EXPECT_LE(sim->module.stats().seen.at("xmodem block"), blocks + 1) << "at most the one in flight";
  EXPECT_EQ(sim->module.stats().imagesWritten, 0);
  EXPECT_EQ(sim->Lines().size(), lines) << "no progress after the cancel";
}

}  // namespace
}  // namespace movrand::testing

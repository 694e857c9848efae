// The wait after programming and the reconnect that follows, on the virtual clock: when the
// reconnect starts, and each way it ends.
#include <gtest/gtest.h>

#include <string>

#include "comm/comm.h"
#include "support/sim_form.h"

namespace movrand::testing {
namespace {

using sim::Protocol;
using sim::SimConfig;

struct Reconnect : ::testing::Test {
  void Make(SimConfig config) {
    sim.reset();  // one serial link at a time
    sim = std::make_unique<SimForm>(std::move(config));
  }
  TMainForm& form() { return sim->form; }
  std::string At(long ms) { return VirtualClockTime::At(Milliseconds{ms}); }

  // The window as the last accepted block leaves it: selectors showing the link that was
  // programmed, the port open, Close and Cancel disabled, the notice shown, the wait running.
  void TransferEnded(const std::string& protocol, const std::string& baud, int retryCount) {
    sim->Select(protocol, baud);
    form().SpeedButtonSynch.setCaption("Disconnect");
    form().SpeedButtonSynch.setEnabled(false);
    ASSERT_TRUE(OpenPort(sim::kSimPortName, 115200, 0));
    form().PortName = std::string(sim::kSimPortName);
    form().RxMode = RxMode::Idle;
    form().BitBtn1.setEnabled(false);
    form().SpeedButton1.setEnabled(false);
    sim->dialogs.ShowDevProg();
    form().RetryCount = retryCount;
    form().TimerRestart.setTag(0);
    form().TimerRestart.setEnabled(true);
  }

  bool LastLineIs(const std::string& text) {
    return !sim->Lines().empty() && sim->Lines().back().ends_with(text);
  }

  std::unique_ptr<SimForm> sim;
};

TEST_F(Reconnect, StartsSevenTicksAfterASmallImageAndTwentySixAfterALargeOne) {
  for (const auto& [retryCount, ticks] : {std::pair{19, 7}, std::pair{0, 26}}) {
    Make(ModuleAt(Protocol::Nmea, 115200));
    TransferEnded("NMEA", "115200", retryCount);
    const Milliseconds start = sim->loop.now();
    ASSERT_TRUE(sim->RunUntil([&] { return LastLineIs(">>Connection..."); }, Milliseconds{30000}));
    EXPECT_EQ(sim->loop.now() - start, Milliseconds{1000 * ticks});
    EXPECT_FALSE(PortIsOpen());
    EXPECT_FALSE(sim->dialogs.devProgVisible);
    EXPECT_EQ(form().ReconnectAfterProgramming(), 1);
    EXPECT_EQ(form().SpeedButtonSynch.caption(), "Connect");
    EXPECT_TRUE(form().SpeedButtonSynch.enabled());
    EXPECT_FALSE(form().TimerRestart.enabled());
    // The connect follows 2000 ms later.
    const int opens = sim->driver.openCount();
    sim->loop.advance(Milliseconds{1999});
    EXPECT_EQ(sim->driver.openCount(), opens);
    sim->loop.advance(Milliseconds{1});
    EXPECT_EQ(sim->driver.openCount(), opens + 1);
    EXPECT_EQ(form().SpeedButtonSynch.caption(), "Disconnect");
  }
}

TEST_F(Reconnect, PortThatDoesNotOpenFallsBackToTheSearchWithoutTheReconnectFlag) {
  Make(ModuleAt(Protocol::Nmea, 115200, /*silent=*/true));
  TransferEnded("NMEA", "115200", 24);
  sim->ports.ports = std::vector<SerialPortEntry>{{"ttyGONE", "gone"}};
  form().RefreshPortList();
  ASSERT_TRUE(sim->RunUntil([&] { return LastLineIs(">>Connection..."); }, Milliseconds{3000}));
  sim->loop.advance(Milliseconds{2000 + 500});
  // No "busy" line: the pause after the failed open leads into the protocol search.
  EXPECT_FALSE(sim->HasLine(At(sim->loop.now().count()) + ">>COM port is busy or not available"));
  EXPECT_EQ(form().ProtocolComboBox.itemIndex(), 0);
  EXPECT_TRUE(form().TimerProtocol.enabled());
  EXPECT_EQ(form().ReconnectAfterProgramming(), 0);
  ASSERT_TRUE(sim->RunUntil([&] { return LastLineIs(">>Program could not find the device!"); },
                            Milliseconds{5000}));
  EXPECT_FALSE(sim->HasLine(At(0) + ">>Connection with device was lost after reprogramming. "
                                    "Please try connect manually before POWER OFF or RESTART!"));
}

TEST_F(Reconnect, FixedProtocolScanThatFailsReportsTheLostConnection) {
  Make(ModuleAt(Protocol::Nmea, 115200, /*silent=*/true));
  TransferEnded("BINR", "Auto", 24);
  ASSERT_TRUE(sim->RunUntil(
      [&] { return LastLineIs("Please try connect manually before POWER OFF or RESTART!"); },
      Milliseconds{20000}));
  EXPECT_EQ(sim->Lines().back(),
            At(sim->loop.now().count()) +
                ">>Connection with device was lost after reprogramming. Please try connect "
                "manually before POWER OFF or RESTART!");
  EXPECT_TRUE(form().BitBtn1.enabled());
  EXPECT_TRUE(form().SpeedButton1.enabled());
  EXPECT_EQ(form().ReconnectAfterProgramming(), 0);
  EXPECT_EQ(form().SpeedButtonSynch.caption(), "Connect");
  EXPECT_FALSE(PortIsOpen());
}

TEST_F(Reconnect, SilentModuleAtTheFixedRateLeadsToASearchThatGivesUp) {
  Make(ModuleAt(Protocol::Nmea, 115200, /*silent=*/true));
  TransferEnded("NMEA", "57600", 24);
  ASSERT_TRUE(sim->RunUntil([&] { return LastLineIs(">>Program could not find the device!"); },
                            Milliseconds{40000}));
  // Synchronisation failed without its message; the search then ran with Auto/Auto.
  EXPECT_FALSE(sim->HasLine(At(0) + ">>Device is not responding..."));
  for (const std::string& line : sim->Lines()) {
    EXPECT_EQ(line.find(">>Device is not responding..."), std::string::npos) << line;
  }
  EXPECT_EQ(form().ProtocolComboBox.itemIndex(), 0);
  EXPECT_EQ(form().BaudComboBox.itemIndex(), 0);
}

}  // namespace
}  // namespace movrand::testing

// Connecting through the main window to the simulated module on the virtual clock: fixed-rate
// synchronisation, the rate scans, the protocol search, disconnect and the rate follow, with
// the log lines, the controls and the timings the technician sees.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "comm/comm.h"
#include "protocol/nmea_output.h"
#include "support/sim_form.h"

namespace movrand::testing {
namespace {

using sim::Protocol;
using sim::SimConfig;

// The times (ms) at which the module saw messages of `kind` ("nmea POVER", "binr 0x26").
struct EventLog {
  std::vector<std::string> events;
  std::vector<long> TimesOf(const std::string& kind) const {
    std::vector<long> times;
    for (const std::string& e : events) {
      if (e.find("\"dir\":\"rx\"") == std::string::npos) continue;
      if (e.find("\"kind\":\"" + kind + "\"") == std::string::npos) continue;
      times.push_back(std::stol(e.substr(e.find("\"t_ms\":") + 7)));
    }
    return times;
  }
};

struct Connecting : ::testing::Test {
  void Make(SimConfig config) {
    sim = std::make_unique<SimForm>(std::move(config));
    sim->module.setEventSink([this](const std::string& e) { log.events.push_back(e); });
  }
  TMainForm& form() { return sim->form; }
  std::string At(long ms) { return VirtualClockTime::At(Milliseconds{ms}); }

  std::unique_ptr<SimForm> sim;
  EventLog log;
};

TEST_F(Connecting, FixedNmeaWithSilentModuleProbesThreeTimesThenGivesUpAtFourSeconds) {
  Make(ModuleAt(Protocol::Nmea, 9600, /*silent=*/true));
  sim->Select("NMEA", "9600");
  sim->Connect();
  EXPECT_EQ(form().SpeedButtonSynch.caption(), "Disconnect");
  EXPECT_FALSE(form().SpeedButtonSynch.enabled());
  EXPECT_EQ(sim->driver.hostSettings()->baud, 9600u);

  ASSERT_TRUE(
      sim->RunUntil([&] { return sim->HasLine(At(4000) + ">>Device is not responding..."); },
                    Milliseconds{5000}));
  EXPECT_EQ(sim->loop.now(), Milliseconds{4000});
  // Each probe reaches the module once its 11 characters have crossed the line at 9600.
  const std::vector<long> probes = log.TimesOf("nmea POVER");
  ASSERT_EQ(probes.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_GE(probes[i], 1000 * (i + 1));
    EXPECT_LT(probes[i], 1000 * (i + 1) + 20);
  }
  EXPECT_FALSE(PortIsOpen());
  EXPECT_EQ(form().RxMode, RxMode::Idle);
  EXPECT_EQ(form().SpeedButtonSynch.caption(), "Connect");
  EXPECT_TRUE(form().SpeedButtonSynch.enabled());
  EXPECT_TRUE(form().BaudComboBox.enabled());
  sim->loop.advance(Milliseconds{5000});
  EXPECT_EQ(log.TimesOf("nmea POVER").size(), 3u) << "no probe after giving up";
}

TEST_F(Connecting, FixedBinrWithAnsweringModuleIdentifiesIt) {
  Make(ModuleAt(Protocol::Binr, 115200));
  sim->Select("BINR", "115200");
  sim->Connect();
  ASSERT_TRUE(sim->RunUntil([&] { return form().DeviceIdentified; }, Milliseconds{3000}));
  EXPECT_EQ(log.TimesOf("binr 0x26").size(), 1u);
  EXPECT_EQ(log.TimesOf("binr 0x1B").size(), 1u);
  const auto& lines = sim->Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], At(1000) + ">>Port: SIM0 115200 BINR");
  EXPECT_EQ(lines[1], ">>Current FW version: ");
  EXPECT_EQ(lines[2], ">>" + sim->config.binrText1);
  EXPECT_EQ(form().SpeedButtonSynch.caption(), "Disconnect");
  EXPECT_TRUE(form().SpeedButtonSynch.enabled());
  EXPECT_EQ(std::string(FieldText(form().DeviceModel)), "KAP41");
  EXPECT_EQ(form().RxMode, RxMode::Binr);
  EXPECT_EQ(sim->driver.hostSettings()->parity, Parity::Odd);

  // Disconnect closes the port and gives the selectors back.
  sim->Connect();
  EXPECT_FALSE(PortIsOpen());
  EXPECT_EQ(sim->Lines().back(), At(sim->loop.now().count()) + ">>COM-port closes");
  EXPECT_EQ(form().SpeedButtonSynch.caption(), "Connect");
  EXPECT_TRUE(form().PortComboBox.enabled());
  EXPECT_TRUE(form().ProtocolComboBox.enabled());
  EXPECT_TRUE(form().BaudComboBox.enabled());
  EXPECT_FALSE(form().DeviceIdentified);
  EXPECT_EQ(form().RxMode, RxMode::Idle);
}

TEST_F(Connecting, AutoSearchWithSilentModuleScansBothProtocolsAndGivesUp) {
  Make(ModuleAt(Protocol::Nmea, 115200, /*silent=*/true));
  sim->Select("Auto", "Auto");
  sim->Connect();
  ASSERT_TRUE(sim->RunUntil(
      [&] { return !sim->Lines().empty() && sim->Lines().back().ends_with("find the device!"); },
      Milliseconds{20000}));
  // NMEA: the search starts the scan at 0.5 s, which opens at 1, 2, ... 7 s (4800, with the
  // longer window) and ends at 9 s; BINR starts at 9.5 s, opens at 10 ... 15 s, ends at 16 s.
  EXPECT_EQ(sim->loop.now(), Milliseconds{16500});
  const std::vector<std::string> expected{"...NMEA", At(7000) + ">>Scanning...4800", "...BINR",
                                          At(15000) + ">>Scanning...9600",
                                          At(16500) + ">>Program could not find the device!"};
  EXPECT_EQ(sim->Lines(), expected);
  // Seven NMEA probes at their rates, six BINR probes, and never 14400 or a BINR 4800.
  EXPECT_EQ(log.TimesOf("nmea POVER").size() + sim->module.stats().noiseChunks, 13u)
      << "every probe reached the line once";
  EXPECT_EQ(form().CurrentBaud, 115200u);
  EXPECT_EQ(form().SpeedButtonSynch.caption(), "Connect");
  EXPECT_TRUE(form().SpeedButtonSynch.enabled());
  EXPECT_FALSE(form().BaudComboBox.enabled());
  EXPECT_FALSE(PortIsOpen());
}

TEST_F(Connecting, AutoSearchRewritesOneScanLinePerScan) {
  Make(ModuleAt(Protocol::Nmea, 115200, /*silent=*/true));
  sim->Select("Auto", "Auto");
  std::vector<std::string> scanTexts;
  sim->form.Memo1.setListener([&] {
    const auto& lines = sim->form.Memo1.lines();
    if (!lines.empty() && lines.back().find(">>Scanning...") != std::string::npos) {
      scanTexts.push_back(lines.back().substr(lines.back().find(">>")));
    }
  });
  sim->Connect();
  sim->loop.advance(Milliseconds{20000});
  const std::vector<std::string> expected{
      ">>Scanning...115200", ">>Scanning...230400", ">>Scanning...57600", ">>Scanning...38400",
      ">>Scanning...19200",  ">>Scanning...9600",   ">>Scanning...4800",  ">>Scanning...115200",
      ">>Scanning...230400", ">>Scanning...57600",  ">>Scanning...38400", ">>Scanning...19200",
      ">>Scanning...9600"};
  EXPECT_EQ(scanTexts, expected);
}

struct ScanCase {
  Protocol protocol;
  std::uint32_t baud;
};

class ScanFinds : public Connecting, public ::testing::WithParamInterface<ScanCase> {};

TEST_P(ScanFinds, TheModuleAtEveryRateOfItsTable) {
  const ScanCase c = GetParam();
  Make(ModuleAt(c.protocol, c.baud));
  const bool binr = c.protocol == Protocol::Binr;
  sim->Select(binr ? "BINR" : "NMEA", "Auto");
  sim->Connect();
  ASSERT_TRUE(sim->RunUntil([&] { return form().DeviceIdentified; }, Milliseconds{10000}));
  const std::string portLine =
      ">>Port: SIM0 " + std::to_string(c.baud) + (binr ? " BINR" : " NMEA");
  const auto& lines = sim->Lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_TRUE(lines[0].ends_with(">>Scanning..." + std::to_string(c.baud))) << lines[0];
  EXPECT_TRUE(lines[1].ends_with(portLine)) << lines[1];
  EXPECT_EQ(form().CurrentBaud, c.baud);
  EXPECT_EQ(sim->driver.hostSettings()->baud, c.baud);
  EXPECT_EQ(sim->driver.hostSettings()->parity, binr ? Parity::Odd : Parity::None);
  if (!binr) {
    EXPECT_EQ(form().TimerAutoBaudNmea.interval(), Milliseconds{c.baud == 4800 ? 1000 : 500});
  }
  // The port stays open at the rate that answered.
  sim->loop.advance(Milliseconds{3000});
  EXPECT_TRUE(PortIsOpen());
  EXPECT_EQ(form().SpeedButtonSynch.caption(), "Disconnect");
  EXPECT_TRUE(form().SpeedButtonSynch.enabled());
}

INSTANTIATE_TEST_SUITE_P(
    Rates, ScanFinds,
    ::testing::Values(ScanCase{Protocol::Nmea, 115200}, ScanCase{Protocol::Nmea, 230400},
                      ScanCase{Protocol::Nmea, 57600}, ScanCase{Protocol::Nmea, 38400},
                      ScanCase{Protocol::Nmea, 19200}, ScanCase{Protocol::Nmea, 9600},
                      ScanCase{Protocol::Nmea, 4800}, ScanCase{Protocol::Binr, 115200},
                      ScanCase{Protocol::Binr, 230400}, ScanCase{Protocol::Binr, 57600},
                      ScanCase{Protocol::Binr, 38400}, ScanCase{Protocol::Binr, 19200},
                      ScanCase{Protocol::Binr, 9600}));

TEST_F(Connecting, AutoSearchFindsABinrModuleAfterTheNmeaScan) {
  Make(ModuleAt(Protocol::Binr, 57600));
  sim->Select("Auto", "Auto");
  sim->Connect();
  ASSERT_TRUE(sim->RunUntil([&] { return form().DeviceIdentified; }, Milliseconds{20000}));
  EXPECT_EQ(sim->Lines()[0], "...NMEA");
  EXPECT_EQ(sim->Lines()[2], "...BINR");
  EXPECT_TRUE(sim->Lines()[4].ends_with(">>Port: SIM0 57600 BINR"));
  EXPECT_EQ(form().RxMode, RxMode::Binr);
}

TEST_F(Connecting, ModuleAnsweringAfterTheProbingWindowIsNotFound) {
  SimConfig config = ModuleAt(Protocol::Nmea, 57600);
  config.answerDelay = Milliseconds{600};  // the port closes 500 ms after the probe
  Make(config);
  sim->Select("NMEA", "Auto");
  sim->Connect();
  ASSERT_TRUE(
      sim->RunUntil([&] { return sim->Lines().back().ends_with(">>Device is not responding..."); },
                    Milliseconds{15000}));
  EXPECT_FALSE(form().DeviceIdentified);
  EXPECT_GE(sim->module.stats().lost, 1) << "the late answer found the port closed";
  EXPECT_EQ(form().CurrentBaud, 115200u);
}

TEST_F(Connecting, FixedRateOpenFailureWaitsHalfASecondThenReportsTheBusyPort) {
  Make(ModuleAt(Protocol::Nmea, 115200));
  sim->ports.ports = std::vector<SerialPortEntry>{{"ttyNONE", "gone"}};
  form().RefreshPortList();
  sim->Select("NMEA", "115200");
  sim->Connect();
  EXPECT_TRUE(sim->Lines().empty());
  EXPECT_FALSE(form().SpeedButtonSynch.enabled());
  sim->loop.advance(Milliseconds{499});
  EXPECT_TRUE(sim->Lines().empty()) << "the message comes after the pause";
  sim->loop.advance(Milliseconds{1});
  ASSERT_EQ(sim->Lines().size(), 1u);
  EXPECT_EQ(sim->Lines()[0], At(500) + ">>COM port is busy or not available");
  EXPECT_EQ(form().SpeedButtonSynch.caption(), "Connect");
  EXPECT_TRUE(form().SpeedButtonSynch.enabled());
  EXPECT_TRUE(form().BaudComboBox.enabled());
  EXPECT_EQ(form().CurrentBaud, 115200u);
}

TEST_F(Connecting, CancelDuringAScanOrThePauseAfterAFailedOpenEndsTheAttempt) {
  Make(ModuleAt(Protocol::Nmea, 115200, /*silent=*/true));
  sim->Select("NMEA", "Auto");
  sim->Connect();
  sim->loop.advance(Milliseconds{1700});  // the port is open at 230400, probed
  ASSERT_TRUE(PortIsOpen());
  form().SpeedButton1.click();
  EXPECT_FALSE(PortIsOpen());
  EXPECT_EQ(sim->Lines().back(), At(1700) + ">>The process is aborted");
  EXPECT_EQ(form().SpeedButtonSynch.caption(), "Connect");
  EXPECT_TRUE(form().SpeedButtonSynch.enabled());
  EXPECT_TRUE(sim->dialogs.messages.empty()) << "no box outside the loader exchange";
  const std::size_t lines = sim->Lines().size();
  const int opens = sim->driver.openCount();
  sim->loop.advance(Milliseconds{10000});
  EXPECT_EQ(sim->Lines().size(), lines) << "nothing runs on after Cancel";
  EXPECT_EQ(sim->driver.openCount(), opens);

  // During the pause after a failed fixed-rate open, Cancel ends the attempt there.
  sim->ports.ports = std::vector<SerialPortEntry>{{"ttyNONE", "gone"}};
  form().RefreshPortList();
  sim->Select("NMEA", "9600");
  sim->Connect();
  sim->loop.advance(Milliseconds{200});
  form().SpeedButton1.click();
  sim->loop.advance(Milliseconds{1000});
  EXPECT_EQ(sim->Lines().back(), At(11900) + ">>The process is aborted");
  EXPECT_EQ(form().SpeedButtonSynch.caption(), "Connect");
}

TEST_F(Connecting, ScanOfAPortThatDoesNotOpen) {
  Make(ModuleAt(Protocol::Nmea, 115200));
  sim->ports.ports = std::vector<SerialPortEntry>{{"ttyNONE", "gone"}};
  form().RefreshPortList();
  // A fixed protocol reports the port at once.
  sim->Select("BINR", "Auto");
  sim->Connect();
  ASSERT_EQ(sim->Lines().size(), 1u);
  EXPECT_EQ(sim->Lines()[0], At(0) + ">>COM port is busy or not available");
  EXPECT_EQ(form().SpeedButtonSynch.caption(), "Connect");
  // Protocol Auto never says "busy": both scans fail to start and the search gives up.
  sim->Select("Auto", "Auto");
  sim->Connect();
  sim->loop.advance(Milliseconds{3000});
  const std::vector<std::string> expected{At(0) + ">>COM port is busy or not available", "...NMEA",
                                          "...BINR",
                                          At(1500) + ">>Program could not find the device!"};
  EXPECT_EQ(sim->Lines(), expected);
}

TEST_F(Connecting, EmptyPortListAsksForAPortAndStaysReady) {
  Make(ModuleAt(Protocol::Nmea, 115200));
  sim->ports.ports = std::vector<SerialPortEntry>{};
  form().RefreshPortList();
  sim->Select("NMEA", "9600");
  for (int click = 0; click < 2; ++click) {
    sim->Connect();
    EXPECT_EQ(sim->Lines().back(), At(0) + ">>Error: Please select the COM - port!");
    EXPECT_EQ(form().SpeedButtonSynch.caption(), "Connect");
    EXPECT_TRUE(form().SpeedButtonSynch.enabled());
    EXPECT_TRUE(form().BaudComboBox.enabled());
  }
  EXPECT_EQ(sim->Lines().size(), 2u);
  EXPECT_EQ(sim->driver.openCount(), 0);
}

TEST_F(Connecting, RateConfirmationMovesThePortAndSynchronisesAgain) {
  Make(ModuleAt(Protocol::Nmea, 57600));
  sim->Select("NMEA", "57600");
  sim->Connect();
  ASSERT_TRUE(sim->RunUntil([&] { return form().DeviceIdentified; }, Milliseconds{3000}));
  const std::size_t before = sim->Lines().size();
  SendNmeaSentence(SentenceRate115200);
  ASSERT_TRUE(sim->RunUntil([&] { return form().CurrentBaud == 115200; }, Milliseconds{1000}));
  EXPECT_EQ(sim->driver.hostSettings()->baud, 115200u);
  EXPECT_TRUE(form().TimerSynchNMEA.enabled());
  EXPECT_EQ(form().RetryCount, 0);
  ASSERT_TRUE(sim->RunUntil([&] { return sim->Lines().size() > before + 1; }, Milliseconds{3000}));
  EXPECT_TRUE(sim->Lines()[before].ends_with(">>Port: SIM0 115200 NMEA"));
  EXPECT_FALSE(form().TimerSynchNMEA.enabled());
}

}  // namespace
}  // namespace movrand::testing

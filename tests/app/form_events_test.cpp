// What the main window announces, on the virtual clock with the simulated module: the kinds
// in the order a run produces them, and the data a front end or a script acts on (the link
// of the identification, the versions before and after, the transfer's counts, why a port
// would not open).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "comm/comm.h"
#include "support/image_files.h"
#include "support/sim_form.h"

namespace movrand::testing {
namespace {

using namespace std::chrono_literals;
using Kind = FormEvent::Kind;
using sim::Protocol;

struct Announced : ::testing::Test {
  void Make(sim::SimConfig config) {
    sim = std::make_unique<SimForm>(std::move(config));
    sim->form.Events.Listen([this](const FormEvent& e) { events.push_back(e); });
  }
  TMainForm& form() { return sim->form; }

  // The kinds announced so far, the many BlockSent folded into one.
  std::vector<Kind> Kinds() const {
    std::vector<Kind> kinds;
    for (const FormEvent& e : events) {
      if (e.kind == Kind::BlockSent && !kinds.empty() && kinds.back() == Kind::BlockSent) continue;
      kinds.push_back(e.kind);
    }
    return kinds;
  }
  const FormEvent* Last(Kind kind) const {
    const auto at = std::find_if(events.rbegin(), events.rend(),
                                 [kind](const FormEvent& e) { return e.kind == kind; });
    return at == events.rend() ? nullptr : &*at;
  }
  bool Announced_(Kind kind) const { return Last(kind) != nullptr; }

  TempDir dir;
  std::unique_ptr<SimForm> sim;
  std::vector<FormEvent> events;
};

TEST_F(Announced, AWholeUpgradeFromTheFirstAnswerToTheNewVersion) {
  Make(ModuleAt(Protocol::Nmea, 57600));
  sim->Select("Auto", "Auto");
  sim->Connect();
  ASSERT_TRUE(sim->RunUntil([&] { return form().DeviceIdentified; }, 20s));
  const FormEvent identified = *Last(Kind::Identified);
  EXPECT_EQ(identified.port, "SIM0");
  EXPECT_EQ(identified.baud, 57600u);
  EXPECT_EQ(identified.protocol, RxMode::Nmea);
  EXPECT_NE(identified.version.find("KAP41"), std::string::npos) << identified.version;

  const Bytes image = SmallImage(3000, {"KAP41"});
  form().OpenDialog1.FileName = dir.Write("fw.bin", image).string();
  form().Edit1.setText("fw.bin");
  form().UpdateProgramButton();
  form().SpeedButtonProgram.click();
  const FormEvent started = *Last(Kind::ProgrammingStarted);
  EXPECT_EQ(started.programmingRate, 115200u) << "57600 is raised first";
  EXPECT_EQ(started.totalBytes, 3072);
  EXPECT_EQ(Last(Kind::Waiting)->waitFor, WaitFor::ProgrammingRate);

  ASSERT_TRUE(sim->RunUntil([&] { return Announced_(Kind::UpgradeFinished); }, 60s));
  const std::vector<Kind> expected{
      Kind::Identified, Kind::ProgrammingStarted, Kind::Waiting,  // the programming rate
      Kind::Waiting,                                              // the loader's start
      Kind::BlockSent,  Kind::LoadingCompleted,   Kind::Waiting,  // the restart
      Kind::Waiting,                                              // the reconnect
      Kind::Identified, Kind::UpgradeFinished};
  EXPECT_EQ(Kinds(), expected);
  const FormEvent completed = *Last(Kind::LoadingCompleted);
  EXPECT_EQ(completed.sentBytes, 3072);
  EXPECT_EQ(completed.totalBytes, 3072);
  EXPECT_EQ(completed.blocksRepeated, 0);
  EXPECT_EQ(std::count_if(events.begin(), events.end(),
                          [](const FormEvent& e) { return e.kind == Kind::BlockSent; }),
            24);
  const FormEvent finished = *Last(Kind::UpgradeFinished);
  EXPECT_EQ(finished.text, ">>Device is ready for normal operation");
  EXPECT_EQ(finished.previousVersion, identified.version);
  EXPECT_NE(finished.version, identified.version) << "the module reports its new firmware";
  EXPECT_EQ(finished.port, "SIM0");
}

TEST_F(Announced, RejectionsAreCountedAndTheAbortSaysWhere) {
  sim::SimConfig config = ModuleAt(Protocol::Nmea, 115200);
  config.nakForever = 3;
  Make(config);
  sim->Select("NMEA", "115200");
  sim->Connect();
  ASSERT_TRUE(sim->RunUntil([&] { return form().DeviceIdentified; }, 10s));
  form().OpenDialog1.FileName = dir.Write("fw.bin", SmallImage(1024, {"KAP41"})).string();
  form().Edit1.setText("fw.bin");
  form().UpdateProgramButton();
  form().SpeedButtonProgram.click();
  ASSERT_TRUE(sim->RunUntil([&] { return Announced_(Kind::AbortedAfterRejections); }, 30s));
  const FormEvent aborted = *Last(Kind::AbortedAfterRejections);
  EXPECT_EQ(aborted.text, ">>Data loading has been canceled because of multiple errors!");
  EXPECT_EQ(aborted.blockNumber, 3);
  EXPECT_EQ(aborted.blocksRepeated, 4);
  EXPECT_EQ(aborted.sentBytes, 3 * 128);
  EXPECT_FALSE(Announced_(Kind::LoadingCompleted));
}

TEST_F(Announced, APortThatDoesNotOpenSaysWhy) {
  Make(ModuleAt(Protocol::Nmea, 115200));
  sim->ports.ports = std::vector<SerialPortEntry>{{"ttyNONE", "gone"}};
  form().RefreshPortList();
  sim->Select("NMEA", "115200");
  sim->Connect();
  sim->loop.advance(500ms);
  ASSERT_TRUE(Last(Kind::PortUnavailable));
  EXPECT_EQ(Last(Kind::PortUnavailable)->text, ">>COM port is busy or not available");
  EXPECT_EQ(Last(Kind::PortUnavailable)->openError, OpenError::Missing);
  EXPECT_EQ(Last(Kind::PortUnavailable)->port, "ttyNONE");

  // With "Auto" the search ends as for a silent module, but it knows it never opened the port.
  sim->Select("Auto", "Auto");
  sim->Connect();
  sim->loop.advance(3000ms);
  const FormEvent* notFound = Last(Kind::DeviceNotFound);
  ASSERT_TRUE(notFound);
  EXPECT_FALSE(notFound->portOpened);
  EXPECT_EQ(notFound->openError, OpenError::Missing);
}

TEST_F(Announced, ABusyPortAndASilentModuleAreTold) {
  Make(ModuleAt(Protocol::Nmea, 115200, /*silent=*/true));
  std::unique_ptr<SerialDevice> holder = sim->driver.open(sim::kSimPortName, 9600, Parity::None);
  ASSERT_TRUE(holder);
  sim->Select("BINR", "Auto");
  sim->Connect();
  ASSERT_TRUE(Last(Kind::PortUnavailable));
  EXPECT_EQ(Last(Kind::PortUnavailable)->openError, OpenError::Busy);
  holder->close();
  holder.reset();

  sim->Select("Auto", "Auto");
  sim->Connect();
  ASSERT_TRUE(sim->RunUntil([&] { return Announced_(Kind::DeviceNotFound); }, 30s));
  EXPECT_TRUE(Last(Kind::DeviceNotFound)->portOpened) << "the port opened; nobody answered";
  EXPECT_EQ(Last(Kind::DeviceNotFound)->openError, OpenError::None);

  sim->Select("NMEA", "9600");
  sim->Connect();
  ASSERT_TRUE(sim->RunUntil([&] { return Announced_(Kind::NotResponding); }, 10s));
  const FormEvent silent = *Last(Kind::NotResponding);
  EXPECT_EQ(silent.text, ">>Device is not responding...");
  EXPECT_EQ(silent.baud, 9600u);
  EXPECT_EQ(silent.protocol, RxMode::Nmea);
}

TEST_F(Announced, CancelAndDisconnectAreTold) {
  Make(ModuleAt(Protocol::Nmea, 115200));
  sim->Select("NMEA", "115200");
  sim->Connect();
  ASSERT_TRUE(sim->RunUntil([&] { return form().DeviceIdentified; }, 10s));
  form().SpeedButtonSynch.click();
  ASSERT_TRUE(Last(Kind::Disconnected));
  EXPECT_EQ(Last(Kind::Disconnected)->text, ">>COM-port closes");

  sim->Connect();
  form().SpeedButton1.click();
  ASSERT_TRUE(Last(Kind::Cancelled));
  EXPECT_EQ(Last(Kind::Cancelled)->text, ">>The process is aborted");
  EXPECT_FALSE(Last(Kind::Cancelled)->duringTransfer);
}

TEST(FormEvents, EveryListenerHearsEachEventOnceUntilItStops) {
  FormEvents events;
  std::vector<std::string> heard;
  const int first = events.Listen([&](const FormEvent& e) { heard.push_back("a" + e.text); });
  events.Listen([&](const FormEvent& e) { heard.push_back("b" + e.text); });
  events.Announce({.kind = Kind::Disconnected, .text = "1"});
  events.Unlisten(first);
  events.Announce({.kind = Kind::Disconnected, .text = "2"});
  EXPECT_EQ(heard, (std::vector<std::string>{"a1", "b1", "b2"}));
  EXPECT_EQ(EventKindName(Kind::UpgradeFinished), "upgrade-finished");
  EXPECT_EQ(ProtocolName(RxMode::Binr), "BINR");
  EXPECT_EQ(ProtocolName(RxMode::Idle), "");
}

}  // namespace
}  // namespace movrand::testing

// The on-screen program finds movrand-sim on a pseudo-terminal from "Auto"/"Auto", in both
// protocols, through the real serial link and the Qt event loop.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <string>

#include "comm/comm.h"
#include "program_fixture.h"
#include "qt_app_environment.h"
#include "support/sim_process.h"

namespace movrand {
namespace {

using testing::SimProcess;

// Runs the Qt loop until `done` holds or `limitMs` of real time have passed.
template <typename Predicate>
bool RunUntil(Predicate done, int limitMs) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > limitMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

struct Case {
  const char* protocol;
  const char* baud;
  const char* expectedPortLine;  // after the port name
};

class ConnectEndToEnd : public ::testing::TestWithParam<Case> {};

TEST_P(ConnectEndToEnd, AutoAutoFindsTheModule) {
  const Case c = GetParam();
  SimProcess sim(MOVRAND_SIM_PATH,
                 {"--protocol", c.protocol, "--baud", c.baud, "--timeout-s", "60"});
  ASSERT_FALSE(sim.port().empty()) << "movrand-sim did not start";
  testing::ProgramFixture fixture({{sim.portName(), "pts"}});
  TMainForm& form = fixture.form();
  form.ProtocolComboBox.userSelect(0);
  form.BaudComboBox.userSelect(0);
  form.SpeedButtonSynch.click();

  ASSERT_TRUE(RunUntil([&] { return form.DeviceIdentified; }, 30000))
      << "log: " << ::testing::PrintToString(form.Memo1.lines());
  const auto& lines = form.Memo1.lines();
  const std::string portLine = ">>Port: " + sim.portName() + " " + c.expectedPortLine;
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                          [&](const std::string& l) { return l.ends_with(portLine); }))
      << ::testing::PrintToString(lines);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], ">>Current FW version: ");
  EXPECT_NE(lines.back().find("KAP41"), std::string::npos) << lines.back();
  EXPECT_EQ(form.SpeedButtonSynch.caption(), "Disconnect");
  EXPECT_TRUE(form.SpeedButtonSynch.enabled());

  form.SpeedButtonSynch.click();
  EXPECT_FALSE(PortIsOpen());
  const std::string summary = sim.stop();
  EXPECT_NE(summary.find("\"violations\":{}"), std::string::npos) << summary;
}

INSTANTIATE_TEST_SUITE_P(Protocols, ConnectEndToEnd,
                         ::testing::Values(Case{"nmea", "38400", "38400 NMEA"},
                                           Case{"binr", "57600", "57600 BINR"}));

}  // namespace
}  // namespace movrand

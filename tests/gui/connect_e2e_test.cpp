// The on-screen program finds movrand-sim on a pseudo-terminal from "Auto"/"Auto", in both
// protocols, through the real serial link and the Qt event loop.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <memory>
#include <string>

#include "comm/comm.h"
#include "program_fixture.h"
#include "qt_app_environment.h"
#include "support/sim_process.h"

namespace movrand {
namespace {

using testing::SimProcess;

struct Case {
  const char* protocol;
  const char* baud;
  const char* expectedPortLine;  // after the port name
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.protocol << " at " << c.baud;
}

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

  ASSERT_TRUE(testing::RunQtUntil([&] { return form.DeviceIdentified; }, 30000))
      << "log: " << ::testing::PrintToString(form.Memo1.lines());
  const auto& lines = form.Memo1.lines();
  const std::string portLine = ">>Port: " + sim.portName() + " " + c.expectedPortLine;
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
    return l.ends_with(portLine);
  })) << ::testing::PrintToString(lines);
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

TEST(ConnectEndToEndLoss, APortThatGoesAwayIsReportedOnce) {
  auto sim = std::make_unique<SimProcess>(
      MOVRAND_SIM_PATH,
      std::vector<std::string>{"--protocol", "nmea", "--baud", "115200", "--timeout-s", "60"});
  ASSERT_FALSE(sim->port().empty()) << "movrand-sim did not start";
  const std::string name = sim->portName();
  testing::ProgramFixture fixture({{name, "pts"}});
  TMainForm& form = fixture.form();
  form.ProtocolComboBox.userSelect(2);
  form.BaudComboBox.userSelect(2);  // 115200
  form.SpeedButtonSynch.click();
  ASSERT_TRUE(testing::RunQtUntil([&] { return form.DeviceIdentified; }, 10000));
  sim.reset();  // the module's side of the line disappears
  const std::string lost = ">>COM port " + name + " is lost: the device was disconnected";
  ASSERT_TRUE(testing::RunQtUntil([&] { return form.Memo1.lines().back().ends_with(lost); }, 10000))
      << ::testing::PrintToString(form.Memo1.lines());
  testing::RunQtUntil([] { return false; }, 300);
  const auto& lines = form.Memo1.lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [&](const std::string& l) { return l.ends_with(lost); }),
            1);
  form.SpeedButtonSynch.click();
  EXPECT_TRUE(lines.back().ends_with(">>COM-port closes"));
}

INSTANTIATE_TEST_SUITE_P(Protocols, ConnectEndToEnd,
                         ::testing::Values(Case{"nmea", "38400", "38400 NMEA"},
                                           Case{"binr", "57600", "57600 BINR"}));

}  // namespace
}  // namespace movrand

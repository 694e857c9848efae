// The on-screen program when the module's end of the line disappears (the adapter pulled
// out) while it connects, transfers or waits for the restart: the window writes the lost-port
// line once and then waits without using the processor.
#include <gtest/gtest.h>

#include <QApplication>
#include <QEventLoop>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "program_fixture.h"
#include "qt_app_environment.h"
#include "support/sim_process.h"

namespace movrand {
namespace {

using testing::SimProcess;

std::chrono::milliseconds ProcessCpu() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return std::chrono::milliseconds(t.tv_sec * 1000 + t.tv_nsec / 1'000'000);
}

// Runs the Qt loop for `ms` of real time, sleeping while there is nothing to do.
void IdleFor(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec(QEventLoop::WaitForMoreEvents);
}

enum class Stage { Connecting, Transferring, RestartWait };

struct UnplugCase {
  const char* name;
  Stage stage;
};

void PrintTo(const UnplugCase& c, std::ostream* os) {
  *os << c.name;
}

class WindowUnplugged : public ::testing::TestWithParam<UnplugCase> {};

TEST_P(WindowUnplugged, SaysSoOnceAndWaitsWithoutUsingTheProcessor) {
  const Stage stage = GetParam().stage;
  QTemporaryDir dir;
  const std::string imagePath = dir.filePath("fw.bin").toStdString();
  std::vector<char> image(60000, '\x55');
  std::copy_n("KAP41", 5, image.begin() + 100);
  std::ofstream(imagePath, std::ios::binary).write(image.data(), static_cast<long>(image.size()));

  std::vector<std::string> args = {"--restart-s", "60", "--timeout-s", "120"};
  if (stage == Stage::Connecting) args.push_back("--silent");
  SimProcess sim(MOVRAND_SIM_PATH, args);
  ASSERT_FALSE(sim.port().empty()) << "movrand-sim did not start";
  const std::string lost = ">>COM port " + sim.portName() + " is lost: the device was disconnected";

  testing::ProgramFixture fixture({{sim.portName(), "pts"}});
  TMainForm& form = fixture.form();
  if (stage == Stage::Transferring) ApplyCommandLine(form, "/t");  // no confirmation
  form.ProtocolComboBox.userSelect(2);                             // NMEA
  const auto& rates = form.BaudComboBox.items();
  form.BaudComboBox.userSelect(
      static_cast<int>(std::find(rates.begin(), rates.end(), "115200") - rates.begin()));
  form.SpeedButtonSynch.click();
  if (stage == Stage::Connecting) {
    // The silent module keeps the window probing for three seconds.
    IdleFor(1000);
    ASSERT_TRUE(form.TimerSynchNMEA.enabled());
  } else {
    ASSERT_TRUE(testing::RunQtUntil([&] { return form.DeviceIdentified; }, 20000));
    form.OpenDialog1.FileName = imagePath;
    form.Edit1.setText("fw.bin");
    form.UpdateProgramButton();
    bool timedOut = false;
    testing::whileModal(
        [] {
          if (QWidget* modal = QApplication::activeModalWidget()) {
            QTest::keyClick(modal->focusWidget() ? modal->focusWidget() : modal, Qt::Key_Return);
          }
        },
        [&] {
          form.SpeedButtonProgram.click();
          return 0;
        },
        timedOut);
    ASSERT_FALSE(timedOut);
    const auto reached = [&] {
      if (stage == Stage::Transferring) return form.Programmer.Sender.ImageOffset() >= 40 * 128;
      const auto& lines = form.Memo1.lines();
      return !lines.empty() && lines.back().ends_with(">>Loading completed");
    };
    ASSERT_TRUE(testing::RunQtUntil(reached, 60000))
        << ::testing::PrintToString(form.Memo1.lines());
  }
  sim.unplug();

  const auto lostLines = [&] {
    const auto& lines = form.Memo1.lines();
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::string& l) { return l.ends_with(lost); });
  };
  ASSERT_TRUE(testing::RunQtUntil([&] { return lostLines() == 1; }, 5000))
      << ::testing::PrintToString(form.Memo1.lines());
  const auto cpuBefore = ProcessCpu();
  IdleFor(1500);
  const auto used = ProcessCpu() - cpuBefore;
  std::printf("processor time while the window waited 1.5 s: %lld ms\n",
              static_cast<long long>(used.count()));
  EXPECT_LT(used.count(), 150) << "the window must wait, not spin";
  EXPECT_EQ(lostLines(), 1);
}

INSTANTIATE_TEST_SUITE_P(Stages, WindowUnplugged,
                         ::testing::Values(UnplugCase{"connecting", Stage::Connecting},
                                           UnplugCase{"transferring", Stage::Transferring},
                                           UnplugCase{"restart_wait", Stage::RestartWait}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace movrand

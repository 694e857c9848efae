#include "gui/program.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <stdexcept>

#include "app/form_fakes.h"
#include "gui/bindings.h"
#include "program_fixture.h"
#include "qt_app_environment.h"

namespace movrand {
namespace {

class FailingPorts final : public PortSource {
 public:
  std::optional<std::vector<SerialPortEntry>> ListPorts() override {
    throw std::runtime_error("Invalid data type for 'Serial0'");
  }
};

gui::MainWindow* shownMainWindow() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (auto* window = dynamic_cast<gui::MainWindow*>(widget); window && window->isVisible()) {
      return window;
    }
  }
  return nullptr;
}

TEST(Program, AFailureWhileTheWindowsAreBuiltIsShownAndEndsTheRunWithZero) {
  testing::reportedErrors().clear();
  QTemporaryDir folder;
  const int code = gui::runProgram(
      gui::Program::Options{.ports = std::make_unique<FailingPorts>(),
                            .clock = std::make_unique<testing::FakeClock>(),
                            .programFile = folder.filePath("movrand").toStdString()},
      "/t");
  EXPECT_EQ(code, 0);
  ASSERT_EQ(testing::reportedErrors().size(), 1u);
  EXPECT_EQ(testing::reportedErrors()[0], "Invalid data type for 'Serial0'");
  EXPECT_EQ(shownMainWindow(), nullptr);
}

TEST(Program, ShowsTheMainWindowWithTheSwitchAppliedAndRunsUntilItCloses) {
  auto ports = std::make_unique<testing::ScriptedPorts>();
  ports->ports = std::vector<SerialPortEntry>{{"ttyUSB0", "ftdi_sio"}};
  QTemporaryDir folder;
  bool sawWindow = false, timedOut = false;
  QString title, port;
  bool checkBoxShown = false;
  QTimer::singleShot(0, [&] {
    gui::MainWindow* window = shownMainWindow();
    if (!window) return;
    sawWindow = true;
    title = window->windowTitle();
    port = window->PortComboBox->currentText();
    checkBoxShown = window->CheckBox1->isVisible();
    QTest::mouseClick(window->BitBtn1, Qt::LeftButton);
  });
  QTimer rescue;
  rescue.setSingleShot(true);
  QObject::connect(&rescue, &QTimer::timeout, [&] {
    timedOut = true;
    QCoreApplication::quit();
  });
  rescue.start(10000);
  const int code = gui::runProgram(
      gui::Program::Options{.ports = std::move(ports),
                            .clock = std::make_unique<testing::FakeClock>(),
                            .programFile = folder.filePath("movrand").toStdString()},
      "  /tx");
  EXPECT_EQ(code, 0);
  EXPECT_FALSE(timedOut);
  EXPECT_TRUE(sawWindow);
  EXPECT_EQ(title, "  Movrand v5.12");
  EXPECT_EQ(port, "ttyUSB0    -ftdi_sio");
  EXPECT_TRUE(checkBoxShown);
  EXPECT_EQ(shownMainWindow(), nullptr);  // gone with the run
}

}  // namespace
}  // namespace movrand

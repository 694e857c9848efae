// The settings file seen from the screen: a close whose settings cannot be stored shows the
// message and keeps the window open; a stored position does not decide where it opens.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "app/form_fakes.h"
#include "gui/main_window.h"
#include "gui/program.h"
#include "program_fixture.h"
#include "qt_app_environment.h"

namespace movrand {
namespace {

namespace fs = std::filesystem;
using testing::ProgramFixture;

std::string contentOf(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

fs::path folderOf(const ProgramFixture& f) {
  return fs::path(f.folder.path().toStdString());
}

TEST(SettingsWindow, ACloseThatCannotStoreTheSettingsShowsWhyAndKeepsTheWindowOpen) {
  ProgramFixture f;
  gui::MainWindow& w = f.window();
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  // A folder where the settings file should be stops the write for every user, root too.
  const fs::path ini = folderOf(f) / "movrand.ini";
  fs::create_directory(ini);
  testing::reportedErrors().clear();

  QTest::mouseClick(w.BitBtn1, Qt::LeftButton);
  ASSERT_EQ(testing::reportedErrors().size(), 1u);
  EXPECT_EQ(testing::reportedErrors()[0],
            QString::fromStdString("Unable to write to " + ini.string()));
  EXPECT_TRUE(w.isVisible());

  // Once the way is free the same close stores the settings and closes.
  fs::remove(ini);
  w.close();
  EXPECT_FALSE(w.isVisible());
  EXPECT_EQ(testing::reportedErrors().size(), 1u);
  EXPECT_EQ(
      contentOf(ini).rfind("[Settings]\r\nPort=-1\r\nProtocol=0\r\nBaud=0\r\nFileName=\r\n", 0),
      0u);
}

TEST(SettingsWindow, AReadOnlyFolderKeepsTheWindowOpenWithTheMessage) {
  ProgramFixture f;
  gui::MainWindow& w = f.window();
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  const fs::path folder = folderOf(f);
  fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
  if (::access(folder.c_str(), W_OK) == 0) {
    fs::permissions(folder, fs::perms::owner_all);
    GTEST_SKIP() << "permission bits do not bind this user";
  }
  testing::reportedErrors().clear();

  w.close();
  fs::permissions(folder, fs::perms::owner_all);
  ASSERT_EQ(testing::reportedErrors().size(), 1u);
  EXPECT_EQ(testing::reportedErrors()[0],
            QString::fromStdString("Unable to write to " + (folder / "movrand.ini").string()));
  EXPECT_TRUE(w.isVisible());
  EXPECT_FALSE(fs::exists(folder / "movrand.ini"));
}

TEST(SettingsWindow, AStoredPositionFarOffScreenStillOpensCentred) {
  QTemporaryDir folder;
  const fs::path programFile = fs::path(folder.path().toStdString()) / "movrand";
  std::ofstream(fs::path(programFile).replace_extension(".ini"), std::ios::binary)
      << "[Settings]\r\nLeft=5000\r\nTop=4000\r\n";
  gui::Program program(gui::Program::Options{.ports = std::make_unique<testing::ScriptedPorts>(),
                                             .clock = std::make_unique<testing::FakeClock>(),
                                             .programFile = programFile});
  EXPECT_EQ(program.form().Left, 5000);
  EXPECT_EQ(program.form().Top, 4000);

  gui::MainWindow& w = program.mainWindow();
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
  const QRect frame = w.frameGeometry();
  EXPECT_LE(std::abs(frame.center().x() - area.center().x()), 1);
  EXPECT_LE(std::abs(frame.center().y() - area.center().y()), 1);
  ASSERT_TRUE(testing::waitUntil([&] { return program.form().Left == w.x(); }));
  EXPECT_EQ(program.form().Top, w.y()) << "the place it opened at is what a close would store";
}

}  // namespace
}  // namespace movrand

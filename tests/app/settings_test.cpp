// The settings file as the main window reads it while it is built and writes it when it
// closes, with the program file in a fresh temporary folder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/main_form.h"
#include "form_fakes.h"
#include "platform/config_folder.h"
#include "platform/profile.h"
#include "support/error_text.h"
#include "support/temp_folder.h"

namespace movrand {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using testing::FakeClock;
using testing::FakeDialogs;
using testing::FakeFileDialog;
using testing::FakePortSource;

// Sorted as the window sorts them.
const std::vector<SerialPortEntry> kThreePorts = {
    {"ttyS0", "serial8250"}, {"ttyS1", "serial8250"}, {"ttyUSB0", "ftdi_sio"}};

// The window and what it gets from outside, built for a given program file.
struct Window : testing::FormFixture {
  Window(const fs::path& programFile, std::vector<SerialPortEntry> portList)
      : FormFixture(std::move(portList), programFile) {}
};

class SettingsFile : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = test::MakeTempFolder("movrand-settings");
    startDirectory_ = fs::current_path();
  }
  void TearDown() override {
    // Loading a file name moves the current directory; give it back before the folder goes.
    fs::current_path(startDirectory_);
    std::error_code ignored;
    fs::permissions(folder_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(folder_, ignored);
  }

  fs::path programFile() const { return folder_ / "movrand"; }
  fs::path ini() const { return folder_ / "movrand.ini"; }

  std::unique_ptr<Window> Open(std::vector<SerialPortEntry> ports = kThreePorts) {
    return std::make_unique<Window>(programFile(), std::move(ports));
  }
  static void Put(const fs::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
  }
  static std::string Get(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  // The message of a failed SaveSettings, or "" when it succeeds.
  static std::string SaveError(TMainForm& form) { return test::ErrorText(form.FormClose()); }

  fs::path folder_;
  fs::path startDirectory_;
};

TEST_F(SettingsFile, LiveNextToTheProgramUnderItsNameWithIni) {
  EXPECT_EQ(Window("/opt/tools/Movrand.exe", {}).form.SettingsPath(), "/opt/tools/Movrand.ini");
  EXPECT_EQ(Open()->form.SettingsPath(), ini());
}

TEST_F(SettingsFile, FirstStartSelectsTheFirstPortAndAutoEverywhere) {
  for (const bool withPorts : {true, false}) {
    SCOPED_TRACE(withPorts ? "three ports" : "no port");
    auto w = Open(withPorts ? kThreePorts : std::vector<SerialPortEntry>{});
    TMainForm& form = w->form;
    EXPECT_EQ(form.PortComboBox.itemIndex(), withPorts ? 0 : -1);
    EXPECT_EQ(form.ProtocolComboBox.text(), "Auto");
    EXPECT_EQ(form.BaudComboBox.text(), "Auto");
    EXPECT_FALSE(form.BaudComboBox.enabled());
    EXPECT_EQ(form.Edit1.text(), "");
    EXPECT_EQ(form.OpenDialog1.FileName, "");
    EXPECT_FALSE(form.SpeedButtonProgram.enabled());
    EXPECT_EQ(form.Left, 0);
    EXPECT_EQ(form.Top, 0);
    EXPECT_TRUE(form.Memo1.lines().empty());
    EXPECT_FALSE(fs::exists(ini())) << "reading creates no file";
    EXPECT_EQ(fs::current_path(), startDirectory_);
  }
}

struct LoadCase {
  const char* name;
  std::string ini;
  std::size_t ports;
  int port;
  int protocol;
  int baud;
  bool baudEnabled;
};

TEST_F(SettingsFile, LoadAppliesEachKeyWithTheRulesForPortAndAuto) {
  const std::string overlong = "Port=" + std::string(kProfileMaxLineLength, '1');
  const std::vector<LoadCase> cases = {
      {"BINR at 115200", "[Settings]\r\nPort=1\r\nProtocol=1\r\nBaud=2\r\n", 3, 1, 1, 2, true},
      {"Port at the list's length", "[Settings]\r\nPort=3\r\nProtocol=2\r\nBaud=3\r\n", 3, 0, 2, 3,
       true},
      {"Port far beyond the list", "[Settings]\r\nPort=70000\r\n", 3, 0, 0, 0, false},
      {"Port=-1: nothing selected", "[Settings]\r\nPort=-1\r\n", 3, -1, 0, 0, false},
      {"Port=0 without ports", "[Settings]\r\nPort=0\r\n", 0, -1, 0, 0, false},
      {"Port=0x1", "[Settings]\r\nPort=0x1\r\n", 3, 1, 0, 0, false},
      {"Port=$2", "[Settings]\r\nPort=$2\r\n", 3, 2, 0, 0, false},
      {"Port=abc is missing", "[Settings]\r\nPort=abc\r\nProtocol=2\r\n", 3, 0, 2, -1, true},
      {"Port=2abc is missing, not 2", "[Settings]\r\nPort=2abc\r\n", 3, 0, 0, 0, false},
      {"Protocol 0 with Baud 5", "[Settings]\r\nProtocol=0\r\nBaud=5\r\n", 3, 0, 0, 0, false},
      {"Baud 9 from a test-mode run", "[Settings]\r\nProtocol=2\r\nBaud=9\r\n", 3, 0, 2, -1, true},
      {"Protocol outside the list", "[Settings]\r\nProtocol=3\r\nBaud=4\r\n", 3, 0, -1, 4, true},
      {"missing keys keep the controls", "[Settings]\r\nProtocol=1\r\n", 3, 0, 1, -1, true},
      {"names in any case, blanks around",
       "[ settings ]\n  PORT = 2 \n protocol=\"2\"\n baud =\t7\n", 3, 2, 2, 7, true},
      {"over-long line is no key", "[Settings]\r\n" + overlong + "\r\nPort=2\r\n", 3, 2, 0, 0,
       false},
      {"only another section", "[Other]\r\nPort=2\r\nProtocol=1\r\n", 3, 0, 0, 0, false},
      {"empty file", "", 3, 0, 0, 0, false},
      {"not text", "\0\xFF\xFE\r[Settin\0gs]\nPort=\x80\x81"s, 3, 0, 0, 0, false},
  };
  for (const LoadCase& c : cases) {
    SCOPED_TRACE(c.name);
    Put(ini(), c.ini);
    auto w = Open(std::vector<SerialPortEntry>(kThreePorts.begin(), kThreePorts.begin() + c.ports));
    EXPECT_EQ(w->form.PortComboBox.itemIndex(), c.port);
    EXPECT_EQ(w->form.ProtocolComboBox.itemIndex(), c.protocol);
    EXPECT_EQ(w->form.BaudComboBox.itemIndex(), c.baud);
    EXPECT_EQ(w->form.BaudComboBox.enabled(), c.baudEnabled);
    EXPECT_EQ(w->form.Edit1.text(), "");
    EXPECT_TRUE(w->form.Memo1.lines().empty());
  }
}

TEST_F(SettingsFile, ATestModeRateStoredLastRunShowsNoSelectionEvenInTestMode) {
  Put(ini(), "[Settings]\r\nProtocol=2\r\nBaud=9\r\n");
  auto w = Open();
  ApplyCommandLine(w->form, "/t");
  ASSERT_EQ(w->form.BaudComboBox.items().size(), 10u);
  EXPECT_EQ(w->form.BaudComboBox.items().back(), "148874");
  EXPECT_EQ(w->form.BaudComboBox.itemIndex(), -1);
}

TEST_F(SettingsFile, WindowPositionIsTakenAsStoredOrKeptWhenMissing) {
  Put(ini(), "[Settings]\r\nLeft=5000\r\nTop=-20\r\n");
  auto stored = Open();
  EXPECT_EQ(stored->form.Left, 5000);
  EXPECT_EQ(stored->form.Top, -20);

  Put(ini(), "[Settings]\r\nLeft=oops\r\n");
  auto missing = Open();
  EXPECT_EQ(missing->form.Left, 0);
  EXPECT_EQ(missing->form.Top, 0);
}

TEST_F(SettingsFile, AStoredFileNameFillsTheFileBoxAndMovesTheCurrentDirectory) {
  const fs::path firmware = folder_ / "fw" / "module 2.bin";  // need not exist
  fs::create_directory(folder_ / "fw");
  Put(ini(), "[Settings]\r\nFileName=" + firmware.string() + "\r\n");
  auto w = Open();
  EXPECT_EQ(w->form.OpenDialog1.FileName, firmware.string());
  EXPECT_EQ(w->form.Edit1.text(), "module 2.bin");
  EXPECT_EQ(w->form.Edit1.hint(), firmware.string());
  EXPECT_EQ(fs::current_path(), folder_ / "fw");
  EXPECT_FALSE(w->form.SpeedButtonProgram.enabled()) << "no module identified yet";
  w->form.DeviceIdentified = true;
  w->form.UpdateProgramButton();
  EXPECT_TRUE(w->form.SpeedButtonProgram.enabled());
}

TEST_F(SettingsFile, AFileNameInAFolderThatHasGoneIsShownAllTheSame) {
  const fs::path firmware = folder_ / "gone" / "fw.bin";
  Put(ini(), "[Settings]\r\nFileName=" + firmware.string() + "\r\n");
  auto w = Open();
  EXPECT_EQ(w->form.Edit1.text(), "fw.bin");
  EXPECT_EQ(w->form.Edit1.hint(), firmware.string());
  EXPECT_EQ(fs::current_path(), startDirectory_);
}

TEST_F(SettingsFile, AnEmptyFileNameChoosesNoFile) {
  Put(ini(), "[Settings]\r\nFileName=\r\n");
  auto w = Open();
  EXPECT_EQ(w->form.OpenDialog1.FileName, "");
  EXPECT_EQ(w->form.Edit1.text(), "");
  EXPECT_EQ(w->form.Edit1.hint(), "");
  EXPECT_EQ(fs::current_path(), startDirectory_);
}

TEST_F(SettingsFile, SaveWritesTheSixKeysInOrderToANewFile) {
  auto w = Open();
  TMainForm& form = w->form;
  form.PortComboBox.userSelect(2);
  form.ProtocolComboBox.userSelect(2);
  form.BaudComboBox.userSelect(3);
  w->fileDialog.answer = "/srv/fw/module.bin";
  form.SpeedButtonOpen.click();
  form.Left = 120;
  form.Top = -8;
  EXPECT_EQ(SaveError(form), "");
  EXPECT_EQ(Get(ini()),
            "[Settings]\r\nPort=2\r\nProtocol=2\r\nBaud=3\r\nFileName=/srv/fw/module.bin\r\n"
            "Left=120\r\nTop=-8\r\n");
}

TEST_F(SettingsFile, WithoutAFileOrAPortTheEmptyValuesAreWritten) {
  auto w = Open({});
  EXPECT_EQ(SaveError(w->form), "");
  EXPECT_EQ(Get(ini()),
            "[Settings]\r\nPort=-1\r\nProtocol=0\r\nBaud=0\r\nFileName=\r\nLeft=0\r\nTop=0\r\n");
}

TEST_F(SettingsFile, ANameThatCouldNotBeReadBackIsNotStored) {
  for (const std::string& name : {"/fw/a\nb.bin"s, "/fw/" + std::string(3000, 'a') + ".bin"}) {
    auto w = Open();
    w->form.OpenDialog1.FileName = name;
    EXPECT_EQ(SaveError(w->form), "");
    EXPECT_NE(Get(ini()).find("\r\nFileName=\r\nLeft=0\r\n"), std::string::npos) << Get(ini());
  }
}

TEST_F(SettingsFile, SaveKeepsOtherSectionsAndKeysInTheirOrder) {
  Put(ini(),
      "[Other]\r\nPort=7\r\n\r\n[Settings]\r\nTop=1\r\nLeft=2\r\nExtra=by hand\r\n\r\n"
      "[Tail]\r\nFileName=x\r\n");
  auto w = Open();
  w->form.Left = 30;
  w->form.Top = 40;
  EXPECT_EQ(SaveError(w->form), "");
  EXPECT_EQ(Get(ini()),
            "[Other]\r\nPort=7\r\n\r\n[Settings]\r\nTop=40\r\nLeft=30\r\nExtra=by hand\r\n"
            "Port=0\r\nProtocol=0\r\nBaud=0\r\nFileName=\r\n\r\n[Tail]\r\nFileName=x\r\n");
}

TEST_F(SettingsFile, WhatOneRunSavesTheNextRunRestores) {
  {
    auto w = Open();
    w->form.PortComboBox.userSelect(1);
    w->form.ProtocolComboBox.userSelect(1);
    w->form.BaudComboBox.userSelect(8);
    w->form.OpenDialog1.FileName = (folder_ / " lead and trail .bin ").string();
    w->form.Left = 300;
    w->form.Top = 200;
    ASSERT_EQ(SaveError(w->form), "");
  }
  auto w = Open();
  EXPECT_EQ(w->form.PortComboBox.text(), "ttyS1    -serial8250");
  EXPECT_EQ(w->form.ProtocolComboBox.text(), "BINR");
  EXPECT_EQ(w->form.BaudComboBox.text(), "4800");
  EXPECT_TRUE(w->form.BaudComboBox.enabled());
  EXPECT_EQ(w->form.Edit1.text(), " lead and trail .bin ");
  EXPECT_EQ(w->form.Left, 300);
  EXPECT_EQ(w->form.Top, 200);
}

TEST_F(SettingsFile, ASettingsFileThatIsNotTextIsKeptAndTheSectionAdded) {
  const std::string junk = "\0\x01\xFF\xFE garbage [Settings\r"s;
  Put(ini(), junk);
  {
    auto w = Open();
    EXPECT_EQ(w->form.PortComboBox.itemIndex(), 0);
    w->form.PortComboBox.userSelect(2);
    ASSERT_EQ(SaveError(w->form), "");
  }
  const std::string saved = Get(ini());
  EXPECT_EQ(saved.substr(0, junk.size()), junk);
  EXPECT_EQ(Open()->form.PortComboBox.itemIndex(), 2);
}

TEST_F(SettingsFile, AFailedWriteRaisesTheMessageAndCreatesNothing) {
  // Works for every user, root included: the program's folder is a file, or the settings
  // path is a folder.
  Put(folder_ / "blocker", "x");
  Window underFile(folder_ / "blocker" / "movrand", kThreePorts);
  EXPECT_EQ(SaveError(underFile.form),
            "Unable to write to " + (folder_ / "blocker" / "movrand.ini").string());
  EXPECT_EQ(Get(folder_ / "blocker"), "x");

  fs::create_directory(ini());
  auto w = Open();
  EXPECT_EQ(SaveError(w->form), "Unable to write to " + ini().string());
  EXPECT_TRUE(fs::is_directory(ini()));
}

TEST_F(SettingsFile, AReadOnlyFolderRefusesANewSettingsFile) {
  auto w = Open();
  fs::permissions(folder_, fs::perms::owner_read | fs::perms::owner_exec);
  if (::access(folder_.c_str(), W_OK) == 0) GTEST_SKIP() << "permission bits do not bind this user";
  EXPECT_EQ(SaveError(w->form), "Unable to write to " + ini().string());
  EXPECT_FALSE(fs::exists(ini()));
}

TEST_F(SettingsFile, TheKeysBeforeAFailedWriteStayWritten) {
  // A file a few bytes short of the size limit: the first three values change in place, the
  // file name no longer fits.
  std::string nearly = "[Settings]\r\nPort=0\r\nProtocol=0\r\nBaud=0\r\n[Pad]\r\n";
  while (nearly.size() + 100 < kProfileMaxFileSize) nearly += "x=" + std::string(96, 'y') + "\r\n";
  Put(ini(), nearly);
  auto w = Open();
  w->form.PortComboBox.userSelect(2);
  w->form.ProtocolComboBox.userSelect(1);
  w->form.BaudComboBox.userSelect(4);
  w->form.OpenDialog1.FileName = "/fw/" + std::string(200, 'f') + ".bin";
  EXPECT_EQ(SaveError(w->form), "Unable to write to " + ini().string());
  const std::string saved = Get(ini());
  EXPECT_EQ(saved.substr(0, 40), "[Settings]\r\nPort=2\r\nProtocol=1\r\nBaud=4\r\n");
  EXPECT_EQ(saved.find("FileName"), std::string::npos);
  EXPECT_EQ(saved.size(), nearly.size());
}

TEST_F(SettingsFile, AnOversizedFileGivesTheDefaultsAndIsNotOverwritten) {
  std::string big = "[Settings]\r\nPort=2\r\nProtocol=1\r\n";
  while (big.size() <= kProfileMaxFileSize) big += ";" + std::string(1000, 'z') + "\r\n";
  Put(ini(), big);
  auto w = Open();
  EXPECT_EQ(w->form.PortComboBox.itemIndex(), 0);
  EXPECT_EQ(w->form.ProtocolComboBox.itemIndex(), 0);
  EXPECT_EQ(SaveError(w->form), "Unable to write to " + ini().string());
  EXPECT_EQ(Get(ini()), big);
}

}  // namespace
}  // namespace movrand

namespace movrand {
namespace {

// An installed program cannot write beside itself; its settings live in the user's folder.
TEST_F(SettingsFile, AnInstalledProgramKeepsItsSettingsInTheUsersConfigurationFolder) {
  const fs::path installed = InstalledProgramFolder();
  if (installed.empty() || !fs::is_directory(installed)) {
    GTEST_SKIP() << "this build has no system program folder to compare with";
  }
  const char* oldConfig = std::getenv("XDG_CONFIG_HOME");
  const std::string saved = oldConfig ? oldConfig : "";
  ::setenv("XDG_CONFIG_HOME", folder_.c_str(), 1);
  {
    Window w(installed / "movrand", kThreePorts);
    EXPECT_EQ(w.form.SettingsPath(), folder_ / "movrand" / "movrand.ini");
    w.form.ProtocolComboBox.userSelect(2);
    EXPECT_EQ(test::ErrorText(w.form.SaveSettings()), "");
  }
  EXPECT_NE(Get(folder_ / "movrand" / "movrand.ini").find("Protocol=2"), std::string::npos);
  {
    Window again(installed / "movrand", kThreePorts);
    EXPECT_EQ(again.form.ProtocolComboBox.itemIndex(), 2);
  }
  // A copy anywhere else keeps them beside itself.
  EXPECT_EQ(ProgramDataFolder(programFile()), folder_);
  if (oldConfig) {
    ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
  } else {
    ::unsetenv("XDG_CONFIG_HOME");
  }
}

}  // namespace
}  // namespace movrand

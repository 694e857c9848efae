#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/main_form.h"
#include "form_fakes.h"
#include "platform/posix/port_source_linux.h"

namespace movrand {
namespace {

namespace fs = std::filesystem;
using Ports = std::vector<SerialPortEntry>;

// A throw-away copy of the parts of sysfs and /dev the port source reads.
class FakeTree : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("movrand-ports-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(ttyClass());
    fs::create_directories(dev());
    fs::create_directories(root_ / "devices");
  }
  void TearDown() override { fs::remove_all(root_); }

  fs::path ttyClass() const { return root_ / "class" / "tty"; }
  fs::path dev() const { return root_ / "dev"; }

  // A tty the kernel tied to a device, as sysfs shows it: the class entry is a link to the
  // device's tty folder, which has a "device" link whose folder has a "driver" link.
  void AddHardware(const std::string& name, const std::string& driver) {
    const fs::path device = root_ / "devices" / (name + "-hw");
    const fs::path ttyFolder = device / "tty" / name;
    fs::create_directories(ttyFolder);
    if (!driver.empty())
      fs::create_directory_symlink("../../bus/drivers/" + driver, device / "driver");
    fs::create_directory_symlink(device, ttyFolder / "device");
    fs::create_directory_symlink(ttyFolder, ttyClass() / name);
  }
  // A tty without a device (virtual console, console, ptmx).
  void AddVirtual(const std::string& name) { fs::create_directories(ttyClass() / name); }
  void AddDevLink(const std::string& name, const std::string& target) {
    fs::create_symlink(target, dev() / name);
  }

  std::optional<Ports> List() { return SysfsPortSource(ttyClass(), dev()).ListPorts(); }

  fs::path root_;
};

TEST_F(FakeTree, ListsTtysWithADeviceNamedByTheirDriver) {
  AddHardware("ttyS1", "serial8250");
  AddHardware("ttyUSB0", "ftdi_sio");
  AddHardware("ttyACM3", "");  // driver link missing
  AddVirtual("tty0");
  AddVirtual("console");
  EXPECT_EQ(List(), (Ports{{"ttyACM3", ""}, {"ttyS1", "serial8250"}, {"ttyUSB0", "ftdi_sio"}}));
}

TEST_F(FakeTree, ListsTtyLinksIntoThePseudoTerminals) {
  AddDevLink("ttySIM0", "/dev/pts/7");
  AddDevLink("ttyREL1", "pts/4");           // relative to /dev
  AddDevLink("ttyNULL", "/dev/null");       // not a pseudo-terminal
  AddDevLink("ttyPTS", "/dev/pts/");        // the folder itself
  AddDevLink("simport", "/dev/pts/3");      // not named tty*
  std::ofstream(dev() / "ttyS5").put('x');  // a plain node, not a link
  EXPECT_EQ(List(), (Ports{{"ttyREL1", "pts"}, {"ttySIM0", "pts"}}));
}

TEST_F(FakeTree, APortSeenTwiceIsListedOnce) {
  AddHardware("ttyS1", "serial8250");
  AddDevLink("ttyS1", "/dev/pts/1");
  EXPECT_EQ(List(), (Ports{{"ttyS1", "serial8250"}}));
}

TEST_F(FakeTree, NoPortsIsAnEmptyListNotAFailure) {
  AddVirtual("tty0");
  EXPECT_EQ(List(), Ports{});
}

TEST_F(FakeTree, MissingDevFolderOnlyLosesTheVirtualPorts) {
  AddHardware("ttyS0", "serial8250");
  fs::remove_all(dev());
  EXPECT_EQ(List(), (Ports{{"ttyS0", "serial8250"}}));
}

TEST_F(FakeTree, MissingTtyClassIsAFailure) {
  fs::remove_all(root_ / "class");
  EXPECT_EQ(List(), std::nullopt);
}

TEST_F(FakeTree, MainWindowListsTheTreeSortedAndSaysWhenItIsGone) {
  AddHardware("ttyS2", "serial8250");
  AddHardware("ttyS10", "serial8250");
  AddHardware("ttyS1", "serial8250");
  AddVirtual("tty1");
  AddDevLink("ttySIM0", "/dev/pts/2");

  SysfsPortSource source(ttyClass(), dev());
  VirtualEventLoop loop;
  testing::FakeClock clock;
  testing::FakeFileDialog fileDialog;
  testing::FakeDialogs dialogs;
  TMainForm form(loop, MainFormServices{clock, source, fileDialog, dialogs, "/opt/movrand"});

  EXPECT_EQ(form.PortComboBox.items(),
            (std::vector<std::string>{"ttyS1    -serial8250", "ttyS10    -serial8250",
                                      "ttyS2    -serial8250", "ttySIM0    -pts"}));
  EXPECT_EQ(form.PortComboBox.itemIndex(), 0);
  EXPECT_EQ(PortNameOf(form.PortComboBox.text()), "ttyS1");

  fs::remove_all(root_ / "class");
  form.PortComboBox.dropDown();
  EXPECT_TRUE(form.PortComboBox.items().empty());
  EXPECT_EQ(form.Memo1.lines(),
            std::vector<std::string>{"14:03:12>>Error: The program can't get PC ports list!"});
}

TEST(SystemPortSource, ThisMachinesListCanBeRead) {
  if (!fs::is_directory("/sys/class/tty")) GTEST_SKIP() << "no sysfs here";
  EXPECT_TRUE(CreateSystemPortSource()->ListPorts().has_value());
}

}  // namespace
}  // namespace movrand

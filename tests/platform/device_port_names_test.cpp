// What --port names by Linux's rules, in a fake device folder: list names, device paths inside
// and outside the folder, links to pseudo-terminals, and the arguments that name no usable
// port.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/port_names.h"

namespace movrand {
namespace {

namespace fs = std::filesystem;

class DevicePortTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/movrand-port-arg-XXXXXX";
    root_ = mkdtemp(pattern);
    dev_ = root_ / "dev";
    fs::create_directories(dev_ / "pts");
    fs::create_directories(dev_ / "serial" / "by-id");
    fs::create_directories(root_ / "elsewhere");
    touch(dev_ / "ttyUSB0");
    touch(dev_ / "pts" / "7");
    fs::create_symlink("pts/7", dev_ / "ttySIM0");
    fs::create_symlink("../../ttyUSB0",
                       dev_ / "serial" / "by-id" / "usb-FTDI_FT232R_A50285BI-if00-port0");
    fs::create_symlink(dev_ / "pts" / "7", root_ / "elsewhere" / "ttySIM0");
    touch(root_ / "elsewhere" / "plain-file");
  }
  void TearDown() override { fs::remove_all(root_); }

  static void touch(const fs::path& path) { std::ofstream(path).put('\n'); }
  PortLookup resolve(const std::string& argument) const {
    return LookUpDevicePort(argument, 11, dev_);
  }

  fs::path root_;
  fs::path dev_;
};

TEST_F(DevicePortTest, NamesAndPathsThatNameAPort) {
  struct Case {
    std::string argument;  // "$DEV" and "$ROOT" stand for the fake folders
    std::string name;
  };
  const Case cases[] = {
      {"ttyUSB0", "ttyUSB0"},
      {"ttySIM0", "ttySIM0"},  // a link in the device folder keeps its own name
      {"pts/7", "pts/7"},
      {"$DEV/ttyUSB0", "ttyUSB0"},
      {"$DEV/ttySIM0", "ttySIM0"},
      {"$DEV/pts/7", "pts/7"},
      {"$DEV/./pts/../ttyUSB0", "ttyUSB0"},
      // Too long a name inside the folder: the device it stands for.
      {"$DEV/serial/by-id/usb-FTDI_FT232R_A50285BI-if00-port0", "ttyUSB0"},
      // A link elsewhere (how a simulated module is published without root).
      {"$ROOT/elsewhere/ttySIM0", "pts/7"},
  };
  for (const Case& c : cases) {
    std::string argument = c.argument;
    if (argument.starts_with("$DEV")) argument = dev_.string() + argument.substr(4);
    if (argument.starts_with("$ROOT")) argument = root_.string() + argument.substr(5);
    const PortLookup port = resolve(argument);
    EXPECT_EQ(port.error, "") << c.argument;
    EXPECT_EQ(port.name, c.name) << c.argument;
  }
}

TEST_F(DevicePortTest, MissingPortsAreMissing) {
  for (const std::string& argument :
       {std::string("ttyUSB9"), std::string("COM3"), dev_.string() + "/ttyACM0",
        root_.string() + "/elsewhere/none"}) {
    const PortLookup port = resolve(argument);
    EXPECT_TRUE(port.missing) << argument;
    EXPECT_TRUE(port.name.empty()) << argument;
    EXPECT_NE(port.error, "") << argument;
  }
}

TEST_F(DevicePortTest, ArgumentsThatCannotNameAPort) {
  // Too long for the connection's 11-character port name.
  PortLookup port = resolve("ttyVERYLONG01");
  EXPECT_FALSE(port.missing);
  EXPECT_NE(port.error.find("longer than 11 characters"), std::string::npos) << port.error;
  // A way out of the device folder.
  port = resolve("pts/../../etc");
  EXPECT_FALSE(port.missing);
  EXPECT_NE(port.error, "");
  // A file outside the device folder is no device.
  port = resolve((root_ / "elsewhere" / "plain-file").string());
  EXPECT_FALSE(port.missing);
  EXPECT_NE(port.error.find("is not a device"), std::string::npos) << port.error;
}

}  // namespace
}  // namespace movrand

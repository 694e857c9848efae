// Ports named by their USB identity, against fake sysfs trees laid out as the kernel lays out
// USB serial adapters: the USB device (ids, serial, product) above its interface ("1-1.2:1.0")
// above the tty.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/port_identity.h"
#include "platform/posix/port_source_linux.h"

namespace movrand {
namespace {

namespace fs = std::filesystem;

struct Adapter {
  std::string tty;      // "ttyUSB0"
  std::string usbPath;  // below the host controller: "usb1/1-1/1-1.2"
  int interface = 0;    // the interface the tty belongs to
  std::string vid = "0403";
  std::string pid = "6001";
  std::string serial = {};  // none when empty
  std::string product = "FT232R USB UART";
  bool acm = false;                  // a CDC-ACM tty sits right below its interface
  std::string target = "/dev/null";  // what its device node stands for
};

class UsbTree : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("movrand-usb-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_ / "class" / "tty");
    fs::create_directories(root_ / "dev");
  }
  void TearDown() override { fs::remove_all(root_); }

  static void Write(const fs::path& file, const std::string& text) {
    std::ofstream(file) << text << "\n";
  }

  void Add(const Adapter& a) {
    const fs::path device = root_ / "devices" / "pci0000:00" / "0000:00:14.0" / a.usbPath;
    const fs::path interface =
        device / (device.filename().string() + ":1." + std::to_string(a.interface));
    fs::create_directories(interface);
    if (!fs::exists(device / "idVendor")) {
      Write(device / "idVendor", a.vid);
      Write(device / "idProduct", a.pid);
      if (!a.serial.empty()) Write(device / "serial", a.serial);
      Write(device / "product", a.product);
    }
    const fs::path portDevice = a.acm ? interface : interface / a.tty;
    const fs::path ttyFolder = portDevice / "tty" / a.tty;
    fs::create_directories(ttyFolder);
    fs::create_directory_symlink(portDevice, ttyFolder / "device");
    fs::create_directory_symlink(ttyFolder, root_ / "class" / "tty" / a.tty);
    fs::create_symlink(a.target, root_ / "dev" / a.tty);
  }
  // A port the kernel tied to a device that is not on USB (a built-in UART).
  void AddBuiltIn(const std::string& tty) {
    const fs::path device = root_ / "devices" / "platform" / "serial8250";
    const fs::path ttyFolder = device / "tty" / tty;
    fs::create_directories(ttyFolder);
    fs::create_directory_symlink(device, ttyFolder / "device");
    fs::create_directory_symlink(ttyFolder, root_ / "class" / "tty" / tty);
  }

  SysfsPortSource Source() const { return SysfsPortSource(root_ / "class" / "tty", root_ / "dev"); }
  std::vector<SerialPortEntry> List() const {
    const auto ports = Source().ListPorts();
    EXPECT_TRUE(ports.has_value());
    return ports.value_or(std::vector<SerialPortEntry>{});
  }
  FoundPort Find(const std::string& argument) {
    SysfsPortSource source = Source();
    return FindPort(argument, 11, source);
  }

  fs::path root_;
};

TEST_F(UsbTree, TwoIdenticalAdaptersAreToldApartBySerialAndBySocket) {
  Add({.tty = "ttyUSB0", .usbPath = "usb1/1-1/1-1.2", .serial = "A50285BI"});
  Add({.tty = "ttyUSB1", .usbPath = "usb1/1-1/1-1.3", .serial = "A7004Kx1", .target = "/dev/zero"});
  AddBuiltIn("ttyS0");
  const std::vector<SerialPortEntry> ports = List();
  ASSERT_EQ(ports.size(), 3u);
  EXPECT_EQ(ports[0].name, "ttyS0");
  EXPECT_FALSE(ports[0].usb) << "a built-in port has no USB identity";
  ASSERT_TRUE(ports[1].usb && ports[2].usb);
  EXPECT_EQ(*ports[1].usb, (UsbIdentity{"0403", "6001", "A50285BI", "1-1.2:1.0"}));
  EXPECT_EQ(*ports[2].usb, (UsbIdentity{"0403", "6001", "A7004Kx1", "1-1.3:1.0"}));
  EXPECT_EQ(ports[1].product, "FT232R USB UART");

  // Each form names one adapter; the serial is compared without regard to case, as Windows
  // writes it in capitals.
  for (const auto& [argument, device] :
       std::vector<std::pair<std::string, std::string>>{{"usb-serial:A50285BI", "null"},
                                                        {"usb-serial:a7004kx1", "zero"},
                                                        {"usb-location:1-1.2:1.0", "null"},
                                                        {"USB-LOCATION:1-1.3:1.0", "zero"}}) {
    const FoundPort found = Find(argument);
    EXPECT_EQ(found.lookup.error, "") << argument;
    EXPECT_EQ(found.lookup.name, device) << argument;
    ASSERT_TRUE(found.usb) << argument;
  }
  EXPECT_EQ(Find("usb-location:1-1.3:1.0").usb->serial, "A7004Kx1");
}

TEST_F(UsbTree, AHubChainIsTheLocationAndAnAdapterWithoutSerialHasOnlyThat) {
  Add({.tty = "ttyACM0",
       .usbPath = "usb3/3-2/3-2.4/3-2.4.1",
       .vid = "2341",
       .pid = "0043",
       .product = "Uno",
       .acm = true});
  const std::vector<SerialPortEntry> ports = List();
  ASSERT_EQ(ports.size(), 1u);
  ASSERT_TRUE(ports[0].usb);
  EXPECT_EQ(ports[0].usb->location, "3-2.4.1:1.0");
  EXPECT_EQ(ports[0].usb->serial, "");
  EXPECT_EQ(SerialArgument(*ports[0].usb), "") << "nothing to name it by";
  EXPECT_EQ(LocationArgument(*ports[0].usb), "usb-location:3-2.4.1:1.0");
  EXPECT_EQ(UsbIdText(*ports[0].usb), "2341:0043");
  EXPECT_EQ(Find("usb-location:3-2.4.1:1.0").lookup.name, "null");
}

TEST_F(UsbTree, AnIdentityThatNamesNoPortOrSeveralIsRefusedWithWhatTheListShows) {
  // A two-port adapter: one serial number, one USB device, two interfaces.
  Add({.tty = "ttyUSB0", .usbPath = "usb1/1-1/1-1.2", .pid = "6010", .serial = "FT4ABCD"});
  Add({.tty = "ttyUSB1",
       .usbPath = "usb1/1-1/1-1.2",
       .interface = 1,
       .pid = "6010",
       .serial = "FT4ABCD",
       .target = "/dev/zero"});
  AddBuiltIn("ttyS0");

  const FoundPort twice = Find("usb-serial:FT4ABCD");
  EXPECT_FALSE(twice.lookup.missing) << "an ambiguous name is a mistake, not a port to wait for";
  EXPECT_EQ(twice.lookup.name, "");
  EXPECT_NE(twice.lookup.error.find("names 2 ports"), std::string::npos) << twice.lookup.error;
  EXPECT_NE(twice.lookup.error.find("usb-location:1-1.2:1.1"), std::string::npos)
      << "says what tells them apart: " << twice.lookup.error;
  EXPECT_EQ(Find("usb-location:1-1.2:1.1").lookup.name, "zero");

  const FoundPort none = Find("usb-serial:NOSUCH");
  EXPECT_TRUE(none.lookup.missing);
  EXPECT_EQ(none.lookup.error,
            "no port has usb-serial:NOSUCH; the ports now: ttyS0, ttyUSB0 (usb-serial:FT4ABCD "
            "usb-location:1-1.2:1.0), ttyUSB1 (usb-serial:FT4ABCD usb-location:1-1.2:1.1)");

  const FoundPort empty = Find("usb-serial:");
  EXPECT_FALSE(empty.lookup.missing);
  EXPECT_FALSE(empty.lookup.error.empty());
  EXPECT_FALSE(Find("usb-location:").lookup.error.empty());
}

TEST_F(UsbTree, WhatTheDeviceWritesIsCheckedBeforeItIsBelieved) {
  Add({.tty = "ttyUSB0", .usbPath = "usb1/1-1/1-1.2", .vid = "zz01", .serial = "S1"});
  Add({.tty = "ttyUSB1",
       .usbPath = "usb1/1-1/1-1.3",
       .serial = std::string(300, 'S'),  // longer than any attribute the kernel writes
       .product = std::string("Bad\x01Text")});
  const std::vector<SerialPortEntry> ports = List();
  ASSERT_EQ(ports.size(), 2u);
  EXPECT_FALSE(ports[0].usb) << "a vendor id that is not four hexadecimal digits";
  ASSERT_TRUE(ports[1].usb);
  EXPECT_EQ(ports[1].usb->serial, "");
  EXPECT_EQ(ports[1].product, "");
}

TEST(PortIdentityArgument, OnlyTheTwoPrefixesMakeAnIdentity) {
  EXPECT_FALSE(ParsePortIdentity("ttyUSB0"));
  EXPECT_FALSE(ParsePortIdentity("/dev/serial/by-id/usb-FTDI_FT232R-if00-port0"));
  EXPECT_FALSE(ParsePortIdentity("usb-serial"));
  const auto serial = ParsePortIdentity("usb-serial:A:B");
  ASSERT_TRUE(serial);
  EXPECT_EQ(serial->kind, PortIdentityArgument::Kind::Serial);
  EXPECT_EQ(serial->value, "A:B") << "only the first colon separates";
  const auto location = ParsePortIdentity("usb-location:PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)");
  ASSERT_TRUE(location);
  EXPECT_EQ(location->kind, PortIdentityArgument::Kind::Location);
}

}  // namespace
}  // namespace movrand

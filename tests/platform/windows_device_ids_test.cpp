// The USB identity of a Windows port from the ids its device nodes report, with the strings
// real adapters show in the device manager: FTDI FT232R and FT2232, Silicon Labs CP210x,
// WCH CH340, a CDC-ACM receiver; and texts no Windows writes.
#include "platform/windows_device_ids.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace movrand {

// Readable failures.
void PrintTo(const UsbIdentity& usb, std::ostream* out) {
  *out << usb.vendorId << ":" << usb.productId << " \"" << usb.serial << "\" @" << usb.location;
}
void PrintTo(const WindowsUsbIds& ids, std::ostream* out) {
  *out << ids.vendorId << ":" << ids.productId << " MI " << ids.interfaceNumber.value_or(99)
       << " \"" << ids.serial << "\"";
}

namespace {

// A REG_MULTI_SZ property as Windows returns it: each text ended by '\0', the list by another.
std::string MultiString(std::initializer_list<std::string> texts) {
  std::string data;
  for (const std::string& text : texts) data += text + '\0';
  return data + '\0';
}

const std::string kUsb = "PCIROOT(0)#PCI(1400)#USBROOT(0)";

// The recorded nodes, each with its first hardware id.
const WindowsDeviceNode kFt232rPort{R"(FTDIBUS\VID_0403+PID_6001+A50285BIA\0000)",
                                    {R"(FTDIBUS\COMPORT&VID_0403&PID_6001)"}};
const WindowsDeviceNode kFt232rDevice{
    R"(USB\VID_0403&PID_6001\A50285BI)",
    {R"(USB\VID_0403&PID_6001&REV_0600)"},
    MultiString({kUsb + "#USB(2)#USB(1)", "ACPI(_SB_)#ACPI(PCI0)#ACPI(XHC_)#ACPI(RHUB)"})};
const WindowsDeviceNode kHubWithSerial{R"(USB\VID_05E3&PID_0610\0000000A1B2C)",
                                       {R"(USB\VID_05E3&PID_0610&REV_9223)"},
                                       MultiString({kUsb + "#USB(2)"})};
const WindowsDeviceNode kRootHub{R"(USB\ROOT_HUB30\4&2A0B5F1C&0&0)",
                                 {R"(USB\ROOT_HUB30&VID8086&PID43ED&REV0011)"},
                                 MultiString({kUsb})};
const WindowsDeviceNode kFt2232PortA{R"(FTDIBUS\VID_0403+PID_6010+FT4ABCDEA\0000)"};
const WindowsDeviceNode kFt2232PortB{R"(FTDIBUS\VID_0403+PID_6010+FT4ABCDEB\0000)"};
const WindowsDeviceNode kFt2232InterfaceA{R"(USB\VID_0403&PID_6010&MI_00\6&2F1E3D4C&0&0000)",
                                          {},
                                          MultiString({kUsb + "#USB(3)#USBMI(0)"})};
const WindowsDeviceNode kFt2232InterfaceB{R"(USB\VID_0403&PID_6010&MI_01\6&2F1E3D4C&0&0001)",
                                          {},
                                          MultiString({kUsb + "#USB(3)#USBMI(1)"})};
const WindowsDeviceNode kFt2232Device{
    R"(USB\VID_0403&PID_6010\FT4ABCDE)", {}, MultiString({kUsb + "#USB(3)"})};
const WindowsDeviceNode kCp210x{R"(USB\VID_10C4&PID_EA60\0001)",
                                {R"(USB\VID_10C4&PID_EA60&REV_0100)"},
                                MultiString({kUsb + "#USB(4)"})};
const WindowsDeviceNode kCh340{R"(USB\VID_1A86&PID_7523\5&2C3A1B5&0&2)",
                               {R"(USB\VID_1A86&PID_7523&REV_0254)"},
                               MultiString({kUsb + "#USB(2)#USB(3)"})};
const WindowsDeviceNode kAcmInterface{R"(USB\VID_1546&PID_01A8&MI_00\6&1B2C3D4E&0&0000)",
                                      {R"(USB\VID_1546&PID_01A8&REV_0301&MI_00)"},
                                      MultiString({kUsb + "#USB(5)#USBMI(0)"})};
const WindowsDeviceNode kAcmDevice{
    R"(USB\VID_1546&PID_01A8\0123456789)", {}, MultiString({kUsb + "#USB(5)"})};
// A serial link over Bluetooth, below the Bluetooth radio (a USB device).
const WindowsDeviceNode kBluetoothPort{
    R"(BTHENUM\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0002)"
    R"(\7&1F2E3D4C&0&000000000000_00000000)"};
const WindowsDeviceNode kBluetoothRadio{R"(USB\VID_8087&PID_0A2B\5&3A4B5C6D&0&10)"};

TEST(WindowsDeviceIdTest, IdsOfTheRecordedAdapters) {
  // The longest id Windows writes.
  const std::string longest = R"(USB\VID_0403&PID_6001\)" + std::string(178, '7');
  struct Case {
    std::string id;
    WindowsUsbIds ids;
  };
  const Case cases[] = {
      // FT232R: a hardware id, its USB node, and its port on FTDI's bus, whose serial ends in
      // the channel letter and whose "0000" only counts the ports.
      {R"(USB\VID_0403&PID_6001&REV_0600)", {"0403", "6001"}},
      {kFt232rDevice.instanceId, {"0403", "6001", std::nullopt, "A50285BI"}},
      {kFt232rPort.instanceId, {"0403", "6001", std::nullopt, "A50285BIA"}},
      {kFt232rPort.hardwareIds[0], {"0403", "6001"}},
      {kFt2232PortB.instanceId, {"0403", "6010", std::nullopt, "FT4ABCDEB"}},
      {kFt2232InterfaceB.instanceId, {"0403", "6010", 1u}},
      // FTDI's bus for a chip without a serial: Windows's made-up text is not one.
      {R"(FTDIBUS\VID_0403+PID_6001+6&2A3B4C5D&0&1\0000)", {"0403", "6001"}},
      {kCp210x.instanceId, {"10c4", "ea60", std::nullopt, "0001"}},
      {kCh340.instanceId, {"1a86", "7523"}},
      {kAcmInterface.instanceId, {"1546", "01a8", 0u}},
      {R"(USB\VID_1546&PID_01A8&REV_0301&MI_0A)", {"1546", "01a8", 10u}},
      {kAcmDevice.instanceId, {"1546", "01a8", std::nullopt, "0123456789"}},
      // Windows writes its ids in capitals, other tools do not.
      {R"(usb\vid_0403&pid_6001&mi_01\a50285bi)", {"0403", "6001", 1u, "a50285bi"}},
      {R"(ftdibus\vid_0403+pid_6001+a50285bia\0000)", {"0403", "6001", std::nullopt, "a50285bia"}},
      {R"(USB\VID_0403&PID_6001&MI_ZZ)", {"0403", "6001"}},
      {R"(USB\VID_0403&PID_6001\)", {"0403", "6001"}},
      {longest, {"0403", "6001", std::nullopt, std::string(178, '7')}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseWindowsDeviceId(c.id), std::optional<WindowsUsbIds>(c.ids)) << c.id;
  }
}

TEST(WindowsDeviceIdTest, TextsThatNameNoUsbDevice) {
  const std::vector<std::string> texts = {
      "",
      R"(USB\)",
      "VID_ZZZZ",
      R"(USB\VID_ZZZZ&PID_6001)",
      R"(USB\VID_0403)",
      R"(USB\PID_6001\A50285BI)",
      R"(USB\VID_040&PID_6001)",
      R"(USB\VID_04031&PID_6001)",
      R"(\VID_0403&PID_6001\A50285BI)",  // no enumerator
      R"(USB\VID_0403&PID_6001\A\B)",    // a segment too many
      R"(FTDIBUS\VID_0403+)",
      R"(ACPI\PNP0501\1)",  // a port on the main board
      kRootHub.instanceId,
      kBluetoothPort.instanceId,
      std::string("USB\\VID_0403&PID_6001\0\\A50285BI", 31),
      R"(USB\VID_0403&PID_6001\)" + std::string(179, '7'),  // longer than Windows's ids
      std::string(100000, '\\'),
  };
  for (const std::string& text : texts) {
    EXPECT_EQ(ParseWindowsDeviceId(text), std::nullopt) << text.substr(0, 80);
  }
}

TEST(WindowsDeviceIdTest, TheLocationIsTheFirstPathAsWindowsWroteIt) {
  struct Case {
    std::string paths;
    std::string location;
  };
  const Case cases[] = {
      {kFt232rDevice.locationPaths, kUsb + "#USB(2)#USB(1)"},
      {kAcmInterface.locationPaths, kUsb + "#USB(5)#USBMI(0)"},
      {kUsb + "#USB(4)", kUsb + "#USB(4)"},  // without its terminators
      {std::string("\0"
                   "ACPI(_SB_)\0",
                   12),
       ""},  // the list ends at an empty text
      {"", ""},
      {MultiString({kUsb + "#USB(4\n)"}), ""},
      {MultiString({std::string(2000, 'A')}), ""},
      {std::string(kMaxWindowsMultiStringLength + 1, 'A'), ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(WindowsLocationOf(c.paths), c.location) << c.paths.substr(0, 80);
  }
  EXPECT_EQ(SplitWindowsMultiString(MultiString({"USB\\A", "USB\\B"})),
            (std::vector<std::string>{"USB\\A", "USB\\B"}));
}

TEST(WindowsDeviceIdTest, TheIdentityOfAPortFromItsNodeAndTheNodesAboveIt) {
  struct Case {
    const char* adapter;
    std::vector<WindowsDeviceNode> chain;
    UsbIdentity identity;
  };
  const Case cases[] = {
      // The port's own serial, with its channel letter; the location of the USB device.
      {"FT232R",
       {kFt232rPort, kFt232rDevice, kHubWithSerial, kRootHub},
       {"0403", "6001", "A50285BIA", kUsb + "#USB(2)#USB(1)"}},
      // The channels of an FT2232 differ in serial and in interface.
      {"FT2232 A",
       {kFt2232PortA, kFt2232InterfaceA, kFt2232Device, kRootHub},
       {"0403", "6010", "FT4ABCDEA", kUsb + "#USB(3)#USBMI(0)"}},
      {"FT2232 B",
       {kFt2232PortB, kFt2232InterfaceB, kFt2232Device, kRootHub},
       {"0403", "6010", "FT4ABCDEB", kUsb + "#USB(3)#USBMI(1)"}},
      {"CP210x", {kCp210x, kRootHub}, {"10c4", "ea60", "0001", kUsb + "#USB(4)"}},
      // A serial-less CH340 behind a hub that has one: the hub's serial is not the adapter's.
      {"CH340", {kCh340, kHubWithSerial, kRootHub}, {"1a86", "7523", "", kUsb + "#USB(2)#USB(3)"}},
      // The port is the interface; the serial is the device's.
      {"CDC-ACM",
       {kAcmInterface, kAcmDevice, kRootHub},
       {"1546", "01a8", "0123456789", kUsb + "#USB(5)#USBMI(0)"}},
      // A port whose instance id could not be read is known by its hardware id; the serial
      // then is the USB device's.
      {"FT232R without its instance id",
       {{"", kFt232rPort.hardwareIds}, kFt232rDevice},
       {"0403", "6001", "A50285BI", kUsb + "#USB(2)#USB(1)"}},
      // A port on a driver's bus that names nothing takes the ids of the device it belongs to.
      {"a port of a bus of its own",
       {{R"(VCPBUS\PORT\0000)"}, kCh340, kRootHub},
       {"1a86", "7523", "", kUsb + "#USB(2)#USB(3)"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ChooseWindowsUsbIdentity(c.chain), std::optional<UsbIdentity>(c.identity))
        << c.adapter;
  }
}

TEST(WindowsDeviceIdTest, PortsThatAreNotOnAUsbDeviceHaveNoIdentity) {
  const std::vector<std::vector<WindowsDeviceNode>> chains = {
      {},
      {{R"(ACPI\PNP0501\1)", {R"(ACPI\PNP0501)"}}, {R"(ACPI\PNP0A08\0)"}, {R"(HTREE\ROOT\0)"}},
      {{R"(COM0COM\PORT\CNCA0)"}, {R"(ROOT\COM0COM\0000)"}},  // a virtual pair
      {kBluetoothPort, kBluetoothRadio, kRootHub},
      {{""}, {R"(USB\)"}, {"VID_ZZZZ"}, {std::string(100000, 'A')}},
  };
  for (const std::vector<WindowsDeviceNode>& chain : chains) {
    EXPECT_EQ(ChooseWindowsUsbIdentity(chain), std::nullopt)
        << (chain.empty() ? "no nodes" : chain.front().instanceId.substr(0, 80));
  }
}

}  // namespace
}  // namespace movrand

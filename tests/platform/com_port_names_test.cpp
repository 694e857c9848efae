// What --port names by Windows's rules: COM names in any case, with or without the device
// prefix, against the devices the system says it has; and what cannot name a port.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "platform/port_names.h"

namespace movrand {
namespace {

class ComPortTest : public testing::Test {
 protected:
  PortLookup lookUp(const std::string& argument) {
    return LookUpComPort(argument, 11, [this](const std::string& name) {
      asked_.push_back(name);
      return devices_.contains(name);
    });
  }
  std::set<std::string> devices_{"COM1", "COM5", "COM12", "com7"};
  std::vector<std::string> asked_;
};

TEST_F(ComPortTest, NamesAndDevicePathsOfPortsThatExist) {
  struct Case {
    std::string argument;
    std::string name;
  };
  const Case cases[] = {
      {"COM5", "COM5"},     {"COM12", "COM12"}, {"\\\\.\\COM12", "COM12"},
      {"//./COM1", "COM1"}, {"com7", "com7"},
  };
  for (const Case& c : cases) {
    const PortLookup port = lookUp(c.argument);
    EXPECT_EQ(port.error, "") << c.argument;
    EXPECT_EQ(port.name, c.name) << c.argument;
    EXPECT_FALSE(port.missing) << c.argument;
  }
}

TEST_F(ComPortTest, APortTheSystemDoesNotHaveIsMissing) {
  for (const std::string argument : {"COM3", "\\\\.\\COM99", "ttyUSB0"}) {
    const PortLookup port = lookUp(argument);
    EXPECT_TRUE(port.missing) << argument;
    EXPECT_TRUE(port.name.empty()) << argument;
    EXPECT_NE(port.error.find("no serial port"), std::string::npos) << port.error;
  }
}

TEST_F(ComPortTest, ArgumentsThatCannotNameAPortAreRefusedBeforeTheSystemIsAsked) {
  for (const std::string& argument :
       std::vector<std::string>{"", "\\\\.\\", "/dev/ttyS0", "C:\\COM5", "COM5 -Serial0", "COM*",
                                "COM5:", "\\\\?\\COM5", std::string("CO\x01M5")}) {
    const PortLookup port = lookUp(argument);
    EXPECT_FALSE(port.missing) << argument;
    EXPECT_TRUE(port.name.empty()) << argument;
    EXPECT_NE(port.error, "") << argument;
  }
  EXPECT_TRUE(asked_.empty());
  // Longer than the connection's 11-character port name.
  const PortLookup port = lookUp("\\\\.\\COM123456789");
  EXPECT_FALSE(port.missing);
  EXPECT_NE(port.error.find("longer than 11 characters"), std::string::npos) << port.error;
}

}  // namespace
}  // namespace movrand

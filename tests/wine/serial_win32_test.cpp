// The Windows serial device and the serial link, run under wine against a pseudo-terminal
// that wine_e2e_test plays on the other side (the port is named by MOVRAND_TEST_PORT, COM6).
// The far side echoes every chunk it receives, and answers a lone "?" with the line settings
// it sees: "<rate> odd|none xon|noxon" and a line feed.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "comm/comm.h"
#include "platform/serial_device.h"
#include "platform/std_event_loop.h"

namespace movrand {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

constexpr int kOpenCloseCycles = 200;
constexpr Milliseconds kEchoLimit{3000};

std::string TestPort() {
  const char* port = std::getenv("MOVRAND_TEST_PORT");
  return port ? port : "";
}

Bytes BytesOf(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

// Reads what `device` receives until it holds `until` or the limit passes.
std::string ReceiveUntil(SerialDevice& device, const std::string& until) {
  std::string got;
  const auto deadline = std::chrono::steady_clock::now() + kEchoLimit;
  std::uint8_t buffer[256];
  while (got.find(until) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    const WaitResult event = device.wait();
    if (event == WaitResult::Closed || event == WaitResult::Failed) break;
    if (event != WaitResult::Data) continue;
    const std::size_t n = device.read(buffer);
    got.append(reinterpret_cast<const char*>(buffer), n);
  }
  return got;
}

std::string Settings(SerialDevice& device) {
  const Bytes query = BytesOf("?");
  EXPECT_EQ(device.write(query), 1u);
  return ReceiveUntil(device, "\n");
}

class SerialWin32Test : public testing::Test {
 protected:
  void SetUp() override {
    port_ = TestPort();
    ASSERT_FALSE(port_.empty()) << "MOVRAND_TEST_PORT names the far side's port";
  }
  std::string port_;
};

TEST_F(SerialWin32Test, OpensAtTheRateAndParityAskedAndChangesOnlyTheRate) {
  auto device = systemSerialDriver().open(port_, 57600, Parity::Odd);
  ASSERT_TRUE(device);
  EXPECT_EQ(Settings(*device), "57600 odd noxon\n");
  // The parity stays the open's, whatever the driver reports back in between.
  ASSERT_TRUE(device->setBaud(115200));
  EXPECT_EQ(Settings(*device), "115200 odd noxon\n");
  ASSERT_TRUE(device->setBaud(230400));
  EXPECT_EQ(Settings(*device), "230400 odd noxon\n");
  device->close();
  EXPECT_FALSE(device->setBaud(115200)) << "a closed port has no settings";

  device = systemSerialDriver().open(port_, 4800, Parity::None);
  ASSERT_TRUE(device);
  EXPECT_EQ(Settings(*device), "4800 none noxon\n");
}

TEST_F(SerialWin32Test, ARateTheDriverCannotMakeIsReportedAndTheLinkStaysAsItWas) {
  // Wine makes 38400 of a rate without a standard code on a port without a divisor; the
  // read-back shows it, and the change is refused instead of leaving a wrong rate.
  auto device = systemSerialDriver().open(port_, 115200, Parity::Odd);
  ASSERT_TRUE(device);
  EXPECT_FALSE(device->setBaud(14400));
  EXPECT_EQ(Settings(*device), "115200 odd noxon\n");
  EXPECT_FALSE(systemSerialDriver().open(port_ + "X", 115200, Parity::None));
}

TEST_F(SerialWin32Test, FlowControlBytesLeftOnByAnotherProgramArePassedAsData) {
  // The far side started this port in the terminal's cooked default, XON/XOFF on.
  auto device = systemSerialDriver().open(port_, 115200, Parity::None);
  ASSERT_TRUE(device);
  EXPECT_EQ(Settings(*device), "115200 none noxon\n");
  const Bytes data = {0x11, 'a', 0x13, 'b', 0x11, 0x13, '!'};
  ASSERT_EQ(device->write(data), data.size());
  const std::string echo = ReceiveUntil(*device, "!");
  EXPECT_EQ(echo, std::string(data.begin(), data.end()));
}

// Each cycle opens the port, has a byte echoed through the reader thread and the main
// thread's loop, and closes the port while the reader waits for the next event: the close
// must cancel and collect that wait before the port and its records go.
TEST_F(SerialWin32Test, OpenAndCloseWithTheReaderWaiting200Times) {
  StdEventLoop loop;
  std::string received;
  CommAttach(loop, systemSerialDriver(),
             CommHandlers{.dataReceived =
                              [&](const std::uint8_t* data, int length) {
                                received.append(reinterpret_cast<const char*>(data),
                                                static_cast<std::size_t>(length));
                              },
                          .errorReceived = {},
                          .portLost = {},
                          .sent = {}});
  for (int cycle = 0; cycle < kOpenCloseCycles; ++cycle) {
    SCOPED_TRACE(cycle);
    const std::uint8_t parity = cycle % 2;  // odd parity every other time
    ASSERT_TRUE(OpenPort(port_, cycle % 3 ? 115200 : 57600, parity));
    received.clear();
    const std::string ping = "ping" + std::to_string(cycle) + ";";
    const Bytes bytes = BytesOf(ping);
    ASSERT_EQ(WritePort(bytes.data(), static_cast<int>(bytes.size())),
              static_cast<int>(bytes.size()));
    ASSERT_TRUE(loop.runUntil([&] { return received.find(ping) != std::string::npos; },
                              kEchoLimit))
        << "received: " << received;
    ClosePort();
  }
  CommDetach();
  loop.stop();
}

}  // namespace
}  // namespace movrand

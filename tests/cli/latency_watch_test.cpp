// The latency-timer hint of movrand-flash on the virtual clock: blocks written through the
// watch at the times a link with a given turnaround would write them.
#include "cli/latency_watch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/virtual_event_loop.h"
#include "support/capture_serial.h"

namespace movrand::cli {
namespace {

using namespace std::chrono_literals;

std::vector<std::uint8_t> Block() {
  std::vector<std::uint8_t> block(133, 0x55);
  block[0] = 0x01;
  return block;
}

class LatencyWatchTest : public ::testing::Test {
 protected:
  LatencyWatchTest()
      : watch(driver, loop, [this](const std::string& text) { said.push_back(text); }) {}

  std::unique_ptr<SerialDevice> open(std::uint32_t baud = 115200, Parity parity = Parity::None) {
    return watch.open("ttyUSB0", baud, parity);
  }
  // `count` blocks, one every `cycle`.
  void blocks(SerialDevice& device, int count, Milliseconds cycle) {
    for (int i = 0; i < count; ++i) {
      device.write(Block());
      loop.advance(cycle);
    }
  }

  VirtualEventLoop loop;
  test::CaptureSerialDriver driver;
  std::vector<std::string> said;
  LatencyWatch watch;
};

// At 115200 a block and its ACK take 11.6 ms on the line.
TEST_F(LatencyWatchTest, ALatencyTimerIsToldOnceAfterTheFirstBlocks) {
  auto device = open();
  ASSERT_TRUE(device);
  blocks(*device, LatencyWatch::kGapsWatched, 28ms);  // 16 ms late each time
  EXPECT_TRUE(said.empty()) << "not before the first gaps are all in";
  blocks(*device, 1, 28ms);
  ASSERT_EQ(said.size(), 1u);
  EXPECT_NE(said[0].find("about 16 ms"), std::string::npos) << said[0];
  EXPECT_NE(said[0].find("Device Manager"), std::string::npos) << said[0];
  EXPECT_NE(said[0].find("Latency Timer (msec) 1"), std::string::npos) << said[0];
  EXPECT_NE(said[0].find("/dev/ttyUSB0 low_latency"), std::string::npos) << said[0];
  EXPECT_NE(said[0].find("42 %"), std::string::npos) << said[0];
  blocks(*device, 100, 28ms);
  EXPECT_EQ(said.size(), 1u) << "once a run";
  EXPECT_TRUE(watch.hinted());
  EXPECT_EQ(driver.writes().size(), 117u) << "every block still reaches the port";
}

TEST_F(LatencyWatchTest, ALinkAtTheLinesPaceOrAFewSlowBlocksSayNothing) {
  auto device = open();
  blocks(*device, 5, 40ms);  // a few slow ones among fast ones: the median is the fast one
  blocks(*device, 100, 13ms);
  EXPECT_TRUE(said.empty());
  EXPECT_FALSE(watch.hinted());

  // Decided for this run: a later slow transfer is not looked at again.
  blocks(*device, 40, 30ms);
  EXPECT_TRUE(said.empty());
}

TEST_F(LatencyWatchTest, TheLineTimeFollowsTheRateAndParity) {
  // At 230400 with odd parity the line needs 6.4 ms; 8.6 ms more is a latency timer, 4.6 not.
  LatencyWatch slow(driver, loop, [this](const std::string& text) { said.push_back(text); });
  auto device = slow.open("ttyUSB1", 230400, Parity::Odd);
  blocks(*device, 20, 15ms);
  ASSERT_EQ(said.size(), 1u);
  EXPECT_NE(said[0].find("about 8 ms"), std::string::npos) << said[0];

  said.clear();
  LatencyWatch fast(driver, loop, [this](const std::string& text) { said.push_back(text); });
  auto other = fast.open("ttyUSB1", 230400, Parity::Odd);
  blocks(*other, 20, 11ms);
  EXPECT_TRUE(said.empty());
}

TEST_F(LatencyWatchTest, OnlyBlockToBlockGapsAtOneRateCount) {
  auto device = open(57600);
  // The rate changes before the transfer: gaps at the old rate are forgotten.
  blocks(*device, 10, 40ms);
  device->setBaud(115200);
  // Between blocks that are not back to back (a sentence, EOT) there is no gap to measure.
  for (int i = 0; i < 40; ++i) {
    device->write(Block());
    const std::uint8_t eot = 0x04;
    device->write(std::span(&eot, 1));
    loop.advance(30ms);
  }
  EXPECT_TRUE(said.empty());
  blocks(*device, LatencyWatch::kGapsWatched + 1, 30ms);
  EXPECT_EQ(said.size(), 1u);
}

TEST(LatencyHintText, NamesTheCostAndTheFix) {
  const std::string text = LatencyHintText("COM4", 16ms, std::chrono::microseconds{5816});
  EXPECT_NE(text.find("about 16 ms"), std::string::npos) << text;
  EXPECT_NE(text.find("5.8 ms"), std::string::npos) << text;
  EXPECT_NE(text.find("27 %"), std::string::npos) << text;
  EXPECT_NE(text.find("Advanced"), std::string::npos) << text;
}

}  // namespace
}  // namespace movrand::cli

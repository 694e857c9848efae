// The serial link over a real pseudo-terminal: what the program applies to the line is read
// back on the other side, and what crosses it arrives whole and in order.
#include <gtest/gtest.h>

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <numeric>
#include <random>
#include <thread>

#include "comm/comm.h"
#include "platform/std_event_loop.h"
#include "support/pty_pair.h"

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept;

namespace movrand {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::PtyPair;

class CommOverPty : public ::testing::Test {
 protected:
  void SetUp() override {
    CommHandlers handlers;
    handlers.dataReceived = [this](const std::uint8_t* data, int length) {
      chunks.push_back(length);
      received.insert(received.end(), data, data + length);
    };
    handlers.portLost = [this] { ++lost; };
    handlers.sent = [this](std::span<const std::uint8_t> bytes) {
      tapped.insert(tapped.end(), bytes.begin(), bytes.end());
    };
    CommAttach(loop, systemSerialDriver(), handlers);
  }
  void TearDown() override { CommDetach(); }

  // Turns the loop until the reader threads of closed ports have ended.
  bool threadsBackTo(int count) {
    for (int i = 0; i < 1000; ++i) {
      if (test::threadCount() == count) return true;
      loop.runFor(5ms);
    }
    return false;
  }

  StdEventLoop loop;
  PtyPair pty;
  std::vector<int> chunks;
  std::vector<std::uint8_t> received;
  std::vector<std::uint8_t> tapped;
  int lost = 0;
};

TEST_F(CommOverPty, AppliesRateParityAndRawModeForEveryRateOfTheProgram) {
  for (std::uint32_t rate :
       {4800u, 9600u, 14400u, 19200u, 38400u, 57600u, 115200u, 148874u, 230400u}) {
    for (std::uint8_t parity : {0, 1}) {
      SCOPED_TRACE(testing::Message() << rate << " baud, parity " << int(parity));
      ASSERT_TRUE(OpenPort(pty.portName(), rate, parity));
      const test::LineSettings line = pty.slaveSettings();
      EXPECT_EQ(line.outputRate, rate);
      EXPECT_EQ(line.inputRate, rate);
      EXPECT_EQ(line.oddParity, parity == 1);
      EXPECT_TRUE(line.raw);
      EXPECT_TRUE(line.noFlowControl);
      EXPECT_TRUE(line.eightBits);
      ClosePort();
    }
  }
}

TEST_F(CommOverPty, SetPortBaudChangesOnlyTheRateAndKeepsTheLineRunning) {
  ASSERT_TRUE(OpenPort(pty.portName(), 115200, 1));
  pty.writeAll({'a', 'b'});
  ASSERT_TRUE(SetPortBaud(230400));
  pty.writeAll({'c'});
  EXPECT_TRUE(loop.runUntil([&] { return received.size() == 3; }, 5000ms));
  EXPECT_EQ(received, (std::vector<std::uint8_t>{'a', 'b', 'c'}));
  const test::LineSettings line = pty.slaveSettings();
  EXPECT_EQ(line.outputRate, 230400u);
  EXPECT_EQ(line.inputRate, 230400u);
  EXPECT_TRUE(line.oddParity);
  ClosePort();
  EXPECT_FALSE(SetPortBaud(115200));
}

TEST_F(CommOverPty, WrittenBytesArriveAndTheTrafficTapSeesThemEvenWhenClosed) {
  ASSERT_TRUE(OpenPort(pty.portName(), 115200, 0));
  std::vector<std::uint8_t> block(133);
  std::iota(block.begin(), block.end(), 0);  // zero bytes included
  EXPECT_EQ(WritePort(block.data(), 133), 133);
  EXPECT_EQ(pty.readAvailable(), block);

  // Longer than the send buffer: goes out whole, in pieces.
  std::vector<std::uint8_t> big(3000, 0x5A);
  EXPECT_EQ(WritePort(big.data(), static_cast<int>(big.size())), 3000);
  EXPECT_EQ(pty.readAvailable().size(), 3000u);

  ClosePort();
  tapped.clear();
  const std::uint8_t probe[] = {0x10, 0x26};
  EXPECT_EQ(WritePort(probe, 2), 0);
  EXPECT_EQ(WritePort(probe, 0), 0);
  EXPECT_EQ(WritePort(nullptr, 5), 0);
  EXPECT_EQ(WritePort(probe, -1), 0);
  EXPECT_EQ(tapped, (std::vector<std::uint8_t>{0x10, 0x26}));
}

TEST_F(CommOverPty, AMegabyteStreamArrivesWholeAndInOrderWithoutEmptyChunks) {
  ASSERT_TRUE(OpenPort(pty.portName(), 230400, 0));
  std::vector<std::uint8_t> stream(1 << 20);
  std::mt19937 random(7);
  for (auto& b : stream) b = static_cast<std::uint8_t>(random());
  std::thread module([&] { pty.writeAll(stream); });
  EXPECT_TRUE(loop.runUntil([&] { return received.size() >= stream.size(); }, 60000ms));
  module.join();
  EXPECT_TRUE(received == stream);
  EXPECT_GT(chunks.size(), 1u);
  for (int length : chunks) {
    EXPECT_GT(length, 0);
    EXPECT_LE(length, 10240);
  }
}

TEST_F(CommOverPty, ClosingWhileTheReaderWaitsEndsItWithoutADelivery) {
  const int threadsBefore = test::threadCount();
  ASSERT_TRUE(OpenPort(pty.portName(), 115200, 0));
  EXPECT_EQ(test::threadCount(), threadsBefore + 1);
  ClosePort();
  EXPECT_TRUE(threadsBackTo(threadsBefore));
  pty.writeAll({'$', 'P'});
  loop.runFor(100ms);
  EXPECT_TRUE(chunks.empty());
  ClosePort();  // a second close does nothing
  EXPECT_FALSE(PortIsOpen());
}

TEST_F(CommOverPty, ABusyMissingOrOverlongPortIsRefused) {
  ASSERT_TRUE(OpenPort(pty.portName(), 115200, 0));
  // Held by us: a second open of the same device, as another program would try, fails.
  EXPECT_EQ(systemSerialDriver().open(pty.portName(), 115200, Parity::None), nullptr);
  EXPECT_FALSE(OpenPort(pty.portName(), 115200, 0)) << "one port at a time";
  ClosePort();

  EXPECT_FALSE(OpenPort("ttyNOSUCHPORT9", 115200, 0));
  EXPECT_FALSE(OpenPort("ttyS0123456789ABC", 115200, 0)) << "16 characters";
  EXPECT_FALSE(OpenPort("../zero", 115200, 0));
  EXPECT_FALSE(OpenPort("null", 115200, 0)) << "not a terminal";
  EXPECT_FALSE(OpenPort(pty.portName(), 115200, 2)) << "unknown parity code";
  EXPECT_FALSE(PortIsOpen());
  EXPECT_TRUE(OpenPort(pty.portName(), 115200, 0)) << "a failed open leaves nothing behind";
}

TEST_F(CommOverPty, AHundredOpenCloseCyclesLeakNoDescriptorAndNoThread) {
  const int descriptorsBefore = test::openDescriptorCount();
  const int threadsBefore = test::threadCount();
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(OpenPort(pty.portName(), i % 2 ? 115200 : 4800, i % 2)) << "cycle " << i;
    ClosePort();
  }
  EXPECT_TRUE(threadsBackTo(threadsBefore));
  EXPECT_EQ(test::openDescriptorCount(), descriptorsBefore);
}

// Process CPU time, to see whether a thread spins.
std::chrono::milliseconds cpuTime() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return std::chrono::milliseconds(t.tv_sec * 1000 + t.tv_nsec / 1000000);
}

TEST_F(CommOverPty, AVanishedDeviceIsReportedOnceAndTheReaderGoesQuiet) {
  ASSERT_TRUE(OpenPort(pty.portName(), 115200, 0));
  pty.closeMaster();  // the far end hangs up, as an unplugged adapter does
  EXPECT_TRUE(loop.runUntil([&] { return lost == 1; }, 5000ms));
  const auto cpuBefore = cpuTime();
  loop.runFor(500ms);
  EXPECT_LT((cpuTime() - cpuBefore).count(), 100) << "the reader must not spin";
  EXPECT_EQ(lost, 1);
  EXPECT_TRUE(chunks.empty());
  const int threads = test::threadCount();
  ClosePort();
  EXPECT_TRUE(threadsBackTo(threads - 1));
}

TEST_F(CommOverPty, AnErrorWhileAChunkIsHandledDoesNotStopTheReader) {
  CommHandlers handlers;
  int calls = 0;
  handlers.dataReceived = [&](const std::uint8_t*, int) {
    if (++calls == 1) throw std::runtime_error("handler failed");
  };
  CommAttach(loop, systemSerialDriver(), handlers);
  ASSERT_TRUE(OpenPort(pty.portName(), 115200, 0));
  pty.writeAll({'a'});
  EXPECT_THROW(loop.runUntil([&] { return calls == 1; }, 5000ms), std::runtime_error);
  pty.writeAll({'b'});
  EXPECT_TRUE(loop.runUntil([&] { return calls == 2; }, 5000ms));
}

TEST(WriteTimeLimit, TwiceTheWireTimeAndASecond) {
  // 133 bytes of 10 bits at 115200: 11.5 ms on the wire, 12 ms rounded up.
  EXPECT_EQ(WireTime(133, 115200, Parity::None), 12ms);
  EXPECT_EQ(WriteTimeLimit(133, 115200, Parity::None), 1024ms);
  // With a parity bit, 11 bits a byte: 133 bytes at 4800 take 304.8 ms.
  EXPECT_EQ(WireTime(133, 4800, Parity::Odd), 305ms);
  EXPECT_EQ(WriteTimeLimit(133, 4800, Parity::Odd), 1610ms);
  EXPECT_EQ(WriteTimeLimit(0, 115200, Parity::None), kWriteMargin);
  EXPECT_EQ(WriteTimeLimit(1024, 0, Parity::None), 3 * kWriteMargin) << "no rate: the margin alone";
}

TEST_F(CommOverPty, AModuleThatStopsReadingLosesThePortWithinTheWritesLimit) {
  ASSERT_TRUE(OpenPort(pty.portName(), 115200, 0));
  // Nobody reads the module's end: the terminal's queues fill, and then a write can never go.
  const std::vector<std::uint8_t> block(133, 0x5A);
  const auto limit = WriteTimeLimit(block.size(), 115200, Parity::None);
  Clock::duration longest{};
  int written = 0;
  for (int i = 0; i < 2000; ++i) {
    const auto before = Clock::now();
    const int n = WritePort(block.data(), static_cast<int>(block.size()));
    longest = std::max(longest, Clock::now() - before);
    if (n < static_cast<int>(block.size())) break;
    ++written;
  }
  EXPECT_GT(written, 10) << "the queues took blocks before they were full";
  EXPECT_LT(written, 2000) << "the line never filled";
  EXPECT_GE(longest, limit - 50ms) << "the full line was waited for";
  EXPECT_LT(longest, limit + 1000ms) << "no write waits much beyond its limit";
  // Lost as an unplugged adapter is: told once, and no further write waits.
  EXPECT_TRUE(loop.runUntil([&] { return lost == 1; }, 5000ms));
  const auto before = Clock::now();
  EXPECT_EQ(WritePort(block.data(), static_cast<int>(block.size())), 0);
  EXPECT_LT(Clock::now() - before, 100ms);
  loop.runFor(200ms);
  EXPECT_EQ(lost, 1);
  ClosePort();
}

TEST_F(CommOverPty, ClosingLeavesTheLineSettingsAsTheyWereBeforeTheOpen) {
  pty.cookSlave();  // as another program left the port
  termios2 before{};
  ASSERT_EQ(ioctl(pty.master(), TCGETS2, &before), 0);
  ASSERT_TRUE(OpenPort(pty.portName(), 57600, 1));
  EXPECT_TRUE(pty.slaveSettings().raw);
  ASSERT_TRUE(SetPortBaud(230400));
  ClosePort();
  termios2 after{};
  ASSERT_EQ(ioctl(pty.master(), TCGETS2, &after), 0);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_oflag, before.c_oflag);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_cflag & ~PARENB, before.c_cflag & ~PARENB);  // the pty drops PARENB itself
  EXPECT_EQ(after.c_ospeed, before.c_ospeed);
  EXPECT_FALSE(pty.slaveSettings().raw);
}

// Runs `body` in a child process (its terminal and session may be changed there) and returns
// its exit code.
int InChild(const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

TEST(OwnTerminal, ThePortThisProgramRunsInIsRefused) {
  PtyPair terminal;
  const std::string path = "/dev/" + terminal.portName();
  // The controlling terminal of the program's session, as "--port tty" or its pts name gives it.
  EXPECT_EQ(InChild([&] {
              if (setsid() < 0) return 10;
              const int fd = ::open(path.c_str(), O_RDWR);  // becomes the controlling terminal
              if (fd < 0) return 11;
              OpenError error = OpenError::None;
              for (const std::string name : {terminal.portName(), std::string("tty")}) {
                if (systemSerialDriver().openPort(name, 115200, Parity::None, error)) return 12;
                if (error != OpenError::OwnTerminal) return 13;
              }
              return 0;
            }),
            0);
  // Or the terminal its output goes to, without being the session's.
  EXPECT_EQ(InChild([&] {
              const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
              if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0) return 11;
              OpenError error = OpenError::None;
              if (systemSerialDriver().openPort(terminal.portName(), 115200, Parity::None, error)) {
                return 12;
              }
              return error == OpenError::OwnTerminal ? 0 : 13;
            }),
            0);
  // Any other terminal is a port as usual.
  PtyPair other;
  OpenError error = OpenError::None;
  EXPECT_NE(systemSerialDriver().openPort(other.portName(), 115200, Parity::None, error), nullptr);
  EXPECT_EQ(OpenErrorName(OpenError::OwnTerminal), "own-terminal");
}

}  // namespace
}  // namespace movrand

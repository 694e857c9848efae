// The Linux serial driver asks a port for low latency at open and puts the previous setting
// back at close. A pseudo-terminal has no such request, so this test plays a USB serial
// adapter's driver: its own ioctl stands in for the C library's in this program (the serial
// code is linked in statically and calls it), answers the serial-settings requests for the
// port under test and passes every other request on to the kernel.
#include <asm/ioctls.h>  // TIOCGSERIAL, TIOCSSERIAL
#include <linux/serial.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdarg>
#include <vector>

#include "platform/serial_device.h"
#include "support/pty_pair.h"

namespace {

// The adapter's driver as the test sets it up.
struct FakeAdapter {
  bool active = false;
  bool answersGet = true;  // TIOCGSERIAL known
  bool acceptsSet = true;  // TIOCSSERIAL allowed
  int flags = ASYNC_SKIP_TEST;
  std::vector<int> setFlags;  // the flags of every TIOCSSERIAL, in order
};
FakeAdapter adapter;

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
  va_list args;
  va_start(args, request);
  void* argument = va_arg(args, void*);
  va_end(args);
  if (adapter.active && (request == TIOCGSERIAL || request == TIOCSSERIAL)) {
    auto* serial = static_cast<serial_struct*>(argument);
    if (request == TIOCGSERIAL) {
      if (!adapter.answersGet) {
        errno = ENOTTY;
        return -1;
      }
      *serial = serial_struct{};
      serial->flags = adapter.flags;
      serial->type = PORT_16550A;
      return 0;
    }
    adapter.setFlags.push_back(serial->flags);
    if (!adapter.acceptsSet) {
      errno = EPERM;
      return -1;
    }
    adapter.flags = serial->flags;
    return 0;
  }
  return static_cast<int>(syscall(SYS_ioctl, fd, request, argument));
}

namespace movrand {
namespace {

class LowLatencyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    adapter = FakeAdapter{};
    adapter.active = true;
  }
  void TearDown() override { adapter.active = false; }

  std::unique_ptr<SerialDevice> open() {
    return systemSerialDriver().open(pty.portName(), 115200, Parity::None);
  }

  test::PtyPair pty;
};

TEST_F(LowLatencyTest, IsAskedForAtOpenAndThePreviousSettingComesBackAtClose) {
  auto device = open();
  ASSERT_TRUE(device);
  ASSERT_EQ(adapter.setFlags.size(), 1u);
  EXPECT_EQ(adapter.flags, ASYNC_SKIP_TEST | ASYNC_LOW_LATENCY) << "other flags are kept";
  // Something else changes a flag while the port is open: the close leaves it.
  adapter.flags |= ASYNC_SPD_HI;
  device->close();
  EXPECT_EQ(adapter.flags, ASYNC_SKIP_TEST | ASYNC_SPD_HI);
  device.reset();  // a second close (the destructor's) changes nothing more
  EXPECT_EQ(adapter.setFlags.size(), 2u);
}

TEST_F(LowLatencyTest, APortAlreadyAtLowLatencyIsLeftAsItWasAtOpenAndClose) {
  adapter.flags = ASYNC_LOW_LATENCY;
  auto device = open();
  ASSERT_TRUE(device);
  device->close();
  EXPECT_TRUE(adapter.setFlags.empty());
  EXPECT_EQ(adapter.flags, ASYNC_LOW_LATENCY);
}

TEST_F(LowLatencyTest, ADriverWithoutTheRequestOrThatRefusesItIsUsedAsItIs) {
  adapter.answersGet = false;
  auto unknown = open();
  ASSERT_TRUE(unknown) << "the port opens all the same";
  unknown->close();
  EXPECT_TRUE(adapter.setFlags.empty());

  adapter.answersGet = true;
  adapter.acceptsSet = false;
  auto refusing = open();
  ASSERT_TRUE(refusing);
  // The bytes still go through.
  const std::uint8_t ack = 0x06;
  EXPECT_EQ(refusing->write(std::span(&ack, 1)), 1u);
  EXPECT_EQ(pty.readAvailable(100), std::vector<std::uint8_t>{0x06});
  refusing->close();
  EXPECT_EQ(adapter.setFlags.size(), 1u) << "no restore of a setting that was never made";
  EXPECT_EQ(adapter.flags, ASYNC_SKIP_TEST);
}

}  // namespace
}  // namespace movrand

// Serial ports on Linux. The settings go through the kernel's termios2 interface so that
// every rate works, also those without a Bxxx constant (14400, 148874): BOTHER with the
// exact rate in c_ispeed/c_ospeed. <termios.h> clashes with the kernel's definitions and is
// not included; the few calls it would offer are the ioctls it wraps.
#include <asm/termios.h>  // the kernel termios2 interface and TIOCM_* line bits
#include <fcntl.h>
#include <linux/serial.h>  // serial_struct and ASYNC_LOW_LATENCY
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/serial_device.h"

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept;

namespace movrand {
namespace {

// A driver that rounds a rate to what its divider can make stays within this of the rate
// asked for; the receiver's clock tolerates that much. Anything further off was refused.
constexpr std::uint32_t kRateTolerancePercent = 2;

bool RateTaken(std::uint32_t asked, std::uint32_t reported) {
  const std::uint64_t difference = asked > reported ? asked - reported : reported - asked;
  return difference * 100 <= std::uint64_t{asked} * kRateTolerancePercent;
}

// The reason for a failed open(2) of a device node.
OpenError OpenFailure(int error) {
  switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
      return OpenError::Missing;
    case EACCES:
    case EPERM:
      return OpenError::AccessDenied;
    case EBUSY:
      return OpenError::Busy;
    default:
      return OpenError::Failed;
  }
}

bool configure(int fd, std::uint32_t baud, Parity parity) {
  termios2 tio{};
  if (ioctl(fd, TCGETS2, &tio) != 0) return false;
  tio.c_iflag = 0;  // raw: no break, parity marking, CR/LF mapping or software flow control
  tio.c_oflag = 0;
  tio.c_lflag = 0;
  tio.c_cflag = CS8 | CREAD | CLOCAL | BOTHER;  // 8 data bits, 1 stop bit, no CRTSCTS
  if (parity == Parity::Odd) tio.c_cflag |= PARENB | PARODD;
  tio.c_ispeed = baud;
  tio.c_ospeed = baud;
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  return ioctl(fd, TCSETS2, &tio) == 0;
}

// Many USB serial adapters hold received bytes for up to 16 ms before passing them on (their
// latency timer): a whole block's time at 115200 for every ACK of a transfer. Their drivers
// take the low-latency flag as "pass each byte on at once". True when this call set the flag
// (so that the close puts the driver back as it was); a driver without the request, or one
// that refuses it, leaves the port as it is.
bool RequestLowLatency(int fd) {
  serial_struct serial{};
  if (ioctl(fd, TIOCGSERIAL, &serial) != 0 || (serial.flags & ASYNC_LOW_LATENCY)) return false;
  serial.flags |= ASYNC_LOW_LATENCY;
  return ioctl(fd, TIOCSSERIAL, &serial) == 0;
}

// Clears the flag that RequestLowLatency set, leaving whatever else changed meanwhile.
void RestoreLatency(int fd) {
  serial_struct serial{};
  if (ioctl(fd, TIOCGSERIAL, &serial) != 0 || !(serial.flags & ASYNC_LOW_LATENCY)) return;
  serial.flags &= ~ASYNC_LOW_LATENCY;
  ioctl(fd, TIOCSSERIAL, &serial);
}

class LinuxSerialDevice final : public SerialDevice {
 public:
  LinuxSerialDevice(int fd, int wakeFd, bool restoreLatency)
      : fd_(fd), wakeFd_(wakeFd), restoreLatency_(restoreLatency) {}
  ~LinuxSerialDevice() override {
    close();
    ::close(wakeFd_);
  }

  bool setBaud(std::uint32_t baud) override {
    std::lock_guard lock(mutex_);
    if (fd_ < 0) return false;
    termios2 tio{};
    if (ioctl(fd_, TCGETS2, &tio) != 0) return false;
    tio.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));  // input rate follows the output rate
    tio.c_cflag |= BOTHER;
    tio.c_ispeed = baud;
    tio.c_ospeed = baud;
    // TCSETS2 applies at once and flushes nothing. A driver may take the call and still keep
    // another rate (one its hardware cannot make): what counts is what it reports back.
    if (ioctl(fd_, TCSETS2, &tio) != 0) return false;
    termios2 now{};
    return ioctl(fd_, TCGETS2, &now) == 0 && RateTaken(baud, now.c_ospeed);
  }

  std::size_t write(std::span<const std::uint8_t> bytes) override {
    const int fd = currentFd();
    if (fd < 0) return 0;
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) {
        // The output queue is full: sleep until it drains or the port is closed.
        pollfd fds[2] = {{fd, POLLOUT, 0}, {wakeFd_, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
        if (fds[1].revents != 0 || (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL))) break;
        continue;
      }
      break;
    }
    // Like tcdrain: return when the bytes have left the port, not when the queue took them.
    while (ioctl(fd, TCSBRK, 1) != 0 && errno == EINTR) {
    }
    return done;
  }

  WaitResult wait() override {
    for (;;) {
      int fd;
      bool failed;
      {
        std::lock_guard lock(mutex_);
        if (fd_ < 0) return WaitResult::Closed;
        if (failed_ && !failureReported_) {  // a read found the hang-up
          failureReported_ = true;
          return WaitResult::Failed;
        }
        fd = fd_;
        failed = failed_;
        inPoll_ = true;
      }
      // A device that has gone is reported once; after that only `close` ends the wait, so a
      // reader of an unplugged adapter sleeps instead of spinning.
      pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {fd, POLLIN, 0}};
      const int n = poll(fds, failed ? 1 : 2, -1);
      const int pollErrno = errno;
      {
        std::lock_guard lock(mutex_);
        inPoll_ = false;
      }
      leftPoll_.notify_all();
      {
        std::lock_guard lock(mutex_);
        if (fd_ < 0) return WaitResult::Closed;
      }
      if (n < 0) {
        if (pollErrno == EINTR) continue;
        return markFailed();
      }
      if (failed) continue;
      if (fds[1].revents & POLLIN) return WaitResult::Data;
      if (fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) return markFailed();
    }
  }

  std::size_t read(std::span<std::uint8_t> into) override {
    std::lock_guard lock(mutex_);
    if (fd_ < 0 || into.empty()) return 0;
    for (;;) {
      const ssize_t n = ::read(fd_, into.data(), into.size());
      if (n > 0) return static_cast<std::size_t>(n);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) return 0;
      failed_ = true;  // end of file or EIO: the line has hung up
      return 0;
    }
  }

  void close() override {
    std::unique_lock lock(mutex_);
    if (fd_ < 0) return;
    const std::uint64_t one = 1;
    // The wake-up descriptor stays readable from now on, so every later poll returns at once.
    [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
    // A poll in progress holds the open file, and with it the exclusive lock, after close();
    // the automatic search reopens the port at once, so let the reader leave its poll first.
    // It only takes the wake-up above.
    leftPoll_.wait(lock, [&] { return !inPoll_; });
    // A pseudo-terminal keeps its exclusive flag after the last close; clear it so that the
    // next open (by us or another program) is not refused.
    ioctl(fd_, TIOCNXCL);
    if (restoreLatency_) RestoreLatency(fd_);
    ::close(fd_);  // releases the exclusive lock with the descriptor
    fd_ = -1;
  }

 private:
  int currentFd() {
    std::lock_guard lock(mutex_);
    return fd_;
  }
  WaitResult markFailed() {
    std::lock_guard lock(mutex_);
    failed_ = true;
    failureReported_ = true;
    return WaitResult::Failed;
  }

  std::mutex mutex_;
  int fd_;
  const int wakeFd_;
  const bool restoreLatency_;  // the open set the driver's low-latency flag
  bool failed_ = false;
  bool failureReported_ = false;
  bool inPoll_ = false;
  std::condition_variable leftPoll_;
};

class LinuxSerialDriver final : public SerialDriver {
 public:
  std::unique_ptr<SerialDevice> openPort(std::string_view name, std::uint32_t baud, Parity parity,
                                         OpenError& error) override {
    error = OpenError::None;
    if (name.empty() || name.find("..") != std::string_view::npos ||
        name.find('\0') != std::string_view::npos || name.front() == '/') {
      error = OpenError::Missing;  // no name of a device in the device folder
      return nullptr;
    }
    if (baud == 0) {
      error = OpenError::SettingsRefused;
      return nullptr;
    }
    const std::string path = "/dev/" + std::string(name);
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      error = OpenFailure(errno);
      return nullptr;
    }
    // TIOCEXCL keeps other programs out but not root; the lock also covers root and, unlike
    // TIOCEXCL, a second open by this same program.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
      error = errno == EWOULDBLOCK || errno == EBUSY ? OpenError::Busy : OpenError::Failed;
      ::close(fd);
      return nullptr;
    }
    if (!configure(fd, baud, parity)) {
      error = OpenError::SettingsRefused;
      ::close(fd);
      return nullptr;
    }
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIC, &lines);  // pseudo-terminals and some adapters have no modem lines
    ioctl(fd, TCFLSH, TCIOFLUSH);
    const int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
      error = OpenError::Failed;
      ::close(fd);
      return nullptr;
    }
    const bool lowLatencySet = RequestLowLatency(fd);
    return std::make_unique<LinuxSerialDevice>(fd, wakeFd, lowLatencySet);
  }
};

}  // namespace

SerialDriver& systemSerialDriver() {
  static LinuxSerialDriver driver;
  return driver;
}

}  // namespace movrand

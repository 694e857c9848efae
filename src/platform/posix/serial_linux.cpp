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
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
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

using Clock = std::chrono::steady_clock;

// Milliseconds from now until `deadline`, at least 0, for poll.
int MillisecondsUntil(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, 1'000'000));
}

// Whether `fd` is the terminal this program runs in: the controlling terminal of its session,
// or the terminal its standard input, output or error is. Probes written there would land on
// the user's screen, and the raw settings would stay behind in the user's shell.
bool IsOwnTerminal(int fd) {
  pid_t session = 0;
  if (ioctl(fd, TIOCGSID, &session) == 0 && session == getsid(0)) return true;
  struct stat port {};
  if (fstat(fd, &port) != 0 || !S_ISCHR(port.st_mode)) return false;
  for (const int standard : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    struct stat st {};
    if (fstat(standard, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == port.st_rdev) return true;
  }
  return false;
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

// What the device was opened with and what it had before.
struct OpenedSettings {
  std::uint32_t baud = 0;
  Parity parity = Parity::None;
  termios2 previous{};  // the line settings another program left, put back at close
};

class LinuxSerialDevice final : public SerialDevice {
 public:
  LinuxSerialDevice(int fd, int wakeFd, int kickFd, bool restoreLatency,
                    const OpenedSettings& settings)
      : fd_(fd),
        wakeFd_(wakeFd),
        kickFd_(kickFd),
        restoreLatency_(restoreLatency),
        baud_(settings.baud),
        parity_(settings.parity),
        previous_(settings.previous) {}
  ~LinuxSerialDevice() override {
    close();
    ::close(wakeFd_);
    ::close(kickFd_);
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
    if (ioctl(fd_, TCGETS2, &now) != 0 || !RateTaken(baud, now.c_ospeed)) return false;
    baud_ = baud;
    return true;
  }

  std::size_t write(std::span<const std::uint8_t> bytes) override {
    int fd = -1;
    Clock::time_point deadline;
    std::uint32_t baud = 0;
    {
      std::lock_guard lock(mutex_);
      // A device that could not take a write before takes none: each would wait its limit.
      if (fd_ < 0 || writeLost_) return 0;
      fd = fd_;
      baud = baud_;
      deadline = Clock::now() + WriteTimeLimit(bytes.size(), baud_, parity_);
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) {
        // The output queue is full: sleep until it has room, the port is closed, or the
        // write's time is up.
        if (Clock::now() >= deadline) return lost(fd, done);
        pollfd fds[2] = {{fd, POLLOUT, 0}, {wakeFd_, POLLIN, 0}};
        if (poll(fds, 2, MillisecondsUntil(deadline)) < 0 && errno != EINTR) return lost(fd, done);
        if (fds[1].revents != 0) return done;  // closed meanwhile
        if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) return lost(fd, done);
        continue;
      }
      // The device refused the write (an adapter pulled out refuses them all): it is lost,
      // and the caller hears of it once, as of any loss.
      return lost(fd, done);
    }
    if (done == bytes.size() && !drain(fd, deadline, baud)) return lost(fd, done);
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
      // No time limit: this is the reader's idle wait, and `close` (the wake-up descriptor)
      // ends it at any time. A device that has gone is reported once; after that only `close`
      // ends the wait, so a reader of an unplugged adapter sleeps instead of spinning. A write
      // that lost the device wakes the wait through the kick, so the loss is reported at once.
      pollfd fds[3] = {{wakeFd_, POLLIN, 0}, {kickFd_, POLLIN, 0}, {fd, POLLIN, 0}};
      const int n = poll(fds, failed ? 2 : 3, -1);
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
      if (fds[1].revents & POLLIN) {
        std::uint64_t kicks = 0;
        [[maybe_unused]] const ssize_t drained = ::read(kickFd_, &kicks, sizeof kicks);
        continue;  // the top of the loop reports a loss found by a write
      }
      if (failed) continue;
      if (fds[2].revents & POLLIN) return WaitResult::Data;
      if (fds[2].revents & (POLLERR | POLLHUP | POLLNVAL)) return markFailed();
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
    // The port is borrowed: leave its line settings as the last program had them. TCSETS2
    // applies them at once, without waiting for output (a lost device's was discarded).
    ioctl(fd_, TCSETS2, &previous_);
    ::close(fd_);  // releases the exclusive lock with the descriptor
    fd_ = -1;
  }

 private:
  // Like tcdrain, with the write's deadline: returns when the driver's output queue is
  // empty. It looks again after the time the bytes still queued need on the wire, so it
  // sleeps rather than spins; a close ends it at once. False when the deadline passed first.
  bool drain(int fd, Clock::time_point deadline, std::uint32_t baud) {
    for (;;) {
      int queued = 0;
      if (ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0) return true;
      if (Clock::now() >= deadline) return false;
      const auto wire = WireTime(static_cast<std::size_t>(queued), baud, parity_);
      const int pause =
          std::clamp(static_cast<int>(wire.count()), 1, std::max(1, MillisecondsUntil(deadline)));
      pollfd wake{wakeFd_, POLLIN, 0};
      if (poll(&wake, 1, pause) > 0) return true;  // closed: nothing is waited for any more
    }
  }

  // A write could not get its bytes out, in time or at all: the device takes no data. What is
  // queued is dropped (a close would otherwise wait for it too), and the reader is woken to
  // report the loss (once, whoever notices it first).
  std::size_t lost(int fd, std::size_t done) {
    ioctl(fd, TCFLSH, TCOFLUSH);
    {
      std::lock_guard lock(mutex_);
      writeLost_ = true;
      if (!failed_) {
        failed_ = true;
        failureReported_ = false;
      }
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(kickFd_, &one, sizeof one);
    return done;
  }

  WaitResult markFailed() {
    std::lock_guard lock(mutex_);
    failed_ = true;
    failureReported_ = true;
    return WaitResult::Failed;
  }

  std::mutex mutex_;
  int fd_;
  const int wakeFd_;           // readable from the close on
  const int kickFd_;           // a write found the device lost
  const bool restoreLatency_;  // the open set the driver's low-latency flag
  std::uint32_t baud_;         // under mutex_; the rate the writes' limits are taken at
  const Parity parity_;
  const termios2 previous_;
  bool failed_ = false;
  bool failureReported_ = false;
  bool writeLost_ = false;  // a write ran out of time
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
    if (IsOwnTerminal(fd)) {
      error = OpenError::OwnTerminal;
      ::close(fd);
      return nullptr;
    }
    // TIOCEXCL keeps other programs out but not root; the lock also covers root and, unlike
    // TIOCEXCL, a second open by this same program.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
      error = errno == EWOULDBLOCK || errno == EBUSY ? OpenError::Busy : OpenError::Failed;
      ::close(fd);
      return nullptr;
    }
    OpenedSettings settings{.baud = baud, .parity = parity, .previous = {}};
    if (ioctl(fd, TCGETS2, &settings.previous) != 0 || !configure(fd, baud, parity)) {
      error = OpenError::SettingsRefused;
      ::close(fd);
      return nullptr;
    }
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIC, &lines);  // pseudo-terminals and some adapters have no modem lines
    ioctl(fd, TCFLSH, TCIOFLUSH);
    const int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    const int kickFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0 || kickFd < 0) {
      error = OpenError::Failed;
      ioctl(fd, TIOCNXCL);
      ioctl(fd, TCSETS2, &settings.previous);
      for (const int open : {wakeFd, kickFd, fd}) {
        if (open >= 0) ::close(open);
      }
      return nullptr;
    }
    const bool lowLatencySet = RequestLowLatency(fd);
    return std::make_unique<LinuxSerialDevice>(fd, wakeFd, kickFd, lowLatencySet, settings);
  }
};

}  // namespace

SerialDriver& systemSerialDriver() {
  static LinuxSerialDriver driver;
  return driver;
}

}  // namespace movrand

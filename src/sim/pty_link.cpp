// The kernel's termios2 (exact rates in c_ospeed) clashes with <termios.h>, which is therefore
// not included; the ioctl is declared by hand as in the serial port code.
#include "sim/pty_link.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept;

namespace movrand::sim {
namespace {

constexpr std::size_t kReadChunk = 4096;
// While the host has the port closed poll reports a hang-up at once and cannot wait for the
// next open; the reader looks again this often.
constexpr int kHangupPollMs = 10;
// How long a reply may wait for room in the terminal's queue before it counts as lost.
constexpr int kWriteRoomWaitMs = 200;

bool SetRaw(int fd, LineSettings settings) {
  termios2 tio{};
  if (ioctl(fd, TCGETS2, &tio) != 0) return false;
  tio.c_iflag = 0;
  tio.c_oflag = 0;
  tio.c_lflag = 0;
  tio.c_cflag = CS8 | CREAD | CLOCAL | BOTHER;
  if (settings.parity == Parity::Odd) tio.c_cflag |= PARENB | PARODD;
  tio.c_ispeed = settings.baud;
  tio.c_ospeed = settings.baud;
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  return ioctl(fd, TCSETS2, &tio) == 0;
}

}  // namespace

PtyLink::PtyLink(EventLoop& loop, SimModule& module) : loop_(loop), module_(module) {}

PtyLink::~PtyLink() {
  stop();
  module_.setOutput(nullptr);
  module_.setHostView(nullptr);
  if (master_ >= 0) ::close(master_);
  for (const int fd : wake_) {
    if (fd >= 0) ::close(fd);
  }
}

bool PtyLink::open(LineSettings initial, std::string& error) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0) {
    error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
    return false;
  }
  std::array<char, 128> name{};
  if (grantpt(master_) != 0 || unlockpt(master_) != 0 ||
      ptsname_r(master_, name.data(), name.size()) != 0) {
    error = std::string("cannot unlock the pseudo-terminal: ") + std::strerror(errno);
    return false;
  }
  slavePath_ = name.data();
  // Open the host side once: to leave it raw at the module's settings (so a plain program such
  // as an XMODEM sender can use it as it is), and because only after a first close does poll
  // on the master report the hang-up that tells "host port closed".
  const int slave = ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) {
    error = "cannot open " + slavePath_ + ": " + std::strerror(errno);
    return false;
  }
  const bool raw = SetRaw(slave, initial);
  ::close(slave);
  if (!raw) {
    error = "cannot set up " + slavePath_;
    return false;
  }
  const int flags = fcntl(master_, F_GETFL);
  if (flags < 0 || fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0 ||
      pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    error = std::string("cannot set up the pseudo-terminal: ") + std::strerror(errno);
    return false;
  }
  module_.setHostView([this] { return hostSettings(); });
  module_.setOutput([this](std::span<const std::uint8_t> bytes, LineSettings sentWith) {
    send(bytes, sentWith);
  });
  return true;
}

std::optional<LineSettings> PtyLink::hostSettings() const {
  if (master_ < 0) return std::nullopt;
  pollfd fd{master_, 0, 0};
  if (poll(&fd, 1, 0) < 0 || (fd.revents & (POLLHUP | POLLERR | POLLNVAL))) return std::nullopt;
  // On the master these return the slave's settings. The pty driver clears PARENB on every
  // change but keeps PARODD, so odd parity shows as PARODD alone.
  termios2 tio{};
  if (ioctl(master_, TCGETS2, &tio) != 0) return std::nullopt;
  return LineSettings{tio.c_ospeed, (tio.c_cflag & PARODD) ? Parity::Odd : Parity::None};
}

void PtyLink::start() {
  if (reader_.joinable() || master_ < 0) return;
  reader_ = std::thread([this] { readerLoop(); });
}

void PtyLink::stop() {
  if (!reader_.joinable()) return;
  const char wake = 1;
  [[maybe_unused]] const ssize_t n = ::write(wake_[1], &wake, 1);
  reader_.join();
}

void PtyLink::readerLoop() {
  std::vector<std::uint8_t> buffer(kReadChunk);
  for (;;) {
    pollfd fds[2] = {{wake_[0], POLLIN, 0}, {master_, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents != 0) return;
    if (fds[1].revents & POLLIN) {
      const ssize_t n = ::read(master_, buffer.data(), buffer.size());
      if (n > 0) {
        // The settings the host has now are the ones it sent these bytes with: it changes
        // them only between exchanges.
        const std::optional<LineSettings> host = hostSettings();
        LineSettings sentWith{};
        if (host) {
          sentWith = *host;
        } else {
          termios2 tio{};  // sent just before a close: its last settings still stand
          if (ioctl(master_, TCGETS2, &tio) == 0) {
            sentWith = {tio.c_ospeed, (tio.c_cflag & PARODD) ? Parity::Odd : Parity::None};
          }
        }
        loop_.post([this, bytes = std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + n),
                    sentWith] { module_.receive(bytes, sentWith); });
        continue;
      }
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      // EIO: the host closed its side and nothing is left to read.
    }
    if (fds[1].revents & (POLLHUP | POLLERR | POLLIN)) {
      pollfd wake{wake_[0], POLLIN, 0};
      if (poll(&wake, 1, kHangupPollMs) > 0) return;
    }
  }
}

void PtyLink::send(std::span<const std::uint8_t> bytes, LineSettings sentWith) {
  const std::optional<LineSettings> host = hostSettings();
  if (!host || *host != sentWith) {
    module_.reportLost(bytes, sentWith, host);
    return;
  }
  std::size_t done = 0;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kWriteRoomWaitMs);
  while (done < bytes.size()) {
    const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN && std::chrono::steady_clock::now() < deadline) {
      pollfd fd{master_, POLLOUT, 0};
      poll(&fd, 1, 10);
      continue;
    }
    module_.reportLost(bytes.subspan(done), sentWith, host, "the host is not reading");
    return;
  }
}

}  // namespace movrand::sim

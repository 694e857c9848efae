// Uses the kernel's termios2 to read exact rates; <termios.h> would clash and is not used.
#include "support/pty_pair.h"

#include <asm/termios.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept;

namespace movrand::test {

PtyPair::PtyPair() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    throw std::runtime_error("no pseudo-terminal");
  }
  const char* slave = ptsname(master_);
  if (!slave) throw std::runtime_error("no pseudo-terminal name");
  portName_ = std::string(slave).substr(5);  // without "/dev/"
}

PtyPair::~PtyPair() {
  closeMaster();
}

void PtyPair::closeMaster() {
  if (master_ >= 0) ::close(master_);
  master_ = -1;
}

LineSettings PtyPair::slaveSettings() const {
  termios2 tio{};
  if (ioctl(master_, TCGETS2, &tio) != 0) throw std::runtime_error("TCGETS2 failed");
  LineSettings s;
  s.outputRate = tio.c_ospeed;
  s.inputRate = tio.c_ispeed;
  s.oddParity = (tio.c_cflag & PARODD) != 0;
  s.raw = (tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) == 0 && (tio.c_oflag & OPOST) == 0 &&
          (tio.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP)) == 0;
  s.noFlowControl = (tio.c_cflag & CRTSCTS) == 0 && (tio.c_iflag & (IXON | IXOFF)) == 0;
  s.eightBits = (tio.c_cflag & CSIZE) == CS8;
  return s;
}

void PtyPair::cookSlave() const {
  termios2 tio{};
  if (ioctl(master_, TCGETS2, &tio) != 0) throw std::runtime_error("TCGETS2 failed");
  tio.c_iflag = ICRNL | IXON | IXOFF;
  tio.c_oflag = OPOST | ONLCR;
  tio.c_lflag = ICANON | ECHO | ECHOE | ISIG | IEXTEN;
  if (ioctl(master_, TCSETS2, &tio) != 0) throw std::runtime_error("TCSETS2 failed");
}

void PtyPair::writeAll(const std::vector<std::uint8_t>& bytes) const {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
      throw std::runtime_error("write to master failed");
    }
  }
}

std::vector<std::uint8_t> PtyPair::readAvailable(int waitMs, std::size_t limit) const {
  std::vector<std::uint8_t> got;
  std::uint8_t buf[4096];
  while (got.size() < limit) {
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, waitMs) <= 0 || !(p.revents & POLLIN)) break;
    const ssize_t n = ::read(master_, buf, sizeof buf);
    if (n <= 0) break;
    got.insert(got.end(), buf, buf + n);
  }
  return got;
}

namespace {
int countEntries(const char* dir) {
  DIR* d = opendir(dir);
  if (!d) return -1;
  int n = 0;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') ++n;
  }
  closedir(d);
  return n;
}
}  // namespace

int openDescriptorCount() {
  return countEntries("/proc/self/fd");
}
int threadCount() {
  return countEntries("/proc/self/task");
}

}  // namespace movrand::test

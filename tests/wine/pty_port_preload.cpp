// Preloaded into wine (LD_PRELOAD) by the Windows end-to-end tests: makes the slave of a
// pseudo-terminal behave like a serial port, so that a Windows program can talk to the
// simulated module through wine's COM port mapping.
//
// A pseudo-terminal lacks two things a port has, and wine trips over both:
// - modem lines: TIOCMGET, TIOCMBIS, TIOCMBIC and TIOCMSET fail with ENOTTY; wine then
//   cancels every pending wait for port events (WaitCommEvent) after a couple of
//   milliseconds. Here each pty keeps emulated lines: the outputs (DTR, RTS) as last set, the
//   inputs (CTS, DSR, carrier) on.
// - parity: the pty driver drops PARENB (it keeps PARODD), and glibc's tcsetattr, reading the
//   settings back, then reports EINVAL, so a second odd-parity SetCommState fails. Here the
//   settings go to the driver directly, and the parity asked for is reported back.
// It also reports a rate set through termios2 (BOTHER, as the simulated module sets its side)
// as the standard rate it equals, which is all wine's tcgetattr path understands.
//
// Only pseudo-terminal slaves are touched; every other descriptor goes straight to the C
// library. Nothing of the product depends on this: it is the test bench's port.
#include <asm/termios.h>  // the kernel termios, TCGETS2 and TIOCM_* line bits
#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <mutex>

namespace {

// What the C library's own functions would be called with.
using IoctlFunction = int (*)(int, unsigned long, ...);

IoctlFunction RealIoctl() {
  static const auto real = reinterpret_cast<IoctlFunction>(dlsym(RTLD_NEXT, "ioctl"));
  return real;
}

// Unix98 pseudo-terminal slaves have the majors 136 to 143.
constexpr unsigned kPtySlaveFirstMajor = 136;
constexpr unsigned kPtySlaveLastMajor = 143;

bool PtySlave(int fd, dev_t& device) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  const unsigned major = ::major(st.st_rdev);
  if (major < kPtySlaveFirstMajor || major > kPtySlaveLastMajor) return false;
  device = st.st_rdev;
  return true;
}

// Per pseudo-terminal (not per descriptor: wine opens and duplicates its own).
struct PortState {
  dev_t device = 0;
  bool used = false;
  int lines = 0;          // TIOCM_* bits
  bool parityOn = false;  // PARENB as last asked for
};
constexpr int kPorts = 64;
constexpr int kInputLines = TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;

std::mutex gMutex;
PortState gPorts[kPorts];

PortState* Port(dev_t device) {  // under gMutex
  PortState* free = nullptr;
  for (PortState& port : gPorts) {
    if (port.used && port.device == device) return &port;
    if (!port.used && !free) free = &port;
  }
  if (!free) return nullptr;
  *free = PortState{device, true, kInputLines | TIOCM_DTR | TIOCM_RTS, false};
  return free;
}

struct RateCode {
  unsigned rate;
  unsigned code;
};
constexpr RateCode kRates[] = {
    {50, B50},       {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},     {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
};

// A BOTHER rate that equals a standard one is shown as that one.
void ShowStandardRate(int fd, termios& tio) {
  if ((tio.c_cflag & CBAUD) != BOTHER) return;
  termios2 exact{};
  if (RealIoctl()(fd, TCGETS2, &exact) != 0) return;
  for (const RateCode& r : kRates) {
    if (r.rate == exact.c_ospeed) {
      tio.c_cflag = (tio.c_cflag & ~(CBAUD | (CBAUD << IBSHIFT))) | r.code;
      return;
    }
  }
}

int ModemLines(int fd, dev_t device, unsigned long request, int* bits) {
  if (!bits) {
    errno = EFAULT;
    return -1;
  }
  (void)fd;
  std::lock_guard lock(gMutex);
  PortState* port = Port(device);
  if (!port) {
    errno = ENOMEM;
    return -1;
  }
  const int outputs = TIOCM_DTR | TIOCM_RTS;
  switch (request) {
    case TIOCMGET:
      *bits = port->lines;
      break;
    case TIOCMBIS:
      port->lines |= *bits & outputs;
      break;
    case TIOCMBIC:
      port->lines &= ~(*bits & outputs);
      break;
    case TIOCMSET:
      port->lines = kInputLines | (*bits & outputs);
      break;
  }
  return 0;
}

}  // namespace

extern "C" {

int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* argument = va_arg(args, void*);
  va_end(args);
  dev_t device = 0;
  const bool modem =
      request == TIOCMGET || request == TIOCMBIS || request == TIOCMBIC || request == TIOCMSET;
  if (modem && PtySlave(fd, device)) {
    return ModemLines(fd, device, request, static_cast<int*>(argument));
  }
  return RealIoctl()(fd, request, argument);
}

// The layout of glibc's struct termios, which differs from the kernel's (asm/termbits.h)
// by its speed fields at the end; only the kernel part is exchanged with the driver.
struct LibcTermios {
  tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
  cc_t c_line;
  cc_t c_cc[32];
  speed_t c_ispeed, c_ospeed;
};

int tcgetattr(int fd, LibcTermios* out) {
  termios tio{};
  if (RealIoctl()(fd, TCGETS, &tio) != 0) return -1;
  dev_t device = 0;
  if (PtySlave(fd, device)) {
    ShowStandardRate(fd, tio);
    std::lock_guard lock(gMutex);
    if (PortState* port = Port(device); port && port->parityOn) tio.c_cflag |= PARENB;
  }
  std::memset(out, 0, sizeof *out);
  out->c_iflag = tio.c_iflag;
  out->c_oflag = tio.c_oflag;
  out->c_cflag = tio.c_cflag;
  out->c_lflag = tio.c_lflag;
  out->c_line = tio.c_line;
  std::memcpy(out->c_cc, tio.c_cc, sizeof tio.c_cc);
  out->c_ispeed = tio.c_cflag & CBAUD;
  out->c_ospeed = tio.c_cflag & CBAUD;
  return 0;
}

int tcsetattr(int fd, int when, const LibcTermios* in) {
  unsigned long request = TCSETS;
  if (when == 1) request = TCSETSW;  // TCSADRAIN
  if (when == 2) request = TCSETSF;  // TCSAFLUSH
  if (when < 0 || when > 2) {
    errno = EINVAL;
    return -1;
  }
  termios tio{};
  tio.c_iflag = in->c_iflag;
  tio.c_oflag = in->c_oflag;
  tio.c_cflag = in->c_cflag;
  tio.c_lflag = in->c_lflag;
  tio.c_line = in->c_line;
  std::memcpy(tio.c_cc, in->c_cc, sizeof tio.c_cc);
  dev_t device = 0;
  if (PtySlave(fd, device)) {
    std::lock_guard lock(gMutex);
    if (PortState* port = Port(device)) port->parityOn = (in->c_cflag & PARENB) != 0;
  }
  // Straight to the driver: no read-back that a pseudo-terminal's dropped PARENB would fail.
  return RealIoctl()(fd, request, &tio);
}

}  // extern "C"

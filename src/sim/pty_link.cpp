// The kernel's termios2 (exact rates in c_ospeed) clashes with <termios.h>, which is therefore
// not included; the ioctl is declared by hand as in the serial port code.
#include "sim/pty_link.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
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
// The most turnarounds kept: one per block of the largest image many times over.
constexpr std::size_t kMaxTurnarounds = 1 << 22;

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

LineSettings FromTermios(const termios2& tio) {
  return {tio.c_ospeed, (tio.c_cflag & PARODD) ? Parity::Odd : Parity::None};
}

std::int64_t Nanoseconds(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

// Writes all of `bytes` to the non-blocking `fd`, waiting a little for room; the count written.
std::size_t WriteAll(int fd, std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kWriteRoomWaitMs);
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN && std::chrono::steady_clock::now() < deadline) {
      pollfd out{fd, POLLOUT, 0};
      poll(&out, 1, 10);
      continue;
    }
    break;
  }
  return done;
}

}  // namespace

TurnaroundFigures Summarise(std::vector<std::int64_t> micros) {
  TurnaroundFigures figures;
  if (micros.empty()) return figures;
  std::sort(micros.begin(), micros.end());
  const std::size_t n = micros.size();
  figures.count = static_cast<std::int64_t>(n);
  figures.median = micros[n / 2];
  // The smallest value that at least 99 % of the samples do not exceed.
  figures.p99 = micros[std::min(n - 1, (n * 99 + 99) / 100 - 1)];
  figures.max = micros.back();
  return figures;
}

PtyLink::PtyLink(EventLoop& loop, SimModule* module, bool paced)
    : loop_(loop), module_(module), self_(std::make_shared<PtyLink*>(this)), paced_(paced) {}

PtyLink::~PtyLink() {
  stop();
  if (module_) unhook(*module_);
  *self_ = nullptr;
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
  if (module_) hook(*module_);
  return true;
}

void PtyLink::attach(SimModule* module) {
  if (module_) unhook(*module_);
  module_ = module;
  ++attachment_;
  if (module_ && master_ >= 0) hook(*module_);
  // A module that stopped reading is gone: the next one reads the line again.
  if (deaf_.exchange(false) && wake_[1] >= 0) {
    const char wake = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_[1], &wake, 1);
  }
}

void PtyLink::hook(SimModule& module) {
  module.setHostView([this] { return hostSettings(); });
  module.setOutput([this](std::span<const std::uint8_t> bytes, LineSettings sentWith) {
    send(bytes, sentWith);
  });
  module.setStopReading([this] {
    deaf_ = true;
    const char wake = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_[1], &wake, 1);
  });
  module.setArrivalClock([this] {
    const Clock::time_point t = handling_ ? handling_->arrival : Clock::now();
    return std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch());
  });
}

void PtyLink::unhook(SimModule& module) {
  module.setOutput(nullptr);
  module.setHostView(nullptr);
  module.setArrivalClock(nullptr);
  module.setStopReading(nullptr);
}

std::optional<LineSettings> PtyLink::hostSettings() const {
  if (master_ < 0) return std::nullopt;
  pollfd fd{master_, 0, 0};
  if (poll(&fd, 1, 0) < 0 || (fd.revents & (POLLHUP | POLLERR | POLLNVAL))) return std::nullopt;
  // On the master these return the slave's settings. The pty driver clears PARENB on every
  // change but keeps PARODD, so odd parity shows as PARODD alone.
  termios2 tio{};
  if (ioctl(master_, TCGETS2, &tio) != 0) return std::nullopt;
  return FromTermios(tio);
}

void PtyLink::start() {
  if (reader_.joinable() || master_ < 0) return;
  stopping_ = false;
  reader_ = std::thread([this] { paced_ ? pacedLoop() : readerLoop(); });
}

void PtyLink::stop() {
  if (!reader_.joinable()) return;
  stopping_ = true;
  const char wake = 1;
  [[maybe_unused]] const ssize_t n = ::write(wake_[1], &wake, 1);
  reader_.join();
}

std::optional<PtyLink::Incoming> PtyLink::readChunk(std::vector<std::uint8_t>& buffer) {
  const ssize_t n = ::read(master_, buffer.data(), buffer.size());
  if (n == 0) errno = EIO;
  if (n <= 0) return std::nullopt;  // EAGAIN, EINTR, or EIO once the host has closed its side
  Incoming chunk;
  chunk.arrival = Clock::now();
  chunk.bytes.assign(buffer.begin(), buffer.begin() + n);
  if (const std::int64_t answered = answerWrittenAt_.exchange(0);
      answered != 0 && turnarounds_.size() < kMaxTurnarounds) {
    turnarounds_.push_back((Nanoseconds(chunk.arrival) - answered) / 1000);
  }
  // The settings the host has now are the ones it sent these bytes with: it changes them only
  // between exchanges.
  if (const std::optional<LineSettings> host = hostSettings()) {
    chunk.sentWith = *host;
  } else {
    termios2 tio{};  // sent just before a close: its last settings still stand
    if (ioctl(master_, TCGETS2, &tio) == 0) chunk.sentWith = FromTermios(tio);
  }
  chunk.due = chunk.arrival;
  return chunk;
}

void PtyLink::deliver(Incoming chunk) {
  // Bytes read for a module taken off meanwhile were on the wire when it went: nobody hears them.
  loop_.post([weak = std::weak_ptr<PtyLink*>(self_), chunk = std::move(chunk),
              attachment = attachment_.load()] {
    const auto self = weak.lock();
    PtyLink* link = self ? *self : nullptr;
    if (!link || !link->module_ || link->attachment_.load() != attachment) return;
    link->handling_ = &chunk;
    link->module_->receive(chunk.bytes, chunk.sentWith);
    link->handling_ = nullptr;
  });
}

void PtyLink::readerLoop() {
  std::vector<std::uint8_t> buffer(kReadChunk);
  for (;;) {
    // A module that stopped reading leaves the host's bytes in the terminal's queue.
    pollfd fds[2] = {{wake_[0], POLLIN, 0}, {master_, POLLIN, 0}};
    if (poll(fds, deaf_ ? 1 : 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents != 0) {
      char drained[64];
      while (::read(wake_[0], drained, sizeof drained) > 0) {
      }
      if (stopping_) return;
      continue;
    }
    if (fds[1].revents & POLLIN) {
      if (std::optional<Incoming> chunk = readChunk(buffer)) {
        deliver(std::move(*chunk));
        continue;
      }
      if (errno == EINTR || errno == EAGAIN) continue;
      // EIO: the host closed its side and nothing is left to read.
    }
    if (fds[1].revents & (POLLHUP | POLLERR | POLLIN)) {
      pollfd wake{wake_[0], POLLIN, 0};
      if (poll(&wake, 1, kHangupPollMs) > 0 && stopping_) return;
    }
  }
}

void PtyLink::pacedLoop() {
  // Deadlines are kept to the microsecond: no slack for the kernel to gather wake-ups in.
  prctl(PR_SET_TIMERSLACK, 1UL);
  std::vector<std::uint8_t> buffer(kReadChunk);
  std::deque<Incoming> incoming;   // in arrival order, so in order of their deadlines
  std::deque<Outgoing> scheduled;  // in the order sent, so in order of their deadlines
  Clock::time_point rxFree{};      // when the host's last byte so far is off the wire
  Clock::time_point txFree{};      // when the module's last byte so far is off the wire
  bool hungUp = false;
  for (;;) {
    {
      std::lock_guard lock(outboxMutex_);
      for (Outgoing& reply : outbox_) {
        const Clock::time_point start = std::max(txFree, reply.due);
        txFree = start + TransmissionTime(reply.bytes.size(), reply.sentWith);
        reply.due = txFree;
        scheduled.push_back(std::move(reply));
      }
      outbox_.clear();
    }
    const Clock::time_point now = Clock::now();
    while (!incoming.empty() && incoming.front().due <= now) {
      deliver(std::move(incoming.front()));
      incoming.pop_front();
    }
    while (!scheduled.empty() && scheduled.front().due <= now) {
      transmit(scheduled.front());
      scheduled.pop_front();
    }

    // Sleep until the next deadline, a byte from the host, a reply to send, or the stop.
    std::optional<Clock::time_point> next;
    if (!incoming.empty()) next = incoming.front().due;
    if (!scheduled.empty())
      next = next ? std::min(*next, scheduled.front().due) : scheduled.front().due;
    auto wait = std::chrono::nanoseconds::max();
    if (next) wait = std::max(std::chrono::nanoseconds{0}, *next - Clock::now());
    // While the host has the port closed the master reports a hang-up at once; look at it
    // again only now and then.
    if (hungUp)
      wait = std::min<std::chrono::nanoseconds>(wait, std::chrono::milliseconds(kHangupPollMs));
    timespec timeout{};
    const bool bounded = wait != std::chrono::nanoseconds::max();
    if (bounded) {
      timeout.tv_sec = static_cast<time_t>(wait.count() / 1'000'000'000);
      timeout.tv_nsec = static_cast<long>(wait.count() % 1'000'000'000);
    }
    pollfd fds[2] = {{wake_[0], POLLIN, 0}, {master_, POLLIN, 0}};
    const int n = ppoll(fds, hungUp || deaf_ ? 1 : 2, bounded ? &timeout : nullptr, nullptr);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents != 0) {
      char drained[64];
      while (::read(wake_[0], drained, sizeof drained) > 0) {
      }
      if (stopping_) return;
    }
    if (hungUp) {
      hungUp = false;
      continue;
    }
    if (fds[1].revents & POLLIN) {
      if (std::optional<Incoming> chunk = readChunk(buffer)) {
        // Its bytes follow the ones still on the wire, or start now on an idle line.
        rxFree = std::max(rxFree, chunk->arrival) +
                 TransmissionTime(chunk->bytes.size(), chunk->sentWith);
        chunk->due = rxFree;
        incoming.push_back(std::move(*chunk));
        continue;
      }
      if (errno == EINTR || errno == EAGAIN) continue;
    }
    if (fds[1].revents & (POLLHUP | POLLERR | POLLIN)) hungUp = true;
  }
}

bool PtyLink::isBlockAnswer(std::span<const std::uint8_t> bytes) const {
  return module_ && module_->mode() == SimModule::Mode::Loader && bytes.size() == 1 &&
         (bytes[0] == kAck || bytes[0] == kNak);
}

void PtyLink::send(std::span<const std::uint8_t> bytes, LineSettings sentWith) {
  Outgoing reply{std::vector<std::uint8_t>(bytes.begin(), bytes.end()), sentWith,
                 handling_ ? handling_->due : Clock::now(), isBlockAnswer(bytes),
                 attachment_.load()};
  if (!paced_) {
    transmit(reply);
    return;
  }
  // An answer made while the module handles a chunk leaves when that chunk was complete.
  {
    std::lock_guard lock(outboxMutex_);
    outbox_.push_back(std::move(reply));
  }
  const char wake = 1;
  [[maybe_unused]] const ssize_t n = ::write(wake_[1], &wake, 1);
}

void PtyLink::transmit(const Outgoing& reply) {
  // The module that sent it has been taken off the port while the reply waited for the line.
  if (reply.attachment != attachment_.load()) return;
  const std::optional<LineSettings> host = hostSettings();
  std::string reason;
  std::size_t done = 0;
  if (host && *host == reply.sentWith) {
    // Noted before the write: the host's answer may be read before the write returns.
    if (reply.blockAnswer) answerWrittenAt_ = Nanoseconds(Clock::now());
    done = WriteAll(master_, reply.bytes);
    if (done == reply.bytes.size()) return;
    if (reply.blockAnswer) answerWrittenAt_ = 0;
    reason = "the host is not reading";
  }
  std::vector<std::uint8_t> lost(reply.bytes.begin() + static_cast<std::ptrdiff_t>(done),
                                 reply.bytes.end());
  if (!paced_) {
    if (module_) module_->reportLost(lost, reply.sentWith, host, reason);
    return;
  }
  loop_.post([weak = std::weak_ptr<PtyLink*>(self_), lost = std::move(lost),
              sentWith = reply.sentWith, host, reason, attachment = reply.attachment] {
    const auto self = weak.lock();
    PtyLink* link = self ? *self : nullptr;
    if (!link || !link->module_ || link->attachment_.load() != attachment) return;
    link->module_->reportLost(lost, sentWith, host, reason);
  });
}

}  // namespace movrand::sim

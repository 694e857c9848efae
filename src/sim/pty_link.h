// The module's end of a pseudo-terminal: the host opens the other end as a serial port.
//
// The master is opened once and kept across any number of host opens and closes. For every
// chunk received the link reads the host's settings from its side of the terminal (rate and
// parity of the slave) and hands both to the module. A reply goes out only while the host has
// the port open at the module's rate and parity; otherwise it is lost, as it would be on a
// real line (the kernel would keep it for the next open), and the module records the loss.
//
// A pseudo-terminal passes bytes on at once. Paced, the link behaves like a line instead: a
// chunk from the host reaches the module only when its last byte would be off the wire (each
// byte after the one before, at the host's rate), and a reply reaches the host only after its
// own wire time, counted from when the module had the chunk it answers. The link's thread
// keeps both deadlines to the microsecond, sleeping in the kernel until the next one.
//
// Either way the link measures the host's turnaround: from each ACK or NAK the loader writes
// to the first byte the host sends after it.
//
// The module on the link may change while the link stays (a fixture puts one module after
// another on the same port) or be none at all: then the host's bytes are read and dropped and
// nothing answers. Replies of a module taken off that are still on their way are dropped too.
//
// A thread of the link waits on the master; everything else runs on the loop's thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "platform/event_loop.h"
#include "sim/module.h"

namespace movrand::sim {

// Median, 99th percentile and maximum of a set of turnarounds, in microseconds.
struct TurnaroundFigures {
  std::int64_t count = 0;
  std::int64_t median = 0;
  std::int64_t p99 = 0;
  std::int64_t max = 0;
};
TurnaroundFigures Summarise(std::vector<std::int64_t> micros);

class PtyLink {
 public:
  // `module` may be null: a port with nothing on it yet.
  PtyLink(EventLoop& loop, SimModule* module, bool paced = false);
  ~PtyLink();  // stops the reader, detaches the module and closes the master
  PtyLink(const PtyLink&) = delete;
  PtyLink& operator=(const PtyLink&) = delete;

  // Creates the pseudo-terminal, sets its host side raw at `initial` and attaches the module.
  // False with `error` set when the system refuses.
  bool open(LineSettings initial, std::string& error);
  // Puts `module` on the link in place of the one there (null for none). Loop thread only;
  // the module must stay alive until it is replaced or the link is gone.
  void attach(SimModule* module);
  const std::string& slavePath() const { return slavePath_; }

  // Starts and stops the link's thread.
  void start();
  void stop();

  // The host's settings now, nothing while it has the port closed.
  std::optional<LineSettings> hostSettings() const;

  // The host's turnarounds measured so far, in microseconds. Only after `stop`.
  TurnaroundFigures turnarounds() const { return Summarise(turnarounds_); }
  const std::vector<std::int64_t>& turnaroundSamples() const { return turnarounds_; }

 private:
  using Clock = std::chrono::steady_clock;
  // A reply of the module on its way to the host.
  struct Outgoing {
    std::vector<std::uint8_t> bytes;
    LineSettings sentWith;
    Clock::time_point due;  // when the module sent it; once scheduled, when it is off the wire
    bool blockAnswer = false;
    std::uint64_t attachment = 0;  // of the module that sent it
  };
  // A chunk from the host on its way to the module.
  struct Incoming {
    std::vector<std::uint8_t> bytes;
    LineSettings sentWith;
    Clock::time_point arrival;  // its first byte
    Clock::time_point due;      // its last byte off the wire
  };

  void hook(SimModule& module);
  void unhook(SimModule& module);
  void readerLoop();
  void pacedLoop();
  // Reads one chunk from the master, notes the turnaround it ends; nothing when none was there.
  std::optional<Incoming> readChunk(std::vector<std::uint8_t>& buffer);
  void deliver(Incoming chunk);
  void send(std::span<const std::uint8_t> bytes, LineSettings sentWith);
  // Writes a reply now, if the host can take it; the loss goes to the module's loop.
  void transmit(const Outgoing& reply);
  bool isBlockAnswer(std::span<const std::uint8_t> bytes) const;

  EventLoop& loop_;
  SimModule* module_;
  // Counts the modules put on the link; the link's thread reads it to drop the replies of one
  // taken off.
  std::atomic<std::uint64_t> attachment_{0};
  // Lets work posted to the loop find out that the link has gone meanwhile.
  std::shared_ptr<PtyLink*> self_;
  const bool paced_;
  int master_ = -1;
  int wake_[2] = {-1, -1};
  std::string slavePath_;
  std::thread reader_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> deaf_{false};  // the module stopped reading: the master is not read

  // Loop thread: the chunk the module is handling, while it handles it.
  const Incoming* handling_ = nullptr;
  // Paced: replies the module sent, for the link's thread to schedule.
  std::mutex outboxMutex_;
  std::deque<Outgoing> outbox_;
  // When the last ACK or NAK was written (nanoseconds of Clock; 0 once the host has answered
  // it). Written by whichever thread writes replies, read by the link's thread.
  std::atomic<std::int64_t> answerWrittenAt_{0};
  std::vector<std::int64_t> turnarounds_;  // the link's thread
};

}  // namespace movrand::sim

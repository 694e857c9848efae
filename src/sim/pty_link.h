// The module's end of a pseudo-terminal: the host opens the other end as a serial port.
//
// The master is opened once and kept across any number of host opens and closes. For every
// chunk received the link reads the host's settings from its side of the terminal (rate and
// parity of the slave) and hands both to the module. A reply goes out only while the host has
// the port open at the module's rate and parity; otherwise it is lost, as it would be on a
// real line (the kernel would keep it for the next open), and the module records the loss.
// A reader thread waits on the master; everything else runs on the loop's thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <thread>

#include "platform/event_loop.h"
#include "sim/module.h"

namespace movrand::sim {

class PtyLink {
 public:
  PtyLink(EventLoop& loop, SimModule& module);
  ~PtyLink();  // stops the reader and closes the master
  PtyLink(const PtyLink&) = delete;
  PtyLink& operator=(const PtyLink&) = delete;

  // Creates the pseudo-terminal, sets its host side raw at `initial` and attaches the module.
  // False with `error` set when the system refuses.
  bool open(LineSettings initial, std::string& error);
  const std::string& slavePath() const { return slavePath_; }

  // Starts and stops the reader thread.
  void start();
  void stop();

  // The host's settings now, nothing while it has the port closed.
  std::optional<LineSettings> hostSettings() const;

 private:
  void readerLoop();
  void send(std::span<const std::uint8_t> bytes, LineSettings sentWith);

  EventLoop& loop_;
  SimModule& module_;
  int master_ = -1;
  int wake_[2] = {-1, -1};
  std::string slavePath_;
  std::thread reader_;
};

}  // namespace movrand::sim

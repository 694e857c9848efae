// Ties the serial link to a main window for as long as the session object lives: received
// chunks go to the window's receive handler, every write passes the traffic log, and a lost
// device is reported in the log pane. Each front end (window, headless, tests) makes one.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "platform/event_loop.h"
#include "platform/serial_device.h"

namespace movrand {

class TMainForm;

class CommSession {
 public:
  // `received`, when given, sees every received chunk before the window's receive handler
  // (a front end that listens on the port between the window's procedures).
  using ReceivedTap = std::function<void(std::span<const std::uint8_t>)>;
  CommSession(TMainForm& form, EventLoop& loop, SerialDriver& driver, ReceivedTap received = {});
  ~CommSession();  // closes the port and waits for its reader
  CommSession(const CommSession&) = delete;
  CommSession& operator=(const CommSession&) = delete;
};

}  // namespace movrand

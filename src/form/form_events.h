// What happened, as the main window announces it: one event per outcome a front end or a
// script acts on, with a kind and its data, so that nobody has to read it back out of the
// log pane. The log pane keeps its lines; each event carries the line the window wrote for
// it (`text`, without the time stamp) where there is one.
//
// The procedures announce while their handler runs; a listener must not press buttons or
// run handlers from inside the announcement (post that to the loop instead). Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/serial_device.h"
#include "protocol/rx_mode.h"

namespace movrand {

// What the window waits for from the module after an event of kind `Waiting`.
enum class WaitFor : std::uint8_t {
  Nothing,
  ProgrammingRate,  // the rate command went out: the module's answer at the programming rate
  LoaderStart,      // the loader-entry command went out: the loader's start requests
  ModuleRestart,    // the image is in: the module restarting (no answer is expected)
  Reconnect,        // the restart wait is over: the reconnect after a short pause
};

struct FormEvent {
  enum class Kind : std::uint8_t {
    Identified,              // a version reply: port, baud, protocol, version
    ProgrammingStarted,      // confirmed: totalBytes, programmingRate (0: the link is fast enough)
    Waiting,                 // waitFor
    BlockSent,               // blockNumber, sentBytes, totalBytes, blocksRepeated
    LoadingCompleted,        // sentBytes, totalBytes, blocksRepeated
    AbortedAfterRejections,  // blockNumber, sentBytes, totalBytes, blocksRepeated
    Cancelled,               // the Cancel action; duringTransfer
    ConfirmationDeclined,    // the warning before programming was answered with Cancel
    ImageRejected,           // the image cannot be programmed (text says why)
    NoPortSelected,          // Connect without a usable port name
    PortUnavailable,         // port, openError: a fixed-rate or scan-start open failed
    PortLost,                // port: the device behind the open port has gone
    NotResponding,           // port, baud, protocol: probes unanswered
    DeviceNotFound,          // the protocol search ended; portOpened, openError
    ReconnectFailed,         // the module did not come back after programming
    UpgradeFinished,         // port, baud, protocol, version, previousVersion
    Disconnected,            // the user closed the connection
    RateRefused,             // baud: the port's driver did not take the rate
  };

  Kind kind = Kind::Identified;
  std::string text{};  // the message the window wrote for it, without the time stamp

  // The link: the port of the attempt, the rate and protocol it was at.
  std::string port{};
  std::uint32_t baud = 0;
  RxMode protocol = RxMode::Idle;  // Nmea or Binr where a link is meant
  OpenError openError = OpenError::None;
  bool portOpened = false;  // DeviceNotFound: an open succeeded during the search

  // What the module reported: its version texts joined by a blank.
  std::string version{};
  std::string previousVersion{};  // UpgradeFinished: the version before programming

  // The transfer.
  std::uint32_t programmingRate = 0;
  int blockNumber = 0;          // the number the block carried (0 to 255)
  std::int64_t sentBytes = 0;   // image bytes sent, up to the end of the block sent last
  std::int64_t totalBytes = 0;  // image bytes to send
  int blocksRepeated = 0;       // blocks sent again after a rejection
  bool duringTransfer = false;  // Cancelled: the loader exchange was running

  WaitFor waitFor = WaitFor::Nothing;
};

// A short name of each kind for scripts: "identified", "block-sent", ...
std::string_view EventKindName(FormEvent::Kind kind);
std::string_view WaitForName(WaitFor wait);
// "NMEA" or "BINR" for a link mode; empty for the others.
std::string_view ProtocolName(RxMode mode);

// Hands every event to every listener, in the order they started listening.
class FormEvents {
 public:
  using Listener = std::function<void(const FormEvent&)>;

  // Returns the listener's number for `Unlisten`.
  int Listen(Listener listener);
  void Unlisten(int id);
  void Announce(const FormEvent& event) const;

 private:
  std::vector<std::pair<int, Listener>> listeners_;
  int nextId_ = 1;
};

}  // namespace movrand

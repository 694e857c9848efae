// A module with a USB interface of its own leaves the bus when it restarts after a firmware
// load and comes back once it is up again, maybe under another name: the host's open port
// hangs up, and the port to reopen appears anew.
//
// VanishOnRestart plays that on the port of a module alone. At each restart with a new image
// the module's port goes (FixturePort::detach with TakeOff::Vanish) a moment after the ACK of
// EOT; when the module is running again, a new port is made with the module on it
// (FixturePort::attach). Which name the new port gets is the port's business. Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/event_loop.h"
#include "sim/delay_queue.h"
#include "sim/fixture.h"
#include "sim/module.h"

namespace movrand::sim {

// From the ACK of EOT to the port going. A module leaves the bus as its restart gets under
// way, not with its last byte: by then the host has the ACK in hand, where a hang-up at once
// would throw it away unread. A restart shorter than this takes the port with it at its end.
inline constexpr Milliseconds kBusLeaveDelay{200};

class VanishOnRestart {
 public:
  // Watches `module`, already attached to `port` (its observer is taken for that); both must
  // outlive this.
  VanishOnRestart(EventLoop& loop, SimModule& module, FixturePort& port);
  ~VanishOnRestart();
  VanishOnRestart(const VanishOnRestart&) = delete;
  VanishOnRestart& operator=(const VanishOnRestart&) = delete;

  // Told when the port cannot be made anew; the module then stays without one.
  void setPortFailed(std::function<void(const std::string&)> failed) {
    portFailed_ = std::move(failed);
  }

  // True while the module has no port.
  bool gone() const { return state_ != State::Present; }
  // Times the port went so far.
  std::int64_t vanished() const { return vanished_; }

 private:
  enum class State {
    Present,  // on its port
    Leaving,  // restarting with a new image; the port goes after kBusLeaveDelay
    Gone,     // no port until the module is up again
    Failed,   // a new port could not be made
  };
  void observe(SimModule::Milestone milestone);
  void leave();
  void comeBack();

  SimModule& module_;
  FixturePort& port_;
  std::function<void(const std::string&)> portFailed_;
  State state_ = State::Present;
  std::int64_t vanished_ = 0;
  // The port's going and coming back, never inside the module's own call that told the moment.
  DelayQueue queue_;
};

}  // namespace movrand::sim

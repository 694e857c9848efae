#include "sim/vanish.h"

namespace movrand::sim {

VanishOnRestart::VanishOnRestart(EventLoop& loop, SimModule& module, FixturePort& port)
    : module_(module), port_(port), queue_(loop) {
  module_.setObserver([this](SimModule::Milestone m) { observe(m); });
}

VanishOnRestart::~VanishOnRestart() {
  module_.setObserver(nullptr);
}

void VanishOnRestart::observe(SimModule::Milestone milestone) {
  switch (milestone) {
    case SimModule::Milestone::ImageRestart:
      if (state_ != State::Present) return;
      state_ = State::Leaving;
      queue_.after(kBusLeaveDelay, [this] { leave(); });
      return;
    case SimModule::Milestone::BackUp:
      // A restart without a new image (the loader's time-out) keeps the port.
      if (state_ == State::Leaving || state_ == State::Gone) {
        queue_.after(Milliseconds{0}, [this] { comeBack(); });
      }
      return;
    case SimModule::Milestone::VersionAnswered:
    case SimModule::Milestone::ForcedRejection:
      return;
  }
}

void VanishOnRestart::leave() {
  if (state_ != State::Leaving) return;
  port_.detach(TakeOff::Vanish);
  state_ = State::Gone;
  ++vanished_;
}

void VanishOnRestart::comeBack() {
  // Up again before its leaving time: the port still goes, so that the host sees the module
  // leave and come back as after any restart with a new image.
  if (state_ == State::Leaving) {
    queue_.clear();
    leave();
  }
  if (state_ != State::Gone) return;
  std::string error;
  if (!port_.attach(module_, error)) {
    state_ = State::Failed;
    if (portFailed_) portFailed_(error);
    return;
  }
  state_ = State::Present;
}

}  // namespace movrand::sim

#include "form/form_events.h"

#include <algorithm>

namespace movrand {

std::string_view EventKindName(FormEvent::Kind kind) {
  using K = FormEvent::Kind;
  switch (kind) {
    case K::Identified:
      return "identified";
    case K::ProgrammingStarted:
      return "programming-started";
    case K::Waiting:
      return "waiting";
    case K::BlockSent:
      return "block-sent";
    case K::LoadingCompleted:
      return "loading-completed";
    case K::AbortedAfterRejections:
      return "aborted-after-rejections";
    case K::Cancelled:
      return "cancelled";
    case K::ConfirmationDeclined:
      return "confirmation-declined";
    case K::ImageRejected:
      return "image-rejected";
    case K::NoPortSelected:
      return "no-port-selected";
    case K::PortUnavailable:
      return "port-unavailable";
    case K::PortLost:
      return "port-lost";
    case K::NotResponding:
      return "not-responding";
    case K::DeviceNotFound:
      return "device-not-found";
    case K::ReconnectFailed:
      return "reconnect-failed";
    case K::UpgradeFinished:
      return "upgrade-finished";
    case K::Disconnected:
      return "disconnected";
    case K::RateRefused:
      return "rate-refused";
  }
  return "unknown";
}

std::string_view WaitForName(WaitFor wait) {
  switch (wait) {
    case WaitFor::Nothing:
      return "nothing";
    case WaitFor::ProgrammingRate:
      return "programming-rate";
    case WaitFor::LoaderStart:
      return "loader-start";
    case WaitFor::ModuleRestart:
      return "module-restart";
    case WaitFor::Reconnect:
      return "reconnect";
  }
  return "nothing";
}

std::string_view ProtocolName(RxMode mode) {
  switch (mode) {
    case RxMode::Nmea:
      return "NMEA";
    case RxMode::Binr:
      return "BINR";
    default:
      return {};
  }
}

int FormEvents::Listen(Listener listener) {
  const int id = nextId_++;
  listeners_.emplace_back(id, std::move(listener));
  return id;
}

void FormEvents::Unlisten(int id) {
  std::erase_if(listeners_, [id](const auto& entry) { return entry.first == id; });
}

void FormEvents::Announce(const FormEvent& event) const {
  // A copy: a listener may stop listening while it is told.
  const auto listeners = listeners_;
  for (const auto& [id, listener] : listeners) {
    if (listener) listener(event);
  }
}

}  // namespace movrand

#include "comm/comm.h"

#include <algorithm>
#include <array>
#include <memory>
#include <vector>

#include "comm/read_thread.h"

namespace movrand {
namespace {

// The link's module state. Main thread only; the reader threads see nothing of it but the
// device reference and handlers each was given.
struct CommState {
  EventLoop* loop = nullptr;
  SerialDriver* driver = nullptr;
  CommHandlers handlers;
  std::shared_ptr<SerialDevice> PortHandle;  // the open port; null when closed
  std::unique_ptr<ReadThread> Reader;        // the reader of the open port
  // Readers of ports already closed, still winding down; joined once they have finished.
  std::vector<std::unique_ptr<ReadThread>> stopping;
  std::array<std::uint8_t, kTxBufferSize> TxBuffer{};
  std::size_t TxUsed = 0;  // bytes of TxBuffer the last write left non-zero
  OpenError lastOpenError = OpenError::None;
};

CommState& state() {
  static CommState s;
  return s;
}

void reapFinishedReaders() {
  auto& stopping = state().stopping;
  std::erase_if(stopping, [](const auto& reader) { return reader->Finished(); });
}

}  // namespace

void CommAttach(EventLoop& loop, SerialDriver& driver, CommHandlers handlers) {
  CommDetach();
  CommState& s = state();
  s.loop = &loop;
  s.driver = &driver;
  s.handlers = std::move(handlers);
}

void CommDetach() {
  ClosePort();
  CommState& s = state();
  // Terminated readers never wait for the main thread, so joining here cannot deadlock.
  s.stopping.clear();
  s.loop = nullptr;
  s.driver = nullptr;
  s.handlers = {};
}

bool OpenPort(std::string_view portName, std::uint32_t baudRate, std::uint8_t parity) {
  CommState& s = state();
  reapFinishedReaders();
  s.lastOpenError = OpenError::Failed;
  if (!s.driver || !s.loop || s.PortHandle) return false;
  if (portName.size() > kMaxPortNameLength) {
    s.lastOpenError = OpenError::Missing;  // no port has a name that long
    return false;
  }
  if (parity != static_cast<std::uint8_t>(Parity::None) &&
      parity != static_cast<std::uint8_t>(Parity::Odd)) {
    s.lastOpenError = OpenError::SettingsRefused;
    return false;
  }
  std::shared_ptr<SerialDevice> device =
      s.driver->openPort(portName, baudRate, static_cast<Parity>(parity), s.lastOpenError);
  if (!device) {
    if (s.lastOpenError == OpenError::None) s.lastOpenError = OpenError::Failed;
    return false;
  }
  s.lastOpenError = OpenError::None;
  s.PortHandle = device;
  const bool selfDelivering = device->deliverOnMainThread(
      [weak = std::weak_ptr<SerialDevice>(device)](std::span<const std::uint8_t> bytes) {
        CommState& st = state();
        // Only the port that is open now may deliver.
        if (bytes.empty() || st.PortHandle != weak.lock()) return;
        if (st.handlers.dataReceived) {
          st.handlers.dataReceived(bytes.data(), static_cast<int>(bytes.size()));
        }
      });
  if (!selfDelivering) s.Reader = std::make_unique<ReadThread>(*s.loop, device, s.handlers);
  return true;
}

void ClosePort() {
  CommState& s = state();
  if (s.Reader) {
    s.Reader->Terminate();
    s.stopping.push_back(std::move(s.Reader));
  }
  if (s.PortHandle) {
    s.PortHandle->close();  // wakes the reader's pending wait
    s.PortHandle.reset();
  }
  reapFinishedReaders();
}

int WritePort(const std::uint8_t* data, int length) {
  CommState& s = state();
  if (length < 0 || (length > 0 && !data)) return 0;
  const std::span<const std::uint8_t> bytes(data, static_cast<std::size_t>(length));
  if (s.handlers.sent) s.handlers.sent(bytes);
  if (!s.PortHandle) return 0;
  std::size_t written = 0;
  for (std::size_t at = 0; at < bytes.size(); at += s.TxBuffer.size()) {
    const auto piece = bytes.subspan(at, std::min(s.TxBuffer.size(), bytes.size() - at));
    // The piece followed by zeros, as a fresh zero fill would leave it.
    std::copy(piece.begin(), piece.end(), s.TxBuffer.begin());
    if (s.TxUsed > piece.size()) {
      std::fill(s.TxBuffer.begin() + static_cast<std::ptrdiff_t>(piece.size()),
                s.TxBuffer.begin() + static_cast<std::ptrdiff_t>(s.TxUsed), std::uint8_t{0});
    }
    s.TxUsed = piece.size();
    const std::size_t n = s.PortHandle->write(std::span(s.TxBuffer).first(piece.size()));
    written += n;
    if (n < piece.size()) break;
  }
  return static_cast<int>(written);
}

bool SetPortBaud(std::uint32_t baudRate) {
  CommState& s = state();
  return s.PortHandle && s.PortHandle->setBaud(baudRate);
}

OpenError LastOpenError() {
  return state().lastOpenError;
}

bool PortIsOpen() {
  return state().PortHandle != nullptr;
}

}  // namespace movrand

// A fake serial driver for tests that look at what the program writes to the port.
//
// Each `write` on an open port is recorded whole, so a test can check both the bytes and
// that a frame went out in one write. The device delivers input on the main thread through
// `receive`, so no reader thread runs and everything stays on the virtual clock.
// `CapturedLink` attaches the serial link to a `VirtualEventLoop` and this driver for the
// lifetime of a test, and can open a port at once.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "comm/comm.h"
#include "platform/serial_device.h"
#include "platform/virtual_event_loop.h"

namespace movrand::test {

using Bytes = std::vector<std::uint8_t>;

class CaptureSerialDriver : public SerialDriver {
 public:
  struct Line {
    std::vector<Bytes> writes;  // every write, in order, each whole
    std::string name;           // the last port opened
    std::uint32_t baud = 0;     // its current rate
    Parity parity = Parity::None;
    int opens = 0;
    bool open = false;
    SerialDevice::Sink sink;
  };

  std::unique_ptr<SerialDevice> openPort(std::string_view name, std::uint32_t baud, Parity parity,
                                         OpenError& error) override {
    error = refuseOpen ? refusal : OpenError::None;
    if (refuseOpen) return nullptr;
    line_->name = std::string(name);
    line_->baud = baud;
    line_->parity = parity;
    line_->open = true;
    ++line_->opens;
    return std::make_unique<Device>(line_);
  }

  const std::vector<Bytes>& writes() const { return line_->writes; }
  // All bytes written so far, as one string.
  Bytes written() const {
    Bytes all;
    for (const Bytes& w : line_->writes) all.insert(all.end(), w.begin(), w.end());
    return all;
  }
  void clearWrites() { line_->writes.clear(); }
  const Line& line() const { return *line_; }

  // Hands `bytes` to the link as one received chunk (only while a port is open).
  void receive(std::span<const std::uint8_t> bytes) const {
    if (line_->open && line_->sink) line_->sink(bytes);
  }
  void receive(const Bytes& bytes) const { receive(std::span<const std::uint8_t>(bytes)); }

  bool refuseOpen = false;
  OpenError refusal = OpenError::Busy;  // the reason a refused open gives

 private:
  class Device : public SerialDevice {
   public:
    explicit Device(std::shared_ptr<Line> line) : line_(std::move(line)) {}
    bool setBaud(std::uint32_t baud) override {
      if (closed_) return false;
      line_->baud = baud;
      return true;
    }
    std::size_t write(std::span<const std::uint8_t> bytes) override {
      if (closed_) return 0;
      line_->writes.emplace_back(bytes.begin(), bytes.end());
      return bytes.size();
    }
    WaitResult wait() override { return WaitResult::Closed; }
    std::size_t read(std::span<std::uint8_t>) override { return 0; }
    void close() override {
      if (closed_) return;
      closed_ = true;
      line_->open = false;
      line_->sink = nullptr;
    }
    bool deliverOnMainThread(Sink sink) override {
      line_->sink = std::move(sink);
      return true;
    }

   private:
    std::shared_ptr<Line> line_;
    bool closed_ = false;
  };

  std::shared_ptr<Line> line_ = std::make_shared<Line>();
};

// The serial link attached to a virtual loop and a capturing driver, detached on destruction.
struct CapturedLink {
  explicit CapturedLink(CommHandlers handlers = {}) {
    CommAttach(loop, driver, std::move(handlers));
  }
  ~CapturedLink() { CommDetach(); }
  CapturedLink(const CapturedLink&) = delete;
  CapturedLink& operator=(const CapturedLink&) = delete;

  bool open(std::uint32_t baud = 115200, Parity parity = Parity::None) {
    return OpenPort("ttyCAPTURE", baud, static_cast<std::uint8_t>(parity));
  }

  VirtualEventLoop loop;
  CaptureSerialDriver driver;
};

}  // namespace movrand::test

// Serial ports on Windows: overlapped I/O on "\\.\" + the port name, so that the reader can
// wait for port events while the main thread writes on the same handle.
//
// Each open port has its own handle, overlapped records and events. The rule that keeps the
// heap whole: an overlapped operation writes into its OVERLAPPED record, its event mask and
// its buffer until it has completed, also after it was cancelled. So nothing an operation
// points at is reused or freed, and the handle is not closed, before its completion has been
// waited for (GetOverlappedResult with wait). `close` cancels every pending operation of the
// handle (a new event mask and CancelIoEx), waits until the reader and a write have collected their
// completions, and only then closes the handle.
//
// No write time-outs are set on the port; the write waits for its completion itself, at most
// its `WriteTimeLimit`. A write that does not complete by then is cancelled, and the device
// counts as lost: the reader's pending wait is cancelled too and reports the loss. At close
// the port gets back the settings and time-outs it had before the open.
#include <windows.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <string>

#include "platform/serial_device.h"

namespace movrand {
namespace {

constexpr DWORD kQueueSize = 2048;  // driver input and output queues, bytes
constexpr DWORD kPurgeAll = 0x0F;   // PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR
constexpr DWORD kEventMask = EV_RXCHAR | EV_ERR;  // 0x81: a byte arrived, a line error occurred

// A manual-reset event, closed with its owner.
class Event {
 public:
  explicit Event(bool signalled) : handle_(CreateEventA(nullptr, TRUE, signalled, nullptr)) {}
  ~Event() {
    if (handle_) CloseHandle(handle_);
  }
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != nullptr; }

 private:
  HANDLE handle_;
};

// Whether the driver took `wanted`: a driver may accept a setting and apply another (a rate
// it cannot make, a parity it drops), which is a refusal too.
bool Applied(HANDLE port, const DCB& wanted) {
  DCB now{};
  now.DCBlength = sizeof now;
  if (!GetCommState(port, &now)) return false;
  return now.BaudRate == wanted.BaudRate && now.ByteSize == wanted.ByteSize &&
         now.Parity == wanted.Parity && now.StopBits == wanted.StopBits &&
         now.fOutX == wanted.fOutX && now.fInX == wanted.fInX;
}

// Sets `wanted` and checks that it holds.
bool Apply(HANDLE port, DCB wanted) {
  return SetCommState(port, &wanted) && Applied(port, wanted);
}

// What the port had before the open, put back at close: it is borrowed.
struct PreviousSettings {
  DCB dcb{};
  COMMTIMEOUTS timeouts{};
  bool known = false;
};

class Win32SerialDevice final : public SerialDevice {
 public:
  Win32SerialDevice(HANDLE port, const DCB& settings, const PreviousSettings& previous)
      : port_(port), settings_(settings), previous_(previous) {
    readOverlapped_.hEvent = readEvent_.get();
  }
  ~Win32SerialDevice() override { close(); }

  bool setBaud(std::uint32_t baud) override {
    std::lock_guard lock(mutex_);
    if (closing_) return false;
    DCB current{};
    current.DCBlength = sizeof current;
    if (!GetCommState(port_, &current)) return false;
    // Only the rate changes: the data bits, parity and stop bits stay those of the open,
    // whatever the driver reports (a value it reports may be one it refuses when set).
    DCB wanted = settings_;
    wanted.BaudRate = baud;
    if (!Apply(port_, wanted)) {
      SetCommState(port_, &settings_);  // a refused rate leaves the link as it was
      return false;
    }
    settings_ = wanted;
    return true;
  }

  std::size_t write(std::span<const std::uint8_t> bytes) override {
    std::lock_guard writeLock(writeMutex_);
    OVERLAPPED overlapped{};
    overlapped.hEvent = writeEvent_.get();
    DWORD written = 0;
    DWORD limit = 0;
    {
      std::lock_guard lock(mutex_);
      // A device that could not take a write before takes none: each would wait its limit.
      if (closing_ || writeLost_ || bytes.empty() || !writeEvent_.valid()) return 0;
      const Parity parity = settings_.Parity == NOPARITY ? Parity::None : Parity::Odd;
      limit = static_cast<DWORD>(WriteTimeLimit(bytes.size(), settings_.BaudRate, parity).count());
      // Started under the lock, so that a `close` either sees it pending and cancels it, or
      // comes first and it is never started.
      ResetEvent(writeEvent_.get());
      if (WriteFile(port_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, &overlapped)) {
        return written;
      }
      if (GetLastError() != ERROR_IO_PENDING) {
        // The device refused the write (an adapter pulled out refuses them all).
        lostLocked();
        return 0;
      }
      writePending_ = true;
    }
    // The write completes when the driver has sent every byte, when `close` cancels it, or
    // it is cancelled here once its time is up. Its completion is collected in every case.
    HANDLE handles[2] = {writeEvent_.get(), closeEvent_.get()};
    const DWORD woke = WaitForMultipleObjects(2, handles, FALSE, limit);
    if (woke != WAIT_OBJECT_0) CancelIoEx(port_, &overlapped);
    // Waits for the completion only: the write has finished or was cancelled just now, and
    // its record and buffer may not be let go before the driver is done with them.
    if (!GetOverlappedResult(port_, &overlapped, &written, TRUE)) {
      // A cancelled write may still have sent some of its bytes; the count says how many.
      if (GetLastError() != ERROR_OPERATION_ABORTED) written = 0;
    }
    settled(writePending_);
    // Short of a close, a write that did not get its bytes out (in time, or at all) found a
    // device that takes no data.
    if (written < bytes.size()) deviceLost();
    return written;
  }

  WaitResult wait() override {
    for (;;) {
      if (pendingError_) {
        pendingError_ = false;
        return WaitResult::LineError;
      }
      bool failed = false;
      bool pending = false;
      {
        std::lock_guard lock(mutex_);
        if (closing_) return WaitResult::Closed;
        failed = failed_;
        if (failed_ && !failureReported_) {
          // A port whose waits fail (the adapter was unplugged) is reported once;
          // afterwards only the close ends the wait, so the reader sleeps instead of spinning.
          failureReported_ = true;
          return WaitResult::Failed;
        }
        if (!failed_) {
          if (!maskSet_) maskSet_ = SetCommMask(port_, kEventMask) != 0;
          eventMask_ = 0;
          ResetEvent(readEvent_.get());
          if (!WaitCommEvent(port_, &eventMask_, &readOverlapped_)) {
            if (GetLastError() != ERROR_IO_PENDING) {
              failed_ = true;
              continue;
            }
            pending = readPending_ = true;
          }
        }
      }
      if (failed) {
        WaitForSingleObject(closeEvent_.get(), INFINITE);
        continue;
      }
      if (pending && !finish(readOverlapped_)) {
        std::lock_guard lock(mutex_);
        if (closing_) return WaitResult::Closed;
        failed_ = true;
        continue;
      }
      std::lock_guard lock(mutex_);
      if (closing_) return WaitResult::Closed;
      DWORD errors = 0;
      COMSTAT status{};
      ClearCommError(port_, &errors, &status);  // clears the error state after every event
      queued_ = status.cbInQue;
      const bool data = (eventMask_ & EV_RXCHAR) && queued_ > 0;
      const bool lineError = (eventMask_ & EV_ERR) != 0;
      if (data) {
        pendingError_ = lineError;  // told after the data it came with
        return WaitResult::Data;
      }
      if (lineError) return WaitResult::LineError;
    }
  }

  std::size_t read(std::span<std::uint8_t> into) override {
    DWORD got = 0;
    {
      std::lock_guard lock(mutex_);
      if (closing_ || into.empty() || queued_ == 0) return 0;
      // Never more than the buffer holds; the rest stays queued for the next event.
      const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(into.size(), queued_));
      queued_ = 0;
      ResetEvent(readEvent_.get());
      if (ReadFile(port_, into.data(), wanted, &got, &readOverlapped_)) return got;
      if (GetLastError() != ERROR_IO_PENDING) return 0;
      readPending_ = true;
    }
    // The bytes asked for are queued, so the read completes at once; the buffer is handed
    // on only once it has.
    if (!finish(readOverlapped_, &got)) return 0;
    std::lock_guard lock(mutex_);
    return closing_ ? 0 : got;
  }

  void close() override {
    std::unique_lock lock(mutex_);
    if (port_ == INVALID_HANDLE_VALUE) return;
    closing_ = true;
    SetEvent(closeEvent_.get());
    // A new event mask ends a pending wait for port events (some drivers do not let it be
    // cancelled); the cancel ends the reader's read and a write, from any thread.
    SetCommMask(port_, 0);
    CancelIoEx(port_, nullptr);
    idle_.wait(lock, [&] { return !readPending_ && !writePending_; });
    if (writeLost_) PurgeComm(port_, PURGE_TXABORT | PURGE_TXCLEAR);
    if (previous_.known) {
      PreviousSettings previous = previous_;  // the calls take the records as writable
      SetCommState(port_, &previous.dcb);
      SetCommTimeouts(port_, &previous.timeouts);
    }
    CloseHandle(port_);
    port_ = INVALID_HANDLE_VALUE;
  }

 private:
  // A write did not get its bytes out: no later write is tried, and the reader's pending wait
  // is ended so that it reports the loss (a new event mask ends a wait for port events, the cancel
  // one that some drivers keep).
  void deviceLost() {
    std::lock_guard lock(mutex_);
    lostLocked();
  }
  void lostLocked() {
    writeLost_ = true;
    if (closing_ || failed_) return;
    failed_ = true;
    failureReported_ = false;
    SetCommMask(port_, kEventMask);
    CancelIoEx(port_, &readOverlapped_);
  }

  // Reader thread: waits for the reader's pending operation to complete, cancelling it when
  // the port is being closed, and collects its completion. False when it failed or was
  // cancelled.
  bool finish(OVERLAPPED& overlapped, DWORD* transferred = nullptr) {
    HANDLE handles[2] = {closeEvent_.get(), overlapped.hEvent};
    if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) {
      CancelIoEx(port_, &overlapped);
    }
    DWORD count = 0;
    const bool ok = GetOverlappedResult(port_, &overlapped, &count, TRUE) != 0;
    if (transferred) *transferred = count;
    settled(readPending_);
    return ok;
  }

  // An operation has completed: its records may be used again and `close` may go on.
  void settled(bool& pending) {
    {
      std::lock_guard lock(mutex_);
      pending = false;
    }
    idle_.notify_all();
  }

  std::mutex mutex_;  // guards the flags below; the handle stays open while one is pending
  std::condition_variable idle_;  // no operation pending any more
  std::mutex writeMutex_;         // one write at a time
  HANDLE port_;
  DCB settings_;  // as opened, with the rate of the last accepted change
  const PreviousSettings previous_;
  Event readEvent_{false};
  Event writeEvent_{false};
  Event closeEvent_{false};  // set by `close`; until then every wait goes on
  OVERLAPPED readOverlapped_{};
  DWORD eventMask_ = 0;
  DWORD queued_ = 0;
  bool closing_ = false;
  bool readPending_ = false;   // the reader's WaitCommEvent or ReadFile has not completed
  bool writePending_ = false;  // a WriteFile has not completed
  bool maskSet_ = false;
  bool pendingError_ = false;  // reader thread only
  bool failed_ = false;
  bool failureReported_ = false;
  bool writeLost_ = false;  // a write ran out of time
};

// The reason for a failed CreateFileA of a port. A port that another program has open is
// refused as "access denied"; Windows has no other use for that answer on a serial port.
OpenError OpenFailure(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return OpenError::Missing;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return OpenError::Busy;
    default:
      return OpenError::Failed;
  }
}

class Win32SerialDriver final : public SerialDriver {
 public:
  std::unique_ptr<SerialDevice> openPort(std::string_view name, std::uint32_t baud, Parity parity,
                                         OpenError& error) override {
    error = OpenError::None;
    if (name.empty() || name.find('\0') != std::string_view::npos) {
      error = OpenError::Missing;
      return nullptr;
    }
    // The "\\.\" prefix makes ports numbered 10 and above openable.
    const std::string path = "\\\\.\\" + std::string(name);
    HANDLE port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
      error = OpenFailure(GetLastError());
      return nullptr;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    COMMTIMEOUTS timeouts{};  // all zero: no read or write time-outs
    PreviousSettings previous;
    bool ok = GetCommState(port, &dcb);
    if (ok) {
      previous.dcb = dcb;
      previous.known = GetCommTimeouts(port, &previous.timeouts) != 0;
      dcb.BaudRate = baud;
      dcb.fBinary = 1;
      dcb.fOutxCtsFlow = 0;
      dcb.fOutxDsrFlow = 0;
      dcb.fDtrControl = DTR_CONTROL_DISABLE;
      dcb.fDsrSensitivity = 0;
      // No XON/XOFF either way, whatever another program left on the port: a firmware image
      // holds 0x11 and 0x13 bytes, which would otherwise stall or lose the transfer.
      dcb.fOutX = 0;
      dcb.fInX = 0;
      dcb.fNull = 0;  // zero bytes are passed on
      dcb.fRtsControl = RTS_CONTROL_DISABLE;
      dcb.fAbortOnError = 0;
      dcb.ByteSize = 8;
      dcb.Parity = parity == Parity::Odd ? ODDPARITY : NOPARITY;
      dcb.StopBits = ONESTOPBIT;
      ok = Apply(port, dcb) && SetCommTimeouts(port, &timeouts);
    }
    if (!ok) {
      error = OpenError::SettingsRefused;
      CloseHandle(port);
      return nullptr;
    }
    SetupComm(port, kQueueSize, kQueueSize);
    PurgeComm(port, kPurgeAll);
    return std::make_unique<Win32SerialDevice>(port, dcb, previous);
  }
};

}  // namespace

SerialDriver& systemSerialDriver() {
  static Win32SerialDriver driver;
  return driver;
}

}  // namespace movrand

// Serial ports on Windows: overlapped I/O on "\\.\" + the port name, so that the reader can
// wait for port events while the main thread writes on the same handle. Each open port has
// its own handle, overlapped records and events; closing it sets a close event that ends the
// reader's wait at once, and the handle is closed under the lock that the reader holds
// whenever it touches the handle.
#include <windows.h>

#include <algorithm>
#include <mutex>
#include <string>

#include "platform/serial_device.h"

namespace movrand {
namespace {

constexpr DWORD kQueueSize = 2048;  // driver input and output queues, bytes
constexpr DWORD kPurgeAll = 0x0F;   // PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR
constexpr DWORD kEventMask = EV_RXCHAR | EV_ERR;  // 0x81: a byte arrived, a line error occurred

// A manual-reset event, initially signalled, closed with its owner.
class Event {
 public:
  Event() : handle_(CreateEventA(nullptr, TRUE, TRUE, nullptr)) {}
  ~Event() {
    if (handle_) CloseHandle(handle_);
  }
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

class Win32SerialDevice final : public SerialDevice {
 public:
  explicit Win32SerialDevice(HANDLE port) : port_(port) {
    readOverlapped_.hEvent = readEvent_.get();
  }
  ~Win32SerialDevice() override { close(); }

  bool setBaud(std::uint32_t baud) override {
    std::lock_guard lock(mutex_);
    if (port_ == INVALID_HANDLE_VALUE) return false;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port_, &dcb)) return false;
    dcb.BaudRate = baud;
    SetCommState(port_, &dcb);  // the queues and the other settings stay as they are
    return true;
  }

  std::size_t write(std::span<const std::uint8_t> bytes) override {
    std::lock_guard lock(writeMutex_);
    HANDLE port = INVALID_HANDLE_VALUE;
    {
      std::lock_guard handleLock(mutex_);
      port = port_;
    }
    if (port == INVALID_HANDLE_VALUE || bytes.empty()) return 0;
    Event done;
    OVERLAPPED overlapped{};
    overlapped.hEvent = done.get();
    DWORD written = 0;
    if (!WriteFile(port, bytes.data(), static_cast<DWORD>(bytes.size()), &written, &overlapped)) {
      if (GetLastError() != ERROR_IO_PENDING) return 0;
      // No write time-out is set: the write completes when the driver has sent every byte.
      if (!GetOverlappedResult(port, &overlapped, &written, TRUE)) return 0;
    }
    return written;
  }

  WaitResult wait() override {
    for (;;) {
      if (pendingError_) {
        pendingError_ = false;
        return WaitResult::LineError;
      }
      {
        std::lock_guard lock(mutex_);
        if (port_ == INVALID_HANDLE_VALUE) return WaitResult::Closed;
        if (failed_) {
          // A port whose waits fail at once (the adapter was unplugged) is reported once;
          // afterwards only the close ends the wait, so the reader sleeps instead of spinning.
          if (!failureReported_) {
            failureReported_ = true;
            return WaitResult::Failed;
          }
        } else {
          if (!maskSet_) maskSet_ = SetCommMask(port_, kEventMask) != 0;
          eventMask_ = 0;
          ResetEvent(readEvent_.get());
          if (!WaitCommEvent(port_, &eventMask_, &readOverlapped_) &&
              GetLastError() != ERROR_IO_PENDING) {
            failed_ = true;
            continue;
          }
        }
      }
      HANDLE handles[2] = {closeEvent_.get(), readEvent_.get()};
      const DWORD woke = WaitForMultipleObjects(failed_ ? 1 : 2, handles, FALSE, INFINITE);
      std::lock_guard lock(mutex_);
      if (port_ == INVALID_HANDLE_VALUE || woke == WAIT_OBJECT_0) return WaitResult::Closed;
      if (woke != WAIT_OBJECT_0 + 1) continue;
      DWORD transferred = 0;
      if (!GetOverlappedResult(port_, &readOverlapped_, &transferred, TRUE)) {
        failed_ = true;
        continue;
      }
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
    std::lock_guard lock(mutex_);
    if (port_ == INVALID_HANDLE_VALUE || into.empty() || queued_ == 0) return 0;
    // Never more than the buffer holds; the rest stays queued for the next event.
    const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(into.size(), queued_));
    DWORD got = 0;
    ResetEvent(readEvent_.get());
    if (!ReadFile(port_, into.data(), wanted, &got, &readOverlapped_)) {
      if (GetLastError() != ERROR_IO_PENDING) return 0;
      // The buffer is handed on only once the read has completed.
      if (!GetOverlappedResult(port_, &readOverlapped_, &got, TRUE)) return 0;
    }
    queued_ = 0;
    return got;
  }

  void close() override {
    std::lock_guard lock(mutex_);
    if (port_ == INVALID_HANDLE_VALUE) return;
    SetEvent(closeEvent_.get());
    CloseHandle(port_);  // cancels the pending port wait
    port_ = INVALID_HANDLE_VALUE;
  }

 private:
  std::mutex mutex_;       // guards port_ against close while the reader uses it
  std::mutex writeMutex_;  // one write at a time
  HANDLE port_;
  Event readEvent_;
  Event closeEvent_;
  OVERLAPPED readOverlapped_{};
  DWORD eventMask_ = 0;
  DWORD queued_ = 0;
  bool maskSet_ = false;
  bool pendingError_ = false;
  bool failed_ = false;
  bool failureReported_ = false;
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
    // The "\\.\" prefix makes ports numbered 10 and above openable.
    const std::string path = "\\\\.\\" + std::string(name);
    if (name.empty() || name.find('\0') != std::string_view::npos) {
      error = OpenError::Missing;
      return nullptr;
    }
    HANDLE port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
      error = OpenFailure(GetLastError());
      return nullptr;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    COMMTIMEOUTS timeouts{};  // all zero: no read or write time-outs
    bool ok = GetCommState(port, &dcb);
    if (ok) {
      dcb.BaudRate = baud;
      dcb.fBinary = 1;
      dcb.fOutxCtsFlow = 0;
      dcb.fOutxDsrFlow = 0;
      dcb.fDtrControl = DTR_CONTROL_DISABLE;
      dcb.fDsrSensitivity = 0;
      dcb.fNull = 0;  // zero bytes are passed on
      dcb.fRtsControl = RTS_CONTROL_DISABLE;
      dcb.fAbortOnError = 0;
      dcb.ByteSize = 8;
      dcb.Parity = parity == Parity::Odd ? ODDPARITY : NOPARITY;
      dcb.StopBits = ONESTOPBIT;
      ok = SetCommState(port, &dcb) && SetCommTimeouts(port, &timeouts);
    }
    if (!ok) {
      error = OpenError::SettingsRefused;
      CloseHandle(port);
      return nullptr;
    }
    SetupComm(port, kQueueSize, kQueueSize);
    PurgeComm(port, kPurgeAll);
    return std::make_unique<Win32SerialDevice>(port);
  }
};

}  // namespace

SerialDriver& systemSerialDriver() {
  static Win32SerialDriver driver;
  return driver;
}

}  // namespace movrand

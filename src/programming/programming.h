// The programming procedure: the Programming button with the image checks, loader entry, the
// XMODEM-CRC transfer driven by the loader's answers, its completion and abort, the progress
// line and the Cancel button.
//
// The procedure owns the image buffer and the sender (xmodem_sender.h) that holds the
// transfer's counters; it reaches the window only through its surface. Everything runs on the
// main thread: the button handlers, the progress timer and `LoaderByte`, to which the receive
// handler gives every byte that arrives while the window waits for the loader or transfers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "programming/xmodem_sender.h"
#include "protocol/form_surface.h"
#include "protocol/receive_parser.h"

namespace movrand {

// The firmware image buffer: 1 MiB, the largest image the program can send.
inline constexpr std::size_t kImageBufferSize = 1u << 20;

class Programming {
 public:
  // `receiver` tells a BINR module's version text for the mismatch line.
  Programming(FormSurface& form, const ReceiveHandler& receiver);
  Programming(const Programming&) = delete;
  Programming& operator=(const Programming&) = delete;

  void SpeedButtonProgramClick();
  // Loads and checks the chosen firmware file; false (with the log line written) when the
  // image cannot be programmed.
  bool LoadImage();
  void StartLoaderEntry();
  // One received byte while waiting for the loader or transferring; false when the rest of
  // the chunk is to be dropped.
  bool LoaderByte(std::uint8_t byte);
  void Timer1Timer();
  // The Cancel action.
  void SpeedButton1Click();

  std::vector<std::uint8_t> ImageBuffer;  // kImageBufferSize bytes, allocated once
  std::int32_t ImageLength = 0;           // bytes to send, a multiple of 128 once checked
  XmodemSender Sender;

 private:
  // Writes what the sender answered and keeps the window in step; false when the rest of the
  // chunk is to be dropped.
  bool Perform(const XmodemSender::Action& action);
  void BlockWritten(const XmodemSender::Action& action);
  void CompleteTransfer();
  void AbortTransfer();
  // The image is refused: writes `line` (time-stamped or not), gives the Open button back
  // and says so.
  void Rejected(const std::string& line, bool timed = true);

  FormSurface& form_;
  const ReceiveHandler& receiver_;
};

}  // namespace movrand

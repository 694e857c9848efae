// The programming procedure: the Programming button with the image checks, loader entry, the
// XMODEM-CRC transfer driven by the loader's answers, its completion and abort, the progress
// line and the Cancel button.
//
// The procedure owns the image buffer and the sender (xmodem_sender.h) that holds the
// transfer's counters; it reaches the window only through its surface. Everything runs on the
// main thread: the button handlers, the progress timer and `LoaderByte`, to which the receive
// handler gives every byte that arrives while the window waits for the loader or transfers.
//
// Reach: every control (the selectors, Edit1, OpenDialog1, SpeedButtonOpen, SpeedButtonSynch
// and its tag, SpeedButtonProgram, SpeedButton1, BitBtn1) to lock the window during the
// transfer and give it back; Timer1 (progress) and TimerRestart (rate follow, restart wait),
// and it stops every probing timer (TimerSynchNMEA, TimerSynchBINR, TimerAutoBaudNmea,
// TimerAutoBaudBinr, TimerProtocol, TimerOpenRetry) before the loader; the state record, the
// log pane, the events, the warning dialog, the programming notice and message boxes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "form/form_surface.h"
#include "form/receive_parser.h"
#include "programming/xmodem_sender.h"

namespace movrand {

// The firmware image buffer: 1 MiB, the largest image the program can send.
inline constexpr std::size_t kImageBufferSize = 1u << 20;

// The line for an image file larger than the image buffer, naming it as the window shows it.
std::string FileTooLargeLine(std::string_view shownName);

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
  // A module that already waits in its loader (left there by a cancel, an abort or a power
  // cut) gets the chosen image without a connect: the image is loaded and checked against
  // `model` (no check when it is empty), the confirmation is asked as for Programming, the
  // port `port` is opened at `rate` with the parity of `linkMode` (the link the loader was
  // entered from), and from there the window's own procedure runs: the loader's start
  // requests, the transfer, the restart wait and the reconnect with the selectors as they
  // stand. No loader-entry command is sent. The window itself never calls this.
  void RecoverFromLoader(std::string_view port, RxMode linkMode, std::uint32_t rate,
                         std::string_view model);
  // One received byte while waiting for the loader or transferring; false when the rest of
  // the chunk is to be dropped.
  bool LoaderByte(std::uint8_t byte);
  void Timer1Timer();
  // The Cancel action.
  void SpeedButton1Click();

  std::vector<std::uint8_t> ImageBuffer;  // kImageBufferSize bytes, allocated once
  std::int32_t ImageLength = 0;           // bytes to send, a multiple of 128 once checked
  // The file's bytes at the start of ImageBuffer as the last load that passed the integrity
  // check read them (before the pad bytes of the last block); 0 when none did. These are the
  // bytes programming sends, whatever the file holds by then.
  std::int32_t LoadedLength = 0;
  XmodemSender Sender;

 private:
  // Writes what the sender answered and keeps the window in step; false when the rest of the
  // chunk is to be dropped.
  bool Perform(const XmodemSender::Action& action);
  // The part of loader entry that waits: the file-size line, the transfer state, the
  // buttons.
  void BeginLoaderWait();
  // Writes a block the sender answered with and keeps the window in step; false when it did
  // not go out whole (the port is lost; the transfer stops there).
  bool WriteBlock(const XmodemSender::Action& action);
  void CompleteTransfer();
  void AbortTransfer();
  // The image is refused: writes `line` (time-stamped or not), gives the Open button back
  // and says so.
  void Rejected(const std::string& line, bool timed = true);

  FormSurface& form_;
  const ReceiveHandler& receiver_;
  bool checkModel_ = true;    // false while a recovery without a model loads its image
  bool writeFailed_ = false;  // a block of this transfer did not go out
};

}  // namespace movrand

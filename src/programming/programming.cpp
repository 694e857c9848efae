// The programming procedure of the main window: the Programming button, loader entry, the
// XMODEM-CRC transfer driven by the loader's answers, its completion and abort, the progress
// line and the Cancel button. Everything runs on the main thread: the button handlers, the
// progress timer and `LoaderByte`, to which the receive handler gives every byte that arrives
// while the window waits for the loader or transfers.
#include <algorithm>
#include <array>
#include <string>

#include "app/main_form.h"
#include "comm/comm.h"
#include "programming/image.h"
#include "protocol/binr_output.h"
#include "protocol/crc16.h"
#include "protocol/module_contract.h"
#include "protocol/nmea_output.h"

namespace movrand {
namespace {

static_assert(kImageBufferSize == kFirmwareBufferSize);
static_assert(kXmodemBlockDataSize == static_cast<std::size_t>(kImageBlockSize));

// The programming rates and the rate the link must at least run at to program without one.
constexpr std::uint32_t kProgrammingRate = 115200;
constexpr std::uint32_t kFastProgrammingRate = 230400;

// Rejections of the same block in a row after which the transfer is given up.
constexpr int kMaxRejectionsInARow = 4;
// BytesInKB counts up to this, then KBSent grows by one.
constexpr std::int32_t kBytesPerKB = 1024;
// Images of this length or more get the long restart wait: the restart wait's tick counter
// starts at 0 for them (26 ticks until the reconnect) and at 19 otherwise (7 ticks).
constexpr std::int32_t kLongRestartImageLength = 131072;
constexpr int kLongRestartFirstTick = 0;
constexpr int kShortRestartFirstTick = 19;

// Items of the selectors that the programming run sets to the link in use.
constexpr int kProtocolItemBinr = 1;
constexpr int kProtocolItemNmea = 2;
constexpr int kFirstRateItem = 1;  // item 0 is "Auto"

// Our own lines for images the buffer cannot hold or the file system cannot deliver.
constexpr std::string_view kTextFileTooLarge = ">>Firmware file is larger than ";
constexpr std::string_view kTextFileReadFailed = ">>Can't read the whole firmware file: ";
// Fixed texts of the image checks.
constexpr std::string_view kTextLengthCrcError = ">>RTK FW length/CRC error!!!";
constexpr std::string_view kTextMismatchEnd = " !!!";
// Small images carrying this name are checked against the module's fourth version word
// when the module is of the RTK or RTA kind.
constexpr std::string_view kRtkImageMark = "DOV-RTK";
constexpr std::string_view kRtkRuleModelPrefixes[] = {"RTK", "RTA"};

constexpr std::string_view kWarningTitle = "Warning";

// The version text of a BINR module: the zero-terminated text at data byte 1 of its last
// version reply, never beyond the reply's 76 bytes.
std::string BinrVersionText(const std::array<std::uint8_t, 76>& info) {
  const auto begin = info.begin() + kBinrVersionTextOffset;
  const auto end = std::find(begin, info.end(), std::uint8_t{0});
  return std::string(begin, end);
}

std::string FileSizeHead(TMainForm& form) {
  return form.TimeStamp()
      .append(form.Messages.TextFileSize)
      .append(std::to_string(form.ImageLength / kBytesPerKB));
}

void ResetTransferState(TMainForm& form) {
  form.ImageOffset = 0;
  form.BlockNumber = 1;
  form.BlockComplement = 254;
  form.LastBlockOffset = 0;
  form.LastBlockNumber = 0;
  form.LastBlockComplement = 0;
  form.NakCount = 0;
  form.BytesInKB = 0;
  form.KBSent = 0;
}

// Makes the protocol and rate selectors show the link in use, so that the reconnect after
// programming comes back the way the module was found.
void ShowLinkInSelectors(TMainForm& form) {
  const std::string rate = std::to_string(form.CurrentBaud);
  const auto& items = form.BaudComboBox.items();
  for (int i = kFirstRateItem; i < static_cast<int>(items.size()); ++i) {
    if (items[static_cast<std::size_t>(i)] != rate) continue;
    if (form.RxMode == RxMode::Nmea) form.ProtocolComboBox.setItemIndex(kProtocolItemNmea);
    if (form.RxMode == RxMode::Binr) form.ProtocolComboBox.setItemIndex(kProtocolItemBinr);
    form.BaudComboBox.setItemIndex(i);
    return;
  }
}

// The rate to raise the link to before programming, or 0 when the link is fast enough.
std::uint32_t ProgrammingRateChange(std::uint32_t currentBaud, bool fastProgramming) {
  if (currentBaud < kProgrammingRate && !fastProgramming) return kProgrammingRate;
  if (currentBaud <= kProgrammingRate && fastProgramming) return kFastProgrammingRate;
  return 0;
}

void SendRateCommand(TMainForm& form, std::uint32_t rate) {
  const bool fast = rate == kFastProgrammingRate;
  if (form.RxMode == RxMode::Nmea) {
    SendNmeaSentence(fast ? SentenceRate230400 : SentenceRate115200);
  } else if (form.RxMode == RxMode::Binr) {
    SendBinrMessage(fast ? std::span<const std::uint8_t>(MsgRate230400)
                         : std::span<const std::uint8_t>(MsgRate115200));
  }
  form.LogTimedLine(fast ? form.Messages.TextRate230400 : form.Messages.TextRate115200);
}

// The loader accepted the last block.
void CompleteTransfer(TMainForm& form) {
  form.Timer1.setEnabled(false);
  const std::uint8_t eot = kXmodemEot;
  WritePort(&eot, 1);
  form.Timer1Timer();  // the progress line with the final count
  form.LogTimedLine(form.Messages.TextLoadingCompleted);
  form.RxMode = RxMode::Idle;
  if (form.TestMode) {
    // The port stays open: the tester looks at what the module does next.
    form.SpeedButtonSynch.setEnabled(true);
    form.SpeedButtonOpen.setEnabled(true);
    form.UpdateProgramButton();
    return;
  }
  form.BitBtn1.setEnabled(false);
  form.SpeedButton1.setEnabled(false);
  form.dialogs().ShowDevProg();
  form.RetryCount =
      form.ImageLength >= kLongRestartImageLength ? kLongRestartFirstTick : kShortRestartFirstTick;
  form.TimerRestart.setTag(TMainForm::kRestartTagWait);
  form.TimerRestart.setEnabled(true);
}

// The loader rejected the same block four times in a row.
void AbortTransfer(TMainForm& form) {
  form.Timer1.setEnabled(false);
  ClosePort();
  form.RxMode = RxMode::Idle;
  form.CloseTrafficLog();
  form.LogTimedLine(form.Messages.TextTooManyErrors);
  form.SpeedButtonSynch.setEnabled(true);
  form.SpeedButtonSynch.setCaption(form.Messages.TextConnect);
  form.SpeedButtonProgram.setEnabled(false);
  form.PortComboBox.setEnabled(true);
  form.ProtocolComboBox.setEnabled(true);
  form.BaudComboBox.setEnabled(true);
  form.DeviceIdentified = false;
  form.SpeedButtonOpen.setEnabled(true);
}

}  // namespace

bool TMainForm::LoadImage() {
  const std::string& shownName = Edit1.text();
  const ImageRead read = ReadImageFile(
      OpenDialog1.FileName,
      std::span<std::uint8_t, kFirmwareBufferSize>(ImageBuffer.data(), kFirmwareBufferSize));

  if (read.status == ImageReadStatus::CantOpen) {
    ImageLength = 0;
    LogLine(Messages.TextCantOpenFile + shownName);
    SpeedButtonOpen.setEnabled(true);
    SpeedButtonProgram.setEnabled(false);
    return false;
  }
  // From here every failure enables the Open button again.
  SpeedButtonOpen.setEnabled(false);
  ImageLength = read.status == ImageReadStatus::Ok ? read.length : 0;

  if (read.status == ImageReadStatus::TooLarge) {
    LogTimedLine(std::string(kTextFileTooLarge)
                     .append(std::to_string(kFirmwareBufferSize / kBytesPerKB))
                     .append(" kB: ")
                     .append(shownName));
    SpeedButtonOpen.setEnabled(true);
    return false;
  }
  if (read.status == ImageReadStatus::ReadFailed) {
    LogTimedLine(std::string(kTextFileReadFailed).append(shownName));
    SpeedButtonOpen.setEnabled(true);
    return false;
  }

  if (read.status == ImageReadStatus::Ok && !read.large) {
    const std::string_view model = FieldText(DeviceModel);
    const bool rtkModule =
        std::any_of(std::begin(kRtkRuleModelPrefixes), std::end(kRtkRuleModelPrefixes),
                    [model](std::string_view prefix) { return model.starts_with(prefix); });
    if (rtkModule && ImageContainsName(ImageBuffer.data(), ImageLength, kRtkImageMark)) {
      // Until the next version reply the image is checked, and the loader chosen, by the
      // module's fourth version word.
      DeviceModel = VersionWord4;
    }
  }

  if (ImageLength == 0) {
    LogTimedLine(kTextLengthCrcError);
    SpeedButtonOpen.setEnabled(true);
    return false;
  }
  ImageLength = RoundToBlocks(ImageLength);

  if (TestMode) return true;
  if (!IsImageCompatible(ImageBuffer.data(), ImageLength, FieldText(DeviceModel))) {
    std::string details;
    if (RxMode == RxMode::Nmea) {
      details.append(FieldText(VersionWord1)).append(" ").append(FieldText(DeviceModel));
    } else if (RxMode == RxMode::Binr) {
      details = BinrVersionText(BinrRx.VersionInfo);
    }
    LogTimedLine(Messages.TextVersionMismatch + details + std::string(kTextMismatchEnd));
    SpeedButtonOpen.setEnabled(true);
    return false;
  }
  return true;
}

void TMainForm::SpeedButtonProgramClick() {
  if (!LoadImage()) return;
  if (!TestMode) {
    if (dialogs().ShowAttention() == ModalResult::Cancel) {
      SpeedButtonOpen.setEnabled(true);
      return;
    }
    SpeedButtonProgram.setEnabled(false);
    SpeedButtonSynch.setEnabled(false);
    ShowLinkInSelectors(*this);

    const std::uint32_t rate = ProgrammingRateChange(CurrentBaud, FastProgramming);
    if (rate != 0) {
      // The module is told first; the port follows when the module confirms or at the next
      // tick of TimerRestart, and the version reply at the new rate starts loader entry.
      TimerRestart.setTag(kRestartTagRateSwitch);
      ProgramRequested = true;
      SendRateCommand(*this, rate);
      TimerRestart.setEnabled(true);
      return;
    }
    ProgramRequested = false;
  }
  ResetTransferState(*this);
  StartLoaderEntry();
}

void TMainForm::StartLoaderEntry() {
  LogLine(FileSizeHead(*this).append("kB (0kB)"));
  const movrand::RxMode linkMode = RxMode;
  RxMode = RxMode::LoaderWait;
  LoaderCCount = 0;
  SpeedButtonProgram.setEnabled(false);
  SpeedButtonSynch.setEnabled(false);
  SendLoaderEntryCommand(linkMode, FieldText(DeviceModel));
}

bool TMainForm::LoaderByte(std::uint8_t byte) {
  switch (RxMode) {
    case RxMode::LoaderWait:
      LoaderCCount = byte == kLoaderStartRequest ? LoaderCCount + 1 : 0;
      if (LoaderCCount < kLoaderStartRequestsInARow) return true;
      ResetTransferState(*this);
      SendBlock();
      Timer1.setEnabled(true);
      RxMode = RxMode::Transfer;
      return false;  // what follows the start requests in this chunk is stale

    case RxMode::Transfer:
      if (byte == kXmodemAck) {
        NakCount = 0;
        if (ImageOffset >= ImageLength) {
          CompleteTransfer(*this);
          return false;
        }
        SendBlock();
        Timer1.setEnabled(true);
        return true;
      }
      if (byte == kXmodemNak) {
        ImageOffset = LastBlockOffset;
        BlockNumber = LastBlockNumber;
        BlockComplement = LastBlockComplement;
        ++NakCount;
        SendBlock();
        Timer1.setEnabled(true);
        if (NakCount >= kMaxRejectionsInARow) {
          AbortTransfer(*this);
          return false;
        }
      }
      return true;  // anything else, a cancel request of the loader included, is ignored

    default:
      return false;  // no transfer runs: nothing here is for it
  }
}

void TMainForm::SendBlock() {
  // ImageLength never exceeds the buffer and is a multiple of 128, so every block the
  // procedure sends lies inside the buffer; anything else is refused rather than read.
  if (ImageOffset < 0 ||
      static_cast<std::size_t>(ImageOffset) + kXmodemBlockDataSize > ImageBuffer.size()) {
    return;
  }
  std::array<std::uint8_t, kXmodemBlockSize> block{};
  const std::uint8_t* data = ImageBuffer.data() + ImageOffset;
  block[0] = kXmodemSoh;
  block[1] = static_cast<std::uint8_t>(BlockNumber);
  block[2] = static_cast<std::uint8_t>(255 - BlockNumber);
  std::copy_n(data, kXmodemBlockDataSize, block.begin() + 3);
  const std::uint16_t crc = Crc16Block(data, static_cast<int>(kXmodemBlockDataSize));
  block[3 + kXmodemBlockDataSize] = static_cast<std::uint8_t>(crc >> 8);  // high byte first
  block[4 + kXmodemBlockDataSize] = static_cast<std::uint8_t>(crc & 0xFF);

  LastBlockOffset = ImageOffset;
  LastBlockNumber = BlockNumber;
  LastBlockComplement = BlockComplement;
  ImageOffset += kImageBlockSize;
  WritePort(block.data(), static_cast<int>(block.size()));

  ++BlockNumber;
  --BlockComplement;
  if (BlockNumber > 255 || BlockComplement < 0) {
    BlockNumber = 0;
    BlockComplement = 255;
  }
  BytesInKB += kImageBlockSize;
  if (BytesInKB >= kBytesPerKB) {
    ++KBSent;
    BytesInKB = 0;
  }
}

void TMainForm::Timer1Timer() {
  // One-shot: the next block sent enables it again, so the line is rewritten at most once
  // per interval however fast the blocks go.
  Timer1.setEnabled(false);
  Memo1.setLastLine(
      FileSizeHead(*this).append("kB (").append(std::to_string(KBSent)).append("kB)"));
}

void TMainForm::SpeedButton1Click() {
  // The pause after a failed open is stopped too: what it would do next (a message, or the
  // search of a reconnect) belongs to the attempt that is being cancelled.
  for (Timer* timer : {&TimerProtocol, &TimerAutoBaudBinr, &TimerAutoBaudNmea, &Timer1,
                       &TimerSynchBINR, &TimerSynchNMEA, &TimerOpenRetry}) {
    timer->setEnabled(false);
  }
  // The restart wait is left running (Cancel is disabled while it runs), but a pending
  // switch to the programming rate would otherwise restart the synchronisation on the
  // closed port a second later, into whatever the user does next.
  if (TimerRestart.tag() == kRestartTagRateSwitch) {
    TimerRestart.setEnabled(false);
    TimerRestart.setTag(kRestartTagWait);
  }
  ClosePort();
  SpeedButtonSynch.setEnabled(true);
  SpeedButtonSynch.setCaption(Messages.TextConnect);
  if (ReconnectAfterProgramming() == 0) LogTimedLine(Messages.TextAborted);
  PortComboBox.setEnabled(true);
  ProtocolComboBox.setEnabled(true);
  BaudComboBox.setEnabled(ProtocolComboBox.itemIndex() != 0);
  SpeedButtonProgram.setEnabled(false);
  DeviceIdentified = false;
  ProgramRequested = false;
  SetReconnectAfterProgramming(0);
  CloseTrafficLog();
  if (RxMode == RxMode::LoaderWait || RxMode == RxMode::Transfer) {
    // The module stays in its loader until it gives up on its own.
    dialogs().ShowMessage(std::string(kWarningTitle), Messages.TextCancelAdvice);
    RxMode = RxMode::Idle;
  }
}

}  // namespace movrand

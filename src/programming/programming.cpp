#include "programming/programming.h"

#include <algorithm>
#include <array>
#include <string>

#include "comm/comm.h"
#include "programming/image.h"
#include "protocol/binr_output.h"
#include "protocol/module_contract.h"
#include "protocol/nmea_output.h"
#include "protocol/visible_text.h"

namespace movrand {
namespace {

static_assert(kImageBufferSize == kFirmwareBufferSize);
static_assert(kXmodemBlockDataSize == static_cast<std::size_t>(kImageBlockSize));

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

std::string FileSizeHead(FormSurface& form, std::int32_t imageLength) {
  return form.TimeStamp()
      .append(form.Messages.TextFileSize)
      .append(std::to_string(imageLength / XmodemSender::kBytesPerKB));
}

// Makes the protocol and rate selectors show the link in use, so that the reconnect after
// programming comes back the way the module was found.
void ShowLinkInSelectors(FormSurface& form) {
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

void SendRateCommand(FormSurface& form, std::uint32_t rate) {
  const bool fast = rate == kFastProgrammingRate;
  if (form.RxMode == RxMode::Nmea) {
    SendNmeaSentence(fast ? SentenceRate230400 : SentenceRate115200);
  } else if (form.RxMode == RxMode::Binr) {
    SendBinrMessage(fast ? std::span<const std::uint8_t>(MsgRate230400)
                         : std::span<const std::uint8_t>(MsgRate115200));
  }
  form.LogTimedLine(fast ? form.Messages.TextRate230400 : form.Messages.TextRate115200);
}

}  // namespace

Programming::Programming(FormSurface& form, const ReceiveHandler& receiver)
    : ImageBuffer(kImageBufferSize, kImagePadByte), form_(form), receiver_(receiver) {}

void Programming::Rejected(const std::string& line, bool timed) {
  if (timed) {
    form_.LogTimedLine(line);
  } else {
    form_.LogLine(line);
  }
  form_.SpeedButtonOpen.setEnabled(true);
  form_.Announce({.kind = FormEvent::Kind::ImageRejected, .text = line});
}

std::string FileTooLargeLine(std::string_view shownName) {
  return std::string(kTextFileTooLarge)
      .append(std::to_string(kFirmwareBufferSize / XmodemSender::kBytesPerKB))
      .append(" kB: ")
      .append(shownName);
}

bool Programming::LoadImage() {
  FormSurface& f = form_;
  const std::string& shownName = f.Edit1.text();
  LoadedLength = 0;
  const ImageRead read = ReadImageFile(
      f.OpenDialog1.FileName,
      std::span<std::uint8_t, kFirmwareBufferSize>(ImageBuffer.data(), kFirmwareBufferSize));

  if (read.status == ImageReadStatus::CantOpen) {
    ImageLength = 0;
    Rejected(f.Messages.TextCantOpenFile + shownName, false);
    f.SpeedButtonProgram.setEnabled(false);
    return false;
  }
  // From here every failure enables the Open button again.
  f.SpeedButtonOpen.setEnabled(false);
  ImageLength = read.status == ImageReadStatus::Ok ? read.length : 0;

  if (read.status == ImageReadStatus::TooLarge) {
    Rejected(FileTooLargeLine(shownName));
    return false;
  }
  if (read.status == ImageReadStatus::ReadFailed) {
    Rejected(std::string(kTextFileReadFailed).append(shownName));
    return false;
  }

  if (read.status == ImageReadStatus::Ok && !read.large) {
    const std::string_view model = FieldText(f.DeviceModel);
    const bool rtkModule =
        std::any_of(std::begin(kRtkRuleModelPrefixes), std::end(kRtkRuleModelPrefixes),
                    [model](std::string_view prefix) { return model.starts_with(prefix); });
    if (rtkModule && ImageContainsName(ImageBuffer.data(), ImageLength, kRtkImageMark)) {
      // Until the next version reply the image is checked, and the loader chosen, by the
      // module's fourth version word.
      f.DeviceModel = f.VersionWord4;
    }
  }

  if (ImageLength == 0) {
    Rejected(std::string(kTextLengthCrcError));
    return false;
  }
  LoadedLength = ImageLength;
  ImageLength = RoundToBlocks(ImageLength);

  if (f.TestMode || !checkModel_) return true;
  if (!IsImageCompatible(ImageBuffer.data(), ImageLength, FieldText(f.DeviceModel))) {
    // The module's words, shown as text and never as line breaks or controls.
    std::string details;
    if (f.RxMode == RxMode::Nmea) {
      details.append(VisibleText(FieldText(f.VersionWord1)))
          .append(" ")
          .append(VisibleText(FieldText(f.DeviceModel)));
    } else if (f.RxMode == RxMode::Binr) {
      details = VisibleText(receiver_.BinrVersionText());
    }
    Rejected(f.Messages.TextVersionMismatch + details + std::string(kTextMismatchEnd));
    return false;
  }
  return true;
}

void Programming::SpeedButtonProgramClick() {
  FormSurface& f = form_;
  if (!LoadImage()) return;
  std::uint32_t rate = 0;
  if (!f.TestMode) {
    if (f.dialogs().ShowAttention() == ModalResult::Cancel) {
      f.SpeedButtonOpen.setEnabled(true);
      f.Announce({.kind = FormEvent::Kind::ConfirmationDeclined});
      return;
    }
    f.SpeedButtonProgram.setEnabled(false);
    f.SpeedButtonSynch.setEnabled(false);
    ShowLinkInSelectors(f);

    rate = ProgrammingRateChange(f.CurrentBaud, f.FastProgramming);
    if (rate != 0) {
      // The module is told first; the port follows when the module confirms or at the next
      // tick of TimerRestart, and the version reply at the new rate starts loader entry.
      f.TimerRestart.setTag(FormSurface::kRestartTagRateSwitch);
      f.ProgramRequested = true;
      SendRateCommand(f, rate);
      f.TimerRestart.setEnabled(true);
      f.Announce({.kind = FormEvent::Kind::ProgrammingStarted,
                  .port = f.PortName,
                  .baud = f.CurrentBaud,
                  .protocol = f.RxMode,
                  .programmingRate = rate,
                  .totalBytes = ImageLength});
      f.Announce({.kind = FormEvent::Kind::Waiting,
                  .port = f.PortName,
                  .baud = rate,
                  .protocol = f.RxMode,
                  .waitFor = WaitFor::ProgrammingRate});
      return;
    }
    f.ProgramRequested = false;
  }
  f.Announce({.kind = FormEvent::Kind::ProgrammingStarted,
              .port = f.PortName,
              .baud = f.CurrentBaud,
              .protocol = f.RxMode,
              .totalBytes = ImageLength});
  StartLoaderEntry();
}

void Programming::BeginLoaderWait() {
  FormSurface& f = form_;
  f.LogLine(FileSizeHead(f, ImageLength).append("kB (0kB)"));
  f.RxMode = RxMode::LoaderWait;
  writeFailed_ = false;
  Sender.AwaitLoader(std::span<const std::uint8_t>(
      ImageBuffer.data(), static_cast<std::size_t>(std::max<std::int32_t>(ImageLength, 0))));
  f.SpeedButtonProgram.setEnabled(false);
  f.SpeedButtonSynch.setEnabled(false);
}

void Programming::StartLoaderEntry() {
  FormSurface& f = form_;
  const RxMode linkMode = f.RxMode;
  BeginLoaderWait();
  SendLoaderEntryCommand(linkMode, FieldText(f.DeviceModel));
  f.Announce({.kind = FormEvent::Kind::Waiting,
              .port = f.PortName,
              .baud = f.CurrentBaud,
              .protocol = linkMode,
              .totalBytes = ImageLength,
              .waitFor = WaitFor::LoaderStart});
}

void Programming::RecoverFromLoader(std::string_view port, RxMode linkMode, std::uint32_t rate,
                                    std::string_view model) {
  FormSurface& f = form_;
  // The model stands for the version reply a loader cannot give; as the fourth word too, so
  // that the rule for RTK images checks against it and not against an empty word.
  for (VersionField* field : {&f.DeviceModel, &f.VersionWord4}) {
    field->fill('\0');
    std::copy_n(model.begin(), std::min(model.size(), field->size() - 1), field->begin());
  }
  checkModel_ = !model.empty();
  const bool loaded = LoadImage();
  checkModel_ = true;
  if (!loaded) return;
  if (!f.TestMode && f.dialogs().ShowAttention() == ModalResult::Cancel) {
    f.SpeedButtonOpen.setEnabled(true);
    f.Announce({.kind = FormEvent::Kind::ConfirmationDeclined});
    return;
  }
  f.PortName = std::string(port);
  if (!OpenPort(f.PortName, rate, linkMode == RxMode::Binr ? 1 : 0)) {
    const OpenError reason = LastOpenError();
    ClosePort();
    f.RxMode = RxMode::Idle;
    f.LogTimedLine(f.Messages.TextPortBusy);
    f.SpeedButtonOpen.setEnabled(true);
    f.Announce({.kind = FormEvent::Kind::PortUnavailable,
                .text = f.Messages.TextPortBusy,
                .port = f.PortName,
                .openError = reason});
    return;
  }
  f.CurrentBaud = rate;
  f.ProgramRequested = false;
  f.SpeedButtonSynch.setCaption(f.Messages.TextDisconnect);
  f.PortComboBox.setEnabled(false);
  f.ProtocolComboBox.setEnabled(false);
  f.BaudComboBox.setEnabled(false);
  f.Announce({.kind = FormEvent::Kind::ProgrammingStarted,
              .port = f.PortName,
              .baud = rate,
              .protocol = linkMode,
              .totalBytes = ImageLength});
  BeginLoaderWait();
  f.Announce({.kind = FormEvent::Kind::Waiting,
              .port = f.PortName,
              .baud = rate,
              .protocol = linkMode,
              .totalBytes = ImageLength,
              .waitFor = WaitFor::LoaderStart});
}

bool Programming::LoaderByte(std::uint8_t byte) {
  if (form_.RxMode != RxMode::LoaderWait && form_.RxMode != RxMode::Transfer) {
    return false;  // no transfer runs: nothing here is for it
  }
  // A block that did not go out lost the port: nothing the loader says can move the
  // transfer on (its ACKs would "send" blocks that never leave). The loss is reported by the
  // serial link, as an unplugged adapter's; Cancel ends the attempt.
  if (writeFailed_) return false;
  return Perform(Sender.Feed(byte));
}

bool Programming::Perform(const XmodemSender::Action& action) {
  using Kind = XmodemSender::Action::Kind;
  switch (action.kind) {
    case Kind::Nothing:
      break;
    case Kind::SendBlock:
      if (action.firstBlock) form_.RxMode = RxMode::Transfer;
      if (!WriteBlock(action)) return false;
      break;
    case Kind::SendEot:
      CompleteTransfer();
      break;
    case Kind::Abort:
      if (!WriteBlock(action)) return false;
      AbortTransfer();
      break;
  }
  return !action.restOfChunkDropped();
}

bool Programming::WriteBlock(const XmodemSender::Action& action) {
  const int length = static_cast<int>(action.block.size());
  if (WritePort(action.block.data(), length) < length) {
    writeFailed_ = true;
    return false;
  }
  form_.Timer1.setEnabled(true);
  form_.Announce({.kind = FormEvent::Kind::BlockSent,
                  .blockNumber = Sender.LastBlockNumber(),
                  .sentBytes = Sender.ImageOffset(),
                  .totalBytes = Sender.ImageLength(),
                  .blocksRepeated = Sender.BlocksRepeated()});
  return true;
}

void Programming::Timer1Timer() {
  // One-shot: the next block sent enables it again, so the line is rewritten at most once
  // per interval however fast the blocks go.
  form_.Timer1.setEnabled(false);
  form_.Memo1.setLastLine(FileSizeHead(form_, ImageLength)
                              .append("kB (")
                              .append(std::to_string(Sender.KBSent()))
                              .append("kB)"));
}

// The loader accepted the last block.
void Programming::CompleteTransfer() {
  FormSurface& f = form_;
  f.Timer1.setEnabled(false);
  const std::uint8_t eot = kXmodemEot;
  WritePort(&eot, 1);
  Timer1Timer();  // the progress line with the final count
  f.LogTimedLine(f.Messages.TextLoadingCompleted);
  f.RxMode = RxMode::Idle;
  const FormEvent completed{.kind = FormEvent::Kind::LoadingCompleted,
                            .text = f.Messages.TextLoadingCompleted,
                            .port = f.PortName,
                            .sentBytes = Sender.ImageOffset(),
                            .totalBytes = Sender.ImageLength(),
                            .blocksRepeated = Sender.BlocksRepeated()};
  if (f.TestMode) {
    // The port stays open: the tester looks at what the module does next.
    f.SpeedButtonSynch.setEnabled(true);
    f.SpeedButtonOpen.setEnabled(true);
    f.UpdateProgramButton();
    f.Announce(completed);
    return;
  }
  f.BitBtn1.setEnabled(false);
  f.SpeedButton1.setEnabled(false);
  f.dialogs().ShowDevProg();
  f.RetryCount = RestartWaitFirstTick(ImageLength);
  f.TimerRestart.setTag(FormSurface::kRestartTagWait);
  f.TimerRestart.setEnabled(true);
  f.Announce(completed);
  f.Announce(
      {.kind = FormEvent::Kind::Waiting, .port = f.PortName, .waitFor = WaitFor::ModuleRestart});
}

// The loader rejected the same block four times in a row.
void Programming::AbortTransfer() {
  FormSurface& f = form_;
  f.Timer1.setEnabled(false);
  ClosePort();
  f.RxMode = RxMode::Idle;
  f.CloseTrafficLog();
  f.LogTimedLine(f.Messages.TextTooManyErrors);
  f.SpeedButtonSynch.setEnabled(true);
  f.SpeedButtonSynch.setCaption(f.Messages.TextConnect);
  f.SpeedButtonProgram.setEnabled(false);
  f.PortComboBox.setEnabled(true);
  f.ProtocolComboBox.setEnabled(true);
  f.BaudComboBox.setEnabled(true);
  f.DeviceIdentified = false;
  f.SpeedButtonOpen.setEnabled(true);
  f.Announce({.kind = FormEvent::Kind::AbortedAfterRejections,
              .text = f.Messages.TextTooManyErrors,
              .port = f.PortName,
              .blockNumber = Sender.LastBlockNumber(),
              .sentBytes = Sender.ImageOffset(),
              .totalBytes = Sender.ImageLength(),
              .blocksRepeated = Sender.BlocksRepeated()});
}

void Programming::SpeedButton1Click() {
  FormSurface& f = form_;
  // The pause after a failed open is stopped too: what it would do next (a message, or the
  // search of a reconnect) belongs to the attempt that is being cancelled.
  for (Timer* timer : {&f.TimerProtocol, &f.TimerAutoBaudBinr, &f.TimerAutoBaudNmea, &f.Timer1,
                       &f.TimerSynchBINR, &f.TimerSynchNMEA, &f.TimerOpenRetry}) {
    timer->setEnabled(false);
  }
  // The restart wait is left running (Cancel is disabled while it runs), but a pending
  // switch to the programming rate would otherwise restart the synchronisation on the
  // closed port a second later, into whatever the user does next.
  if (f.TimerRestart.tag() == FormSurface::kRestartTagRateSwitch) {
    f.TimerRestart.setEnabled(false);
    f.TimerRestart.setTag(FormSurface::kRestartTagWait);
  }
  ClosePort();
  f.SpeedButtonSynch.setEnabled(true);
  f.SpeedButtonSynch.setCaption(f.Messages.TextConnect);
  const bool reported = f.ReconnectAfterProgramming() == 0;
  if (reported) f.LogTimedLine(f.Messages.TextAborted);
  f.PortComboBox.setEnabled(true);
  f.ProtocolComboBox.setEnabled(true);
  f.BaudComboBox.setEnabled(f.ProtocolComboBox.itemIndex() != 0);
  f.SpeedButtonProgram.setEnabled(false);
  f.DeviceIdentified = false;
  f.ProgramRequested = false;
  f.SetReconnectAfterProgramming(0);
  f.CloseTrafficLog();
  const bool duringTransfer = f.RxMode == RxMode::LoaderWait || f.RxMode == RxMode::Transfer;
  if (reported) {
    // Told before the box, which may wait for the user a long time.
    f.Announce({.kind = FormEvent::Kind::Cancelled,
                .text = f.Messages.TextAborted,
                .port = f.PortName,
                .sentBytes = Sender.ImageOffset(),
                .totalBytes = Sender.ImageLength(),
                .duringTransfer = duringTransfer});
  }
  if (duringTransfer) {
    // The module stays in its loader until it gives up on its own.
    f.dialogs().ShowMessage(std::string(kWarningTitle), f.Messages.TextCancelAdvice);
    f.RxMode = RxMode::Idle;
  }
}

}  // namespace movrand

// The main window's handler for received data: every chunk is mirrored to the terminal and
// the traffic log, then fed to the collector or the loader exchange that the receive mode
// selects, and the module's replies are acted on.
//
// The replies that matter: the version reply (NMEA "VER" or BINR 0x70), which identifies
// the module and ends a connection attempt or starts loader entry when programming waits
// for it; the rate confirmation (NMEA "RZA" or BINR 0x50), which moves the port to the
// module's new rate; and the BINR probe answer 0x54, which is followed by the version
// request. Everything else is dropped.
#include <string>
#include <string_view>

#include "app/main_form.h"
#include "app/terminal.h"
#include "comm/comm.h"
#include "protocol/binr_output.h"
#include "protocol/module_contract.h"

namespace movrand {
namespace {

constexpr std::size_t kNmeaTagLength = 3;  // characters before the first comma that name it

// The zero-terminated text at `offset` of the BINR version data; a text that runs to the
// end of the data without a zero ends there.
std::string_view VersionText(const std::array<std::uint8_t, kBinrVersionDataLength>& info,
                             std::size_t offset) {
  const auto* begin = reinterpret_cast<const char*>(info.data()) + offset;
  std::size_t length = 0;
  while (offset + length < info.size() && begin[length] != '\0') ++length;
  return {begin, length};
}

// The first blank-separated word of `text` (leading blanks skipped).
std::string_view FirstWord(std::string_view text) {
  const std::size_t start = text.find_first_not_of(' ');
  if (start == std::string_view::npos) return {};
  text.remove_prefix(start);
  return text.substr(0, text.find(' '));
}

// Splits `text` at blanks into at most `count` targets, in order; stops at the first missing
// word, so the targets after it keep their values. Words are cut to the field's size.
void SplitWords(std::string_view text, std::initializer_list<VersionField*> targets) {
  for (VersionField* target : targets) {
    const std::string_view word = FirstWord(text);
    if (word.empty()) return;
    SetField(*target, word);
    text.remove_prefix(static_cast<std::size_t>(word.data() + word.size() - text.data()));
  }
}

}  // namespace

void TMainForm::PortDataReceived(const std::uint8_t* data, int length) {
  if (!data || length <= 0) return;
  ReceiveParser(data, length);
}

void TMainForm::PortLost() {
  // The progress line is rewritten in place as the last line; once the line below it is
  // written it would overwrite that instead. Nothing more can be sent: it shows its final
  // count now.
  if (Timer1.enabled()) Timer1Timer();
  LogTimedLine(">>COM port " + PortName + " is lost: the device was disconnected");
}

void TMainForm::ReceiveParser(const std::uint8_t* data, int length) {
  if (TermForm) TermForm->Echo(data, length);
  WriteTrafficReceived(data, length);

  // Every byte of the chunk is handled in the mode the chunk arrived in, even when a reply
  // in the middle of it changes the mode.
  const movrand::RxMode mode = RxMode;
  switch (mode) {
    case RxMode::Idle:
      return;
    case RxMode::Nmea: {
      NmeaSentence sentence{};
      for (int i = 0; i < length; ++i) {
        if (NmeaRx.Push(static_cast<char>(data[i]), sentence) != NmeaCollector::kSentenceComplete) {
          continue;
        }
        const std::string_view text(sentence.data());
        const std::size_t comma = text.find(',');
        if (comma == std::string_view::npos || comma < kNmeaTagLength) continue;
        const std::string_view tag = text.substr(comma - kNmeaTagLength, kNmeaTagLength);
        if (tag == kNmeaTagVersion) {
          NmeaVersionReply(sentence);
        } else if (tag == kNmeaTagRate) {
          NmeaRateConfirmation(sentence);
        }
      }
      return;
    }
    case RxMode::Binr:
      for (int i = 0; i < length; ++i) {
        switch (BinrRx.Push(data[i])) {
          case kBinrIdProbeAnswer:
            BinrProbeAnswer();
            break;
          case kBinrIdVersionReply:
            BinrVersionReply();
            break;
          case kBinrIdPortSettings:
            FollowRateConfirmation(BinrRx.Baud, TimerSynchBINR);
            break;
          default:
            break;
        }
      }
      return;
    case RxMode::LoaderWait:
    case RxMode::Transfer:
      for (int i = 0; i < length; ++i) {
        if (!LoaderByte(data[i])) return;
      }
      return;
  }
}

std::string TMainForm::PortLine(std::string_view protocol) const {
  std::string line = ">>Port: ";
  line.append(PortName).append(" ").append(std::to_string(CurrentBaud)).append(" ");
  return line.append(protocol);
}

void TMainForm::NmeaVersionReply(const NmeaSentence& sentence) {
  TimerAutoBaudNmea.setEnabled(false);
  TimerSynchNMEA.setEnabled(false);
  LogTimedLine(PortLine("NMEA"));
  if (ProgramRequested) {
    ProgramRequested = false;
    StartLoaderEntry();
    return;
  }
  NmeaWords words{};
  NmeaCollector::FieldsToWords(sentence, words);
  // The area is zero-filled and FieldsToWords stops short of its end, so the text ends there.
  const std::string_view text(words.data(),
                              std::string_view(words.data(), words.size()).find('\0'));
  const std::string line = Messages.TextCurrentVersion + "\r\n>>" + std::string(text);
  SplitWords(text, {&VersionWord1, &DeviceModel, &VersionWord3});
  if (IsRtkTypeModel(FieldText(DeviceModel))) {
    SplitWords(text, {&VersionWord1, &DeviceModel, &VersionWord3, &VersionWord4, &VersionWord5});
  }
  Identified(line);
}

void TMainForm::NmeaRateConfirmation(const NmeaSentence& sentence) {
  int port = 0;
  int rate = 0;
  int protocol = 0;
  if (NmeaCollector::ReadThreeInts(sentence, port, rate, protocol) < 2) rate = 0;
  FollowRateConfirmation(rate, TimerSynchNMEA);
}

void TMainForm::FollowRateConfirmation(std::int64_t rate, Timer& synchTimer) {
  if (rate <= 0) {
    // A confirmation without a usable rate (garbled, or a BINR one before any well-formed
    // frame) must not move the port to a rate nobody asked for. A pending follow of the
    // programming rate still happens at its tick; otherwise synchronise again where we are.
    if (TimerRestart.enabled()) return;
    RetryCount = 0;
    synchTimer.setEnabled(true);
    return;
  }
  TimerRestart.setEnabled(false);
  SetPortBaud(static_cast<std::uint32_t>(rate));
  CurrentBaud = static_cast<std::uint32_t>(rate);
  RetryCount = 0;
  TimerRestart.setTag(kRestartTagWait);
  synchTimer.setEnabled(true);
}

void TMainForm::BinrProbeAnswer() {
  TimerSynchBINR.setEnabled(false);
  TimerAutoBaudBinr.setEnabled(false);
  LogTimedLine(PortLine("BINR"));
  SendBinrMessage(MsgVersionRequest);
}

void TMainForm::BinrVersionReply() {
  if (ProgramRequested) {
    ProgramRequested = false;
    StartLoaderEntry();
    return;
  }
  const auto& info = BinrRx.VersionInfo;
  SetField(DeviceModel, FirstWord(VersionText(info, kBinrVersionTextOffset)));
  // RTK-type modules put a two-character prefix before the type in the first text; their
  // model word stands two characters further on, their further version word in the second.
  const std::string_view model = FieldText(DeviceModel);
  if (model.size() >= 5 && IsRtkTypeModel(model.substr(2))) {
    SetField(DeviceModel, FirstWord(VersionText(info, kBinrVersionTextOffset + 2)));
    SetField(VersionWord4, FirstWord(VersionText(info, kBinrVersionText2Offset)));
  }
  std::string line = Messages.TextCurrentVersion;
  line.append("\r\n>>").append(VersionText(info, kBinrVersionTextOffset));
  if (IsRtkTypeModel(FieldText(DeviceModel))) {
    line.append("\r\n>>").append(VersionText(info, kBinrVersionText2Offset));
  }
  Identified(line);
}

void TMainForm::Identified(const std::string& versionLine) {
  SpeedButtonSynch.setEnabled(true);
  DeviceIdentified = true;
  UpdateProgramButton();
  if (ReconnectAfterProgramming() == 1) {
    // The module came back after programming: report, then close as Cancel does (without
    // the "aborted" line, since the reconnect flag is still set while it runs).
    LogTimedLine(Messages.TextUpgradeFinished);
    LogLine(versionLine);
    LogTimedLine(Messages.TextDeviceReady);
    BitBtn1.setEnabled(true);
    SpeedButton1.setEnabled(true);
    SpeedButton1Click();
    SetReconnectAfterProgramming(0);
    return;
  }
  LogLine(versionLine);
}

}  // namespace movrand

#include "form/receive_parser.h"

#include <algorithm>
#include <initializer_list>

#include "comm/comm.h"
#include "protocol/binr_output.h"
#include "protocol/module_contract.h"
#include "protocol/visible_text.h"

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

// The version texts of a version line, joined by a blank, without trailing blanks. They are
// the module's words: shown, never obeyed (visible_text.h).
std::string JoinedVersion(std::initializer_list<std::string_view> texts) {
  std::string version;
  for (const std::string_view text : texts) {
    if (!version.empty()) version += ' ';
    version.append(VisibleText(text));
  }
  while (!version.empty() && version.back() == ' ') version.pop_back();
  return version;
}

}  // namespace

ReceiveHandler::ReceiveHandler(FormSurface& form) : form_(form) {}

void ReceiveHandler::Route(const std::uint8_t* data, int length) {
  if (!data || length <= 0) return;
  const RxMode mode = form_.RxMode;
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
            FollowRateConfirmation(BinrRx.Baud, form_.TimerSynchBINR);
            break;
          default:
            break;
        }
      }
      return;
    case RxMode::LoaderWait:
    case RxMode::Transfer:
      for (int i = 0; i < length; ++i) {
        if (!form_.LoaderByte(data[i])) return;
      }
      return;
  }
}

std::string ReceiveHandler::BinrVersionText() const {
  return std::string(VersionText(BinrRx.VersionInfo, kBinrVersionTextOffset));
}

void ReceiveHandler::ForgetModule() {
  BinrRx.VersionInfo.fill(0);
  lastVersion_.clear();
}

std::string ReceiveHandler::PortLine(std::string_view protocol) const {
  std::string line = ">>Port: ";
  line.append(form_.PortName).append(" ").append(std::to_string(form_.CurrentBaud)).append(" ");
  return line.append(protocol);
}

void ReceiveHandler::NmeaVersionReply(const NmeaSentence& sentence) {
  form_.TimerAutoBaudNmea.setEnabled(false);
  form_.TimerSynchNMEA.setEnabled(false);
  form_.LogTimedLine(PortLine("NMEA"));
  if (form_.ProgramRequested) {
    form_.ProgramRequested = false;
    form_.StartLoaderEntry();
    return;
  }
  NmeaWords words{};
  NmeaCollector::FieldsToWords(sentence, words);
  // The area is zero-filled and FieldsToWords stops short of its end, so the text ends there.
  const std::string_view text(words.data(),
                              std::string_view(words.data(), words.size()).find('\0'));
  const std::string line = form_.Messages.TextCurrentVersion + "\r\n>>" + VisibleText(text);
  SplitWords(text, {&form_.VersionWord1, &form_.DeviceModel, &form_.VersionWord3});
  if (IsRtkTypeModel(FieldText(form_.DeviceModel))) {
    SplitWords(text, {&form_.VersionWord1, &form_.DeviceModel, &form_.VersionWord3,
                      &form_.VersionWord4, &form_.VersionWord5});
  }
  Identified(line, JoinedVersion({text}));
}

void ReceiveHandler::NmeaRateConfirmation(const NmeaSentence& sentence) {
  int port = 0;
  int rate = 0;
  int protocol = 0;
  if (NmeaCollector::ReadThreeInts(sentence, port, rate, protocol) < 2) rate = 0;
  FollowRateConfirmation(rate, form_.TimerSynchNMEA);
}

void ReceiveHandler::FollowRateConfirmation(std::int64_t rate, Timer& synchTimer) {
  if (rate <= 0) {
    // A confirmation without a usable rate (garbled, or a BINR one before any well-formed
    // frame) must not move the port to a rate nobody asked for. A pending follow of the
    // programming rate still happens at its tick; otherwise synchronise again where we are.
    if (form_.TimerRestart.enabled()) return;
    form_.RetryCount = 0;
    synchTimer.setEnabled(true);
    return;
  }
  form_.TimerRestart.setEnabled(false);
  const auto baud = static_cast<std::uint32_t>(rate);
  if (!SetPortBaud(baud) && PortIsOpen()) {
    form_.Announce({.kind = FormEvent::Kind::RateRefused, .port = form_.PortName, .baud = baud});
  }
  form_.CurrentBaud = baud;
  form_.RetryCount = 0;
  form_.TimerRestart.setTag(FormSurface::kRestartTagWait);
  synchTimer.setEnabled(true);
}

void ReceiveHandler::BinrProbeAnswer() {
  form_.TimerSynchBINR.setEnabled(false);
  form_.TimerAutoBaudBinr.setEnabled(false);
  form_.LogTimedLine(PortLine("BINR"));
  SendBinrMessage(MsgVersionRequest);
}

void ReceiveHandler::BinrVersionReply() {
  if (form_.ProgramRequested) {
    form_.ProgramRequested = false;
    form_.StartLoaderEntry();
    return;
  }
  const auto& info = BinrRx.VersionInfo;
  SetField(form_.DeviceModel, FirstWord(VersionText(info, kBinrVersionTextOffset)));
  // RTK-type modules put a two-character prefix before the type in the first text; their
  // model word stands two characters further on, their further version word in the second.
  const std::string_view model = FieldText(form_.DeviceModel);
  if (model.size() >= 5 && IsRtkTypeModel(model.substr(2))) {
    SetField(form_.DeviceModel, FirstWord(VersionText(info, kBinrVersionTextOffset + 2)));
    SetField(form_.VersionWord4, FirstWord(VersionText(info, kBinrVersionText2Offset)));
  }
  const std::string_view text = VersionText(info, kBinrVersionTextOffset);
  std::string line = form_.Messages.TextCurrentVersion;
  line.append("\r\n>>").append(VisibleText(text));
  if (IsRtkTypeModel(FieldText(form_.DeviceModel))) {
    const std::string_view second = VersionText(info, kBinrVersionText2Offset);
    line.append("\r\n>>").append(VisibleText(second));
    Identified(line, JoinedVersion({text, second}));
  } else {
    Identified(line, JoinedVersion({text}));
  }
}

void ReceiveHandler::Identified(const std::string& versionLine, std::string version) {
  form_.SpeedButtonSynch.setEnabled(true);
  form_.DeviceIdentified = true;
  form_.UpdateProgramButton();
  const FormEvent identified{.kind = FormEvent::Kind::Identified,
                             .port = form_.PortName,
                             .baud = form_.CurrentBaud,
                             .protocol = form_.RxMode,
                             .version = version};
  if (form_.ReconnectAfterProgramming() == 1) {
    // The module came back after programming: report, then close as Cancel does (without
    // the "aborted" line, since the reconnect flag is still set while it runs).
    form_.LogTimedLine(form_.Messages.TextUpgradeFinished);
    form_.LogLine(versionLine);
    form_.Announce(identified);
    form_.LogTimedLine(form_.Messages.TextDeviceReady);
    form_.BitBtn1.setEnabled(true);
    form_.SpeedButton1.setEnabled(true);
    form_.SpeedButton1Click();
    form_.SetReconnectAfterProgramming(0);
    FormEvent finished = identified;
    finished.kind = FormEvent::Kind::UpgradeFinished;
    finished.text = form_.Messages.TextDeviceReady;
    finished.previousVersion = std::move(lastVersion_);
    lastVersion_ = std::move(version);
    form_.Announce(finished);
    return;
  }
  form_.LogLine(versionLine);
  lastVersion_ = std::move(version);
  form_.Announce(identified);
}

}  // namespace movrand

#include "connection/search.h"

#include <string>

#include "comm/comm.h"

namespace movrand {

LinkSearch::LinkSearch(FormSurface& form) : form_(form) {}

bool LinkSearch::Open(const LinkDescription& link, std::uint32_t rate) {
  if (OpenLink(link, form_.PortName, rate)) {
    portOpened_ = true;
    return true;
  }
  lastOpenError_ = LastOpenError();
  return false;
}

void LinkSearch::StartScan(const LinkDescription& link) {
  form_.TimerProtocol.setEnabled(false);
  if (Open(link, kTestOpenRate)) {
    ClosePort();
    BaudIndex = 0;
    form_.LogLine("");
    ScanLine = form_.Memo1.lineCount();
    ProbePending = false;
    (form_.*link.scanTimer).setEnabled(true);
    return;
  }
  const OpenError why = LastOpenError();
  ClosePort();
  form_.RxMode = RxMode::Idle;
  if (ProtocolIsAuto(form_)) {
    form_.TimerProtocol.setEnabled(true);
    return;
  }
  ResetConnectionControls(form_);
  form_.SpeedButtonOpen.setEnabled(true);
  if (form_.ReconnectAfterProgramming() == 1) {
    ReportReconnectFailed(form_);
  } else {
    form_.LogTimedLine(form_.Messages.TextPortBusy);
    form_.Announce({.kind = FormEvent::Kind::PortUnavailable,
                    .text = form_.Messages.TextPortBusy,
                    .port = form_.PortName,
                    .protocol = link.mode,
                    .openError = why});
  }
  form_.ProgramRequested = false;
  form_.SetReconnectAfterProgramming(0);
}

void LinkSearch::ScanTick(const LinkDescription& link) {
  Timer& timer = form_.*link.scanTimer;
  if (ProbePending) {
    ProbePending = false;
    ClosePort();
    return;
  }
  const auto index = static_cast<std::size_t>(BaudIndex);
  const std::uint32_t rate = index < link.scanRates.size() ? link.scanRates[index] : 0;
  if (rate != 0 && Open(link, rate)) {
    form_.RxMode = link.mode;
    form_.CurrentBaud = rate;
    if (link.slowRate != 0) {
      timer.setInterval(rate == link.slowRate ? link.slowRateWindow : link.scanInterval);
    }
    link.sendProbe();
    ProbePending = true;
    form_.Memo1.setLine(ScanLine - 1,
                        form_.TimeStamp() + form_.Messages.TextScanning + std::to_string(rate));
    ++BaudIndex;
    return;
  }
  timer.setEnabled(false);
  ClosePort();
  ProbePending = false;
  form_.RxMode = RxMode::Idle;
  form_.CurrentBaud = kDefaultBaud;
  ++BaudIndex;
  if (ProtocolIsAuto(form_)) {
    form_.TimerProtocol.setEnabled(true);
    return;
  }
  ResetConnectionControls(form_);
  if (form_.ReconnectAfterProgramming() == 1) {
    ReportReconnectFailed(form_);
  } else {
    form_.LogTimedLine(form_.Messages.TextNotResponding);
    form_.Announce({.kind = FormEvent::Kind::NotResponding,
                    .text = form_.Messages.TextNotResponding,
                    .port = form_.PortName,
                    .protocol = link.mode});
  }
  form_.SetReconnectAfterProgramming(0);
}

void LinkSearch::StartProtocolSearch() {
  portOpened_ = false;
  lastOpenError_ = OpenError::None;
  form_.TimerProtocol.setEnabled(true);
}

void LinkSearch::TimerProtocolTimer() {
  if (!NmeaTried && ProtocolAttempts <= 1) {
    NmeaTried = true;
    ++ProtocolAttempts;
    form_.LogLine(std::string("...").append(kNmeaLink.name));
    StartScan(kNmeaLink);
  } else if (NmeaTried && ProtocolAttempts < kProtocolSearchScans) {
    NmeaTried = false;
    ++ProtocolAttempts;
    form_.LogLine(std::string("...").append(kBinrLink.name));
    StartScan(kBinrLink);
  } else if (ProtocolAttempts >= kProtocolSearchScans) {
    form_.TimerProtocol.setEnabled(false);
    form_.LogTimedLine(form_.Messages.TextDeviceNotFound);
    ResetConnectionControls(form_);
    form_.BaudComboBox.setEnabled(false);
    form_.Announce({.kind = FormEvent::Kind::DeviceNotFound,
                    .text = form_.Messages.TextDeviceNotFound,
                    .port = form_.PortName,
                    .openError = portOpened_ ? OpenError::None : lastOpenError_,
                    .portOpened = portOpened_});
  }
}

}  // namespace movrand

#include "connection/connection.h"

#include <charconv>
#include <optional>
#include <string>

#include "comm/comm.h"
#include "protocol/module_contract.h"

namespace movrand {
namespace {

// Protocol selector items.
constexpr int kProtocolItemBinr = 1;
constexpr int kProtocolItemNmea = 2;

}  // namespace

Connection::Connection(FormSurface& form) : Search(form), form_(form) {}

void Connection::SpeedButtonSynchClick() {
  form_.OpenTrafficLog();
  if (form_.SpeedButtonSynch.caption() != form_.Messages.TextConnect) {
    Disconnect();
  } else {
    Connect();
  }
}

void Connection::Disconnect() {
  // No timer runs while the button offers Disconnect.
  FormSurface& f = form_;
  ClosePort();
  f.RxMode = RxMode::Idle;
  ResetConnectionControls(f);
  f.SpeedButtonOpen.setEnabled(true);
  f.ProgramRequested = false;
  f.LogTimedLine(f.Messages.TextPortCloses);
  f.CloseTrafficLog();
  f.Announce({.kind = FormEvent::Kind::Disconnected,
              .text = f.Messages.TextPortCloses,
              .port = f.PortName});
}

void Connection::Connect() {
  FormSurface& f = form_;
  if (f.TestMode) f.ClearTerminal();
  f.SpeedButtonSynch.setCaption(f.Messages.TextDisconnect);
  f.SpeedButtonSynch.setEnabled(false);
  f.PortComboBox.setEnabled(false);
  f.ProtocolComboBox.setEnabled(false);
  f.BaudComboBox.setEnabled(false);
  f.ProgramRequested = false;
  f.PortName.clear();
  // Only the module that answers this connect may pass the image check; the reconnect after
  // programming keeps what it knows, for its report of the version before.
  if (f.ReconnectAfterProgramming() == 0) f.ForgetModule();

  const std::string item = f.PortComboBox.text();
  const std::optional<std::string> name = PortNameOf(item);
  if (item.empty() || (name && name->empty())) {
    RefuseConnect(f.Messages.TextSelectPort);
    return;
  }
  if (!name) {
    // The port-name field holds 11 characters; a cut name could open another device.
    RefuseConnect(">>Error: The port name is too long: " + item.substr(0, item.find(' ')));
    return;
  }
  f.PortName = *name;

  bool baudAuto = f.BaudComboBox.itemIndex() <= 0;
  std::uint32_t rate = 0;
  if (!baudAuto) {
    const std::string text = f.BaudComboBox.text();
    std::from_chars(text.data(), text.data() + text.size(), rate);
    baudAuto = rate == 0;  // the list holds numbers only; anything else is searched for
  }
  const int protocol = f.ProtocolComboBox.itemIndex();
  if (protocol != kProtocolItemBinr && protocol != kProtocolItemNmea) {  // Auto
    Search.ProtocolAttempts = 0;
    Search.NmeaTried = false;
    Search.StartProtocolSearch();
    return;
  }
  const LinkDescription& link = protocol == kProtocolItemBinr ? kBinrLink : kNmeaLink;
  if (baudAuto) {
    Search.StartScan(link);
  } else {
    ConnectAtRate(link, f.PortName, rate);
  }
}

void Connection::RefuseConnect(const std::string& said) {
  FormSurface& f = form_;
  f.LogTimedLine(said);
  f.SpeedButtonSynch.setCaption(f.Messages.TextConnect);
  f.SpeedButtonSynch.setEnabled(true);
  f.PortComboBox.setEnabled(true);
  f.ProtocolComboBox.setEnabled(true);
  f.SpeedButtonOpen.setEnabled(true);
  f.BaudComboBox.setEnabled(!ProtocolIsAuto(f));
  f.Announce({.kind = FormEvent::Kind::NoPortSelected, .text = said});
}

void Connection::ConnectAtRate(const LinkDescription& link, std::string_view port,
                               std::uint32_t rate) {
  if (OpenLink(link, port, rate)) {
    form_.RxMode = link.mode;
    form_.CurrentBaud = rate;
    form_.RetryCount = 0;
    (form_.*link.synchTimer).setEnabled(true);
    return;
  }
  openError_ = LastOpenError();
  ClosePort();
  form_.RxMode = RxMode::Idle;
  form_.CurrentBaud = kDefaultBaud;
  // A pause before the search or the message; the window keeps running meanwhile, with the
  // controls still disabled as the connect left them.
  form_.TimerOpenRetry.setEnabled(true);
}

void Connection::TimerOpenRetryTimer() {
  FormSurface& f = form_;
  f.TimerOpenRetry.setEnabled(false);
  const bool reconnecting = f.ReconnectAfterProgramming() == 1;
  if (reconnecting) {
    // After programming the module may come back at another rate or protocol: search.
    f.ProtocolComboBox.setItemIndex(0);
    Search.ProtocolAttempts = 0;
    Search.NmeaTried = false;
    Search.StartProtocolSearch();
  } else {
    f.LogTimedLine(f.Messages.TextPortBusy);
  }
  ResetConnectionControls(f);
  f.BaudComboBox.setEnabled(true);
  f.SpeedButtonOpen.setEnabled(true);
  f.ProgramRequested = false;
  f.SetReconnectAfterProgramming(0);
  if (!reconnecting) {
    f.Announce({.kind = FormEvent::Kind::PortUnavailable,
                .text = f.Messages.TextPortBusy,
                .port = f.PortName,
                .openError = openError_});
  }
}

void Connection::SynchTick(const LinkDescription& link) {
  FormSurface& f = form_;
  if (f.RetryCount < kSynchProbes) {
    ++f.RetryCount;
    link.sendProbe();
    return;
  }
  (f.*link.synchTimer).setEnabled(false);
  ClosePort();
  f.RxMode = RxMode::Idle;
  ResetConnectionControls(f);
  f.BaudComboBox.setEnabled(true);
  f.RetryCount = 0;
  if (f.ReconnectAfterProgramming() == 1) {
    // The module did not answer where it was before programming: look for it anywhere.
    f.ProtocolComboBox.setItemIndex(0);
    f.BaudComboBox.setItemIndex(0);
    SpeedButtonSynchClick();
  } else {
    f.LogTimedLine(f.Messages.TextNotResponding);
    f.Announce({.kind = FormEvent::Kind::NotResponding,
                .text = f.Messages.TextNotResponding,
                .port = f.PortName,
                .baud = f.CurrentBaud,
                .protocol = link.mode});
  }
}

void Connection::TimerRestartTimer() {
  FormSurface& f = form_;
  if (f.TimerRestart.tag() == FormSurface::kRestartTagRateSwitch) {
    // The module did not confirm the programming rate in time: follow it there anyway.
    f.TimerRestart.setEnabled(false);
    const std::uint32_t rate = f.FastProgramming ? kFastProgrammingRate : kProgrammingRate;
    if (!SetPortBaud(rate) && PortIsOpen()) {
      f.Announce({.kind = FormEvent::Kind::RateRefused, .port = f.PortName, .baud = rate});
    }
    f.CurrentBaud = rate;
    if (f.RxMode == RxMode::Nmea) f.TimerSynchNMEA.setEnabled(true);
    if (f.RxMode == RxMode::Binr) f.TimerSynchBINR.setEnabled(true);
    f.TimerRestart.setTag(FormSurface::kRestartTagWait);
    return;
  }
  if (f.RetryCount < kRestartWaitTicks) {
    ++f.RetryCount;
    return;
  }
  f.TimerRestart.setEnabled(false);
  ClosePort();
  f.dialogs().HideDevProg();
  f.LogTimedLine(f.Messages.TextConnecting);
  f.RxMode = RxMode::Idle;
  ResetConnectionControls(f);
  f.SpeedButtonOpen.setEnabled(true);
  f.ProgramRequested = false;
  f.SetReconnectAfterProgramming(1);
  f.TimerReconnectDelay.setEnabled(true);
  f.Announce({.kind = FormEvent::Kind::Waiting,
              .text = f.Messages.TextConnecting,
              .port = f.PortName,
              .waitFor = WaitFor::Reconnect});
}

void Connection::TimerReconnectDelayTimer() {
  form_.TimerReconnectDelay.setEnabled(false);
  SpeedButtonSynchClick();
}

}  // namespace movrand

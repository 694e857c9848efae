// Finding the module: the Connect/Disconnect button, synchronisation at a fixed rate, the
// rate scans of each protocol, the automatic protocol search, the follow of the module to
// the programming rate, and the wait and reconnect after programming.
//
// Everything is driven by the window's timers, so the window never blocks. The receive
// handler ends each attempt: it stops the probing timers when the module answers. A scan
// opens the port at one rate per tick, sends the probe and closes the port on the next tick,
// so an answer counts only while the port is open at the rate that was asked.
#include <array>
#include <charconv>
#include <string>

#include "app/main_form.h"
#include "app/terminal.h"
#include "comm/comm.h"
#include "protocol/binr_output.h"
#include "protocol/nmea_output.h"

namespace movrand {
namespace {

// The rates each scan tries, in order. 14400 is for fixed-rate connects only; a BINR module
// never talks at 4800.
constexpr std::array<std::uint32_t, 7> kNmeaScanRates{115200, 230400, 57600, 38400,
                                                      19200,  9600,   4800};
constexpr std::array<std::uint32_t, 6> kBinrScanRates{115200, 230400, 57600, 38400, 19200, 9600};
// A scan first checks that the port opens at all, at this rate.
constexpr std::uint32_t kTestOpenRate = 38400;
// The rate the link is assumed at when nothing is open (and after any failed search).
constexpr std::uint32_t kDefaultBaud = 115200;
constexpr std::uint32_t kSlowestNmeaRate = 4800;
// At 4800 the version reply takes longer on the wire, so that rate gets a longer window.
constexpr Milliseconds kSlowRateProbeWindow{1000};
// Probes of the fixed-rate synchronisation before the attempt fails.
constexpr int kSynchProbes = 3;
// Ticks of the restart wait: it starts at 0 after a large image, at 19 after a small one,
// and the reconnect begins at the tick that finds this count.
constexpr int kRestartWaitTicks = 25;
constexpr int kProtocolSearchScans = 2;

constexpr std::uint8_t kParityNone = 0;
constexpr std::uint8_t kParityOdd = 1;

}  // namespace

void TMainForm::ResetConnectionControls() {
  SpeedButtonSynch.setEnabled(true);
  SpeedButtonSynch.setCaption(Messages.TextConnect);
  PortComboBox.setEnabled(true);
  ProtocolComboBox.setEnabled(true);
  BaudComboBox.setEnabled(!ProtocolIsAuto());
  SpeedButtonProgram.setEnabled(false);
  DeviceIdentified = false;
}

void TMainForm::ReportReconnectFailed() {
  LogTimedLine(Messages.TextReconnectFailed);
  BitBtn1.setEnabled(true);
  SpeedButton1.setEnabled(true);
}

void TMainForm::SpeedButtonSynchClick() {
  OpenTrafficLog();
  if (SpeedButtonSynch.caption() != Messages.TextConnect) {
    // Disconnect. No timer runs while the button offers it.
    ClosePort();
    RxMode = RxMode::Idle;
    ResetConnectionControls();
    SpeedButtonOpen.setEnabled(true);
    ProgramRequested = false;
    LogTimedLine(Messages.TextPortCloses);
    CloseTrafficLog();
    return;
  }

  if (TestMode && TermForm) TermForm->ClearText();
  SpeedButtonSynch.setCaption(Messages.TextDisconnect);
  SpeedButtonSynch.setEnabled(false);
  PortComboBox.setEnabled(false);
  ProtocolComboBox.setEnabled(false);
  BaudComboBox.setEnabled(false);
  ProgramRequested = false;
  PortName.clear();

  const std::string item = PortComboBox.text();
  const std::optional<std::string> name = PortNameOf(item);
  if (item.empty() || !name || name->empty()) {
    if (item.empty() || (name && name->empty())) {
      LogTimedLine(Messages.TextSelectPort);
    } else {
      // The port-name field holds 11 characters; a cut name could open another device.
      LogTimedLine(">>Error: The port name is too long: " + item.substr(0, item.find(' ')));
    }
    SpeedButtonSynch.setCaption(Messages.TextConnect);
    SpeedButtonSynch.setEnabled(true);
    PortComboBox.setEnabled(true);
    ProtocolComboBox.setEnabled(true);
    SpeedButtonOpen.setEnabled(true);
    BaudComboBox.setEnabled(!ProtocolIsAuto());
    return;
  }
  PortName = *name;

  bool baudAuto = BaudComboBox.itemIndex() <= 0;
  std::uint32_t rate = 0;
  if (!baudAuto) {
    const std::string text = BaudComboBox.text();
    std::from_chars(text.data(), text.data() + text.size(), rate);
    baudAuto = rate == 0;  // the list holds numbers only; anything else is searched for
  }
  switch (ProtocolComboBox.itemIndex()) {
    case 1:  // BINR
      if (baudAuto) {
        StartBinrScan();
      } else {
        ConnectBinrAtRate(PortName, rate);
      }
      break;
    case 2:  // NMEA
      if (baudAuto) {
        StartNmeaScan();
      } else {
        ConnectNmeaAtRate(PortName, rate);
      }
      break;
    default:  // Auto
      ProtocolAttempts = 0;
      NmeaTried = false;
      StartProtocolSearch();
      break;
  }
}

void TMainForm::ConnectNmeaAtRate(std::string_view port, std::uint32_t rate) {
  ConnectAtRate(port, rate, false);
}

void TMainForm::ConnectBinrAtRate(std::string_view port, std::uint32_t rate) {
  ConnectAtRate(port, rate, true);
}

void TMainForm::ConnectAtRate(std::string_view port, std::uint32_t rate, bool binr) {
  if (OpenPort(port, rate, binr ? kParityOdd : kParityNone)) {
    RxMode = binr ? RxMode::Binr : RxMode::Nmea;
    CurrentBaud = rate;
    RetryCount = 0;
    (binr ? TimerSynchBINR : TimerSynchNMEA).setEnabled(true);
    return;
  }
  ClosePort();
  RxMode = RxMode::Idle;
  CurrentBaud = kDefaultBaud;
  // A pause before the search or the message; the window keeps running meanwhile, with the
  // controls still disabled as the connect left them.
  TimerOpenRetry.setEnabled(true);
}

void TMainForm::TimerOpenRetryTimer() {
  TimerOpenRetry.setEnabled(false);
  if (ReconnectAfterProgramming() == 1) {
    // After programming the module may come back at another rate or protocol: search.
    ProtocolComboBox.setItemIndex(0);
    ProtocolAttempts = 0;
    NmeaTried = false;
    StartProtocolSearch();
  } else {
    LogTimedLine(Messages.TextPortBusy);
  }
  ResetConnectionControls();
  BaudComboBox.setEnabled(true);
  SpeedButtonOpen.setEnabled(true);
  ProgramRequested = false;
  SetReconnectAfterProgramming(0);
}

void TMainForm::TimerSynchNMEATimer() {
  SynchTick(false);
}

void TMainForm::TimerSynchBINRTimer() {
  SynchTick(true);
}

void TMainForm::SynchTick(bool binr) {
  if (RetryCount < kSynchProbes) {
    ++RetryCount;
    if (binr) {
      SendBinrMessage(MsgProbe);
    } else {
      SendNmeaSentence(SentenceVersionQuery);
    }
    return;
  }
  (binr ? TimerSynchBINR : TimerSynchNMEA).setEnabled(false);
  ClosePort();
  RxMode = RxMode::Idle;
  ResetConnectionControls();
  BaudComboBox.setEnabled(true);
  RetryCount = 0;
  if (ReconnectAfterProgramming() == 1) {
    // The module did not answer where it was before programming: look for it anywhere.
    ProtocolComboBox.setItemIndex(0);
    BaudComboBox.setItemIndex(0);
    SpeedButtonSynchClick();
  } else {
    LogTimedLine(Messages.TextNotResponding);
  }
}

void TMainForm::TimerRestartTimer() {
  if (TimerRestart.tag() == kRestartTagRateSwitch) {
    // The module did not confirm the programming rate in time: follow it there anyway.
    TimerRestart.setEnabled(false);
    const std::uint32_t rate = FastProgramming ? 230400 : 115200;
    SetPortBaud(rate);
    CurrentBaud = rate;
    if (RxMode == RxMode::Nmea) TimerSynchNMEA.setEnabled(true);
    if (RxMode == RxMode::Binr) TimerSynchBINR.setEnabled(true);
    TimerRestart.setTag(kRestartTagWait);
    return;
  }
  if (RetryCount < kRestartWaitTicks) {
    ++RetryCount;
    return;
  }
  TimerRestart.setEnabled(false);
  ClosePort();
  dialogs().HideDevProg();
  LogTimedLine(Messages.TextConnecting);
  RxMode = RxMode::Idle;
  ResetConnectionControls();
  SpeedButtonOpen.setEnabled(true);
  ProgramRequested = false;
  SetReconnectAfterProgramming(1);
  TimerReconnectDelay.setEnabled(true);
}

void TMainForm::TimerReconnectDelayTimer() {
  TimerReconnectDelay.setEnabled(false);
  SpeedButtonSynchClick();
}

void TMainForm::StartNmeaScan() {
  StartScan(false);
}

void TMainForm::StartBinrScan() {
  StartScan(true);
}

void TMainForm::StartScan(bool binr) {
  TimerProtocol.setEnabled(false);
  if (OpenPort(PortName, kTestOpenRate, binr ? kParityOdd : kParityNone)) {
    ClosePort();
    BaudIndex = 0;
    LogLine("");
    ScanLine = Memo1.lineCount();
    ProbePending = false;
    (binr ? TimerAutoBaudBinr : TimerAutoBaudNmea).setEnabled(true);
    return;
  }
  ClosePort();
  RxMode = RxMode::Idle;
  if (ProtocolIsAuto()) {
    TimerProtocol.setEnabled(true);
    return;
  }
  ResetConnectionControls();
  SpeedButtonOpen.setEnabled(true);
  if (ReconnectAfterProgramming() == 1) {
    ReportReconnectFailed();
  } else {
    LogTimedLine(Messages.TextPortBusy);
  }
  ProgramRequested = false;
  SetReconnectAfterProgramming(0);
}

void TMainForm::TimerAutoBaudNmeaTimer() {
  ScanTick(false);
}

void TMainForm::TimerAutoBaudBinrTimer() {
  ScanTick(true);
}

void TMainForm::ScanTick(bool binr) {
  Timer& timer = binr ? TimerAutoBaudBinr : TimerAutoBaudNmea;
  if (ProbePending) {
    ProbePending = false;
    ClosePort();
    return;
  }
  const std::size_t rates = binr ? kBinrScanRates.size() : kNmeaScanRates.size();
  const auto index = static_cast<std::size_t>(BaudIndex);
  const std::uint32_t rate =
      index < rates ? (binr ? kBinrScanRates[index] : kNmeaScanRates[index]) : 0;
  if (rate != 0 && OpenPort(PortName, rate, binr ? kParityOdd : kParityNone)) {
    RxMode = binr ? RxMode::Binr : RxMode::Nmea;
    CurrentBaud = rate;
    if (binr) {
      SendBinrMessage(MsgProbe);
    } else {
      timer.setInterval(rate == kSlowestNmeaRate ? kSlowRateProbeWindow
                                                 : kTimerAutoBaudNmeaInterval);
      SendNmeaSentence(SentenceVersionQuery);
    }
    ProbePending = true;
    Memo1.setLine(ScanLine - 1, TimeStamp() + Messages.TextScanning + std::to_string(rate));
    ++BaudIndex;
    return;
  }
  timer.setEnabled(false);
  ClosePort();
  ProbePending = false;
  RxMode = RxMode::Idle;
  CurrentBaud = kDefaultBaud;
  ++BaudIndex;
  if (ProtocolIsAuto()) {
    TimerProtocol.setEnabled(true);
    return;
  }
  ResetConnectionControls();
  if (ReconnectAfterProgramming() == 1) {
    ReportReconnectFailed();
  } else {
    LogTimedLine(Messages.TextNotResponding);
  }
  SetReconnectAfterProgramming(0);
}

void TMainForm::StartProtocolSearch() {
  TimerProtocol.setEnabled(true);
}

void TMainForm::TimerProtocolTimer() {
  if (!NmeaTried && ProtocolAttempts <= 1) {
    NmeaTried = true;
    ++ProtocolAttempts;
    LogLine("...NMEA");
    StartNmeaScan();
  } else if (NmeaTried && ProtocolAttempts < kProtocolSearchScans) {
    NmeaTried = false;
    ++ProtocolAttempts;
    LogLine("...BINR");
    StartBinrScan();
  } else if (ProtocolAttempts >= kProtocolSearchScans) {
    TimerProtocol.setEnabled(false);
    LogTimedLine(Messages.TextDeviceNotFound);
    ResetConnectionControls();
    BaudComboBox.setEnabled(false);
  }
}

}  // namespace movrand

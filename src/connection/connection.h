// Finding the module: the Connect/Disconnect button, synchronisation at a fixed rate, the
// follow of the module to the programming rate, and the wait and reconnect after programming;
// the rate scans and the protocol search are the `Search` it owns (search.h).
//
// Everything is driven by the window's timers, so the window never blocks. The receive
// handler ends each attempt: it stops the probing timers when the module answers. Main
// thread only.
//
// Reach: the selectors (PortComboBox, ProtocolComboBox, BaudComboBox), SpeedButtonSynch
// (caption and tag), SpeedButtonOpen; with the link descriptions (link.h) also
// SpeedButtonProgram, SpeedButton1 and BitBtn1; the timers TimerSynchNMEA, TimerSynchBINR,
// TimerRestart, TimerOpenRetry and TimerReconnectDelay, and through its search (search.h)
// TimerProtocol and the scan timers; the state record, the log pane, the events, the
// programming notice (HideDevProg) and the window's own steps at a connect (OpenTrafficLog,
// CloseTrafficLog, ClearTerminal, ForgetModule).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "connection/link.h"
#include "connection/search.h"
#include "form/form_surface.h"
#include "platform/serial_device.h"

namespace movrand {

class Connection {
 public:
  // Probes of the fixed-rate synchronisation before the attempt fails.
  static constexpr int kSynchProbes = 3;

  explicit Connection(FormSurface& form);
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Connect or Disconnect, decided by the button's caption.
  void SpeedButtonSynchClick();
  // Opens `port` for `link` at `rate` and synchronises (ConnectNmeaAtRate, ConnectBinrAtRate).
  void ConnectAtRate(const LinkDescription& link, std::string_view port, std::uint32_t rate);
  // One tick of the synchronisation timer of `link` (TimerSynchNMEATimer, TimerSynchBINRTimer).
  void SynchTick(const LinkDescription& link);
  void TimerRestartTimer();
  void TimerOpenRetryTimer();
  void TimerReconnectDelayTimer();

  LinkSearch Search;

 private:
  void Disconnect();
  void Connect();
  // Connect without a usable port: `said` and the controls as before the click.
  void RefuseConnect(const std::string& said);

  FormSurface& form_;
  // Why the fixed-rate open failed, until the pause after it says so.
  OpenError openError_ = OpenError::None;
};

}  // namespace movrand

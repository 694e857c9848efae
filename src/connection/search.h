// The automatic rate and protocol search: a rate scan of one protocol, driven by that
// protocol's description, and the protocol search that runs one NMEA scan and then one BINR
// scan when the protocol is "Auto".
//
// A scan opens the port at one rate per tick, sends the probe and closes the port on the next
// tick, so an answer counts only while the port is open at the rate that was asked. The
// receive handler ends a scan: it stops the scan timer when the module answers, and the port
// stays open at that rate. The search state lives here; the rest is the window's surface.
// Main thread only.
//
// Reach: TimerProtocol and, through a link description, one scan timer (TimerAutoBaudNmea or
// TimerAutoBaudBinr); it disables BaudComboBox and enables SpeedButtonOpen; the state record
// (RxMode, CurrentBaud, PortName, ProgramRequested, SpeedButtonSynch's tag), the log pane
// (the scan line is rewritten in place) and the events.
#pragma once

#include "connection/link.h"
#include "form/form_surface.h"
#include "platform/serial_device.h"

namespace movrand {

class LinkSearch {
 public:
  // Scans started by one protocol search.
  static constexpr int kProtocolSearchScans = 2;

  explicit LinkSearch(FormSurface& form);
  LinkSearch(const LinkSearch&) = delete;
  LinkSearch& operator=(const LinkSearch&) = delete;

  // Test-opens the port, then starts the scan timer of `link` (StartNmeaScan, StartBinrScan).
  void StartScan(const LinkDescription& link);
  // One tick of the scan timer of `link` (TimerAutoBaudNmeaTimer, TimerAutoBaudBinrTimer).
  void ScanTick(const LinkDescription& link);
  // Starts the protocol search; the caller has set `ProtocolAttempts` and `NmeaTried` to 0.
  void StartProtocolSearch();
  void TimerProtocolTimer();

  int BaudIndex = 0;          // position in the rate table of the running scan
  bool ProbePending = false;  // this scan tick opened the port; the next only closes it
  bool NmeaTried = false;     // protocol search: the NMEA scan ran last
  int ProtocolAttempts = 0;   // scans started by the running protocol search
  int ScanLine = 0;           // line count of Memo1 when the running scan started

 private:
  // Opens the port for `link`, noting how it went for the search's outcome.
  bool Open(const LinkDescription& link, std::uint32_t rate);

  FormSurface& form_;
  // Since the protocol search started: whether any open succeeded, and why the last one
  // failed. A search that never opened the port has a port problem, not a silent module.
  bool portOpened_ = false;
  OpenError lastOpenError_ = OpenError::None;
};

}  // namespace movrand

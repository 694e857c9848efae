// The main window as the procedures below it see it: the state record they share, the
// controls and timers they read and write, the log pane, the dialogs, the events, and the few
// steps that one procedure hands to another part of the window.
//
// The receive handler (here in form/), the connection (connection/) and the programming
// procedure (programming/) each work on a `FormSurface&` and know nothing else of the window:
// no labels, no settings, no port list, no terminal, no traffic log. `TMainForm` (app/) is a
// FormSurface: it owns these members for the whole run, fills the message table, and
// implements the handed-over steps by delegating to the procedure that owns them. Everything
// here runs on the main thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "form/form_events.h"
#include "platform/controls.h"
#include "platform/event_loop.h"
#include "platform/local_time.h"
#include "protocol/rx_mode.h"

namespace movrand {

// A version field of the module's reply: at most 10 characters and a terminating zero.
using VersionField = std::array<char, 11>;
inline constexpr std::size_t kVersionFieldMax = VersionField{}.size() - 1;
// The field's text, up to its terminating zero.
std::string_view FieldText(const VersionField& field);
// Stores `text` cut to 10 characters; the rest of the field is zero.
void SetField(VersionField& field, std::string_view text);

// Every text the window shows, filled once by the window's constructor. The texts that end
// with a blank are the heads of composed lines.
struct MessageTable {
  std::string TextPortListFailed;
  std::string TextCurrentVersion;
  std::string TextUpgradeFinished;
  std::string TextDeviceReady;
  std::string TextFileSize;
  std::string TextLoadingCompleted;
  std::string TextTooManyErrors;
  std::string TextConnect;
  std::string TextPortBusy;
  std::string TextReconnectFailed;
  std::string TextLogFileFailed;
  std::string TextDisconnect;
  std::string TextSelectPort;
  std::string TextPortCloses;
  std::string TextRate115200;
  std::string TextRate230400;
  std::string TextVersionMismatch;
  std::string TextCantOpenFile;
  std::string TextNotResponding;
  std::string TextScanning;
  std::string TextDeviceNotFound;
  std::string TextThreadFailed;
  std::string TextAborted;
  std::string TextCancelAdvice;
  std::string TextConnecting;
};

// The result of a modal dialog, numbered as the procedures compare it.
enum class ModalResult : int {
  None = 0,    // still running
  OK = 1,      // OK button or Enter
  Cancel = 2,  // Cancel button, Escape or the close box
};

// How the procedures reach the user outside the log pane: the warning dialog before
// programming, the notice while the module restarts, and message boxes. The Qt windows
// implement it with real windows, the headless front end with printed lines, tests with fakes.
class Dialogs {
 public:
  virtual ~Dialogs() = default;
  // Shows the warning dialog modally and returns its result.
  virtual ModalResult ShowAttention() = 0;
  // Shows the programming notice without blocking; the main window stays usable.
  virtual void ShowDevProg() = 0;
  virtual void HideDevProg() = 0;
  // A message box with an OK button; returns when the user has closed it.
  virtual void ShowMessage(const std::string& title, const std::string& text) = 0;
};

class FormSurface {
 public:
  // The timers' intervals as the window is built.
  static constexpr Milliseconds kTimer1Interval{100};
  static constexpr Milliseconds kTimerSynchNmeaInterval{1000};
  static constexpr Milliseconds kTimerSynchBinrInterval{1000};
  static constexpr Milliseconds kTimerAutoBaudBinrInterval{500};
  static constexpr Milliseconds kTimerAutoBaudNmeaInterval{500};
  static constexpr Milliseconds kTimerProtocolInterval{500};
  static constexpr Milliseconds kTimerRestartInterval{1000};
  // A failed fixed-rate open is followed by this pause before anything else happens.
  static constexpr Milliseconds kOpenRetryDelay{500};
  // After the restart wait the module gets this long before the reconnect.
  static constexpr Milliseconds kReconnectDelay{2000};
  // The tags of TimerRestart.
  static constexpr int kRestartTagWait = 0;        // waiting for the module to restart
  static constexpr int kRestartTagRateSwitch = 1;  // following the module to the programming rate

  // `clock` and `dialogs` must outlive the window.
  FormSurface(EventLoop& loop, LocalClock& clock, Dialogs& dialogs);
  virtual ~FormSurface() = default;
  FormSurface(const FormSurface&) = delete;
  FormSurface& operator=(const FormSurface&) = delete;

  // ---- State record -------------------------------------------------------------------------
  movrand::RxMode RxMode = RxMode::Idle;
  bool DeviceIdentified = false;
  bool ProgramRequested = false;
  bool TestMode = false;         // switch "/t"
  bool FastProgramming = false;  // switch "/b": program at 230400 instead of 115200
  // The tag of SpeedButtonSynch: 1 while the automatic reconnect after programming runs.
  int ReconnectAfterProgramming() const { return SpeedButtonSynch.tag(); }
  void SetReconnectAfterProgramming(int value) { SpeedButtonSynch.setTag(value); }

  MessageTable Messages;

  // ---- What the module reported (its last version reply) ------------------------------------
  VersionField DeviceModel{};
  VersionField VersionWord1{};
  VersionField VersionWord3{};
  VersionField VersionWord4{};
  VersionField VersionWord5{};

  // ---- Connection values ----------------------------------------------------------------------
  std::uint32_t CurrentBaud = 115200;  // rate of the open port; 115200 after a failed search
  int RetryCount = 0;                  // probes sent while synchronising; ticks of the restart wait
  std::string PortName;                // the port of the current attempt

  // ---- The controls the procedures read and write --------------------------------------------
  // The window's components keep the names of its layout, which say little of what they are.
  // What each one is on screen, and what a tag means where one is used:
  //
  //   name                on screen                                   tag
  //   PortComboBox        "COM port" drop-down list of the ports      -
  //   ProtocolComboBox    "Protocol": Auto, BINR, NMEA                -
  //   BaudComboBox        "Baud Rate": Auto or a fixed rate           -
  //   Edit1               "FW File": the chosen image's name          -
  //   SpeedButtonOpen     the "Open file" button beside "FW File"     -
  //   SpeedButtonSynch    Connect / Disconnect                        1: the reconnect after
  //                                                                   programming runs
  //   SpeedButtonProgram  Programming                                 -
  //   SpeedButton1        Cancel                                      -
  //   BitBtn1             Close                                       -
  //   Memo1               the log pane                                -
  //   OpenDialog1         the file-open dialog of SpeedButtonOpen     -
  //   Timer1              (no face) the transfer's progress line      -
  //   TimerRestart        (no face) after programming                 1: follow the module to
  //                                                                   the programming rate;
  //                                                                   0: the restart wait
  //
  // The other timers are named for what they do (below); the state record is above.
  ComboBox PortComboBox;      // sorted; rebuilt on every drop-down
  ComboBox ProtocolComboBox;  // "Auto", "BINR", "NMEA"
  ComboBox BaudComboBox;      // "Auto", "230400" ... "4800" (+ "148874" in test mode)
  Edit Edit1;                 // chosen firmware file without folder; hint = full path
  Button SpeedButtonOpen;     // opens the file dialog
  Button SpeedButtonSynch;    // "Connect" / "Disconnect"; its tag: ReconnectAfterProgramming
  Button SpeedButtonProgram;  // starts programming; enabled by UpdateProgramButton
  Memo Memo1;                 // the log pane
  Button SpeedButton1;        // "Cancel"
  Button BitBtn1;             // "Close"
  OpenDialog OpenDialog1;

  // ---- Timers (all disabled at start) -------------------------------------------------------
  Timer Timer1;             // 100 ms: progress line during the transfer
  Timer TimerSynchNMEA;     // 1000 ms: fixed-rate NMEA synchronisation
  Timer TimerSynchBINR;     // 1000 ms: fixed-rate BINR synchronisation
  Timer TimerAutoBaudBinr;  // 500 ms: BINR rate scan
  Timer TimerAutoBaudNmea;  // 500 ms (1000 ms while probing at 4800): NMEA rate scan
  Timer TimerProtocol;      // 500 ms: automatic protocol search
  Timer TimerRestart;       // 1000 ms; tag 1: follow the module's rate, 0: restart wait
  // The pause after a failed fixed-rate open, before the search or the message.
  Timer TimerOpenRetry;
  // The pause between the end of the restart wait and the reconnect.
  Timer TimerReconnectDelay;

  // ---- Log pane -----------------------------------------------------------------------------
  // Appends `text` as a new last line.
  void LogLine(std::string_view text);
  // Appends the local time immediately followed by `text` ("14:03:12>>COM-port closes").
  void LogTimedLine(std::string_view text);
  // The stamp LogTimedLine puts in front, for composed lines.
  std::string TimeStamp();

  // Enables Programming exactly when a module is identified and a file is chosen.
  void UpdateProgramButton();

  // ---- Events, dialogs, the loop ------------------------------------------------------------
  FormEvents Events;
  void Announce(const FormEvent& event) const { Events.Announce(event); }
  Dialogs& dialogs() { return dialogs_; }
  EventLoop& loop() { return loop_; }

  // ---- Steps one procedure hands to another part of the window -------------------------------
  // The Cancel action (the programming procedure's); the receive handler runs it when the
  // reconnect after programming has found the module.
  virtual void SpeedButton1Click() = 0;
  // Loader entry (the programming procedure's); the receive handler runs it on a version
  // reply while programming waits for one.
  virtual void StartLoaderEntry() = 0;
  // One received byte for the loader exchange (the programming procedure's); false when the
  // rest of the chunk is to be dropped.
  virtual bool LoaderByte(std::uint8_t byte) = 0;
  // The traffic log of "/l" (the window's own): a connect opens it, the ends of a connection
  // close it.
  virtual void OpenTrafficLog() = 0;
  virtual void CloseTrafficLog() = 0;
  // Test mode: a connect clears the terminal window's text (the window's own).
  virtual void ClearTerminal() = 0;
  // A Connect the user pressed: nothing a module said before may vouch for the one that
  // answers now, so the version fields and the version data they are read from are emptied
  // (the receive handler's). Within one connection a field a reply leaves out keeps its value.
  virtual void ForgetModule() = 0;

 private:
  EventLoop& loop_;
  LocalClock& clock_;
  Dialogs& dialogs_;
};

}  // namespace movrand

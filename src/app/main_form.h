// The main window as a plain model: its components, its seven timers, the state record the
// procedures share, the message table and the log pane.
//
// Everything here runs on the main thread. A view (the Qt window, the headless front end, a
// test) binds to the control models and calls the handlers; the connection and programming
// procedures read and write the same members. The services the window needs (time, port
// list, file dialog, dialogs) come in through interfaces, so the whole window works headless
// on the virtual clock.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/controls.h"
#include "app/dialogs.h"
#include "app/services.h"
#include "comm/collectors.h"
#include "platform/event_loop.h"
#include "platform/port_source.h"
#include "protocol/rx_mode.h"

namespace movrand {

class TTermForm;

// A version field of the module's reply: at most 10 characters and a terminating zero.
using VersionField = std::array<char, 11>;
inline constexpr std::size_t kVersionFieldMax = VersionField{}.size() - 1;
// The field's text, up to its terminating zero.
std::string_view FieldText(const VersionField& field);
// Stores `text` cut to 10 characters; the rest of the field is zero.
void SetField(VersionField& field, std::string_view text);

// The firmware image buffer: 1 MiB, the largest image the program can send.
inline constexpr std::size_t kImageBufferSize = 1u << 20;

// Owns an open C stream and closes it once.
struct FileCloser {
  void operator()(std::FILE* file) const {
    if (file) std::fclose(file);
  }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

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

// What the window gets from outside. The referenced objects must outlive the window.
struct MainFormServices {
  LocalClock& clock;
  PortSource& ports;
  FileDialog& fileDialog;
  Dialogs& dialogs;
  // Full path of the program file: the file dialog starts in its folder, the settings file
  // lives next to it.
  std::filesystem::path programFile;
};

// The port name of a port-list item: its text up to the first blank. Nothing when that name
// is longer than `kPortNameMax` characters, the most the connection's port-name field holds
// (a cut name would open another device). An empty item gives an empty name.
inline constexpr std::size_t kPortNameMax = 11;
std::optional<std::string> PortNameOf(std::string_view itemText);

class TMainForm {
 public:
  static constexpr int kClientWidth = 318;
  static constexpr int kClientHeight = 344;
  static constexpr int kPortDropDownWidth = 200;  // pixels: wide enough for "name    -driver"

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

  // Builds the window: captions and tooltips, message table, `RxMode` := Idle, the port list,
  // the settings, an empty log pane, the cleared connection flags.
  TMainForm(EventLoop& loop, MainFormServices services);
  ~TMainForm();
  TMainForm(const TMainForm&) = delete;
  TMainForm& operator=(const TMainForm&) = delete;

  // ---- The window itself ------------------------------------------------------------------
  std::string Caption;  // "  Movrand v5.12"
  // Screen position of the window's top-left corner. The view writes it back whenever the
  // user moves the window (the settings store it at close).
  int Left = 0;
  int Top = 0;

  // ---- Components, top to bottom ----------------------------------------------------------
  Label LabelPort;
  ComboBox PortComboBox;  // sorted; rebuilt on every drop-down
  Label LabelProtocol;
  ComboBox ProtocolComboBox;  // "Auto", "BINR", "NMEA"
  Label LabelBaud;
  ComboBox BaudComboBox;  // "Auto", "230400" ... "4800" (+ "148874" in test mode)
  Label LabelFile;
  Edit Edit1;                 // chosen firmware file without folder; hint = full path
  Button SpeedButtonOpen;     // opens the file dialog
  Button SpeedButtonSynch;    // "Connect" / "Disconnect"; its tag: ReconnectAfterProgramming
  Button SpeedButtonProgram;  // starts programming; enabled by UpdateProgramButton
  Memo Memo1;                 // the log pane
  CheckBox CheckBox1;         // "Show process" (test mode only)
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
  // The tags of TimerRestart.
  static constexpr int kRestartTagWait = 0;        // waiting for the module to restart
  static constexpr int kRestartTagRateSwitch = 1;  // following the module to the programming rate

  // ---- State record -------------------------------------------------------------------------
  movrand::RxMode RxMode = RxMode::Idle;
  bool ProbePending = false;
  bool DeviceIdentified = false;
  int BaudIndex = 0;
  bool NmeaTried = false;
  bool ProgramRequested = false;
  bool LogEnabled = false;       // switch "/l"
  FileHandle LogFile;            // the open traffic log, none until a connect opens it
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
  // The collectors keep partial sentences and frames across chunks and mode changes.
  NmeaCollector NmeaRx;
  BinrCollector BinrRx;

  // ---- Connection values ----------------------------------------------------------------------
  std::uint32_t CurrentBaud = 115200;  // rate of the open port; 115200 after a failed search
  int RetryCount = 0;                  // probes sent while synchronising; ticks of the restart wait
  std::string PortName;      // the port of the current attempt (at most kPortNameMax characters)
  int ProtocolAttempts = 0;  // scans started by the running protocol search
  int ScanLine = 0;          // line count of Memo1 when the running scan started
  // The pause after a failed fixed-rate open, before the search or the message.
  Timer TimerOpenRetry;
  // The pause between the end of the restart wait and the reconnect.
  Timer TimerReconnectDelay;

  // ---- Firmware image and transfer ----------------------------------------------------------
  std::vector<std::uint8_t> ImageBuffer;  // kImageBufferSize bytes, allocated once
  std::int32_t ImageLength = 0;           // bytes to send, a multiple of 128 once checked
  std::int32_t ImageOffset = 0;
  std::int32_t BlockNumber = 1;
  std::int32_t BlockComplement = 254;
  std::int32_t LastBlockOffset = 0;
  std::int32_t LastBlockNumber = 0;
  std::int32_t LastBlockComplement = 0;
  std::int32_t NakCount = 0;
  std::int32_t LoaderCCount = 0;
  std::int32_t BytesInKB = 0;
  std::int32_t KBSent = 0;

  // The terminal window, when there is one; received chunks are echoed to it.
  TTermForm* TermForm = nullptr;

  // ---- Log pane -----------------------------------------------------------------------------
  // Appends `text` as a new last line.
  void LogLine(std::string_view text);
  // Appends the local time immediately followed by `text` ("14:03:12>>COM-port closes").
  void LogTimedLine(std::string_view text);
  // The stamp LogTimedLine puts in front, for composed lines.
  std::string TimeStamp();

  // Enables Programming exactly when a module is identified and a file is chosen.
  void UpdateProgramButton();

  // ---- Handlers -----------------------------------------------------------------------------
  void ProtocolComboBoxChange();
  void SpeedButtonOpenClick();
  void PortComboBoxDropDown();
  void SpeedButtonSynchClick();    // filled by the connection code
  void SpeedButtonProgramClick();  // filled by the programming code
  void SpeedButton1Click();        // filled by the programming code (Cancel)
  void CheckBox1Click();           // filled by the terminal window code
  // Asks the view to close the window (`onCloseRequest`); the view's close then runs
  // FormClose. Without a view it runs FormClose itself.
  void BitBtn1Click();
  // The window is closing: stores the settings. May throw std::exception when the settings
  // cannot be written; the view then shows the message and keeps the window open.
  void FormClose();
  void Timer1Timer();             // filled by the programming code
  void TimerSynchNMEATimer();     // filled by the connection code
  void TimerSynchBINRTimer();     // filled by the connection code
  void TimerAutoBaudBinrTimer();  // filled by the connection code
  void TimerAutoBaudNmeaTimer();  // filled by the connection code
  void TimerProtocolTimer();      // filled by the connection code
  void TimerRestartTimer();       // filled by the connection code

  // ---- Received data ------------------------------------------------------------------------
  // A chunk from the serial link: mirrors it to the terminal and the traffic log, then
  // parses it according to RxMode.
  void PortDataReceived(const std::uint8_t* data, int length);
  void ReceiveParser(const std::uint8_t* data, int length);
  // The device behind the open port has gone.
  void PortLost();

  // ---- Connection ---------------------------------------------------------------------------
  void ConnectNmeaAtRate(std::string_view port, std::uint32_t rate);
  void ConnectBinrAtRate(std::string_view port, std::uint32_t rate);
  void ResetConnectionControls();
  void ReportReconnectFailed();
  void StartNmeaScan();
  void StartBinrScan();
  void StartProtocolSearch();
  void TimerOpenRetryTimer();
  void TimerReconnectDelayTimer();

  // ---- Programming --------------------------------------------------------------------------
  // Loads and checks the chosen firmware file; false (with the log line written) when the
  // image cannot be programmed.
  bool LoadImage();
  void StartLoaderEntry();
  // One received byte while waiting for the loader or transferring; false when the rest of
  // the chunk is to be dropped.
  bool LoaderByte(std::uint8_t byte);
  void SendBlock();

  // ---- Traffic log ("/l") -------------------------------------------------------------------
  void OpenTrafficLog();
  void CloseTrafficLog();
  void WriteTrafficReceived(const std::uint8_t* data, int length);
  void WriteTrafficSent(const std::uint8_t* data, std::size_t length);

  // Set by the view: closes the real window.
  std::function<void()> onCloseRequest;

  // ---- Port list and settings ---------------------------------------------------------------
  // Rebuilds PortComboBox from the port source and selects the first port; writes
  // TextPortListFailed when the source cannot be read.
  void RefreshPortList();
  // The settings file: the program file's folder and name with the extension ".ini".
  std::filesystem::path SettingsPath() const;
  // Reads the settings file into the controls (defaults of a first start when there is none).
  void LoadSettings();
  // Writes the six settings; throws std::runtime_error "Unable to write to <path>" when a
  // write fails, with the keys before it written.
  void SaveSettings();

  // ---- Services, for the procedures ---------------------------------------------------------
  EventLoop& loop() { return loop_; }
  Dialogs& dialogs() { return services_.dialogs; }
  const std::filesystem::path& programFile() const { return services_.programFile; }

 private:
  // The module's replies, as the receive handler meets them.
  std::string PortLine(std::string_view protocol) const;
  void NmeaVersionReply(const NmeaSentence& sentence);
  void NmeaRateConfirmation(const NmeaSentence& sentence);
  void FollowRateConfirmation(std::int64_t rate, Timer& synchTimer);
  void BinrProbeAnswer();
  void BinrVersionReply();
  void Identified(const std::string& versionLine);
  // The connection's shared steps.
  void StartScan(bool binr);
  void ScanTick(bool binr);
  void ConnectAtRate(std::string_view port, std::uint32_t rate, bool binr);
  void SynchTick(bool binr);
  bool ProtocolIsAuto() const { return ProtocolComboBox.itemIndex() == 0; }

  void SetCaptions();
  void FillMessageTable();
  void WireHandlers();

  EventLoop& loop_;
  MainFormServices services_;
};

}  // namespace movrand

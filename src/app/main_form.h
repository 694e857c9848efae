// The main window as a plain model: its components, its timers, the state record the
// procedures share, the message table and the log pane, and the procedures themselves.
//
// The window is a FormSurface (form/form_surface.h): the part the procedures work on.
// It owns the receive handler (form/), the connection (connection/) and the programming
// procedure (programming/); each handler the window's components name is a short delegation
// to the procedure that owns it. What is the window's own lives here: the captions, the
// message table, the port list, the settings, the file choice, the terminal echo and the
// traffic log. The window announces what happened through `Events` (form/form_events.h).
//
// Everything here runs on the main thread. A view (the Qt window, the headless front end, a
// test) binds to the control models and calls the handlers. The services the window needs
// (time, port list, file dialog, dialogs) come in through interfaces, so the whole window
// works headless on the virtual clock.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "app/dialogs.h"
#include "app/services.h"
#include "connection/connection.h"
#include "form/form_surface.h"
#include "form/receive_parser.h"
#include "platform/controls.h"
#include "platform/error.h"
#include "platform/event_loop.h"
#include "platform/port_source.h"
#include "programming/programming.h"

namespace movrand {

class TTermForm;

// Owns an open C stream and closes it once.
struct FileCloser {
  void operator()(std::FILE* file) const {
    if (file) std::fclose(file);
  }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

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

class TMainForm final : public FormSurface {
 public:
  static constexpr int kClientWidth = 318;
  static constexpr int kClientHeight = 344;
  static constexpr int kPortDropDownWidth = 200;  // pixels: wide enough for "name    -driver"

  // Builds the window: captions and tooltips, message table, `RxMode` := Idle, the port list,
  // the settings, an empty log pane, the cleared connection flags.
  TMainForm(EventLoop& loop, MainFormServices services);
  ~TMainForm() override;

  // ---- The window itself ------------------------------------------------------------------
  std::string Caption;  // "  Movrand v5.12"
  // Screen position of the window's top-left corner. The view writes it back whenever the
  // user moves the window (the settings store it at close).
  int Left = 0;
  int Top = 0;

  // ---- Components of the window's own (the others are the surface's) ------------------------
  Label LabelPort;
  Label LabelProtocol;
  Label LabelBaud;
  Label LabelFile;
  CheckBox CheckBox1;  // "Show process" (test mode only)

  // ---- State record of the window's own -----------------------------------------------------
  bool LogEnabled = false;  // switch "/l"
  FileHandle LogFile;       // the open traffic log, none until a connect opens it

  // ---- The procedures -----------------------------------------------------------------------
  ReceiveHandler Receiver;  // routes received bytes; owns the collectors
  Connection Link;          // connect, synchronise, search, reconnect
  Programming Programmer;   // image, transfer, Cancel

  // The terminal window, when there is one; received chunks are echoed to it.
  TTermForm* TermForm = nullptr;

  // ---- Handlers -----------------------------------------------------------------------------
  void ProtocolComboBoxChange();
  void SpeedButtonOpenClick();
  void PortComboBoxDropDown();
  void SpeedButtonSynchClick();
  void SpeedButtonProgramClick();
  void SpeedButton1Click() override;  // Cancel
  void CheckBox1Click();              // the terminal window's code
  // Asks the view to close the window (`onCloseRequest`); the view's close then runs
  // FormClose. Without a view it runs FormClose itself.
  void BitBtn1Click();
  // The window is closing: stores the settings. Fails when they cannot be written; the view
  // then shows the message and keeps the window open.
  Result<void> FormClose();
  void Timer1Timer();
  void TimerSynchNMEATimer();
  void TimerSynchBINRTimer();
  void TimerAutoBaudBinrTimer();
  void TimerAutoBaudNmeaTimer();
  void TimerProtocolTimer();
  void TimerRestartTimer();
  void TimerOpenRetryTimer();
  void TimerReconnectDelayTimer();

  // ---- Received data ------------------------------------------------------------------------
  // A chunk from the serial link: mirrors it to the terminal and the traffic log, then
  // routes it according to RxMode.
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

  // ---- Programming --------------------------------------------------------------------------
  bool LoadImage();
  void StartLoaderEntry() override;
  bool LoaderByte(std::uint8_t byte) override;

  // ---- Traffic log ("/l") -------------------------------------------------------------------
  void OpenTrafficLog() override;
  void CloseTrafficLog() override;
  void WriteTrafficReceived(const std::uint8_t* data, int length);
  void WriteTrafficSent(const std::uint8_t* data, std::size_t length);

  // Test mode: each connect empties the terminal window's text.
  void ClearTerminal() override;
  void ForgetModule() override;

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
  // Writes the six settings; fails with "Unable to write to <path>" when a write fails, with
  // the keys before it written.
  Result<void> SaveSettings();

  const std::filesystem::path& programFile() const { return services_.programFile; }

 private:
  void SetCaptions();
  void FillMessageTable();
  void WireHandlers();

  MainFormServices services_;
};

}  // namespace movrand

#include "app/main_form.h"

#include <utility>

#include "app/terminal.h"

namespace movrand {
namespace {

constexpr std::string_view kPortItemSeparator = "    -";  // between port name and description

}  // namespace

TMainForm::TMainForm(EventLoop& loop, MainFormServices services)
    : FormSurface(loop, services.clock, services.dialogs),
      Receiver(*this),
      Link(*this),
      Programmer(*this, Receiver),
      services_(std::move(services)) {
  // The components as laid out, before the constructor proper runs.
  Caption = "  Movrand v5.12";
  PortComboBox.setSorted(true);
  for (const char* item : {"Auto", "BINR", "NMEA"}) ProtocolComboBox.addItem(item);
  ProtocolComboBox.setItemIndex(0);
  ProtocolComboBox.setDropDownCount(3);
  for (const char* item :
       {"Auto", "230400", "115200", "57600", "38400", "19200", "14400", "9600", "4800"}) {
    BaudComboBox.addItem(item);
  }
  SpeedButtonProgram.setEnabled(false);
  CheckBox1.setVisible(false);  // shown by the test-mode switch only
  WireHandlers();

  SetCaptions();
  FillMessageTable();
  RxMode = RxMode::Idle;
  RefreshPortList();
  LoadSettings();
  // Whatever the port list or the settings reported is dropped: the window opens with an
  // empty log pane.
  Memo1.clear();
  Link.Search.ProbePending = false;
  DeviceIdentified = false;
  Link.Search.NmeaTried = false;
  LogFile.reset();
}

TMainForm::~TMainForm() = default;

void TMainForm::SetCaptions() {
  LabelBaud.setCaption("Baud Rate");
  LabelPort.setCaption("COM port");
  LabelProtocol.setCaption("Protocol");
  LabelFile.setCaption("FW File");
  SpeedButtonOpen.setHint("Open file");
  SpeedButtonSynch.setCaption("Connect");
  SpeedButtonSynch.setHint("Synchronize");
  SpeedButtonProgram.setCaption("Programming");
  SpeedButtonProgram.setHint("Programming");
  BitBtn1.setCaption("Close");
  SpeedButton1.setCaption("Cancel");
  CheckBox1.setCaption("Show process");
}

void TMainForm::FillMessageTable() {
  MessageTable& m = Messages;
  m.TextPortListFailed = ">>Error: The program can't get PC ports list!";
  m.TextCurrentVersion = ">>Current FW version: ";
  m.TextUpgradeFinished = ">>FW upgrade is FINISHED";
  m.TextDeviceReady = ">>Device is ready for normal operation";
  m.TextFileSize = ">>File Size ";
  m.TextLoadingCompleted = ">>Loading completed";
  m.TextTooManyErrors = ">>Data loading has been canceled because of multiple errors!";
  m.TextConnect = "Connect";
  m.TextPortBusy = ">>COM port is busy or not available";
  m.TextReconnectFailed =
      ">>Connection with device was lost after reprogramming. Please try connect manually "
      "before POWER OFF or RESTART!";
  m.TextLogFileFailed = ">>Can't create log-file";
  m.TextDisconnect = "Disconnect";
  m.TextSelectPort = ">>Error: Please select the COM - port!";
  m.TextPortCloses = ">>COM-port closes";
  m.TextRate115200 = ">>COM-port baudrate have been changed to 115200 for device programming!";
  m.TextRate230400 = ">>COM-port baudrate have been changed to 230400 for device programming!";
  m.TextVersionMismatch = ">>Version of the software does not match the version of the device ";
  m.TextCantOpenFile = ">>Can't open the file ";
  m.TextNotResponding = ">>Device is not responding...";
  m.TextScanning = ">>Scanning...";
  m.TextDeviceNotFound = ">>Program could not find the device!";
  m.TextThreadFailed = ">>Error: Can't create thread!";
  m.TextAborted = ">>The process is aborted";
  m.TextCancelAdvice =
      "FW loading procedure canceled\n\n Please wait at least 60 seconds before\n next attempt "
      "to connect with the device\n Another option is to restart device manually!";
  m.TextConnecting = ">>Connection...";
}

void TMainForm::WireHandlers() {
  PortComboBox.onDropDown = [this] { PortComboBoxDropDown(); };
  ProtocolComboBox.onChange = [this] { ProtocolComboBoxChange(); };
  SpeedButtonOpen.onClick = [this] { SpeedButtonOpenClick(); };
  SpeedButtonSynch.onClick = [this] { SpeedButtonSynchClick(); };
  SpeedButtonProgram.onClick = [this] { SpeedButtonProgramClick(); };
  SpeedButton1.onClick = [this] { SpeedButton1Click(); };
  BitBtn1.onClick = [this] { BitBtn1Click(); };
  CheckBox1.onClick = [this] { CheckBox1Click(); };
  Timer1.onTimer = [this] { Timer1Timer(); };
  TimerSynchNMEA.onTimer = [this] { TimerSynchNMEATimer(); };
  TimerSynchBINR.onTimer = [this] { TimerSynchBINRTimer(); };
  TimerAutoBaudBinr.onTimer = [this] { TimerAutoBaudBinrTimer(); };
  TimerAutoBaudNmea.onTimer = [this] { TimerAutoBaudNmeaTimer(); };
  TimerProtocol.onTimer = [this] { TimerProtocolTimer(); };
  TimerRestart.onTimer = [this] { TimerRestartTimer(); };
  TimerOpenRetry.onTimer = [this] { TimerOpenRetryTimer(); };
  TimerReconnectDelay.onTimer = [this] { TimerReconnectDelayTimer(); };
}

void TMainForm::ProtocolComboBoxChange() {
  // With "Auto" the search finds the rate too, so the rate selector has nothing to say.
  if (ProtocolComboBox.itemIndex() == 0) {
    BaudComboBox.setItemIndex(0);
    BaudComboBox.setEnabled(false);
  } else {
    BaudComboBox.setEnabled(true);
  }
}

void TMainForm::SpeedButtonOpenClick() {
  OpenDialog1.InitialDir = services_.programFile.parent_path().string();
  if (!services_.fileDialog.Execute(OpenDialog1)) return;
  Edit1.setHint(OpenDialog1.FileName);
  Edit1.setText("");
  Edit1.setText(std::filesystem::path(OpenDialog1.FileName).filename().string());
  UpdateProgramButton();
}

void TMainForm::PortComboBoxDropDown() {
  RefreshPortList();
}

void TMainForm::RefreshPortList() {
  PortComboBox.clearItems();
  const std::optional<std::vector<SerialPortEntry>> ports = services_.ports.ListPorts();
  if (!ports) {
    LogTimedLine(Messages.TextPortListFailed);
    return;
  }
  PortComboBox.setDropDownCount(static_cast<int>(ports->size()));
  for (const SerialPortEntry& port : *ports) {
    std::string item = port.name;
    item.append(kPortItemSeparator).append(port.description);
    PortComboBox.addItem(std::move(item));
  }
  PortComboBox.setItemIndex(0);
  PortComboBox.setDropDownWidth(kPortDropDownWidth);
}

void TMainForm::BitBtn1Click() {
  if (onCloseRequest) {
    onCloseRequest();
  } else {
    // Without a view there is no window to keep open and no one to show a failure to.
    [[maybe_unused]] const Result<void> closed = FormClose();
  }
}

Result<void> TMainForm::FormClose() {
  return SaveSettings();
}

// ---- Delegations to the procedures -------------------------------------------------------

void TMainForm::SpeedButtonSynchClick() {
  Link.SpeedButtonSynchClick();
}

void TMainForm::ConnectNmeaAtRate(std::string_view port, std::uint32_t rate) {
  Link.ConnectAtRate(kNmeaLink, port, rate);
}

void TMainForm::ConnectBinrAtRate(std::string_view port, std::uint32_t rate) {
  Link.ConnectAtRate(kBinrLink, port, rate);
}

void TMainForm::ResetConnectionControls() {
  movrand::ResetConnectionControls(*this);
}

void TMainForm::ReportReconnectFailed() {
  movrand::ReportReconnectFailed(*this);
}

void TMainForm::TimerSynchNMEATimer() {
  Link.SynchTick(kNmeaLink);
}

void TMainForm::TimerSynchBINRTimer() {
  Link.SynchTick(kBinrLink);
}

void TMainForm::TimerRestartTimer() {
  Link.TimerRestartTimer();
}

void TMainForm::TimerOpenRetryTimer() {
  Link.TimerOpenRetryTimer();
}

void TMainForm::TimerReconnectDelayTimer() {
  Link.TimerReconnectDelayTimer();
}

void TMainForm::StartNmeaScan() {
  Link.Search.StartScan(kNmeaLink);
}

void TMainForm::StartBinrScan() {
  Link.Search.StartScan(kBinrLink);
}

void TMainForm::StartProtocolSearch() {
  Link.Search.StartProtocolSearch();
}

void TMainForm::TimerAutoBaudNmeaTimer() {
  Link.Search.ScanTick(kNmeaLink);
}

void TMainForm::TimerAutoBaudBinrTimer() {
  Link.Search.ScanTick(kBinrLink);
}

void TMainForm::TimerProtocolTimer() {
  Link.Search.TimerProtocolTimer();
}

void TMainForm::SpeedButtonProgramClick() {
  Programmer.SpeedButtonProgramClick();
}

bool TMainForm::LoadImage() {
  return Programmer.LoadImage();
}

void TMainForm::StartLoaderEntry() {
  Programmer.StartLoaderEntry();
}

bool TMainForm::LoaderByte(std::uint8_t byte) {
  return Programmer.LoaderByte(byte);
}

void TMainForm::Timer1Timer() {
  Programmer.Timer1Timer();
}

void TMainForm::SpeedButton1Click() {
  Programmer.SpeedButton1Click();
}

// ---- Received data ---------------------------------------------------------------------

void TMainForm::PortDataReceived(const std::uint8_t* data, int length) {
  if (!data || length <= 0) return;
  ReceiveParser(data, length);
}

void TMainForm::ReceiveParser(const std::uint8_t* data, int length) {
  // The mirror first, whatever the mode: the terminal and the traffic log see every chunk.
  if (TermForm) TermForm->Echo(data, length);
  WriteTrafficReceived(data, length);
  Receiver.Route(data, length);
}

void TMainForm::ClearTerminal() {
  if (TermForm) TermForm->ClearText();
}

void TMainForm::ForgetModule() {
  for (VersionField* field :
       {&DeviceModel, &VersionWord1, &VersionWord3, &VersionWord4, &VersionWord5}) {
    field->fill('\0');
  }
  Receiver.ForgetModule();
}

void TMainForm::PortLost() {
  // The progress line is rewritten in place as the last line; once the line below it is
  // written it would overwrite that instead. Nothing more can be sent: it shows its final
  // count now.
  if (Timer1.enabled()) Timer1Timer();
  const std::string line = ">>COM port " + PortName + " is lost: the device was disconnected";
  LogTimedLine(line);
  Announce({.kind = FormEvent::Kind::PortLost, .text = line, .port = PortName});
}

}  // namespace movrand

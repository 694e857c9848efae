#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/main_form.h"
#include "form_fakes.h"

namespace movrand {
namespace {

using namespace std::chrono_literals;
using testing::FormFixture;
using Lines = std::vector<std::string>;

const std::vector<SerialPortEntry> kThreePorts = {
    {"ttyS2", "serial8250"}, {"ttyS10", "serial8250"}, {"ttyS1", "serial8250"}};

TEST(MainFormConstruction, CaptionsAndTooltipsAreSet) {
  FormFixture f;
  const TMainForm& form = f.form;
  EXPECT_EQ(form.Caption, "  Movrand v5.12");
  EXPECT_EQ(form.LabelBaud.caption(), "Baud Rate");
  EXPECT_EQ(form.LabelPort.caption(), "COM port");
  EXPECT_EQ(form.LabelProtocol.caption(), "Protocol");
  EXPECT_EQ(form.LabelFile.caption(), "FW File");
  EXPECT_EQ(form.SpeedButtonOpen.hint(), "Open file");
  EXPECT_EQ(form.SpeedButtonSynch.caption(), "Connect");
  EXPECT_EQ(form.SpeedButtonSynch.hint(), "Synchronize");
  EXPECT_EQ(form.SpeedButtonProgram.caption(), "Programming");
  EXPECT_EQ(form.SpeedButtonProgram.hint(), "Programming");
  EXPECT_EQ(form.BitBtn1.caption(), "Close");
  EXPECT_EQ(form.SpeedButton1.caption(), "Cancel");
  EXPECT_EQ(form.CheckBox1.caption(), "Show process");
}

TEST(MainFormConstruction, SelectorsButtonsAndStateStartAsLaidOut) {
  FormFixture f(kThreePorts);
  const TMainForm& form = f.form;
  EXPECT_TRUE(form.PortComboBox.sorted());
  EXPECT_EQ(form.PortComboBox.itemIndex(), 0);
  EXPECT_EQ(form.ProtocolComboBox.items(), (Lines{"Auto", "BINR", "NMEA"}));
  EXPECT_EQ(form.ProtocolComboBox.itemIndex(), 0);
  EXPECT_EQ(form.BaudComboBox.items(), (Lines{"Auto", "230400", "115200", "57600", "38400", "19200",
                                              "14400", "9600", "4800"}));
  EXPECT_FALSE(form.BaudComboBox.sorted());
  // As on a first start: "Auto" rate, which "Auto" protocol leaves for the search to find.
  EXPECT_EQ(form.BaudComboBox.itemIndex(), 0);
  EXPECT_FALSE(form.BaudComboBox.enabled());
  EXPECT_TRUE(form.Edit1.text().empty());
  EXPECT_FALSE(form.SpeedButtonProgram.enabled());
  EXPECT_TRUE(form.SpeedButtonSynch.enabled());
  EXPECT_FALSE(form.CheckBox1.visible());
  EXPECT_TRUE(form.Memo1.lines().empty());

  EXPECT_EQ(form.RxMode, RxMode::Idle);
  EXPECT_FALSE(form.Link.Search.ProbePending);
  EXPECT_FALSE(form.DeviceIdentified);
  EXPECT_FALSE(form.Link.Search.NmeaTried);
  EXPECT_FALSE(form.ProgramRequested);
  EXPECT_FALSE(form.LogEnabled);
  EXPECT_EQ(form.LogFile, nullptr);
  EXPECT_FALSE(form.TestMode);
  EXPECT_FALSE(form.FastProgramming);
  EXPECT_EQ(form.ReconnectAfterProgramming(), 0);
  EXPECT_EQ(form.TimerRestart.tag(), 0);
}

TEST(MainFormConstruction, TimersAreDisabledWithTheirIntervals) {
  FormFixture f;
  const struct {
    const Timer& timer;
    Milliseconds interval;
  } timers[] = {{f.form.Timer1, 100ms},
                {f.form.TimerSynchNMEA, 1000ms},
                {f.form.TimerSynchBINR, 1000ms},
                {f.form.TimerAutoBaudBinr, 500ms},
                {f.form.TimerAutoBaudNmea, 500ms},
                {f.form.TimerProtocol, 500ms},
                {f.form.TimerRestart, 1000ms}};
  for (const auto& t : timers) {
    EXPECT_FALSE(t.timer.enabled());
    EXPECT_EQ(t.timer.interval(), t.interval);
  }
}

TEST(MainFormConstruction, LogPaneIsEmptyEvenWhenThePortListFailed) {
  FormFixture f(std::nullopt);
  EXPECT_TRUE(f.form.Memo1.lines().empty());
  EXPECT_EQ(f.clock.calls, 1) << "the failure was reported, then wiped";
  EXPECT_TRUE(f.form.PortComboBox.items().empty());
  EXPECT_EQ(f.form.PortComboBox.itemIndex(), -1);
}

TEST(MainFormConstruction, MessageTableHoldsEveryTextExactly) {
  FormFixture f;
  const MessageTable& m = f.form.Messages;
  const std::pair<const std::string&, const char*> texts[] = {
      {m.TextPortListFailed, ">>Error: The program can't get PC ports list!"},
      {m.TextCurrentVersion, ">>Current FW version: "},
      {m.TextUpgradeFinished, ">>FW upgrade is FINISHED"},
      {m.TextDeviceReady, ">>Device is ready for normal operation"},
      {m.TextFileSize, ">>File Size "},
      {m.TextLoadingCompleted, ">>Loading completed"},
      {m.TextTooManyErrors, ">>Data loading has been canceled because of multiple errors!"},
      {m.TextConnect, "Connect"},
      {m.TextPortBusy, ">>COM port is busy or not available"},
      {m.TextReconnectFailed,
       ">>Connection with device was lost after reprogramming. Please try connect manually "
       "before POWER OFF or RESTART!"},
      {m.TextLogFileFailed, ">>Can't create log-file"},
      {m.TextDisconnect, "Disconnect"},
      {m.TextSelectPort, ">>Error: Please select the COM - port!"},
      {m.TextPortCloses, ">>COM-port closes"},
      {m.TextRate115200, ">>COM-port baudrate have been changed to 115200 for device programming!"},
      {m.TextRate230400, ">>COM-port baudrate have been changed to 230400 for device programming!"},
      {m.TextVersionMismatch,
       ">>Version of the software does not match the version of the device "},
      {m.TextCantOpenFile, ">>Can't open the file "},
      {m.TextNotResponding, ">>Device is not responding..."},
      {m.TextScanning, ">>Scanning..."},
      {m.TextDeviceNotFound, ">>Program could not find the device!"},
      {m.TextThreadFailed, ">>Error: Can't create thread!"},
      {m.TextAborted, ">>The process is aborted"},
      {m.TextCancelAdvice,
       "FW loading procedure canceled\n\n Please wait at least 60 seconds before\n next "
       "attempt to connect with the device\n Another option is to restart device manually!"},
      {m.TextConnecting, ">>Connection..."},
  };
  for (const auto& [actual, expected] : texts) EXPECT_EQ(actual, expected);
}

TEST(MainFormLog, TimedLineHasTheStampRightBeforeTheText) {
  FormFixture f;
  f.clock.time = "09:41:07";
  f.form.LogTimedLine(f.form.Messages.TextPortCloses);
  f.form.LogLine("plain");
  EXPECT_EQ(f.form.Memo1.lines(), (Lines{"09:41:07>>COM-port closes", "plain"}));
}

TEST(MainFormProgramButton, EnabledOnlyWithAnIdentifiedModuleAndAFile) {
  const struct {
    bool identified;
    const char* file;
    bool enabled;
  } cases[] = {
      {false, "", false}, {true, "", false}, {false, "fw.bin", false}, {true, "fw.bin", true}};
  FormFixture f;
  for (const auto& c : cases) {
    f.form.DeviceIdentified = c.identified;
    f.form.Edit1.setText(c.file);
    f.form.UpdateProgramButton();
    EXPECT_EQ(f.form.SpeedButtonProgram.enabled(), c.enabled)
        << "identified=" << c.identified << " file='" << c.file << "'";
  }
}

TEST(MainFormProtocol, AutoForcesAutoRateAndAFixedProtocolFreesTheRate) {
  FormFixture f;
  TMainForm& form = f.form;
  form.ProtocolComboBox.userSelect(1);  // BINR
  EXPECT_TRUE(form.BaudComboBox.enabled());
  form.BaudComboBox.userSelect(3);  // 57600

  form.ProtocolComboBox.userSelect(0);  // Auto
  EXPECT_EQ(form.BaudComboBox.itemIndex(), 0);
  EXPECT_FALSE(form.BaudComboBox.enabled());

  form.ProtocolComboBox.userSelect(2);  // NMEA
  EXPECT_TRUE(form.BaudComboBox.enabled());
  EXPECT_EQ(form.BaudComboBox.itemIndex(), 0) << "selection stays as it was";

  form.BaudComboBox.userSelect(5);
  form.ProtocolComboBox.userSelect(1);
  EXPECT_EQ(form.BaudComboBox.itemIndex(), 5);
}

TEST(MainFormFile, CancelledDialogChangesNothing) {
  FormFixture f;
  f.form.DeviceIdentified = true;
  f.fileDialog.answer = "/data/fw/first.bin";
  f.form.SpeedButtonOpen.click();
  f.form.UpdateProgramButton();
  ASSERT_TRUE(f.form.SpeedButtonProgram.enabled());

  f.fileDialog.answer.reset();
  f.form.SpeedButtonOpen.click();
  ASSERT_EQ(f.fileDialog.shown.size(), 2u);
  EXPECT_EQ(f.fileDialog.shown[1].FileName, "/data/fw/first.bin") << "previous file pre-set";
  EXPECT_EQ(f.form.OpenDialog1.FileName, "/data/fw/first.bin");
  EXPECT_EQ(f.form.Edit1.text(), "first.bin");
  EXPECT_EQ(f.form.Edit1.hint(), "/data/fw/first.bin");
  EXPECT_TRUE(f.form.SpeedButtonProgram.enabled());
}

TEST(MainFormFile, ChosenFileShowsItsNameAndFullPathAndWaitsForAModule) {
  FormFixture f;
  f.fileDialog.answer = "/data/fw/image_v2.bin";
  f.form.SpeedButtonOpen.click();

  ASSERT_EQ(f.fileDialog.shown.size(), 1u);
  EXPECT_EQ(f.fileDialog.shown[0].InitialDir, "/opt/movrand/bin");
  EXPECT_EQ(f.fileDialog.shown[0].Filter, "binary (*.bin)|*.bin");
  EXPECT_EQ(f.fileDialog.shown[0].FileName, "");
  EXPECT_EQ(f.form.Edit1.text(), "image_v2.bin");
  EXPECT_EQ(f.form.Edit1.hint(), "/data/fw/image_v2.bin");
  EXPECT_EQ(f.form.OpenDialog1.FileName, "/data/fw/image_v2.bin");
  EXPECT_FALSE(f.form.SpeedButtonProgram.enabled());

  f.form.DeviceIdentified = true;
  f.form.UpdateProgramButton();
  EXPECT_TRUE(f.form.SpeedButtonProgram.enabled());
}

TEST(MainFormPorts, ListIsSortedWithoutRegardToCaseAndTheFirstSelected) {
  FormFixture f(std::vector<SerialPortEntry>{{"ttyS2", "serial8250"},
                                             {"ttyS10", "serial8250"},
                                             {"ttyacm0", "cdc_acm"},
                                             {"ttyS1", "serial8250"}});
  const ComboBox& box = f.form.PortComboBox;
  EXPECT_EQ(box.items(), (Lines{"ttyacm0    -cdc_acm", "ttyS1    -serial8250",
                                "ttyS10    -serial8250", "ttyS2    -serial8250"}));
  EXPECT_EQ(box.itemIndex(), 0);
  EXPECT_EQ(box.dropDownCount(), 4);
  EXPECT_EQ(box.dropDownWidth(), 200);
}

TEST(MainFormPorts, DropDownRebuildsTheListAndSelectsTheFirstPortAgain) {
  FormFixture f(kThreePorts);
  ComboBox& box = f.form.PortComboBox;
  box.userSelect(2);
  f.ports.ports->push_back({"ttyUSB0", "ftdi_sio"});
  box.dropDown();
  EXPECT_EQ(box.items().size(), 4u);
  EXPECT_EQ(box.items().back(), "ttyUSB0    -ftdi_sio");
  EXPECT_EQ(box.itemIndex(), 0);
  EXPECT_EQ(box.dropDownCount(), 4);

  f.ports.ports->erase(f.ports.ports->begin());  // ttyS2 unplugged
  box.dropDown();
  EXPECT_EQ(box.items(),
            (Lines{"ttyS1    -serial8250", "ttyS10    -serial8250", "ttyUSB0    -ftdi_sio"}));
  EXPECT_TRUE(f.form.Memo1.lines().empty());
}

TEST(MainFormPorts, EmptySourceGivesAnEmptyListAndNoMessage) {
  FormFixture f(kThreePorts);
  f.ports.ports->clear();
  f.form.PortComboBox.dropDown();
  EXPECT_TRUE(f.form.PortComboBox.items().empty());
  EXPECT_EQ(f.form.PortComboBox.itemIndex(), -1);
  EXPECT_EQ(f.form.PortComboBox.dropDownCount(), 0);
  EXPECT_TRUE(f.form.Memo1.lines().empty());
}

TEST(MainFormPorts, UnreadableSourceEmptiesTheListAndSaysSo) {
  FormFixture f(kThreePorts);
  f.ports.ports.reset();
  f.clock.time = "10:00:01";
  f.form.PortComboBox.dropDown();
  EXPECT_TRUE(f.form.PortComboBox.items().empty());
  EXPECT_EQ(f.form.PortComboBox.itemIndex(), -1);
  EXPECT_EQ(f.form.PortComboBox.dropDownCount(), 3) << "rows stay as they were";
  EXPECT_EQ(f.form.Memo1.lines(), (Lines{"10:00:01>>Error: The program can't get PC ports list!"}));
}

TEST(PortNameOf, TakesTheTextUpToTheFirstBlankWithinTheFieldSize) {
  EXPECT_EQ(PortNameOf("ttyS1    -serial8250"), "ttyS1");
  EXPECT_EQ(PortNameOf("COM3"), "COM3");
  EXPECT_EQ(PortNameOf(""), "");
  EXPECT_EQ(PortNameOf("ttyUSB12345    -x"), "ttyUSB12345");  // 11 characters: fits
  EXPECT_EQ(PortNameOf("ttyUSB123456    -x"), std::nullopt) << "never cut to another name";
}

TEST(MainFormClose, CloseButtonAsksTheViewToClose) {
  FormFixture f;
  int requests = 0;
  f.form.onCloseRequest = [&] { ++requests; };
  f.form.BitBtn1.click();
  EXPECT_EQ(requests, 1);
}

}  // namespace
}  // namespace movrand

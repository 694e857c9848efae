// The Win32 windows of the program, built in-process (under wine in the Windows test run): the
// layout as the shared table gives it, the fonts and the keyboard order, the bindings both
// ways, the port list rebuilt on a drop-down, the terminal window, the warning dialog's keys
// and close box, the notice, the settings written at close, and the command-line text.
#include <windows.h>

#include <gtest/gtest.h>

#include <commctrl.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/layout.h"
#include "win32gui/error_box.h"
#include "win32gui/program.h"

namespace movrand::win32 {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class FakePorts final : public PortSource {
 public:
  std::vector<SerialPortEntry> ports{{"COM5", "Serial4"}, {"COM1", "Serial0"}};
  std::optional<std::vector<SerialPortEntry>> ListPorts() override { return ports; }
};

class FixedClock final : public LocalClock {
 public:
  std::string LongTime() override { return "10:15:02"; }
};

RECT clientRectOf(HWND child) {
  RECT rect{};
  GetWindowRect(child, &rect);
  MapWindowPoints(HWND_DESKTOP, GetParent(child), reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

LOGFONTA fontOf(HWND window) {
  LOGFONTA font{};
  GetObjectA(reinterpret_cast<HFONT>(SendMessageA(window, WM_GETFONT, 0, 0)), sizeof font, &font);
  return font;
}

bool visible(HWND window) {
  return (GetWindowLongPtrA(window, GWL_STYLE) & WS_VISIBLE) != 0;
}

class WindowsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setErrorReporter([this](const std::string& message) { errors.push_back(message); });
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    folder = fs::path(temp) / ("movrand-windows-test-" + std::to_string(GetCurrentProcessId()) +
                               "-" + std::to_string(++serial));
    fs::create_directories(folder);
    auto fake = std::make_unique<FakePorts>();
    ports = fake.get();
    program = std::make_unique<Program>(Program::Options{.ports = std::move(fake),
                                                         .clock = std::make_unique<FixedClock>(),
                                                         .programFile = folder / "movrand.exe"});
  }
  void TearDown() override {
    program.reset();
    setErrorReporter(nullptr);
    std::error_code ignored;
    fs::remove_all(folder, ignored);
  }

  HWND main() { return program->mainWindow().hwnd(); }
  HWND control(const char* name) { return program->mainWindow().child(name); }
  // Runs `work` on the loop once a modal loop is running (it is posted before the loop starts).
  void whenShown(std::function<void()> work) { program->loop().post(std::move(work)); }
  // Sends what a user's choice of item `index` makes the drop-down list send.
  void userPicks(HWND combo, int index) {
    SendMessageA(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    SendMessageA(main(), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(combo), CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(combo));
  }
  void clicked(HWND button) {
    SendMessageA(GetParent(button), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(button), BN_CLICKED),
                 reinterpret_cast<LPARAM>(button));
  }

  static inline int serial = 0;
  fs::path folder;
  FakePorts* ports = nullptr;
  std::unique_ptr<Program> program;
  std::vector<std::string> errors;
};

TEST_F(WindowsTest, TheMainWindowStandsAsTheLayoutTableSays) {
  RECT client{};
  GetClientRect(main(), &client);
  EXPECT_EQ(client.right, 318);
  EXPECT_EQ(client.bottom, 344);
  EXPECT_EQ(WindowText(main()), "  Movrand v5.12");
  const auto style = GetWindowLongPtrA(main(), GWL_STYLE);
  EXPECT_TRUE(style & WS_MINIMIZEBOX);
  EXPECT_TRUE(style & WS_SYSMENU);
  EXPECT_FALSE(style & WS_MAXIMIZEBOX);
  EXPECT_FALSE(style & WS_THICKFRAME);  // not resizable

  for (const Place& place : kMainWindowLayout) {
    SCOPED_TRACE(std::string(place.name));
    if (place.name == "Image1") {  // drawn on the window itself
      EXPECT_EQ(program->mainWindow().child(place.name), nullptr);
      continue;
    }
    const HWND child = program->mainWindow().child(place.name);
    ASSERT_NE(child, nullptr);
    const RECT at = clientRectOf(child);
    EXPECT_EQ(at.left, place.x);
    EXPECT_EQ(at.top, place.y);
    EXPECT_EQ(at.right - at.left, place.width);
    EXPECT_EQ(at.bottom - at.top, place.height);
    const LOGFONTA font = fontOf(child);
    EXPECT_EQ(font.lfHeight, -kMainFontPixels);
    EXPECT_STREQ(font.lfFaceName, kControlFontFamily);
    EXPECT_EQ(font.lfCharSet, RUSSIAN_CHARSET);
  }
  // Captions come from the model; the check box shows only in test mode.
  EXPECT_EQ(WindowText(control("LabelBaud")), "Baud Rate");
  EXPECT_EQ(WindowText(control("SpeedButtonSynch")), "Connect");
  EXPECT_EQ(WindowText(control("BitBtn1")), "Close");
  EXPECT_FALSE(visible(control("CheckBox1")));
  EXPECT_FALSE(IsWindowEnabled(control("SpeedButtonProgram")));
  EXPECT_FALSE(IsWindowEnabled(control("BaudComboBox")));  // Auto protocol on a first start
}

TEST_F(WindowsTest, TheKeyboardGoesThroughTheControlsInTheTableOrder) {
  userPicks(control("ProtocolComboBox"), 1);  // the rate selector takes its turn once enabled
  std::vector<std::string> order;
  HWND at = control("Memo1");
  for (std::size_t i = 0; i < kMainTabOrder.size(); ++i) {
    for (const Place& place : kMainWindowLayout) {
      if (program->mainWindow().child(place.name) == at) order.emplace_back(place.name);
    }
    at = GetNextDlgTabItem(main(), at, FALSE);
  }
  // The check box is hidden outside test mode and so takes no turn.
  std::vector<std::string> expected;
  for (std::string_view name : kMainTabOrder) {
    if (name != "CheckBox1") expected.emplace_back(name);
  }
  expected.push_back("Memo1");  // and round again
  EXPECT_EQ(order, expected);
}

TEST_F(WindowsTest, ControlsFollowTheirModelsAndTheUsersChoicesReachTheHandlers) {
  TMainForm& form = program->form();
  // The user picks BINR: the protocol rule enables the rate selector.
  userPicks(control("ProtocolComboBox"), 1);
  EXPECT_EQ(form.ProtocolComboBox.itemIndex(), 1);
  EXPECT_TRUE(IsWindowEnabled(control("BaudComboBox")));
  // Back to Auto: the rate selector shows Auto and is disabled again.
  userPicks(control("BaudComboBox"), 3);
  userPicks(control("ProtocolComboBox"), 0);
  EXPECT_EQ(SendMessageA(control("BaudComboBox"), CB_GETCURSEL, 0, 0), 0);
  EXPECT_FALSE(IsWindowEnabled(control("BaudComboBox")));

  form.Edit1.setText("fw.bin");
  EXPECT_EQ(WindowText(control("Edit1")), "fw.bin");
  form.SpeedButtonProgram.setEnabled(true);
  EXPECT_TRUE(IsWindowEnabled(control("SpeedButtonProgram")));

  // The log pane: lines appended, the last one rewritten in place, cleared.
  form.LogTimedLine(">>Connection...");
  form.LogLine(">>File Size 1kB");
  form.Memo1.setLastLine(">>File Size 2kB");
  EXPECT_EQ(WindowText(control("Memo1")), "10:15:02>>Connection...\r\n>>File Size 2kB");
  form.Memo1.clear();
  EXPECT_EQ(WindowText(control("Memo1")), "");
}

TEST_F(WindowsTest, OpeningThePortListReadsThePortsAgain) {
  const HWND combo = control("PortComboBox");
  EXPECT_EQ(SendMessageA(combo, CB_GETCOUNT, 0, 0), 2);
  userPicks(combo, 1);
  ports->ports.push_back({"COM10", "VCP0"});
  SendMessageA(main(), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(combo), CBN_DROPDOWN),
               reinterpret_cast<LPARAM>(combo));
  // Sorted without regard to case, the first port selected again.
  ASSERT_EQ(SendMessageA(combo, CB_GETCOUNT, 0, 0), 3);
  char first[64] = {};
  SendMessageA(combo, CB_GETLBTEXT, 0, reinterpret_cast<LPARAM>(first));
  EXPECT_STREQ(first, "COM1    -Serial0");
  EXPECT_EQ(SendMessageA(combo, CB_GETCURSEL, 0, 0), 0);
  EXPECT_EQ(SendMessageA(combo, CB_GETDROPPEDWIDTH, 0, 0), TMainForm::kPortDropDownWidth);
}

TEST_F(WindowsTest, ShowProcessOpensTheTerminalAndItsCloseBoxUnchecksIt) {
  program->applyCommandLine("/t");
  const HWND check = control("CheckBox1");
  EXPECT_TRUE(visible(check));
  EXPECT_EQ(SendMessageA(control("BaudComboBox"), CB_GETCOUNT, 0, 0), 10);
  const HWND terminal = program->terminalWindow().hwnd();
  EXPECT_FALSE(IsWindowVisible(terminal));
  RECT client{};
  GetClientRect(terminal, &client);
  EXPECT_EQ(client.right, kTerminalClientWidth);
  EXPECT_EQ(client.bottom, kTerminalClientHeight);

  clicked(check);
  EXPECT_EQ(SendMessageA(check, BM_GETCHECK, 0, 0), BST_CHECKED);
  EXPECT_TRUE(IsWindowVisible(terminal));
  EXPECT_EQ(WindowText(terminal), "Terminal (COM1    -Serial0)");

  // A chunk in String mode, then the pause button stops the echo.
  const std::uint8_t chunk[] = {'$', 'A', '\r', '\n'};
  program->form().PortDataReceived(chunk, 4);
  const HWND box = program->terminalWindow().child("Memo1");
  EXPECT_EQ(WindowText(box), "$A\r\n");
  const HWND pause = program->terminalWindow().child("SpeedButton1");
  clicked(pause);
  EXPECT_EQ(WindowText(pause), "Start");
  program->form().PortDataReceived(chunk, 4);
  EXPECT_EQ(WindowText(box), "$A\r\n");

  SendMessageA(terminal, WM_CLOSE, 0, 0);
  EXPECT_FALSE(IsWindowVisible(terminal));
  EXPECT_EQ(SendMessageA(check, BM_GETCHECK, 0, 0), BST_UNCHECKED);
  EXPECT_FALSE(program->termForm().Monitoring);
}

TEST_F(WindowsTest, TheTerminalCountsLinesAsItsBoxWrapsThem) {
  TerminalWindow& terminal = program->terminalWindow();
  EXPECT_EQ(terminal.wrap("short"), (std::vector<std::size_t>{0}));
  // Hexadecimal bytes wrap at the blanks, each line as wide as the box allows.
  std::string hex;
  for (int i = 0; i < 100; ++i) hex += "0D ";
  const std::vector<std::size_t> starts = terminal.wrap(hex);
  ASSERT_GT(starts.size(), 1u);
  for (std::size_t i = 1; i < starts.size(); ++i) {
    EXPECT_EQ(starts[i] % 3, 0u) << "a line starts inside a byte";
    EXPECT_EQ(starts[i] - starts[i - 1], starts[1]) << "lines of unequal length";
  }
  // A word longer than the box is cut where it no longer fits.
  const std::vector<std::size_t> cut = terminal.wrap(std::string(400, 'W'));
  EXPECT_GT(cut.size(), 1u);
}

TEST_F(WindowsTest, EnterConfirmsTheWarningAtOnceEscapeAndTheCloseBoxDecline) {
  const HWND dialog = program->attentionWindow().hwnd();
  std::string caption, label1, focus;
  RECT label{};
  whenShown([&] {
    caption = WindowText(dialog);
    const HWND focused = GetFocus();
    focus = WindowText(focused);
    label1 = WindowText(program->attentionWindow().child("Label1"));
    label = clientRectOf(program->attentionWindow().child("Label1"));
    EXPECT_FALSE(IsWindowEnabled(main()));  // modal
    PostMessageA(focused, WM_KEYDOWN, VK_RETURN, 0);
  });
  EXPECT_EQ(program->dialogs().ShowAttention(), ModalResult::OK);
  EXPECT_EQ(caption, "Attention!!!");
  EXPECT_EQ(focus, "OK");
  EXPECT_EQ(label1, "Turning device power off or reset");
  EXPECT_EQ(label.left, 0);
  EXPECT_EQ(label.top, 13);
  RECT outer{};
  GetWindowRect(dialog, &outer);
  EXPECT_EQ(label.right, outer.right - outer.left);  // centred on the full outer width
  EXPECT_FALSE(IsWindowVisible(dialog));
  EXPECT_TRUE(IsWindowEnabled(main()));

  whenShown([&] { PostMessageA(GetFocus(), WM_KEYDOWN, VK_ESCAPE, 0); });
  EXPECT_EQ(program->dialogs().ShowAttention(), ModalResult::Cancel);
  whenShown([&] { PostMessageA(dialog, WM_CLOSE, 0, 0); });
  EXPECT_EQ(program->dialogs().ShowAttention(), ModalResult::Cancel);
  // The Cancel button, first in the keyboard order.
  whenShown([&] {
    const HWND cancel = GetNextDlgTabItem(dialog, GetDlgItem(dialog, IDOK), FALSE);
    EXPECT_EQ(WindowText(cancel), "Cancel");
    clicked(cancel);
  });
  EXPECT_EQ(program->dialogs().ShowAttention(), ModalResult::Cancel);
  // And OK pressed by the mouse, after all that.
  whenShown([&] { clicked(GetDlgItem(dialog, IDOK)); });
  EXPECT_EQ(program->dialogs().ShowAttention(), ModalResult::OK);
}

TEST_F(WindowsTest, TheNoticeShowsWithoutBlockingAndItsCloseBoxOnlyHidesIt) {
  const HWND notice = program->devProgWindow().hwnd();
  program->mainWindow().show();
  program->dialogs().ShowDevProg();
  EXPECT_TRUE(IsWindowVisible(notice));
  EXPECT_TRUE(IsWindowEnabled(main()));
  EXPECT_EQ(WindowText(notice), "Attention!!!");
  EXPECT_EQ(WindowText(program->devProgWindow().child("Label2")),
            "PLEASE DON'T TURN DEVICE POWER OFF OR RESET !!!");
  const LOGFONTA font = fontOf(program->devProgWindow().child("Label1"));
  EXPECT_EQ(font.lfHeight, -kDialogFontPixels);
  EXPECT_EQ(font.lfWeight, FW_BOLD);
  RECT client{};
  GetClientRect(notice, &client);
  EXPECT_EQ(client.right, kDevProgClientWidth);
  EXPECT_EQ(client.bottom, kDevProgClientHeight);
  SendMessageA(notice, WM_CLOSE, 0, 0);
  EXPECT_FALSE(IsWindowVisible(notice));
  program->dialogs().ShowDevProg();
  EXPECT_TRUE(IsWindowVisible(notice));
  program->dialogs().HideDevProg();
  EXPECT_FALSE(IsWindowVisible(notice));
}

TEST_F(WindowsTest, ClosingTheWindowWritesTheSixSettingsInOrderAndEndsTheLoop) {
  program->mainWindow().show();
  SetWindowPos(main(), nullptr, 40, 50, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  EXPECT_EQ(program->form().Left, 40);
  EXPECT_EQ(program->form().Top, 50);
  userPicks(control("ProtocolComboBox"), 2);
  userPicks(control("BaudComboBox"), 4);
  clicked(control("BitBtn1"));
  EXPECT_TRUE(program->mainWindow().closed());
  EXPECT_FALSE(IsWindowVisible(main()));
  std::ifstream in(folder / "movrand.ini", std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(),
            "[Settings]\r\nPort=0\r\nProtocol=2\r\nBaud=4\r\nFileName=\r\nLeft=40\r\nTop=50\r\n");
  EXPECT_EQ(program->loop().run(), 0);  // the close has ended the message loop
}

TEST(CommandLine, TheArgumentTextIsWhatFollowsTheProgramsName) {
  EXPECT_EQ(ArgumentTextOf("\"C:\\Program Files\\Movrand\\movrand.exe\" /t"), " /t");
  EXPECT_EQ(ArgumentTextOf("movrand.exe /l"), " /l");
  EXPECT_EQ(ArgumentTextOf("movrand.exe\t/b"), "\t/b");
  EXPECT_EQ(ArgumentTextOf("movrand.exe"), "");
  EXPECT_EQ(ArgumentTextOf("\"unclosed /t"), "");
  EXPECT_TRUE(ParseSwitches(ArgumentTextOf("\"C:\\a b\\movrand.exe\"   /tx")).test);
  EXPECT_FALSE(ParseSwitches(ArgumentTextOf("C:\\x\\/t.exe")).test);  // the name is no switch
}

TEST(FileFilter, PairsBecomeTheDialogsNulSeparatedList) {
  EXPECT_EQ(Win32FileFilter("binary (*.bin)|*.bin"), std::string("binary (*.bin)\0*.bin\0\0", 22));
  EXPECT_EQ(Win32FileFilter("a|*.a|b|*.b;*.c"), std::string("a\0*.a\0b\0*.b;*.c\0\0", 17));
  EXPECT_EQ(Win32FileFilter("lonely"), std::string("\0", 1));
}

}  // namespace
}  // namespace movrand::win32

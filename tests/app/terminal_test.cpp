// The terminal window's model: how a received chunk is rendered in each format, the box's
// trimming to 15 displayed lines, pause and clear, and how "Show process" opens and closes it.
#include "app/terminal.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/main_form.h"
#include "form_fakes.h"

namespace movrand {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Starts = std::vector<std::size_t>;

const std::vector<SerialPortEntry> kPorts = {{"ttyS0", "serial8250"}, {"ttyUSB1", "ftdi_sio"}};

// The main window with its terminal, as the program builds them.
struct Terminal : ::testing::Test {
  Terminal() { f.form.TermForm = &term; }

  void Echo(const Bytes& bytes) { term.Echo(bytes.data(), static_cast<int>(bytes.size())); }
  void Echo(const std::string& text) {
    term.Echo(reinterpret_cast<const std::uint8_t*>(text.data()), static_cast<int>(text.size()));
  }
  // Checks "Show process" as the user does.
  void ShowProcess() {
    f.form.CheckBox1.setVisible(true);
    f.form.CheckBox1.click();
  }
  std::size_t Lines() const { return term.DisplayedLineCount(); }

  testing::FormFixture f{kPorts};
  TTermForm term{f.form};
};

TEST(TerminalWrap, WrapsAfterTheLastBlankThatFitsOrInsideALongWord) {
  const struct {
    const char* paragraph;
    std::size_t columns;
    Starts starts;
  } cases[] = {
      {"", 5, {0}},
      {"abcde", 5, {0}},                // fits exactly
      {"ab cd ef", 5, {0, 6}},          // "ab cd " then "ef": the blank in column 6 hangs
      {"abc defgh", 5, {0, 4}},         // breaks after the blank
      {"abcdefghijkl", 5, {0, 5, 10}},  // no blank: cut at the width
      {"abcde ", 5, {0}},               // a trailing blank hangs, no empty line follows
      {"41 42 43 44 45 ", 6, {0, 6, 12}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.paragraph);
    EXPECT_EQ(WrapAtColumns(c.paragraph, c.columns), c.starts);
  }
}

TEST(TerminalWrap, OnlyCrLfEndsAParagraphAndATrailingBreakShowsAnEmptyLine) {
  const WrapFunction wide = [](std::string_view p) { return WrapAtColumns(p, 80); };
  EXPECT_EQ(DisplayLineStarts("", wide), (Starts{0}));
  EXPECT_EQ(DisplayLineStarts("$A\r\n", wide), (Starts{0, 4}));
  EXPECT_EQ(DisplayLineStarts("a\r\nb\r\n\r\nc", wide), (Starts{0, 3, 6, 8}));
  // A lone LF or CR breaks nothing.
  EXPECT_EQ(DisplayLineStarts("a\nb\rc", wide), (Starts{0}));
  // Wrapped pieces count as lines.
  const WrapFunction narrow = [](std::string_view p) { return WrapAtColumns(p, 3); };
  EXPECT_EQ(DisplayLineStarts("abcdefg\r\nhi", narrow), (Starts{0, 3, 6, 9}));
}

TEST(TerminalWrap, AMeasurementOutsideTheParagraphIsIgnored) {
  const WrapFunction broken = [](std::string_view) { return Starts{7, 2, 2, 1, 99}; };
  EXPECT_EQ(DisplayLineStarts("abcdefgh\r\nxy", broken), (Starts{0, 7, 10, 11}));
}

TEST_F(Terminal, IsBuiltHiddenNotMonitoringAndLaidOut) {
  EXPECT_FALSE(term.Visible());
  EXPECT_FALSE(term.Monitoring);
  EXPECT_EQ(term.Caption(), "Terminal ");
  EXPECT_EQ(term.SpeedButton1.caption(), "Stop");
  EXPECT_FALSE(term.SpeedButton1.down());
  EXPECT_EQ(term.RadioGroup1.caption(), "Format");
  EXPECT_EQ(term.RadioGroup1.items(), (std::vector<std::string>{"String", "Hex"}));
  EXPECT_EQ(term.RadioGroup1.itemIndex(), 0);
  EXPECT_EQ(term.RadioGroup1.columns(), 2);
  EXPECT_EQ(term.Button1.caption(), "Clear");
  EXPECT_TRUE(term.Memo1.text().empty());
}

TEST_F(Terminal, RendersEachFormatAndStopsTheStringAtAZeroByte) {
  const struct {
    int format;
    Bytes chunk;
    std::string shown;
  } cases[] = {
      {TTermForm::kFormatString, {0x24, 0x41, 0x0D, 0x0A}, "$A\r\n"},
      {TTermForm::kFormatHex, {0x24, 0x41, 0x0D, 0x0A}, "24 41 0D 0A "},
      {TTermForm::kFormatString, {0x41, 0x00, 0x42}, "A"},
      {TTermForm::kFormatHex, {0x41, 0x00, 0x42}, "41 00 42 "},
      {TTermForm::kFormatString, {0x00, 0x41}, ""},
      // Other control bytes and 8-bit bytes pass as they are.
      {TTermForm::kFormatString, {0x01, 0x09, 0xFF, 0x0A}, "\x01\t\xFF\n"},
      {TTermForm::kFormatHex, {0xFF, 0xA5, 0x10}, "FF A5 10 "},
  };
  term.Monitoring = true;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shown);
    term.RadioGroup1.setItemIndex(c.format);
    term.ClearText();
    Echo(std::string("x"));  // something shown before: the rendering is appended to it
    Echo(c.chunk);
    EXPECT_EQ(term.TermText, c.shown);
    EXPECT_EQ(term.Memo1.text(), (c.format == TTermForm::kFormatString ? "x" : "78 ") + c.shown);
  }
}

TEST_F(Terminal, HexStaysOnTheCurrentLineAndStringBreaksOnlyAtCrLf) {
  term.Monitoring = true;
  Echo(std::string("$GP"));
  Echo(std::string("GGA\r"));
  EXPECT_EQ(Lines(), 1u);
  Echo(std::string("\n$GPRMC"));  // CR and LF in two chunks still make one break
  EXPECT_EQ(term.Memo1.text(), "$GPGGA\r\n$GPRMC");
  EXPECT_EQ(Lines(), 2u);

  term.RadioGroup1.userSelect(TTermForm::kFormatHex);
  Echo(Bytes{0x0D, 0x0A});
  Echo(Bytes{0x24});
  EXPECT_EQ(term.Memo1.text(), "0D 0A 24 ");
  EXPECT_EQ(Lines(), 1u);
}

TEST_F(Terminal, WithoutMonitoringNothingIsAddedButTheChunkTextIsEmptied) {
  term.Monitoring = true;
  Echo(std::string("$GPGGA\r\n"));
  term.Monitoring = false;
  Echo(std::string("$GPRMC\r\n"));
  EXPECT_EQ(term.TermText, "");
  EXPECT_EQ(term.Memo1.text(), "$GPGGA\r\n");
  // Nothing to echo and nowhere to read from: nothing happens.
  term.Monitoring = true;
  term.Echo(nullptr, 5);
  term.Echo(reinterpret_cast<const std::uint8_t*>("x"), 0);
  term.Echo(reinterpret_cast<const std::uint8_t*>("x"), -1);
  EXPECT_EQ(term.Memo1.text(), "$GPGGA\r\n");
}

TEST_F(Terminal, TwentyOneLineChunksLeaveAtMostFifteenLinesNewestLast) {
  term.Monitoring = true;
  std::vector<std::size_t> counts;
  for (int i = 1; i <= 20; ++i) {
    Echo("$LINE" + std::to_string(i) + "\r\n");
    counts.push_back(Lines());
  }
  // Each chunk adds a line (the box ends on an empty line); at 16 the first 3 go.
  EXPECT_EQ(counts, (std::vector<std::size_t>{2,  3,  4,  5,  6,  7,  8,  9,  10, 11,
                                              12, 13, 14, 15, 13, 14, 15, 13, 14, 15}));
  std::string expected;
  for (int i = 7; i <= 20; ++i) expected += "$LINE" + std::to_string(i) + "\r\n";
  EXPECT_EQ(term.Memo1.text(), expected);
}

TEST_F(Terminal, HexTrimsFiveWrappedLinesAtOnce) {
  // A box four bytes wide: every chunk of four fills one displayed line.
  term.SetWrap([](std::string_view p) { return WrapAtColumns(p, 12); });
  term.RadioGroup1.userSelect(TTermForm::kFormatHex);
  term.Monitoring = true;
  for (std::uint8_t i = 1; i <= 15; ++i) Echo(Bytes{i, i, i, i});
  EXPECT_EQ(Lines(), 15u);
  Echo(Bytes{16, 16, 16, 16});
  EXPECT_EQ(Lines(), 11u);
  EXPECT_EQ(term.Memo1.text().substr(0, 12), "06 06 06 06 ");
  EXPECT_EQ(term.Memo1.text().substr(term.Memo1.text().size() - 12), "10 10 10 10 ");
}

TEST_F(Terminal, AChunkOfManyLinesIsTakenDownThreeAtATimeByTheFollowingChunks) {
  term.Monitoring = true;
  std::string many;
  for (int i = 0; i < 30; ++i) many += "$MANY\r\n";
  Echo(many);
  EXPECT_EQ(Lines(), 28u);  // 31 lines, trimmed once
  Echo(std::string("$ONE\r\n"));
  EXPECT_EQ(Lines(), 26u);
  Echo(std::string("$TWO\r\n"));
  EXPECT_EQ(Lines(), 24u);
}

TEST_F(Terminal, ASteadyStreamOfLongChunksKeepsTheBoxBounded) {
  term.RadioGroup1.userSelect(TTermForm::kFormatHex);
  term.Monitoring = true;
  const Bytes chunk(10240, 0x5A);  // the largest chunk the reader delivers
  for (int i = 0; i < 8; ++i) {
    Echo(chunk);
    ASSERT_LE(term.Memo1.text().size(), TTermForm::kMaxTextBytes);
  }
  // What was cut went by whole lines from the top; the newest chunk is there whole.
  EXPECT_GE(term.Memo1.text().size(), chunk.size() * 3);
  EXPECT_EQ(term.Memo1.text().substr(0, 3), "5A ");
  EXPECT_EQ(term.Memo1.text().substr(term.Memo1.text().size() - 3), "5A ");
}

TEST_F(Terminal, StopPausesTheEchoAndStartResumesIt) {
  ShowProcess();
  Echo(std::string("$A\r\n"));
  term.SpeedButton1.click();
  EXPECT_TRUE(term.SpeedButton1.down());
  EXPECT_EQ(term.SpeedButton1.caption(), "Start");
  EXPECT_FALSE(term.Monitoring);
  Echo(std::string("$B\r\n"));
  EXPECT_EQ(term.Memo1.text(), "$A\r\n");  // the text stays

  term.SpeedButton1.click();
  EXPECT_FALSE(term.SpeedButton1.down());
  EXPECT_EQ(term.SpeedButton1.caption(), "Stop");
  EXPECT_TRUE(term.Monitoring);
  Echo(std::string("$C\r\n"));
  EXPECT_EQ(term.Memo1.text(), "$A\r\n$C\r\n");
}

TEST_F(Terminal, ShowingAgainMonitorsEvenWhileTheButtonStillReadsStart) {
  ShowProcess();
  term.SpeedButton1.click();  // paused: "Start"
  f.form.CheckBox1.click();   // hide
  f.form.CheckBox1.click();   // show again
  EXPECT_TRUE(term.Monitoring);
  EXPECT_EQ(term.SpeedButton1.caption(), "Start");
  Echo(std::string("$A"));
  EXPECT_EQ(term.Memo1.text(), "$A");
  term.SpeedButton1.click();  // the next click raises it
  EXPECT_EQ(term.SpeedButton1.caption(), "Stop");
  EXPECT_TRUE(term.Monitoring);
}

TEST_F(Terminal, ClearChoosingAFormatAndAConnectClickEmptyTheBox) {
  term.Monitoring = true;
  Echo(std::string("$A\r\n"));
  term.Button1.click();
  EXPECT_EQ(term.Memo1.text(), "");

  Echo(std::string("$A\r\n"));
  term.RadioGroup1.userSelect(TTermForm::kFormatHex);
  EXPECT_EQ(term.Memo1.text(), "");
  Echo(std::string("$"));
  term.RadioGroup1.userSelect(TTermForm::kFormatHex);  // already chosen: nothing happens
  EXPECT_EQ(term.Memo1.text(), "24 ");
  term.RadioGroup1.userSelect(TTermForm::kFormatString);
  EXPECT_EQ(term.Memo1.text(), "");

  Echo(std::string("$A\r\n"));
  term.ClearText();
  EXPECT_EQ(term.Memo1.text(), "");
}

TEST_F(Terminal, ShowProcessShowsTheWindowWithThePortInItsCaption) {
  int notified = 0;
  term.setListener([&] { ++notified; });
  ShowProcess();
  EXPECT_TRUE(term.Visible());
  EXPECT_TRUE(term.Monitoring);
  EXPECT_EQ(term.Caption(), "Terminal (" + f.form.PortComboBox.text() + ")");
  EXPECT_EQ(term.Caption(), "Terminal (ttyS0    -serial8250)");
  EXPECT_GE(notified, 2);  // shown, then captioned

  f.form.CheckBox1.click();  // unchecked
  EXPECT_FALSE(term.Visible());
  EXPECT_FALSE(term.Monitoring);
}

TEST_F(Terminal, TheCloseBoxHidesUnchecksShowProcessAndKeepsTheText) {
  ShowProcess();
  Echo(std::string("$KEPT\r\n"));
  term.Close();  // the window's close box
  EXPECT_FALSE(term.Visible());
  EXPECT_FALSE(term.Monitoring);
  EXPECT_FALSE(f.form.CheckBox1.checked());
  Echo(std::string("$LOST\r\n"));

  // Checked again after another port was picked: the old text, the new port in the caption.
  f.form.PortComboBox.userSelect(1);
  f.form.CheckBox1.click();
  EXPECT_TRUE(term.Visible());
  EXPECT_TRUE(term.Monitoring);
  EXPECT_EQ(term.Caption(), "Terminal (ttyUSB1    -ftdi_sio)");
  EXPECT_EQ(term.Memo1.text(), "$KEPT\r\n");
}

TEST_F(Terminal, AnEmptyPortBoxGivesEmptyParentheses) {
  f.form.PortComboBox.setItemIndex(-1);
  ShowProcess();
  EXPECT_EQ(term.Caption(), "Terminal ()");
}

TEST(TerminalWithoutWindow, ShowProcessDoesNothingWhenThereIsNoTerminal) {
  testing::FormFixture f;
  f.form.CheckBox1.setVisible(true);
  f.form.CheckBox1.click();
  EXPECT_TRUE(f.form.CheckBox1.checked());
  f.form.CheckBox1.click();
  EXPECT_FALSE(f.form.CheckBox1.checked());
}

}  // namespace
}  // namespace movrand

// The terminal window on screen (off screen here): its layout, how "Show process" opens it
// and its close box hides it, the buttons, and that the box wraps and counts lines exactly
// as the model trims them.
#include "gui/terminal_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QToolButton>
#include <string>

#include "gui/fonts.h"
#include "gui/main_window.h"
#include "program_fixture.h"
#include "qt_app_environment.h"

namespace movrand {
namespace {

using testing::ProgramFixture;
using testing::waitUntil;

// The program in test mode with its main window shown, as the user meets it with "/t".
struct TestModeProgram {
  TestModeProgram() : f(std::vector<SerialPortEntry>{{"ttyUSB0", "ftdi_sio"}}) {
    f.program->applyCommandLine("/t");
    f.window().show();
  }
  ~TestModeProgram() { f.window().hide(); }

  TTermForm& term() { return f.program->termForm(); }
  gui::TerminalWindow& window() { return f.program->terminalWindow(); }
  void Echo(const std::string& bytes) {
    term().Echo(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                static_cast<int>(bytes.size()));
  }
  void ShowProcess() {
    f.window().CheckBox1->click();
    ASSERT_TRUE(waitUntil([&] { return window().isVisible(); }));
  }

  ProgramFixture f;
};

TEST(TerminalWindow, StandsAsLaidOutAndStartsHidden) {
  ProgramFixture f;
  gui::TerminalWindow& w = f.program->terminalWindow();
  EXPECT_FALSE(w.isVisible());
  EXPECT_EQ(f.form().TermForm, &f.program->termForm());
  EXPECT_EQ(w.size(), QSize(697, 297));
  EXPECT_EQ(w.minimumSize(), w.maximumSize());
  EXPECT_EQ(w.windowTitle(), "Terminal ");
  EXPECT_TRUE(w.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_TRUE(w.windowFlags() & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(w.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_EQ(w.pos(), QPoint(712, 202));
  EXPECT_FALSE(w.windowIcon().isNull());
  for (const Place& place : kTerminalLayout) {
    SCOPED_TRACE(std::string(place.name));
    const auto* widget = w.findChild<QWidget*>(
        QString::fromLatin1(place.name.data(), static_cast<qsizetype>(place.name.size())));
    ASSERT_NE(widget, nullptr);
    EXPECT_EQ(widget->parentWidget(), &w);
    EXPECT_EQ(widget->geometry(), QRect(place.x, place.y, place.width, place.height));
    EXPECT_EQ(widget->font().family(), gui::controlFontFamily());
    EXPECT_EQ(widget->font().pixelSize(), place.name == "RadioGroup1" ? 12 : 15);
  }
  EXPECT_EQ(w.SpeedButton1->text(), "Stop");
  EXPECT_TRUE(w.SpeedButton1->isCheckable());
  EXPECT_FALSE(w.SpeedButton1->isChecked());
  EXPECT_EQ(w.RadioGroup1->title(), "Format");
  ASSERT_EQ(w.RadioButtons.size(), 2u);
  EXPECT_EQ(w.RadioButtons[0]->text(), "String");
  EXPECT_EQ(w.RadioButtons[1]->text(), "Hex");
  EXPECT_TRUE(w.RadioButtons[0]->isChecked());
  EXPECT_FALSE(w.RadioButtons[1]->isChecked());
  // Two columns, side by side inside the group.
  EXPECT_EQ(w.RadioButtons[0]->y(), w.RadioButtons[1]->y());
  EXPECT_LE(w.RadioButtons[1]->geometry().right(), w.RadioGroup1->width());
  EXPECT_EQ(w.Button1->text(), "Clear");
  EXPECT_FALSE(w.Memo1->isReadOnly());
  EXPECT_EQ(w.Memo1->lineWrapMode(), QPlainTextEdit::WidgetWidth);
  EXPECT_EQ(w.Memo1->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
}

TEST(TerminalWindow, WithoutTestModeItDoesNotMonitor) {
  for (const char* arguments : {"", "/l", "/t"}) {
    SCOPED_TRACE(arguments);
    ProgramFixture f;
    f.program->termForm().Monitoring = true;
    f.program->applyCommandLine(arguments);
    EXPECT_EQ(f.program->termForm().Monitoring, std::string(arguments) == "/t");
  }
}

TEST(TerminalWindow, ShowProcessOpensItWithThePortInTheTitleAndTheCloseBoxHidesIt) {
  TestModeProgram p;
  p.ShowProcess();
  EXPECT_EQ(p.window().windowTitle(), "Terminal (ttyUSB0    -ftdi_sio)");
  EXPECT_TRUE(p.term().Monitoring);
  p.Echo("$GPGGA,1\r\n");
  EXPECT_EQ(p.window().Memo1->toPlainText(), "$GPGGA,1\n");

  p.window().close();
  EXPECT_FALSE(p.window().isVisible());
  EXPECT_FALSE(p.term().Visible());
  EXPECT_FALSE(p.f.window().CheckBox1->isChecked());
  EXPECT_FALSE(p.term().Monitoring);

  // Checked again: the same window with its text.
  p.ShowProcess();
  EXPECT_EQ(p.window().Memo1->toPlainText(), "$GPGGA,1\n");
  p.f.window().CheckBox1->click();  // unchecked: hides
  EXPECT_TRUE(waitUntil([&] { return !p.window().isVisible(); }));
  EXPECT_FALSE(p.term().Monitoring);
}

TEST(TerminalWindow, StopFormatAndClearWorkFromTheirWidgets) {
  TestModeProgram p;
  p.ShowProcess();
  gui::TerminalWindow& w = p.window();
  p.Echo("$A\r\n");

  QTest::mouseClick(w.SpeedButton1, Qt::LeftButton);
  EXPECT_EQ(w.SpeedButton1->text(), "Start");
  EXPECT_TRUE(w.SpeedButton1->isChecked());
  EXPECT_FALSE(p.term().Monitoring);
  QTest::mouseClick(w.SpeedButton1, Qt::LeftButton);
  EXPECT_EQ(w.SpeedButton1->text(), "Stop");
  EXPECT_FALSE(w.SpeedButton1->isChecked());
  EXPECT_TRUE(p.term().Monitoring);

  w.RadioButtons[1]->click();
  EXPECT_EQ(p.term().RadioGroup1.itemIndex(), TTermForm::kFormatHex);
  EXPECT_TRUE(w.Memo1->toPlainText().isEmpty());
  p.Echo("$A\r\n");
  EXPECT_EQ(w.Memo1->toPlainText(), "24 41 0D 0A ");
  // Clicking the chosen format again changes nothing.
  w.RadioButtons[1]->click();
  EXPECT_TRUE(w.RadioButtons[1]->isChecked());
  EXPECT_FALSE(w.RadioButtons[0]->isChecked());
  EXPECT_EQ(w.Memo1->toPlainText(), "24 41 0D 0A ");

  QTest::mouseClick(w.Button1, Qt::LeftButton);
  EXPECT_TRUE(w.Memo1->toPlainText().isEmpty());
  EXPECT_TRUE(p.term().Memo1.text().empty());
}

TEST(TerminalWindow, WhatTheUserTypesStaysAndTheNextChunkFollowsIt) {
  TestModeProgram p;
  p.ShowProcess();
  p.Echo("$A\r\n");
  p.window().Memo1->moveCursor(QTextCursor::End);
  QTest::keyClicks(p.window().Memo1, "note");
  EXPECT_EQ(p.term().Memo1.text(), "$A\r\nnote");
  p.Echo("$B");
  EXPECT_EQ(p.window().Memo1->toPlainText(), "$A\nnote$B");
}

TEST(TerminalWindow, ALoneCrOrLfShowsAsItsPictureAndBreaksNoLine) {
  TestModeProgram p;
  p.ShowProcess();
  p.Echo("a\rb\nc\r\nd");
  EXPECT_EQ(p.window().Memo1->toPlainText(), QString::fromUtf16(u"a\u240Db\u240Ac\nd"));
  EXPECT_EQ(p.window().Memo1->displayedLineCount(), 2);
}

TEST(TerminalWindow, BytesSurviveTheBoxBothWays) {
  std::string all;
  for (int byte = 1; byte < 256; ++byte) all += static_cast<char>(byte);
  for (const std::string& bytes : {all, std::string("\r\r\n\n\r\n\r"), std::string()}) {
    const QString shown = gui::toBoxText(bytes);
    // The box's paragraph separators, as its raw text gives them back.
    QString raw = shown;
    raw.replace(QLatin1Char('\n'), QChar::ParagraphSeparator);
    EXPECT_EQ(gui::fromBoxText(raw), bytes);
  }
  EXPECT_EQ(gui::fromBoxText(QString::fromUtf16(u"A\u20ACB")), "A?B");
}

TEST(TerminalWindow, TheModelCountsTheLinesTheBoxDisplays) {
  TestModeProgram p;
  p.ShowProcess();
  gui::TerminalWindow& w = p.window();
  // Long lines of text and a long hexadecimal run: wrapped pieces count on both sides.
  p.Echo(
      "$GPGSV,3,1,12,01,40,083,46,02,17,308,41,12,07,344,39,14,22,228,45*75 and more words "
      "to wrap the sentence twice over at the width of this box, surely more than once\r\n");
  p.Echo("$GPGGA\r\n");
  EXPECT_GT(p.term().DisplayedLineCount(), 3u);
  EXPECT_EQ(static_cast<int>(p.term().DisplayedLineCount()), w.Memo1->displayedLineCount());

  w.RadioButtons[1]->click();
  for (int i = 0; i < 40; ++i) {
    p.Echo(std::string(17, static_cast<char>(0x30 + i % 10)));
    ASSERT_EQ(static_cast<int>(p.term().DisplayedLineCount()), w.Memo1->displayedLineCount());
    ASSERT_LE(w.Memo1->displayedLineCount(), 15);
  }
}

TEST(TerminalWindow, TwentyLinesLeaveAtMostFifteenInTheBoxNewestLast) {
  TestModeProgram p;
  p.ShowProcess();
  for (int i = 1; i <= 20; ++i) p.Echo("$LINE" + std::to_string(i) + "\r\n");
  const QString shown = p.window().Memo1->toPlainText();
  EXPECT_LE(p.window().Memo1->displayedLineCount(), 15);
  EXPECT_TRUE(shown.startsWith("$LINE7\n"));
  EXPECT_TRUE(shown.endsWith("$LINE20\n"));
}

TEST(TerminalWindow, WrapsTheSameBeforeItWasEverShown) {
  ProgramFixture hidden;
  const std::string hex = [] {
    std::string text;
    for (int i = 0; i < 200; ++i) text += "A5 ";
    return text;
  }();
  const auto before = hidden.program->terminalWindow().Memo1->wrap(hex);
  TestModeProgram shown;
  shown.ShowProcess();
  EXPECT_GT(before.size(), 3u);
  EXPECT_EQ(shown.window().Memo1->wrap(hex), before);
}

}  // namespace
}  // namespace movrand

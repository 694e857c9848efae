#include "gui/main_window.h"

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QToolButton>
#include <stdexcept>

#include "app/layout.h"
#include "gui/bindings.h"
#include "gui/fonts.h"
#include "program_fixture.h"
#include "qt_app_environment.h"

namespace movrand {
namespace {

using movrand::kMainWindowLayout;
using testing::ProgramFixture;

const std::vector<SerialPortEntry> kThreePorts = {
    {"ttyUSB0", "ftdi_sio"}, {"ttyS0", "serial8250"}, {"ttyACM1", "cdc_acm"}};

QStringList itemsOf(const QComboBox& box) {
  QStringList items;
  for (int i = 0; i < box.count(); ++i) items << box.itemText(i);
  return items;
}

QStringList itemsOf(const ComboBox& model) {
  QStringList items;
  for (const auto& item : model.items()) items << QString::fromStdString(item);
  return items;
}

TEST(MainWindow, EveryComponentStandsWhereTheLayoutTableSays) {
  ProgramFixture f;
  gui::MainWindow& window = f.window();
  EXPECT_EQ(window.size(), QSize(318, 344));
  EXPECT_EQ(window.minimumSize(), window.maximumSize());  // not resizable
  EXPECT_EQ(window.windowTitle(), QStringLiteral("  Movrand v5.12"));
  EXPECT_TRUE(window.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_TRUE(window.windowFlags() & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(window.windowFlags() & Qt::WindowMaximizeButtonHint);

  for (const Place& place : kMainWindowLayout) {
    SCOPED_TRACE(std::string(place.name));
    const auto* widget = window.findChild<QWidget*>(
        QString::fromLatin1(place.name.data(), static_cast<qsizetype>(place.name.size())));
    ASSERT_NE(widget, nullptr);
    EXPECT_EQ(widget->parentWidget(), &window);
    EXPECT_EQ(widget->geometry(), QRect(place.x, place.y, place.width, place.height));
    EXPECT_EQ(widget->font().pixelSize(), 15);
    EXPECT_EQ(widget->font().family(), gui::controlFontFamily());
  }
  // The table covers every component, and the picture is not empty.
  EXPECT_EQ(kMainWindowLayout.size(), 16u);
  EXPECT_FALSE(window.Image1->pixmap().isNull());
  EXPECT_FALSE(window.SpeedButtonOpen->icon().isNull());
  EXPECT_TRUE(window.SpeedButtonOpen->text().isEmpty());
}

TEST(MainWindow, CaptionsAndTooltipsComeFromTheModel) {
  ProgramFixture f;
  gui::MainWindow& w = f.window();
  EXPECT_EQ(w.LabelPort->text(), "COM port");
  EXPECT_EQ(w.LabelProtocol->text(), "Protocol");
  EXPECT_EQ(w.LabelBaud->text(), "Baud Rate");
  EXPECT_EQ(w.LabelFile->text(), "FW File");
  EXPECT_EQ(w.SpeedButtonOpen->toolTip(), "Open file");
  EXPECT_EQ(w.SpeedButtonSynch->text(), "Connect");
  EXPECT_EQ(w.SpeedButtonSynch->toolTip(), "Synchronize");
  EXPECT_EQ(w.SpeedButtonProgram->text(), "Programming");
  EXPECT_EQ(w.SpeedButtonProgram->toolTip(), "Programming");
  EXPECT_EQ(w.BitBtn1->text(), "Close");
  EXPECT_EQ(w.SpeedButton1->text(), "Cancel");
  EXPECT_EQ(w.CheckBox1->text(), "Show process");
  EXPECT_TRUE(w.Memo1->isReadOnly());
  EXPECT_TRUE(w.Edit1->isReadOnly());
  EXPECT_EQ(w.Memo1->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_EQ(w.Memo1->palette().color(QPalette::Base), QColor(Qt::white));
  EXPECT_EQ(w.Edit1->palette().color(QPalette::Base), w.palette().color(QPalette::Midlight));
}

TEST(MainWindow, TabWalksTheComponentsInOrderAndSkipsTheFlatButtons) {
  ProgramFixture f;
  f.program->applyCommandLine("/t");                 // CheckBox1 takes part only when shown
  f.program->form().ProtocolComboBox.userSelect(2);  // a fixed protocol frees the rate selector
  gui::MainWindow& w = f.window();
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  for (QWidget* flat : std::initializer_list<QWidget*>{w.SpeedButtonOpen, w.SpeedButtonSynch,
                                                       w.SpeedButtonProgram}) {
    EXPECT_EQ(flat->focusPolicy(), Qt::NoFocus) << flat->objectName().toStdString();
  }
  const std::vector<QWidget*> expected = {
      w.Memo1,   w.Edit1,        w.PortComboBox, w.ProtocolComboBox, w.BaudComboBox, w.CheckBox1,
      w.BitBtn1, w.SpeedButton1, w.Memo1};
  w.Memo1->setFocus();
  for (std::size_t i = 1; i < expected.size(); ++i) {
    QWidget* from = w.focusWidget();
    ASSERT_EQ(from, expected[i - 1]) << "step " << i;
    QTest::keyClick(from, Qt::Key_Tab);
  }
  EXPECT_EQ(w.focusWidget(), expected.back());
}

TEST(MainWindow, TestModeShowsTheCheckBoxAndTheExtraRate) {
  {
    ProgramFixture normal;
    normal.program->applyCommandLine("");
    EXPECT_FALSE(normal.window().CheckBox1->isVisibleTo(&normal.window()));
    EXPECT_EQ(normal.window().BaudComboBox->count(), 9);
  }
  ProgramFixture test;
  test.program->applyCommandLine("/t");
  EXPECT_TRUE(test.window().CheckBox1->isVisibleTo(&test.window()));
  ASSERT_EQ(test.window().BaudComboBox->count(), 10);
  EXPECT_EQ(test.window().BaudComboBox->itemText(9), "148874");
}

TEST(MainWindow, WidgetsFollowTheirModels) {
  ProgramFixture f(kThreePorts);
  TMainForm& form = f.form();
  gui::MainWindow& w = f.window();

  // The port list as the model sorted and selected it.
  EXPECT_EQ(itemsOf(*w.PortComboBox), itemsOf(form.PortComboBox));
  EXPECT_EQ(w.PortComboBox->count(), 3);
  EXPECT_EQ(w.PortComboBox->currentIndex(), form.PortComboBox.itemIndex());

  // Programming follows UpdateProgramButton.
  EXPECT_FALSE(w.SpeedButtonProgram->isEnabled());
  form.DeviceIdentified = true;
  form.Edit1.setText("fw.bin");
  form.Edit1.setHint("/data/fw.bin");
  form.UpdateProgramButton();
  EXPECT_TRUE(w.SpeedButtonProgram->isEnabled());
  EXPECT_EQ(w.Edit1->text(), "fw.bin");
  EXPECT_EQ(w.Edit1->toolTip(), "/data/fw.bin");

  form.SpeedButtonSynch.setCaption(form.Messages.TextDisconnect);
  EXPECT_EQ(w.SpeedButtonSynch->text(), "Disconnect");
  form.SpeedButton1.setEnabled(false);
  EXPECT_FALSE(w.SpeedButton1->isEnabled());
  form.BitBtn1.setVisible(false);
  EXPECT_FALSE(w.BitBtn1->isVisibleTo(&w));

  form.BaudComboBox.setItemIndex(4);
  EXPECT_EQ(w.BaudComboBox->currentText(), "38400");
  form.BaudComboBox.setEnabled(false);
  EXPECT_FALSE(w.BaudComboBox->isEnabled());

  form.PortComboBox.clearItems();
  EXPECT_EQ(w.PortComboBox->count(), 0);
  EXPECT_EQ(w.PortComboBox->currentIndex(), -1);

  form.CheckBox1.setChecked(true);
  EXPECT_TRUE(w.CheckBox1->isChecked());
}

TEST(MainWindow, TheLogPaneAppendsRewritesAndClearsWithItsModel) {
  ProgramFixture f;
  TMainForm& form = f.form();
  gui::MainWindow& w = f.window();
  EXPECT_TRUE(w.Memo1->toPlainText().isEmpty());  // the window opens with an empty pane

  form.LogTimedLine(form.Messages.TextConnecting);
  form.LogLine("plain line");
  EXPECT_EQ(w.Memo1->toPlainText(), "14:03:12>>Connection...\nplain line");

  // The progress line is rewritten in place; the lines before it stay.
  form.Memo1.setLastLine("Loading 10%");
  form.Memo1.setLastLine("Loading 20%");
  EXPECT_EQ(w.Memo1->toPlainText(), "14:03:12>>Connection...\nLoading 20%");
  form.Memo1.setLastLine("");
  form.LogLine("after");
  EXPECT_EQ(w.Memo1->toPlainText(), "14:03:12>>Connection...\n\nafter");

  // A line above the last (a scan line) is rewritten in place too; a CR LF in an added text
  // starts a new line, as the version line has.
  form.Memo1.setLine(1, "rewritten");
  EXPECT_EQ(w.Memo1->toPlainText(), "14:03:12>>Connection...\nrewritten\nafter");
  form.LogLine(">>Current FW version: \r\n>>A1 KAP41 0102");
  EXPECT_EQ(form.Memo1.lineCount(), 5);
  EXPECT_EQ(w.Memo1->toPlainText(),
            "14:03:12>>Connection...\nrewritten\nafter\n>>Current FW version: \n>>A1 KAP41 0102");

  form.Memo1.clear();
  EXPECT_TRUE(w.Memo1->toPlainText().isEmpty());
  form.Memo1.setLastLine("first");  // on an empty pane it adds a line
  EXPECT_EQ(w.Memo1->toPlainText(), "first");

  // A long log keeps its newest line in view.
  for (int i = 0; i < 60; ++i) form.LogLine("line " + std::to_string(i));
  QScrollBar* bar = w.Memo1->verticalScrollBar();
  EXPECT_GT(bar->maximum(), 0);
  EXPECT_EQ(bar->value(), bar->maximum());
  EXPECT_EQ(w.Memo1->document()->blockCount(), 61);
}

TEST(MainWindow, PickingAProtocolRunsTheSelectorRule) {
  ProgramFixture f;
  TMainForm& form = f.form();
  gui::MainWindow& w = f.window();
  form.BaudComboBox.setItemIndex(3);

  // Down from "Auto" picks "BINR" as a user would, with the keyboard.
  QTest::keyClick(w.ProtocolComboBox, Qt::Key_Down);
  EXPECT_EQ(form.ProtocolComboBox.itemIndex(), 1);
  EXPECT_TRUE(w.BaudComboBox->isEnabled());
  EXPECT_EQ(w.BaudComboBox->currentText(), "57600");

  QTest::keyClick(w.ProtocolComboBox, Qt::Key_Up);  // back to "Auto"
  EXPECT_EQ(form.ProtocolComboBox.itemIndex(), 0);
  EXPECT_FALSE(w.BaudComboBox->isEnabled());
  EXPECT_EQ(w.BaudComboBox->currentText(), "Auto");

  QTest::keyClick(w.ProtocolComboBox, Qt::Key_End);  // "NMEA": rate selectable again
  EXPECT_EQ(form.ProtocolComboBox.text(), "NMEA");
  EXPECT_TRUE(w.BaudComboBox->isEnabled());
  EXPECT_EQ(w.BaudComboBox->currentText(), "Auto");

  // The user's pick of a rate reaches the model too.
  QTest::keyClick(w.BaudComboBox, Qt::Key_Down);
  EXPECT_EQ(form.BaudComboBox.text(), "230400");
}

TEST(MainWindow, OpeningThePortListRebuildsItBeforeItShows) {
  ProgramFixture f(std::vector<SerialPortEntry>{{"ttyS0", "serial8250"}});
  gui::MainWindow& w = f.window();
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  ASSERT_EQ(w.PortComboBox->count(), 1);

  // A user picks nothing special; meanwhile two adapters were plugged in.
  f.ports->ports = std::vector<SerialPortEntry>{
      {"ttyUSB1", "pl2303"}, {"ttyS0", "serial8250"}, {"ttyACM0", "cdc_acm"}};
  bool listShownWhileReading = true;
  f.ports->onList = [&] { listShownWhileReading = w.PortComboBox->view()->isVisible(); };
  w.PortComboBox->showPopup();
  EXPECT_FALSE(listShownWhileReading);
  EXPECT_TRUE(w.PortComboBox->view()->isVisible());
  EXPECT_EQ(itemsOf(*w.PortComboBox),
            (QStringList{"ttyACM0    -cdc_acm", "ttyS0    -serial8250", "ttyUSB1    -pl2303"}));
  EXPECT_EQ(w.PortComboBox->currentIndex(), 0);
  EXPECT_EQ(w.PortComboBox->maxVisibleItems(), 3);
  EXPECT_GE(w.PortComboBox->view()->minimumWidth(), 200);
  w.PortComboBox->hidePopup();
}

TEST(MainWindow, ClicksReachTheButtonModels) {
  ProgramFixture f;
  f.program->applyCommandLine("/t");
  TMainForm& form = f.form();
  gui::MainWindow& w = f.window();
  int synch = 0, cancel = 0, boxClicks = 0;
  form.SpeedButtonSynch.onClick = [&] { ++synch; };
  form.SpeedButton1.onClick = [&] { ++cancel; };
  form.CheckBox1.onClick = [&] { ++boxClicks; };

  QTest::mouseClick(w.SpeedButtonSynch, Qt::LeftButton);
  QTest::mouseClick(w.SpeedButton1, Qt::LeftButton);
  EXPECT_EQ(synch, 1);
  EXPECT_EQ(cancel, 1);

  // A disabled model takes no clicks.
  form.SpeedButtonSynch.setEnabled(false);
  QTest::mouseClick(w.SpeedButtonSynch, Qt::LeftButton);
  EXPECT_EQ(synch, 1);

  QTest::mouseClick(w.CheckBox1, Qt::LeftButton);
  EXPECT_EQ(boxClicks, 1);
  EXPECT_TRUE(form.CheckBox1.checked());
  EXPECT_TRUE(w.CheckBox1->isChecked());
}

TEST(MainWindow, AnExceptionFromAHandlerIsShownAndTheWindowGoesOn) {
  ProgramFixture f;
  TMainForm& form = f.form();
  gui::MainWindow& w = f.window();
  testing::reportedErrors().clear();
  int clicks = 0;
  form.SpeedButtonSynch.onClick = [&] {
    if (++clicks == 1) throw std::runtime_error("Invalid data type for 'Serial0'");
  };
  QTest::mouseClick(w.SpeedButtonSynch, Qt::LeftButton);
  ASSERT_EQ(testing::reportedErrors().size(), 1u);
  EXPECT_EQ(testing::reportedErrors()[0], "Invalid data type for 'Serial0'");
  QTest::mouseClick(w.SpeedButtonSynch, Qt::LeftButton);
  EXPECT_EQ(clicks, 2);
}

TEST(MainWindow, ChoosingAFileThroughTheDialogFillsTheFileBox) {
  ProgramFixture f;
  TMainForm& form = f.form();
  gui::MainWindow& w = f.window();
  w.show();
  const QString path = f.folder.filePath(QStringLiteral("module_fw.bin"));
  {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("\x1a\x1a");
  }

  // Cancelled: nothing changes.
  QStringList filters;
  bool timedOut = false;
  testing::whileModal(
      [&] {
        if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
          filters = dialog->nameFilters();
          dialog->reject();
        }
      },
      [&] {
        QTest::mouseClick(w.SpeedButtonOpen, Qt::LeftButton);
        return 0;
      },
      timedOut);
  EXPECT_FALSE(timedOut);
  EXPECT_EQ(filters, QStringList{"binary (*.bin)"});
  EXPECT_TRUE(w.Edit1->text().isEmpty());

  // Accepted: the name in the box, the full path as its tooltip.
  testing::whileModal(
      [&] {
        if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
          dialog->selectFile(path);
          static_cast<QDialog*>(dialog)->accept();  // checks and takes the selection
        }
      },
      [&] {
        QTest::mouseClick(w.SpeedButtonOpen, Qt::LeftButton);
        return 0;
      },
      timedOut);
  EXPECT_FALSE(timedOut);
  EXPECT_EQ(w.Edit1->text(), "module_fw.bin");
  EXPECT_EQ(w.Edit1->toolTip(), path);
  EXPECT_EQ(form.OpenDialog1.FileName, path.toStdString());
  EXPECT_FALSE(w.SpeedButtonProgram->isEnabled());  // no module identified yet
}

TEST(MainWindow, CloseButtonAndCloseBoxCloseTheWindow) {
  for (const bool byButton : {true, false}) {
    SCOPED_TRACE(byButton ? "Close button" : "close box");
    ProgramFixture f;
    gui::MainWindow& w = f.window();
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    if (byButton) {
      QTest::mouseClick(w.BitBtn1, Qt::LeftButton);
    } else {
      w.close();
    }
    EXPECT_FALSE(w.isVisible());
  }
}

TEST(MainWindow, MovesAreWrittenBackToTheModel) {
  ProgramFixture f;
  gui::MainWindow& w = f.window();
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  w.move(123, 77);
  ASSERT_TRUE(testing::waitUntil([&] { return f.form().Left == w.x(); }));
  EXPECT_EQ(f.form().Left, w.x());
  EXPECT_EQ(f.form().Top, w.y());
}

}  // namespace
}  // namespace movrand

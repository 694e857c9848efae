// Renders the program's windows into PNG files: the main window as started and in test mode,
// the terminal window, the warning dialog and the programming notice. Meant for
// QT_QPA_PLATFORM=offscreen.
//
//   movrand-screenshots <folder>
//   movrand-screenshots --grab-screen <file>   (the whole screen of the current display, to
//                                               look at a running movrand, e.g. under Xvfb)
#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QPixmap>
#include <QRadioButton>
#include <QScreen>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <string_view>

#include "gui/application.h"
#include "gui/artwork.h"
#include "gui/bindings.h"
#include "gui/program.h"

namespace {

using movrand::gui::Program;

bool savePixmap(const QPixmap& pixmap, const QDir& folder, const char* name) {
  const QString path = folder.filePath(QString::fromLatin1(name));
  if (!pixmap.save(path, "PNG")) {
    std::fprintf(stderr, "movrand-screenshots: cannot write %s\n", qPrintable(path));
    return false;
  }
  std::printf("%s\n", qPrintable(path));
  return true;
}

bool save(QWidget& window, const QDir& folder, const char* name) {
  window.show();
  QApplication::processEvents();
  return savePixmap(window.grab(), folder, name);
}

Program::Options options() {
  return Program::Options{
      .ports = nullptr, .clock = nullptr, .programFile = movrand::gui::programFilePath()};
}

}  // namespace

int main(int argc, char** argv) {
  movrand::gui::Application app(argc, argv);
  if (argc == 3 && QString::fromLocal8Bit(argv[1]) == QStringLiteral("--grab-screen")) {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen || !screen->grabWindow(0).save(QString::fromLocal8Bit(argv[2]), "PNG")) {
      std::fprintf(stderr, "movrand-screenshots: cannot grab the screen into %s\n", argv[2]);
      return 1;
    }
    return 0;
  }
  const QDir folder(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshots"));
  if (!folder.mkpath(QStringLiteral("."))) {
    std::fprintf(stderr, "movrand-screenshots: cannot create %s\n", qPrintable(folder.path()));
    return 1;
  }
  bool ok = true;
  // The artwork on its own, enlarged, to judge the drawing.
  ok &= savePixmap(movrand::gui::modulePicture(QSize(153 * 3, 121 * 3)), folder,
                   "artwork-picture.png");
  ok &= savePixmap(movrand::gui::applicationIcon().pixmap(128, 128), folder, "artwork-icon.png");
  ok &= savePixmap(movrand::gui::folderIcon().pixmap(32, 32).scaled(96, 96), folder,
                   "artwork-folder.png");
  try {
    {
      Program program(options());
      program.applyCommandLine("");
      ok &= save(program.mainWindow(), folder, "main-window.png");

      // The port list as it drops down (a window of its own).
      program.mainWindow().PortComboBox->showPopup();
      QApplication::processEvents();
      ok &= savePixmap(program.mainWindow().PortComboBox->view()->window()->grab(), folder,
                       "port-list-open.png");
      program.mainWindow().PortComboBox->hidePopup();

      program.attentionWindow().prepareShowing();
      ok &= save(program.attentionWindow(), folder, "attention-dialog.png");
      program.attentionWindow().hide();

      program.dialogs().ShowDevProg();
      ok &= save(program.devProgWindow(), folder, "programming-notice.png");
    }
    {
      // Test mode, with a file chosen and a few lines in the log pane.
      Program program(options());
      program.applyCommandLine("/t");
      movrand::TMainForm& form = program.form();
      form.OpenDialog1.FileName = "/home/user/firmware/module_fw.bin";
      form.Edit1.setHint(form.OpenDialog1.FileName);
      form.Edit1.setText("module_fw.bin");
      form.LogTimedLine(form.Messages.TextConnecting);
      form.LogTimedLine(form.Messages.TextPortBusy);
      form.LogTimedLine(form.Messages.TextReconnectFailed);
      ok &= save(program.mainWindow(), folder, "main-window-test-mode.png");

      // The terminal as "Show process" opens it, with sentences received, then in hexadecimal.
      program.mainWindow().CheckBox1->click();
      const auto echo = [&](std::string_view bytes) {
        program.termForm().Echo(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                static_cast<int>(bytes.size()));
      };
      echo("$POVER,A1,KAP41,0102*5E\r\n");
      echo("$GPGGA,120000.00,5540.0000,N,03730.0000,E,1,08,1.0,150.0,M,14.0,M,,*64\r\n");
      echo("$GPRMC,120000.00,A,5540.0000,N,03730.0000,E,0.0,0.0,081226,,,A*6C\r\n");
      ok &= save(program.terminalWindow(), folder, "terminal-window.png");
      program.terminalWindow().RadioButtons[1]->click();
      echo("$POVER,A1,KAP41,0102*5E\r\n");
      echo("$GPGGA,120000.00,5540.0000,N,03730.0000,E,1,08,1.0,150.0,M,14.0,M,,*64\r\n");
      ok &= save(program.terminalWindow(), folder, "terminal-window-hex.png");
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "movrand-screenshots: %s\n", error.what());
    return 1;
  }
  return ok ? 0 : 1;
}

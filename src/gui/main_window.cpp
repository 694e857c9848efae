#include "gui/main_window.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QToolButton>
#include <exception>

#include "app/layout.h"
#include "gui/application.h"
#include "gui/artwork.h"
#include "gui/bindings.h"
#include "gui/fonts.h"

namespace movrand::gui {
namespace {

static_assert(kMainClientWidth == TMainForm::kClientWidth);
static_assert(kMainClientHeight == TMainForm::kClientHeight);

QToolButton* flatButton(QWidget* parent) {
  auto* button = new QToolButton(parent);
  button->setAutoRaise(true);
  button->setToolButtonStyle(Qt::ToolButtonTextOnly);
  button->setFocusPolicy(Qt::NoFocus);
  return button;
}

}  // namespace

MainWindow::MainWindow(TMainForm& form)
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                           Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      form_(form) {
  setObjectName(QStringLiteral("MainForm"));
  setFixedSize(kMainClientWidth, kMainClientHeight);
  setWindowTitle(toQt(form_.Caption));
  setWindowIcon(applicationIcon());
  setFont(controlFont(kMainFontPixels));

  LabelPort = new QLabel(this);
  PortComboBox = new ModelComboBox(form_.PortComboBox, this);
  LabelProtocol = new QLabel(this);
  ProtocolComboBox = new ModelComboBox(form_.ProtocolComboBox, this);
  LabelBaud = new QLabel(this);
  BaudComboBox = new ModelComboBox(form_.BaudComboBox, this);
  Image1 = new QLabel(this);
  LabelFile = new QLabel(this);
  Edit1 = new QLineEdit(this);
  SpeedButtonOpen = flatButton(this);
  SpeedButtonSynch = flatButton(this);
  SpeedButtonProgram = flatButton(this);
  Memo1 = new MemoView(form_.Memo1, this);
  CheckBox1 = new QCheckBox(this);
  SpeedButton1 = new QPushButton(this);
  BitBtn1 = new QPushButton(this);

  place(*LabelPort, "LabelPort");
  place(*PortComboBox, "PortComboBox");
  place(*LabelProtocol, "LabelProtocol");
  place(*ProtocolComboBox, "ProtocolComboBox");
  place(*LabelBaud, "LabelBaud");
  place(*BaudComboBox, "BaudComboBox");
  place(*Image1, "Image1");
  place(*LabelFile, "LabelFile");
  place(*Edit1, "Edit1");
  place(*SpeedButtonOpen, "SpeedButtonOpen");
  place(*SpeedButtonSynch, "SpeedButtonSynch");
  place(*SpeedButtonProgram, "SpeedButtonProgram");
  place(*Memo1, "Memo1");
  place(*CheckBox1, "CheckBox1");
  place(*SpeedButton1, "SpeedButton1");
  place(*BitBtn1, "BitBtn1");

  // The picture is stretched over its box and lets the window show through.
  Image1->setPixmap(modulePicture(Image1->size()));
  Image1->setScaledContents(true);
  Image1->setAttribute(Qt::WA_TranslucentBackground);

  Edit1->setReadOnly(true);
  QPalette editPalette = Edit1->palette();
  editPalette.setColor(QPalette::Base, editPalette.color(QPalette::Midlight));
  Edit1->setPalette(editPalette);

  SpeedButtonOpen->setToolButtonStyle(Qt::ToolButtonIconOnly);
  SpeedButtonOpen->setIcon(folderIcon());
  SpeedButtonOpen->setIconSize(QSize(16, 16));
  SpeedButton1->setIcon(style()->standardIcon(QStyle::SP_DialogCancelButton));
  BitBtn1->setIcon(style()->standardIcon(QStyle::SP_DialogCloseButton));
  for (QPushButton* button : {SpeedButton1, BitBtn1}) button->setAutoDefault(false);

  bindLabel(*LabelPort, form_.LabelPort);
  bindLabel(*LabelProtocol, form_.LabelProtocol);
  bindLabel(*LabelBaud, form_.LabelBaud);
  bindLabel(*LabelFile, form_.LabelFile);
  bindEdit(*Edit1, form_.Edit1);
  bindButton(*SpeedButtonOpen, form_.SpeedButtonOpen);
  bindButton(*SpeedButtonSynch, form_.SpeedButtonSynch);
  bindButton(*SpeedButtonProgram, form_.SpeedButtonProgram);
  bindCheckBox(*CheckBox1, form_.CheckBox1);
  bindButton(*SpeedButton1, form_.SpeedButton1);
  bindButton(*BitBtn1, form_.BitBtn1);

  // Keyboard order; the labels, the picture and the flat buttons take no focus.
  QWidget* previous = nullptr;
  for (std::string_view name : kMainTabOrder) {
    auto* next =
        findChild<QWidget*>(QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size())),
                            Qt::FindDirectChildrenOnly);
    if (previous && next) setTabOrder(previous, next);
    previous = next;
  }
  Memo1->setFocus(Qt::OtherFocusReason);

  form_.onCloseRequest = [this] { close(); };
}

MainWindow::~MainWindow() {
  form_.onCloseRequest = nullptr;
}

void MainWindow::place(QWidget& widget, const char* name) {
  const auto at = placeOf(kMainWindowLayout, name);
  widget.setObjectName(QString::fromLatin1(name));
  if (at) widget.setGeometry(at->x, at->y, at->width, at->height);
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (const Result<void> closed = form_.FormClose(); !closed) {
    // The settings could not be stored: say so and stay open, so nothing is lost silently.
    event->ignore();
    showErrorBox(QString::fromStdString(closed.error().text));
    return;
  }
  event->accept();
  QCoreApplication::quit();  // the main window's close ends the program, notice window or not
}

void MainWindow::moveEvent(QMoveEvent* event) {
  QWidget::moveEvent(event);
  form_.Left = x();  // the outer corner, as the settings store it
  form_.Top = y();
}

void MainWindow::showEvent(QShowEvent* event) {
  if (!shownBefore_ && !event->spontaneous()) {
    shownBefore_ = true;
    // The first showing is centred on the screen, whatever place the settings gave.
    QScreen* on = screen() ? screen() : QGuiApplication::primaryScreen();
    if (on) {
      const QRect area = on->availableGeometry();
      const QSize outer = frameGeometry().size();
      move(area.x() + (area.width() - outer.width()) / 2,
           area.y() + (area.height() - outer.height()) / 2);
    }
  }
  QWidget::showEvent(event);
}

}  // namespace movrand::gui

#include "gui/dialog_windows.h"

#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPalette>
#include <QPushButton>
#include <QScreen>
#include <QStringList>
#include <QStyle>
#include <vector>

#include "app/layout.h"
#include "gui/artwork.h"
#include "gui/bindings.h"
#include "gui/fonts.h"

namespace movrand::gui {
namespace {

constexpr Qt::WindowFlags kDialogFlags =
    Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
    Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint;

static_assert(kAttentionClientWidth == TFormAttention::kClientWidth);
static_assert(kAttentionClientHeight == TFormAttention::kClientHeight);
static_assert(kDevProgClientWidth == TFormDevProg::kClientWidth);
static_assert(kDevProgClientHeight == TFormDevProg::kClientHeight);

QLabel* dialogLabel(QWidget* parent, const char* name, Label& model) {
  auto* label = new QLabel(parent);
  label->setObjectName(QString::fromLatin1(name));
  label->resize(parent->width(), kAttentionLabelHeight);
  bindLabel(*label, model);
  return label;
}

QPushButton* dialogButton(QWidget* parent, const char* name, Button& model,
                          const char* toolkitCaption, QStyle::StandardPixmap glyph) {
  // The standard buttons' captions are the toolkit's, unless the model names its own.
  if (model.caption().empty()) model.setCaption(toolkitCaption);
  auto* button = new QPushButton(parent);
  button->setObjectName(QString::fromLatin1(name));
  if (const auto at = placeOf(kAttentionLayout, name)) {
    button->setGeometry(at->x, at->y, at->width, at->height);
  }
  button->setIcon(parent->style()->standardIcon(glyph));
  bindButton(*button, model);
  return button;
}

}  // namespace

void centreWindow(QWidget& window, const QWidget* over) {
  QRect area;
  if (over && over->isVisible()) {
    area = over->frameGeometry();
  } else if (QScreen* screen =
                 window.screen() ? window.screen() : QGuiApplication::primaryScreen()) {
    area = screen->availableGeometry();
  } else {
    return;
  }
  const QSize outer = window.frameGeometry().size();
  window.move(area.x() + (area.width() - outer.width()) / 2,
              area.y() + (area.height() - outer.height()) / 2);
}

// ---- AttentionDialog ------------------------------------------------------------------------

AttentionDialog::AttentionDialog(TFormAttention& form, QWidget* parent)
    : QDialog(parent, kDialogFlags), form_(form) {
  setObjectName(QStringLiteral("FormAttention"));
  setModal(true);
  setFixedSize(kAttentionClientWidth, kAttentionClientHeight);
  setFont(controlFont(kDialogFontPixels));
  QPalette pal = palette();
  pal.setColor(QPalette::WindowText, Qt::black);
  setPalette(pal);
  setWindowIcon(applicationIcon());
  setAttribute(Qt::WA_QuitOnClose, false);

  Label1 = dialogLabel(this, "Label1", form_.Label1);
  Label2 = dialogLabel(this, "Label2", form_.Label2);
  Label3 = dialogLabel(this, "Label3", form_.Label3);
  BitBtnCancel = dialogButton(this, "BitBtnCancel", form_.BitBtnCancel, "Cancel",
                              QStyle::SP_DialogCancelButton);
  BitBtnOK = dialogButton(this, "BitBtnOK", form_.BitBtnOK, "OK", QStyle::SP_DialogOkButton);
  setTabOrder(BitBtnCancel, BitBtnOK);
  BitBtnOK->setDefault(true);

  // After the model's own click handler (connected by the binding) has set the result.
  connect(BitBtnOK, &QPushButton::clicked, this, [this] { endIfAnswered(); });
  connect(BitBtnCancel, &QPushButton::clicked, this, [this] { endIfAnswered(); });
  rememberOuterWidth();
}

AttentionDialog::~AttentionDialog() = default;

ModalResult AttentionDialog::showModal() {
  prepareShowing();
  running_ = true;
  exec();
  running_ = false;
  // A modal loop ended by anything else (the application quitting) is no confirmation.
  if (form_.modalResult == ModalResult::None) form_.modalResult = ModalResult::Cancel;
  return form_.modalResult;
}

void AttentionDialog::prepareShowing() {
  rememberOuterWidth();
  form_.BeginModal();  // texts and label places anew, focus on OK
  setWindowTitle(toQt(form_.Caption));
  if (form_.ActiveControl == &form_.BitBtnCancel) {
    BitBtnCancel->setFocus(Qt::OtherFocusReason);
  } else if (form_.ActiveControl == &form_.BitBtnOK) {
    BitBtnOK->setFocus(Qt::OtherFocusReason);
  }
  centreWindow(*this, parentWidget());
}

void AttentionDialog::reject() {
  if (!running_) {
    QDialog::reject();
    return;
  }
  form_.BitBtnCancel.click();
  endIfAnswered();
}

void AttentionDialog::closeEvent(QCloseEvent* event) {
  if (running_ && form_.modalResult == ModalResult::None) form_.CloseByUser();
  endIfAnswered();
  event->accept();
}

void AttentionDialog::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  rememberOuterWidth();
}

void AttentionDialog::endIfAnswered() {
  if (running_ && form_.modalResult != ModalResult::None) {
    done(static_cast<int>(form_.modalResult));
  }
}

void AttentionDialog::rememberOuterWidth() {
  form_.Width = frameGeometry().width();
}

// ---- DevProgWindow --------------------------------------------------------------------------

DevProgWindow::DevProgWindow(TFormDevProg& form, QWidget* parent)
    : QDialog(parent, kDialogFlags), form_(form) {
  setObjectName(QStringLiteral("FormDevProg"));
  setModal(false);
  setFixedSize(kDevProgClientWidth, kDevProgClientHeight);
  setFont(controlFont(kDialogFontPixels, /*bold=*/true));
  QPalette pal = palette();
  pal.setColor(QPalette::WindowText, Qt::red);
  setPalette(pal);
  setWindowIcon(applicationIcon());
  setAttribute(Qt::WA_QuitOnClose, false);

  Label1 = dialogLabel(this, "Label1", form_.Label1);
  Label2 = dialogLabel(this, "Label2", form_.Label2);
}

DevProgWindow::~DevProgWindow() = default;

void DevProgWindow::showNotice() {
  form_.Width = frameGeometry().width();
  form_.FormShow();
  setWindowTitle(toQt(form_.Caption));
  if (!isVisible()) centreWindow(*this, parentWidget());
  show();
  raise();
}

// ---- QtDialogs ------------------------------------------------------------------------------

void QtDialogs::attach(QWidget* mainWindow, AttentionDialog* attention, DevProgWindow* devProg) {
  mainWindow_ = mainWindow;
  attention_ = attention;
  devProg_ = devProg;
}

ModalResult QtDialogs::ShowAttention() {
  // No window yet means nobody could confirm: never a silent "go on".
  return attention_ ? attention_->showModal() : ModalResult::Cancel;
}

void QtDialogs::ShowDevProg() {
  if (devProg_) devProg_->showNotice();
}

void QtDialogs::HideDevProg() {
  if (devProg_) devProg_->hide();
}

void QtDialogs::ShowMessage(const std::string& title, const std::string& text) {
  QMessageBox box(QMessageBox::NoIcon, toQt(title), toQt(text), QMessageBox::Ok, mainWindow_);
  box.exec();
}

// ---- QtFileDialog ---------------------------------------------------------------------------

bool QtFileDialog::Execute(OpenDialog& dialog) {
  // A file chosen before is pre-set (and its folder opened); otherwise the initial folder.
  const QString start = !dialog.FileName.empty() ? QFile::decodeName(dialog.FileName.c_str())
                                                 : QFile::decodeName(dialog.InitialDir.c_str());
  const QString chosen =
      QFileDialog::getOpenFileName(parent_, QString(), start, qtFileFilter(dialog.Filter));
  if (chosen.isEmpty()) return false;
  dialog.FileName = QFile::encodeName(QDir::toNativeSeparators(chosen)).toStdString();
  return true;
}

QString qtFileFilter(std::string_view filter) {
  const QStringList parts = QString::fromUtf8(filter.data(), static_cast<qsizetype>(filter.size()))
                                .split(QLatin1Char('|'));
  QStringList entries;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    const QString description = parts[i].trimmed();
    QStringList patterns = parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts);
    for (QString& pattern : patterns) pattern = pattern.trimmed();
    const QString wanted = QLatin1Char('(') + patterns.join(QLatin1Char(' ')) + QLatin1Char(')');
    entries << (description.endsWith(wanted) ? description
                                             : description + QLatin1Char(' ') + wanted);
  }
  return entries.join(QStringLiteral(";;"));
}

}  // namespace movrand::gui

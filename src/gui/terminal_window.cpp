#include "gui/terminal_window.h"

#include <QCloseEvent>
#include <QGroupBox>
#include <QPlainTextDocumentLayout>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>
#include <QToolButton>
#include <algorithm>

#include "gui/application.h"
#include "gui/artwork.h"
#include "gui/bindings.h"
#include "gui/fonts.h"

namespace movrand::gui {
namespace {

// Inside the radio group: where the first row of buttons stands below the caption, the
// buttons' height and the side margin.
constexpr int kRadioTop = 14;
constexpr int kRadioHeight = 17;
constexpr int kRadioMargin = 6;

// How a CR or LF that does not belong to a CR LF pair shows: as its control picture, so it
// takes one place and breaks no line.
constexpr char16_t kCrPicture = u'\u240D';
constexpr char16_t kLfPicture = u'\u240A';

static_assert(kTerminalClientWidth == TTermForm::kClientWidth);
static_assert(kTerminalClientHeight == TTermForm::kClientHeight);

void applyCommon(QWidget& widget, const Control& model) {
  widget.setEnabled(model.enabled());
  widget.setVisible(model.visible());
  widget.setToolTip(toQt(model.hint()));
}

}  // namespace

QString toBoxText(std::string_view bytes) {
  QString text;
  text.reserve(static_cast<qsizetype>(bytes.size()));
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (byte == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') {
      text += QLatin1Char('\n');
      ++i;
    } else if (byte == '\r') {
      text += QChar(kCrPicture);
    } else if (byte == '\n') {
      text += QChar(kLfPicture);
    } else {
      text += QChar(static_cast<char16_t>(byte));
    }
  }
  return text;
}

std::string fromBoxText(const QString& text) {
  std::string bytes;
  bytes.reserve(static_cast<std::size_t>(text.size()));
  for (const QChar ch : text) {
    const char16_t code = ch.unicode();
    if (code == QChar::ParagraphSeparator || code == QChar::LineSeparator || code == u'\n') {
      bytes += "\r\n";
    } else if (code == kCrPicture) {
      bytes += '\r';
    } else if (code == kLfPicture) {
      bytes += '\n';
    } else if (code <= 0xFF) {
      bytes += static_cast<char>(code);
    } else {
      bytes += '?';  // typed by the user, and no 8-bit character holds it
    }
  }
  return bytes;
}

// ---- TerminalTextView ---------------------------------------------------------------------

TerminalTextView::TerminalTextView(TextBox& model, QWidget* parent)
    : QPlainTextEdit(parent), model_(model) {
  setReadOnly(false);
  setLineWrapMode(QPlainTextEdit::WidgetWidth);
  setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  sync();
  model_.setListener([this] { sync(); });
  connect(this, &QPlainTextEdit::textChanged, this, [this] { userEdited(); });
}

TerminalTextView::~TerminalTextView() {
  model_.setListener(nullptr);
}

void TerminalTextView::sync() {
  applyCommon(*this, model_);
  if (model_.text() == shown_) return;
  shown_ = model_.text();
  {
    const QSignalBlocker quiet(this);  // not an edit of the user's
    setPlainText(toBoxText(shown_));
  }
  // The newest text in view.
  moveCursor(QTextCursor::End);
  verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

void TerminalTextView::userEdited() {
  std::string text = fromBoxText(document()->toRawText());
  shown_ = text;
  runGuarded([&] { model_.setText(std::move(text)); });
}

qreal TerminalTextView::lineWidth() const {
  // The viewport gets its size when the window is first shown; until then the same width
  // follows from the box's frame and its scroll bar, which is always there.
  int width = viewport()->width();
  if (!isVisible()) {
    width = contentsRect().width() - verticalScrollBar()->sizeHint().width();
  }
  return width - 2 * document()->documentMargin();
}

std::vector<std::size_t> TerminalTextView::wrap(std::string_view paragraph) const {
  // Laid out exactly as the box lays out a paragraph: its font, its wrap mode, its width.
  QTextLayout layout(toBoxText(paragraph), document()->defaultFont());
  layout.setTextOption(document()->defaultTextOption());
  const qreal width = lineWidth();
  std::vector<std::size_t> starts;
  layout.beginLayout();
  for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
    line.setLineWidth(width);
    starts.push_back(static_cast<std::size_t>(line.textStart()));
  }
  layout.endLayout();
  return starts;
}

int TerminalTextView::displayedLineCount() const {
  auto* layout = qobject_cast<QPlainTextDocumentLayout*>(document()->documentLayout());
  int count = 0;
  for (QTextBlock block = document()->begin(); block.isValid(); block = block.next()) {
    if (layout) layout->ensureBlockLayout(block);
    count += block.layout() ? block.layout()->lineCount() : 1;
  }
  return count;
}

// ---- TerminalWindow -----------------------------------------------------------------------

TerminalWindow::TerminalWindow(TTermForm& form, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      form_(form) {
  setObjectName(QStringLiteral("TermForm"));
  setFixedSize(kTerminalClientWidth, kTerminalClientHeight);
  setFont(controlFont(kTerminalFontPixels));
  setWindowIcon(applicationIcon());
  setAttribute(Qt::WA_QuitOnClose, false);
  move(TTermForm::kLeft, TTermForm::kTop);

  Memo1 = new TerminalTextView(form_.Memo1, this);
  SpeedButton1 = new QToolButton(this);
  RadioGroup1 = new QGroupBox(this);
  Button1 = new QPushButton(this);
  place(*Memo1, "Memo1");
  place(*SpeedButton1, "SpeedButton1");
  place(*RadioGroup1, "RadioGroup1");
  place(*Button1, "Button1");

  SpeedButton1->setCheckable(true);
  SpeedButton1->setToolButtonStyle(Qt::ToolButtonTextOnly);
  SpeedButton1->setFocusPolicy(Qt::NoFocus);
  Button1->setAutoDefault(false);
  RadioGroup1->setFont(controlFont(kRadioGroupFontPixels));

  const RadioGroup& group = form_.RadioGroup1;
  const int columns = std::max(1, group.columns());
  const int columnWidth = (RadioGroup1->width() - 2 * kRadioMargin) / columns;
  for (std::size_t i = 0; i < group.items().size(); ++i) {
    auto* button = new QRadioButton(RadioGroup1);
    const int column = static_cast<int>(i) % columns;
    const int row = static_cast<int>(i) / columns;
    button->setGeometry(kRadioMargin + column * columnWidth, kRadioTop + row * kRadioHeight,
                        columnWidth, kRadioHeight);
    button->setText(toQt(group.items()[i]));
    // The model decides which one is checked, and the sync shows it (none at all included).
    button->setAutoExclusive(false);
    connect(button, &QRadioButton::clicked, this, [this, i] {
      runGuarded([&] { form_.RadioGroup1.userSelect(static_cast<int>(i)); });
      syncRadioGroup();  // the group shows the model's decision
    });
    RadioButtons.push_back(button);
  }
  syncRadioGroup();
  form_.RadioGroup1.setListener([this] { syncRadioGroup(); });

  syncToggle();
  form_.SpeedButton1.setListener([this] { syncToggle(); });
  connect(SpeedButton1, &QToolButton::clicked, this, [this] {
    runGuarded([&] { form_.SpeedButton1.click(); });
    syncToggle();
  });

  bindButton(*Button1, form_.Button1);

  form_.SetWrap([this](std::string_view paragraph) { return Memo1->wrap(paragraph); });
  syncWindow();
  form_.setListener([this] { syncWindow(); });
}

TerminalWindow::~TerminalWindow() {
  form_.setListener(nullptr);
  form_.SetWrap(nullptr);
  form_.SpeedButton1.setListener(nullptr);
  form_.RadioGroup1.setListener(nullptr);
}

void TerminalWindow::place(QWidget& widget, const char* name) {
  const auto at = placeOf(kTerminalLayout, name);
  widget.setObjectName(QString::fromLatin1(name));
  if (at) widget.setGeometry(at->x, at->y, at->width, at->height);
}

void TerminalWindow::syncWindow() {
  setWindowTitle(toQt(form_.Caption()));
  if (form_.Visible()) {
    if (isVisible()) return;
    show();
    raise();
  } else {
    hide();
  }
}

void TerminalWindow::syncToggle() {
  const ToggleButton& model = form_.SpeedButton1;
  SpeedButton1->setText(toQt(model.caption()));
  SpeedButton1->setChecked(model.down());
  applyCommon(*SpeedButton1, model);
}

void TerminalWindow::syncRadioGroup() {
  const RadioGroup& model = form_.RadioGroup1;
  RadioGroup1->setTitle(toQt(model.caption()));
  for (std::size_t i = 0; i < RadioButtons.size(); ++i) {
    RadioButtons[i]->setChecked(static_cast<int>(i) == model.itemIndex());
  }
  applyCommon(*RadioGroup1, model);
}

void TerminalWindow::closeEvent(QCloseEvent* event) {
  // Hides the window through the model, which unchecks "Show process" in the main window.
  runGuarded([&] { form_.Close(); });
  event->accept();
}

}  // namespace movrand::gui

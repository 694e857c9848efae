#include "gui/bindings.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QStringList>
#include <QTextCursor>
#include <algorithm>

#include "gui/application.h"

namespace movrand::gui {
namespace {

void applyCommon(QWidget& widget, const Control& model) {
  widget.setEnabled(model.enabled());
  widget.setVisible(model.visible());
  widget.setToolTip(toQt(model.hint()));
}

// Runs `sync` now and on every change of `model`; forgets the listener with the widget.
template <typename Sync>
void follow(QWidget& widget, Control& model, Sync sync) {
  sync();
  model.setListener(sync);
  QObject::connect(&widget, &QObject::destroyed, [&model] { model.setListener(nullptr); });
}

}  // namespace

QString toQt(const std::string& text) {
  return QString::fromStdString(text);
}
std::string fromQt(const QString& text) {
  return text.toStdString();
}

void bindLabel(QLabel& widget, Label& model) {
  widget.setTextFormat(Qt::PlainText);
  follow(widget, model, [&widget, &model] {
    widget.setText(toQt(model.caption()));
    if (model.left() >= 0) {
      widget.setGeometry(model.left(), model.top(), model.width(), widget.height());
    }
    widget.setAlignment(model.centred() ? Qt::AlignCenter : Qt::AlignLeft | Qt::AlignVCenter);
    applyCommon(widget, model);
  });
}

void bindButton(QAbstractButton& widget, Button& model) {
  follow(widget, model, [&widget, &model] {
    widget.setText(toQt(model.caption()));
    applyCommon(widget, model);
  });
  QObject::connect(&widget, &QAbstractButton::clicked, &widget,
                   [&model] { runGuarded([&] { model.click(); }); });
}

void bindCheckBox(QCheckBox& widget, CheckBox& model) {
  auto sync = [&widget, &model] {
    widget.setText(toQt(model.caption()));
    widget.setChecked(model.checked());
    applyCommon(widget, model);
  };
  follow(widget, model, sync);
  // The box has already toggled itself; the model decides, and the box shows its decision.
  QObject::connect(&widget, &QAbstractButton::clicked, &widget, [&model, sync] {
    runGuarded([&] { model.click(); });
    sync();
  });
}

void bindEdit(QLineEdit& widget, Edit& model) {
  follow(widget, model, [&widget, &model] {
    widget.setText(toQt(model.text()));
    widget.setCursorPosition(0);  // show the start of a long name
    applyCommon(widget, model);
  });
}

ModelComboBox::ModelComboBox(ComboBox& model, QWidget* parent) : QComboBox(parent), model_(model) {
  sync();
  model_.setListener([this] { sync(); });
  // `activated` comes from the user only, never from the sync's own changes.
  connect(this, &QComboBox::activated, this,
          [this](int index) { runGuarded([&] { model_.userSelect(index); }); });
}

ModelComboBox::~ModelComboBox() {
  model_.setListener(nullptr);
}

void ModelComboBox::showPopup() {
  // The model may rebuild the items; the listener has shown them by now. When that fails the
  // error box has said so and the list stays closed.
  bool rebuilt = false;
  runGuarded([&] {
    model_.dropDown();
    rebuilt = true;
  });
  if (!rebuilt) return;
  setMaxVisibleItems(std::max(1, model_.dropDownCount()));
  if (model_.dropDownWidth() > 0) view()->setMinimumWidth(model_.dropDownWidth());
  QComboBox::showPopup();
}

void ModelComboBox::sync() {
  const QSignalBlocker quiet(this);
  QStringList items;
  items.reserve(static_cast<qsizetype>(model_.items().size()));
  for (const std::string& item : model_.items()) items << toQt(item);
  QStringList shown;
  for (int i = 0; i < count(); ++i) shown << itemText(i);
  if (items != shown) {
    clear();
    addItems(items);
  }
  setCurrentIndex(model_.itemIndex());
  applyCommon(*this, model_);
}

MemoView::MemoView(Memo& model, QWidget* parent) : QPlainTextEdit(parent), model_(model) {
  setReadOnly(true);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setLineWrapMode(QPlainTextEdit::WidgetWidth);
  QPalette pal = palette();
  pal.setColor(QPalette::Base, Qt::white);
  pal.setColor(QPalette::Text, Qt::black);
  setPalette(pal);
  sync();
  model_.setListener([this] { sync(); });
}

MemoView::~MemoView() {
  model_.setListener(nullptr);
}

void MemoView::sync() {
  applyCommon(*this, model_);
  const auto& lines = model_.lines();
  bool changed = false;
  // Cleared (and perhaps refilled since), or a line above the last rewritten: draw anew.
  if (lines.size() < shown_ || model_.rewrites() != rewritesShown_) {
    rewritesShown_ = model_.rewrites();
    clear();
    shown_ = 0;
    lastShown_.clear();
    lastLineStart_ = 0;
    changed = true;
  } else if (shown_ > 0 && lines[shown_ - 1] != lastShown_) {
    rewriteLastLine(lines[shown_ - 1]);
    changed = true;
  }
  for (; shown_ < lines.size(); ++shown_) {
    appendLine(lines[shown_]);
    changed = true;
  }
  if (changed) verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

void MemoView::appendLine(const std::string& line) {
  QTextCursor cursor(document());
  cursor.movePosition(QTextCursor::End);
  if (shown_ > 0) cursor.insertBlock();
  lastLineStart_ = cursor.position();
  cursor.insertText(toQt(line));
  lastShown_ = line;
}

void MemoView::rewriteLastLine(const std::string& line) {
  QTextCursor cursor(document());
  cursor.setPosition(lastLineStart_);
  cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
  cursor.insertText(toQt(line));
  lastShown_ = line;
}

}  // namespace movrand::gui

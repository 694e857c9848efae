// Binds Qt widgets to the control models, both ways.
//
// A bound widget shows its model's state at once and follows every later change through the
// model's listener (enabled, visible, tooltip, caption or text, items and selection, log
// lines). What the user does goes back to the model and its handler: a click to `click()`, a
// picked list item to `userSelect`, the opening of a list to `dropDown` before it shows. No
// procedure logic lives here. The model must outlive its widget; the widget detaches itself
// from the model when it is destroyed. Main thread only.
#pragma once

#include <QComboBox>
#include <QPlainTextEdit>
#include <QString>
#include <cstddef>
#include <string>

#include "platform/controls.h"

class QAbstractButton;
class QCheckBox;
class QLabel;
class QLineEdit;
class QWidget;

namespace movrand::gui {

// The models hold UTF-8 text.
QString toQt(const std::string& text);
std::string fromQt(const QString& text);

// A label; when the model carries a place (the dialogs set theirs on every showing) the label
// moves there, keeping its height, and centres its text when the model says so.
void bindLabel(QLabel& widget, Label& model);
// A push button, flat or not; its text is the model's caption.
void bindButton(QAbstractButton& widget, Button& model);
void bindCheckBox(QCheckBox& widget, CheckBox& model);
void bindEdit(QLineEdit& widget, Edit& model);

// A drop-down list that mirrors a ComboBox model. The model hears of the opening before the
// list shows, so it can rebuild the items; the list then opens with the model's number of
// rows and at least the model's drop-down width.
class ModelComboBox : public QComboBox {
 public:
  ModelComboBox(ComboBox& model, QWidget* parent);
  ~ModelComboBox() override;
  void showPopup() override;

 private:
  void sync();
  ComboBox& model_;
};

// The log pane: read-only, white, with a vertical scroll bar always shown. New lines are
// appended and scrolled into view; a rewrite of the last line replaces it in place.
class MemoView : public QPlainTextEdit {
 public:
  MemoView(Memo& model, QWidget* parent);
  ~MemoView() override;

 private:
  void sync();
  void appendLine(const std::string& line);
  void rewriteLastLine(const std::string& line);

  Memo& model_;
  std::size_t shown_ = 0;            // model lines shown so far
  std::string lastShown_;            // the last of them as shown
  int lastLineStart_ = 0;            // document position where it starts
  std::uint64_t rewritesShown_ = 0;  // the model's count of rewrites above the last line
};

}  // namespace movrand::gui

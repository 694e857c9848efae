// The terminal window on screen: the real widgets of TTermForm, bound to its control models.
//
// A fixed-size window (client 697 x 297, minimise and close boxes only) that first appears at
// the screen place the layout gives and follows the model's caption and visibility. Its close
// box runs the model's `Close`, which hides it; the window is never destroyed before the
// program ends. The text box shows the model's bytes one 8-bit character each (a lone CR or
// LF as its control picture, since only CR LF breaks a line), wraps them at its width and
// gives the model that very wrapping to count and trim lines by. What the user types goes
// back into the model. Main thread only.
#pragma once

#include <QPlainTextEdit>
#include <QString>
#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "app/layout.h"
#include "app/terminal.h"

class QGroupBox;
class QPushButton;
class QRadioButton;
class QToolButton;

namespace movrand::gui {

// The model's bytes as the box shows them, one character each; CR LF becomes the box's own
// paragraph break. `toBoxText` of one paragraph keeps its offsets.
QString toBoxText(std::string_view bytes);
// Back from the box (after the user typed): a paragraph break becomes CR LF, a control
// picture its byte, a character outside the 8-bit range "?".
std::string fromBoxText(const QString& text);

// The text box: editable, word wrap at its width, vertical scroll bar always shown.
class TerminalTextView : public QPlainTextEdit {
 public:
  TerminalTextView(TextBox& model, QWidget* parent);
  ~TerminalTextView() override;

  // Where the box wraps `paragraph` (bytes without CR LF): the offsets its lines start at.
  std::vector<std::size_t> wrap(std::string_view paragraph) const;
  // The lines the box displays now, wrapped pieces included.
  int displayedLineCount() const;

 private:
  void sync();
  void userEdited();
  qreal lineWidth() const;

  TextBox& model_;
  std::string shown_;  // the model's text as last shown or taken from the user
};

class TerminalWindow : public QWidget {
 public:
  TerminalWindow(TTermForm& form, QWidget* parent);
  ~TerminalWindow() override;

  TTermForm& form() { return form_; }

  // The widgets, named as the components (also their object names).
  TerminalTextView* Memo1;
  QToolButton* SpeedButton1;
  QGroupBox* RadioGroup1;
  std::vector<QRadioButton*> RadioButtons;  // the items of RadioGroup1
  QPushButton* Button1;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void place(QWidget& widget, const char* name);
  void syncWindow();
  void syncToggle();
  void syncRadioGroup();

  TTermForm& form_;
};

}  // namespace movrand::gui

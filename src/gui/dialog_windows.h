// The warning dialog, the programming notice, the message box and the file-open dialog as
// real Qt windows, behind the Dialogs and FileDialog interfaces the procedures use.
//
// AttentionDialog is modal: OK (the default button, focused on every showing, so Enter
// confirms) gives ModalResult::OK; Cancel, Escape and the close box give ModalResult::Cancel.
// DevProgWindow is modeless and its close box only hides it. Both run their model's show
// handler on every showing and are centred over the main window. Main thread only.
#pragma once

#include <QDialog>
#include <string>
#include <string_view>

#include "app/dialogs.h"
#include "app/services.h"

class QLabel;
class QPushButton;

namespace movrand::gui {

class AttentionDialog : public QDialog {
 public:
  AttentionDialog(TFormAttention& form, QWidget* parent);
  ~AttentionDialog() override;

  // One modal showing, from `BeginModal` to the user's answer.
  ModalResult showModal();
  // What every showing does before the window appears: the model's `BeginModal` (texts, label
  // places, focus on OK), the caption, the focus and the place over the main window.
  void prepareShowing();

  QLabel* Label1;
  QLabel* Label2;
  QLabel* Label3;
  QPushButton* BitBtnCancel;
  QPushButton* BitBtnOK;

  // Escape: answers as the Cancel button does.
  void reject() override;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void endIfAnswered();
  void rememberOuterWidth();

  TFormAttention& form_;
  bool running_ = false;
};

class DevProgWindow : public QDialog {
 public:
  DevProgWindow(TFormDevProg& form, QWidget* parent);
  ~DevProgWindow() override;

  // Runs the show handler, centres over the main window and shows without blocking.
  void showNotice();

  QLabel* Label1;
  QLabel* Label2;

 private:
  TFormDevProg& form_;
};

// Centres `window` (its outer frame) over `over`, or over the screen without one.
void centreWindow(QWidget& window, const QWidget* over);

// The Dialogs of the procedures, shown by the windows above. The windows are attached after
// the main window exists (they are its children); until then nothing is shown.
class QtDialogs final : public Dialogs {
 public:
  void attach(QWidget* mainWindow, AttentionDialog* attention, DevProgWindow* devProg);

  ModalResult ShowAttention() override;
  void ShowDevProg() override;
  void HideDevProg() override;
  void ShowMessage(const std::string& title, const std::string& text) override;

 private:
  QWidget* mainWindow_ = nullptr;
  AttentionDialog* attention_ = nullptr;
  DevProgWindow* devProg_ = nullptr;
};

// The file-open dialog, over the main window.
class QtFileDialog final : public FileDialog {
 public:
  void setOwner(QWidget* parent) { parent_ = parent; }
  bool Execute(OpenDialog& dialog) override;

 private:
  QWidget* parent_ = nullptr;
};

// "description|pattern[|description|pattern...]" (patterns separated by ';') in Qt's form
// "description (pattern ...);;...". A description that already ends with its patterns in
// parentheses is kept as it is.
QString qtFileFilter(std::string_view filter);

}  // namespace movrand::gui

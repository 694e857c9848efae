// The main window on screen: the real widgets of TMainForm, bound to its control models.
//
// A fixed-size window (client 318 x 344, minimise and close boxes only) that places every
// component from the layout table, shows the model's caption and follows the models through
// the bindings. The close box and the Close button both end in `FormClose`; when it succeeds
// the window closes and the application's loop ends, when it fails the message is shown and
// the window stays open. On its first showing the window is centred on the screen; every move
// is written back to the model's `Left` and `Top`. Main thread only.
#pragma once

#include <QWidget>

#include "app/main_form.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QToolButton;

namespace movrand::gui {

class ModelComboBox;
class MemoView;

class MainWindow : public QWidget {
 public:
  explicit MainWindow(TMainForm& form);
  ~MainWindow() override;

  TMainForm& form() { return form_; }

  // The widgets, named as the components (also their object names).
  QLabel* LabelPort;
  ModelComboBox* PortComboBox;
  QLabel* LabelProtocol;
  ModelComboBox* ProtocolComboBox;
  QLabel* LabelBaud;
  ModelComboBox* BaudComboBox;
  QLabel* Image1;
  QLabel* LabelFile;
  QLineEdit* Edit1;
  QToolButton* SpeedButtonOpen;
  QToolButton* SpeedButtonSynch;
  QToolButton* SpeedButtonProgram;
  MemoView* Memo1;
  QCheckBox* CheckBox1;
  QPushButton* SpeedButton1;
  QPushButton* BitBtn1;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void place(QWidget& widget, const char* name);

  TMainForm& form_;
  bool shownBefore_ = false;
};

}  // namespace movrand::gui

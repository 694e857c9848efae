// The settings file: the technician's choices of port, protocol, rate, firmware file and
// window position, kept next to the program.
#include "app/main_form.h"

namespace movrand {

void TMainForm::LoadSettings() {
  // Placeholder until the settings file is read: every start is a first start.
  PortComboBox.setItemIndex(0);
  ProtocolComboBox.setItemIndex(0);
  BaudComboBox.setItemIndex(0);
  BaudComboBox.setEnabled(false);
  OpenDialog1.FileName.clear();
}

void TMainForm::SaveSettings() {}

}  // namespace movrand

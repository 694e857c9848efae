#include "app/main_form.h"

namespace movrand {

void TMainForm::SpeedButtonProgramClick() {}
void TMainForm::SpeedButton1Click() {}
void TMainForm::Timer1Timer() {}
bool TMainForm::LoadImage() {
  return false;
}
void TMainForm::StartLoaderEntry() {}
bool TMainForm::LoaderByte(std::uint8_t) {
  return true;
}
void TMainForm::SendBlock() {}

}  // namespace movrand

#include "app/terminal.h"

#include "app/main_form.h"

namespace movrand {

TTermForm::TTermForm(TMainForm& mainForm) : mainForm_(mainForm) {}

void TTermForm::Echo(const std::uint8_t*, int) {}

void TMainForm::CheckBox1Click() {}

}  // namespace movrand

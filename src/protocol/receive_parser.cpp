#include "app/main_form.h"

namespace movrand {

void TMainForm::PortDataReceived(const std::uint8_t* data, int length) {
  ReceiveParser(data, length);
}
void TMainForm::ReceiveParser(const std::uint8_t*, int) {}
void TMainForm::PortLost() {}

}  // namespace movrand

#include "connection/link.h"

#include "comm/comm.h"

namespace movrand {

std::optional<std::string> PortNameOf(std::string_view itemText) {
  const std::string_view name = itemText.substr(0, itemText.find(' '));
  if (name.size() > kPortNameMax) return std::nullopt;
  return std::string(name);
}

bool OpenLink(const LinkDescription& link, std::string_view port, std::uint32_t rate) {
  return OpenPort(port, rate, static_cast<std::uint8_t>(link.parity));
}

void ResetConnectionControls(FormSurface& form) {
  form.SpeedButtonSynch.setEnabled(true);
  form.SpeedButtonSynch.setCaption(form.Messages.TextConnect);
  form.PortComboBox.setEnabled(true);
  form.ProtocolComboBox.setEnabled(true);
  form.BaudComboBox.setEnabled(!ProtocolIsAuto(form));
  form.SpeedButtonProgram.setEnabled(false);
  form.DeviceIdentified = false;
}

void ReportReconnectFailed(FormSurface& form) {
  form.LogTimedLine(form.Messages.TextReconnectFailed);
  form.BitBtn1.setEnabled(true);
  form.SpeedButton1.setEnabled(true);
  form.Announce({.kind = FormEvent::Kind::ReconnectFailed,
                 .text = form.Messages.TextReconnectFailed,
                 .port = form.PortName});
}

bool ProtocolIsAuto(const FormSurface& form) {
  return form.ProtocolComboBox.itemIndex() == 0;
}

}  // namespace movrand

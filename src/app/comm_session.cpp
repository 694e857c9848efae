#include "app/comm_session.h"

#include "app/main_form.h"
#include "comm/comm.h"

namespace movrand {

CommSession::CommSession(TMainForm& form, EventLoop& loop, SerialDriver& driver,
                         ReceivedTap received) {
  CommHandlers handlers;
  handlers.dataReceived = [&form, received = std::move(received)](const std::uint8_t* data,
                                                                  int length) {
    if (received) received(std::span(data, static_cast<std::size_t>(length)));
    form.PortDataReceived(data, length);
  };
  handlers.portLost = [&form] { form.PortLost(); };
  handlers.sent = [&form](std::span<const std::uint8_t> bytes) {
    form.WriteTrafficSent(bytes.data(), bytes.size());
  };
  CommAttach(loop, driver, std::move(handlers));
}

CommSession::~CommSession() {
  CommDetach();
}

}  // namespace movrand

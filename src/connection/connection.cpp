#include "app/main_form.h"

namespace movrand {

void TMainForm::SpeedButtonSynchClick() {}
void TMainForm::TimerSynchNMEATimer() {}
void TMainForm::TimerSynchBINRTimer() {}
void TMainForm::TimerAutoBaudBinrTimer() {}
void TMainForm::TimerAutoBaudNmeaTimer() {}
void TMainForm::TimerProtocolTimer() {}
void TMainForm::TimerRestartTimer() {}
void TMainForm::ConnectNmeaAtRate(std::string_view, std::uint32_t) {}
void TMainForm::ConnectBinrAtRate(std::string_view, std::uint32_t) {}
void TMainForm::ResetConnectionControls() {}
void TMainForm::ReportReconnectFailed() {}
void TMainForm::StartNmeaScan() {}
void TMainForm::StartBinrScan() {}
void TMainForm::StartProtocolSearch() {}
void TMainForm::TimerOpenRetryTimer() {}
void TMainForm::TimerReconnectDelayTimer() {}

}  // namespace movrand

#include "form/form_surface.h"

namespace movrand {

std::string_view FieldText(const VersionField& field) {
  std::size_t length = 0;
  while (length < field.size() && field[length] != '\0') ++length;
  return {field.data(), length};
}

void SetField(VersionField& field, std::string_view text) {
  field.fill('\0');
  text.copy(field.data(), kVersionFieldMax);
}

FormSurface::FormSurface(EventLoop& loop, LocalClock& clock, Dialogs& dialogs)
    : Timer1(loop, kTimer1Interval),
      TimerSynchNMEA(loop, kTimerSynchNmeaInterval),
      TimerSynchBINR(loop, kTimerSynchBinrInterval),
      TimerAutoBaudBinr(loop, kTimerAutoBaudBinrInterval),
      TimerAutoBaudNmea(loop, kTimerAutoBaudNmeaInterval),
      TimerProtocol(loop, kTimerProtocolInterval),
      TimerRestart(loop, kTimerRestartInterval),
      TimerOpenRetry(loop, kOpenRetryDelay),
      TimerReconnectDelay(loop, kReconnectDelay),
      loop_(loop),
      clock_(clock),
      dialogs_(dialogs) {}

void FormSurface::LogLine(std::string_view text) {
  Memo1.add(std::string(text));
}

void FormSurface::LogTimedLine(std::string_view text) {
  LogLine(TimeStamp().append(text));
}

std::string FormSurface::TimeStamp() {
  return clock_.LongTime();
}

void FormSurface::UpdateProgramButton() {
  SpeedButtonProgram.setEnabled(DeviceIdentified && !Edit1.text().empty());
}

}  // namespace movrand

// The main window connected through the serial link to the in-process simulated module, all
// on the virtual clock: what the model tests of connecting, searching and programming drive.
//
// The module sits behind the port "SIM0", the only item of the port list. The window's clock
// reads the virtual clock, so every time-stamped line tells when it was written: the clock
// starts at 10:00:00.000, and `At(ms)` gives the stamp a line written at `ms` carries.
#pragma once

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/comm_session.h"
#include "app/form_fakes.h"
#include "app/main_form.h"
#include "platform/virtual_event_loop.h"
#include "sim/module.h"
#include "sim/sim_serial.h"

namespace movrand::testing {

// "HH:MM:SS" of the virtual clock, starting at 10:00:00.
class VirtualClockTime final : public LocalClock {
 public:
  explicit VirtualClockTime(const EventLoop& loop) : loop_(loop) {}
  std::string LongTime() override { return At(loop_.now()); }
  static std::string At(Milliseconds time) {
    const long long seconds = 10 * 3600 + time.count() / 1000;
    char text[16];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld", (seconds / 3600) % 24,
                  (seconds / 60) % 60, seconds % 60);
    return text;
  }

 private:
  const EventLoop& loop_;
};

// A module talking `protocol` at `baud`, answering or not.
inline sim::SimConfig ModuleAt(sim::Protocol protocol, std::uint32_t baud, bool silent = false) {
  sim::SimConfig config;
  config.protocol = protocol;
  config.baud = baud;
  config.silent = silent;
  return config;
}

inline sim::SimConfig CompletedConfig(sim::SimConfig config) {
  sim::CompleteVersionTexts(config);
  return config;
}

struct SimForm {
  // `programFile` places the settings file and the traffic log beside it.
  explicit SimForm(sim::SimConfig moduleConfig, bool powerOn = true,
                   std::filesystem::path programFile = kProgramFile)
      : clock(loop),
        ports(Ports()),
        config(CompletedConfig(std::move(moduleConfig))),
        module(loop, config),
        driver(loop, module),
        form(loop, MainFormServices{clock, ports, fileDialog, dialogs, std::move(programFile)}),
        session(form, loop, driver) {
    if (powerOn) module.powerOn();
  }

  static FakePortSource Ports() {
    FakePortSource source;
    source.ports = std::vector<SerialPortEntry>{{std::string(sim::kSimPortName), "sim"}};
    return source;
  }

  // Selects protocol and rate as the user would: by item text ("Auto", "NMEA", "9600", ...).
  void Select(const std::string& protocol, const std::string& baud) {
    const auto& p = form.ProtocolComboBox.items();
    form.ProtocolComboBox.userSelect(
        static_cast<int>(std::find(p.begin(), p.end(), protocol) - p.begin()));
    const auto& b = form.BaudComboBox.items();
    form.BaudComboBox.userSelect(static_cast<int>(std::find(b.begin(), b.end(), baud) - b.begin()));
  }

  void Connect() { form.SpeedButtonSynch.click(); }

  // Runs the clock in 1 ms steps until `done` holds or `limit` has passed; true when it held.
  template <typename Predicate>
  bool RunUntil(Predicate done, Milliseconds limit) {
    const Milliseconds end = loop.now() + limit;
    while (!done()) {
      if (loop.now() >= end) return false;
      loop.advance(Milliseconds{1});
    }
    return true;
  }

  const std::vector<std::string>& Lines() const { return form.Memo1.lines(); }
  bool HasLine(const std::string& line) const {
    return std::find(Lines().begin(), Lines().end(), line) != Lines().end();
  }

  VirtualEventLoop loop;
  VirtualClockTime clock;
  FakePortSource ports;
  FakeFileDialog fileDialog;
  FakeDialogs dialogs;
  sim::SimConfig config;  // as the module runs it, version texts filled in
  sim::SimModule module;
  sim::SimSerialDriver driver;
  TMainForm form;
  CommSession session;
};

}  // namespace movrand::testing

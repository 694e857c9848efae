// The main window on the system's serial link over a pseudo-terminal, in real time: the test
// plays the module on the master, the window runs its own loop. For tests of what only a real
// line shows (the traffic log's bytes, a line that fills up).
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "app/comm_session.h"
#include "app/form_fakes.h"
#include "app/main_form.h"
#include "app/terminal.h"
#include "platform/std_event_loop.h"
#include "support/pty_pair.h"

namespace movrand::testing {

inline std::string Text(const std::vector<std::uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// The window on the system's serial link, its port list holding the pseudo-terminal, and a
// terminal that echoes what arrives, so the test sees when a chunk has been handled.
struct PtyProgram {
  explicit PtyProgram(const std::filesystem::path& programFile)
      : ports(Ports(pty.portName())),
        form(loop, MainFormServices{clock, ports, fileDialog, dialogs, programFile}),
        term(form),
        session(form, loop, systemSerialDriver()),
        poll(loop, std::chrono::milliseconds{10}) {
    form.TermForm = &term;
    term.Monitoring = true;
    // Wakes the loop often, so the conditions below are looked at while nothing else runs.
    poll.onTimer = [] {};
    poll.setEnabled(true);
  }
  ~PtyProgram() { form.TermForm = nullptr; }

  static FakePortSource Ports(const std::string& name) {
    FakePortSource source;
    source.ports = std::vector<SerialPortEntry>{{name, "pty"}};
    return source;
  }
  // Collects what the program sent until `wanted` has arrived.
  bool Receive(std::string& sent, const std::string& wanted) {
    return loop.runUntil(
        [&] {
          sent += Text(pty.readAvailable(0));
          return sent.find(wanted) != std::string::npos;
        },
        std::chrono::milliseconds{5000});
  }

  test::PtyPair pty;
  StdEventLoop loop;
  FakeClock clock;
  FakePortSource ports;
  FakeFileDialog fileDialog;
  FakeDialogs dialogs;
  TMainForm form;
  TTermForm term;
  CommSession session;
  Timer poll;
};

}  // namespace movrand::testing

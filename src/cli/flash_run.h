// One headless run: drives the main window's model as a technician drives the window, and
// decides from what the window shows how the run ended.
//
// The run selects the port, protocol and rate, chooses the image through the Open button,
// presses Connect, and once the module is identified either presses Disconnect (no image) or
// Programming, whose confirmation the dialogs answer. The procedures, their timers and their
// log lines are the window's own; the run only watches the controls, the state record and the
// log pane. The outcome is one of the exit codes of options.h: a connect that ends idle is
// "port" when no open ever succeeded or the window said the port was busy, else "device"; a
// press of Programming that starts nothing is "image"; the loader's fourth rejection, a
// declined confirmation and Ctrl-C are "cancelled"; after ">>Loading completed" only
// ">>Device is ready for normal operation" is success, any failure of the reconnect is
// "reconnect". When the device behind the open port goes away (an adapter pulled out), the
// window only says so and waits; the run then presses Cancel and ends with "port". Main
// thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/main_form.h"
#include "cli/headless_dialogs.h"
#include "cli/json_events.h"
#include "cli/log_printer.h"
#include "cli/open_watch.h"
#include "cli/options.h"

namespace movrand::cli {

struct RunChoices {
  std::string portName;  // as the port list names it (LookUpPort)
  ProtocolChoice protocol = ProtocolChoice::Auto;
  std::optional<std::uint32_t> baud;  // nothing: "Auto"
  bool program = false;               // an image was chosen
};

class FlashRun {
 public:
  // Between two looks at the window when nothing on it changed (a timer ran out quietly).
  static constexpr Milliseconds kPollInterval{250};

  // `finished` is called once, when the outcome is known; `notify` says something to the
  // technician outside the log (why Ctrl-C did not cancel at once).
  FlashRun(TMainForm& form, const OpenWatch& opens, const HeadlessDialogs& dialogs,
           RunChoices choices, std::function<void()> finished,
           std::function<void(const std::string&)> notify);
  ~FlashRun();
  FlashRun(const FlashRun&) = delete;
  FlashRun& operator=(const FlashRun&) = delete;

  // Selects the port (adding it to the list when the list does not show it: a device path),
  // the protocol, the rate and the image. False, with the reason, when the window does not
  // offer the rate or the image cannot be chosen.
  bool select(std::string& error);
  // Presses Connect; the run goes on by itself on the form's loop.
  void start();
  // Something on the window changed: looks again once the running handler has finished.
  void changed();
  // Ctrl-C: the Cancel button, when the window offers it; a second Ctrl-C ends the run.
  void interrupt();

  bool finished() const { return phase_ == Phase::Finished; }
  // How the run ended (or stands), with what the module reported.
  RunSummary summary() const;

 private:
  enum class Phase { Ready, Connecting, Programming, TestLoaded, Restarting, Finished };

  void evaluate();
  void startProgramming();
  void finish(ExitCode code, std::string detail, bool disconnect);

  bool connected() const;
  bool settledIdle() const;
  bool searching() const;
  bool programmingStarted() const;
  // A line written since the log pane held `from` lines that is `text` (with or without the
  // time stamp in front).
  bool seen(const std::string& text, std::size_t from) const;
  // The last log line, without its time stamp: what the window last said.
  std::string lastSaid() const;

  TMainForm& form_;
  const OpenWatch& opens_;
  const HeadlessDialogs& dialogs_;
  RunChoices choices_;
  std::function<void()> onFinished_;
  std::function<void(const std::string&)> notify_;

  Phase phase_ = Phase::Ready;
  ExitCode code_ = ExitCode::Success;
  std::string detail_;
  int opensBefore_ = 0;          // successful opens before Connect
  std::size_t connectMark_ = 0;  // log lines before Connect
  std::size_t programMark_ = 0;  // log lines before Programming
  int interrupts_ = 0;
  Timer poll_;
  bool evaluatePosted_ = false;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// Ties the printer and the run to the window: every change of the log pane is printed and
// looked at, every change of the Connect button looked at. `Unbind` removes the listeners.
void BindView(TMainForm& form, LogPrinter& printer, FlashRun& run);
void UnbindView(TMainForm& form);

// The version the module reported last: the version line's texts, joined by a blank.
std::optional<std::string> LastVersion(const TMainForm& form);

}  // namespace movrand::cli

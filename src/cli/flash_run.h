// One headless run: drives the main window's model as a technician drives the window, and
// decides from what the window announces how the run ended.
//
// The run selects the port, protocol and rate, chooses the image through the Open button,
// presses Connect, and once the module is identified either presses Disconnect (no image) or
// Programming, whose confirmation the dialogs answer. The procedures, their timers and their
// log lines are the window's own; the run follows the window's events (protocol/
// form_events.h) and its state record, never the log text. The outcome is one of the exit
// codes of options.h: a connect that fails is "port" when the port could not be opened (not
// selected, busy, missing, refused, or never opened during the whole search), else "device";
// a press of Programming that starts nothing is "image"; the loader's fourth rejection, a
// declined confirmation and Ctrl-C are "cancelled"; after ">>Loading completed" only the
// finished upgrade is success, any failure of the reconnect is "reconnect". When the device
// behind the open port goes away (an adapter pulled out), the window only says so and waits;
// the run then presses Cancel and ends with "port" (but in the restart wait after programming,
// where a module with its own USB port leaves and comes back, the run looks for the port
// again when the wait ends: see `RunChoices::portNow`).
//
// For the production line: a time-out bounds the whole run (when it expires the run presses
// Cancel where the window offers it and ends with "timeout", saying what it waited for); an
// expected version turns another reported version into "version"; a recovery skips the
// connect and hands the image to a module already waiting in its loader, through the
// window's own loader wait, transfer, restart wait and reconnect. Main thread only.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/main_form.h"
#include "cli/headless_dialogs.h"
#include "cli/json_events.h"
#include "cli/log_printer.h"
#include "cli/options.h"
#include "cli/progress.h"
#include "form/form_events.h"
#include "platform/error.h"
#include "protocol/module_contract.h"

namespace movrand::cli {

// A module waiting in its loader, to be sent the image without a connect.
struct Recovery {
  RxMode linkMode = RxMode::Nmea;  // the parity the loader listens with
  std::uint32_t rate = kProgrammingRate;
  std::string model;  // the image must name it; empty: no check
};

struct RunChoices {
  std::string portName;  // as the port list names it (LookUpPort)
  ProtocolChoice protocol = ProtocolChoice::Auto;
  std::optional<std::uint32_t> baud;         // nothing: "Auto"
  bool program = false;                      // an image was chosen
  std::optional<Milliseconds> timeout;       // the whole run; nothing: no limit
  std::optional<std::string> expectVersion;  // the version the module must end with
  std::optional<Recovery> recovery;
  // An unattended station: a module that already reports `expectVersion` is not programmed
  // (the run ends at once with success, `current()`), and `timeout` counts from the module's
  // answer to the connect, not from the first probe (the station connects again and again
  // until a module is put on).
  bool skipCurrent = false;
  bool timeoutFromAnswer = false;
  // Where the port is now, by the name or identity it was given: its name, or nothing while
  // it is missing. A module with its own USB port leaves the bus when it restarts and comes
  // back, perhaps under another name; when the restart wait ends the run asks again, selects
  // the port where it is and, while it is missing, holds the reconnect for up to
  // `FlashRun::kPortReturnWait` beyond the moment the window would reconnect. Unset: the
  // port keeps its name, as in the window.
  std::function<std::optional<std::string>()> portNow = nullptr;
};

// Where a run stands, as a station's line shows it.
enum class Stage { Ready, Connecting, RateChange, Loader, Sending, Restarting, Reconnecting, Done };
// "connecting", "rate-change", "loader", ...
std::string_view StageName(Stage stage);

class FlashRun {
 public:
  // Between two looks at the window when nothing was announced (test mode waits for the
  // window to settle after loading).
  static constexpr Milliseconds kPollInterval{250};
  // A recovery without --timeout waits this long for the loader's start requests.
  static constexpr Milliseconds kRecoveryLoaderWait{60000};
  // How long past the window's reconnect the run waits for a port that left with its module's
  // restart, and how often it looks for it.
  static constexpr Milliseconds kPortReturnWait{10000};
  static constexpr Milliseconds kPortLookInterval{500};

  // `finished` is called once, when the outcome is known; `notify` says something to the
  // technician outside the log (why Ctrl-C did not cancel at once, a rate the port refused).
  FlashRun(TMainForm& form, const HeadlessDialogs& dialogs, RunChoices choices,
           std::function<void()> finished, std::function<void(const std::string&)> notify);
  ~FlashRun();
  FlashRun(const FlashRun&) = delete;
  FlashRun& operator=(const FlashRun&) = delete;

  // Selects the port (adding it to the list when the list does not show it: a device path),
  // the protocol, the rate and the image. Fails, with the reason, when the window does not
  // offer the rate or the image cannot be chosen.
  Result<void> select();
  // Presses Connect; the run goes on by itself on the form's loop.
  void start();
  // Ctrl-C: the Cancel button, when the window offers it; a second Ctrl-C ends the run.
  void interrupt();

  bool finished() const { return phase_ == Phase::Finished; }
  // A module answered: it was identified, or (a recovery) its loader took the image.
  bool moduleAnswered() const { return answered_; }
  // The module already reported the expected version and was not programmed.
  bool current() const { return current_; }
  // How the run ended (or stands), with what the module reported.
  RunSummary summary() const;
  // Where the transfer stands: the image bytes up to the last block sent, of all.
  ProgressCounts progress() const { return progress_; }
  Stage stage() const { return stage_; }
  // The stage the run stood at when it ended (a failure in the loader leaves the module there).
  Stage endedAt() const { return endedAt_; }
  // What the run waits for at the stage it stands at, in words ("the loader's answer to a
  // block").
  std::string waitingFor() const;
  // Called on each change of the stage.
  std::function<void(Stage)> onStage;
  // Called whenever what `summary` or `waitingFor` would say may have changed: an event was
  // announced, the stage moved, the run ended; a block sent calls `onBlockSent` alone, with
  // the summary's two counts that change with it.
  std::function<void()> onChange;
  std::function<void(std::int64_t sentBytes, int blocksRepeated)> onBlockSent;

 private:
  enum class Phase { Ready, Connecting, Programming, TestLoaded, Restarting, Finished };

  void announced(const FormEvent& event);
  // Looks at the events announced since the last look, once the handler that announced them
  // has finished.
  void evaluate();
  void handle(const FormEvent& event);
  void startProgramming();
  // Selects the port named `name` in the port list, adding it when the list does not show it.
  void selectPort(const std::string& name);
  // The restart wait is over: the port where it is now, or the reconnect held until it is back.
  void followPort();
  void lookForPort();
  void setStage(Stage stage);
  // The time-out expired: Cancel, as a technician would, and say what the run waited for.
  void timedOut(Milliseconds limit);
  void changed() const;
  // Success, unless the module reports another version than the one expected.
  void finishWithVersion(bool disconnect);
  void finish(ExitCode code, std::string detail, bool disconnect,
              OpenError reason = OpenError::None);

  TMainForm& form_;
  const HeadlessDialogs& dialogs_;
  RunChoices choices_;
  std::function<void()> onFinished_;
  std::function<void(const std::string&)> notify_;
  int listener_ = 0;

  Phase phase_ = Phase::Ready;
  ExitCode code_ = ExitCode::Success;
  std::string detail_;
  OpenError reason_ = OpenError::None;
  std::optional<FormEvent> identified_;    // the last identification
  std::optional<std::string> version_;     // the version the module reported last
  std::string previousVersion_;            // the version before programming, after an upgrade
  std::optional<std::string> oldVersion_;  // the version found before programming
  bool upgraded_ = false;
  bool answered_ = false;
  bool current_ = false;
  int blocksRepeated_ = 0;
  // The image programming loaded (and sends): its size and SHA-256, once it started.
  std::optional<std::int64_t> imageBytes_;
  std::optional<std::string> imageSha256_;
  Stage stage_ = Stage::Ready;
  Stage endedAt_ = Stage::Ready;
  ProgressCounts progress_;
  bool programmingAnswered_ = false;  // the press of Programming started or refused something
  std::deque<FormEvent> pending_;
  int interrupts_ = 0;
  Timer poll_;
  Timer limit_;        // --timeout
  Timer loaderLimit_;  // a recovery's wait for the start requests
  Timer portWatch_;    // a port gone with the module's restart
  int portLooks_ = 0;  // looks for it since the restart wait ended
  bool evaluatePosted_ = false;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// Ties the printer to the window: every change of the log pane is printed. `UnbindView`
// removes the listener.
void BindView(TMainForm& form, LogPrinter& printer, FlashRun& run);
void UnbindView(TMainForm& form);

}  // namespace movrand::cli

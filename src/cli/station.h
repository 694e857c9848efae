// The unattended station: one port of a production line, module after module, with nothing to
// press. Each cycle waits for a module (the port may not exist yet; an empty fixture is
// connected again and again, quietly), skips a module that already reports the expected
// version, programs and verifies the others exactly as a single run does (FlashRun: the
// window's procedure, timings and lines), hands the module's record to its caller, and waits
// for the module to be taken off before it waits for the next one, so that a module left on
// the fixture is never programmed twice.
//
// A module found sitting in its loader (it asks for a transfer with "C" instead of answering)
// is recovered through the window's loader wait when the station knows the model the image
// must name; otherwise the station says so once and waits for it to be taken off.
//
// The station ends after `count` modules, or when asked to stop: at once while it waits, after
// the module being programmed has its outcome otherwise (a flash is never cut by a request to
// stop). A second request presses Cancel as a single run's first does; a third ends the run
// without it. Main thread only; every wait is a timer on the form's loop.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "app/main_form.h"
#include "cli/flash_run.h"
#include "cli/headless_dialogs.h"
#include "cli/log_printer.h"
#include "cli/options.h"
#include "cli/record.h"
#include "platform/serial_device.h"
#include "protocol/module_contract.h"

namespace movrand::cli {

struct StationChoices {
  std::string port;  // as given; looked up again at every cycle (a port may come and go)
  ProtocolChoice protocol = ProtocolChoice::Auto;
  std::optional<std::uint32_t> baud;
  std::optional<Milliseconds> moduleTimeout;  // from the module's answer to its outcome
  std::optional<std::string> expectVersion;
  std::string model;  // a module found in its loader is recovered with it; empty: not at all
  std::uint32_t programmingRate = kProgrammingRate;
  std::optional<int> count;  // modules before the station ends; nothing: until stopped
  std::string imageName;     // the image file's name, for the records
};

// Where the station stands, as its "stage" events name it.
enum class StationPhase {
  Starting,
  WaitingForPort,     // "waiting-for-port": the port does not exist (yet)
  WaitingForModule,   // "waiting-for-module": connecting again and again
  ModuleInLoader,     // "module-in-loader": a module in its loader and no model to recover it
  Module,             // a module answered: the single run's own stages follow
  WaitingForRemoval,  // "waiting-for-removal"
  Stopping,           // "stopping": asked to stop, finishing the module being programmed
  Ended,
};
std::string_view StationPhaseName(StationPhase state);

// A port found: its name for the port selector and, when it is on USB, its identity.
struct PortHere {
  std::string name;
  std::optional<UsbIdentity> usb = std::nullopt;
};

// What the station needs from its surroundings.
struct StationHooks {
  // The port the argument (a name, a path or a USB identity) names now, or nothing while it
  // does not exist. Asked before every connect and again after each restart wait, so that
  // the station follows its adapter or socket when the system renames the port.
  std::function<std::optional<PortHere>(const std::string& argument)> lookUpPort;
  // A stage to show: the station's own states and, while a module is handled, the run's.
  std::function<void(std::string_view stage)> stage;
  // A module has its outcome: record and report it. False when its record could not be
  // written (the station then ends: a module that is not recorded is not flashed).
  std::function<bool(const StationRecord& record)> module;
  // Something to tell the operator once.
  std::function<void(const std::string& text)> say;
  // A module answered (its time limit starts), and its outcome is out.
  std::function<void()> moduleStarted;
  std::function<void()> moduleEnded;
  // The run of the module now handled changed (for the forced end's record).
  std::function<void(const FlashRun& run)> runChanged;
  std::function<void(std::int64_t sentBytes, int blocksRepeated)> blockSent;
  std::function<void()> ended;
  // The wall clock, for the record's times.
  std::function<std::chrono::system_clock::time_point()> wallClock = [] {
    return std::chrono::system_clock::now();
  };
};

class Station {
 public:
  // A port that does not exist is looked for again this often.
  static constexpr Milliseconds kPortCheckInterval{500};
  // The least time between two connects of an empty fixture (a connect that fails at once).
  static constexpr Milliseconds kAttemptPause{500};
  // Listening for a loader's start requests, at the programming rate, per parity; and how
  // many "C" in a row (with nothing else between) show a loader.
  static constexpr Milliseconds kLoaderListen{2500};
  static constexpr int kLoaderRequests = 2;
  // Every this many fruitless connects the station listens for a loader even when nothing was
  // heard (a loader at another rate than the connects try cannot be heard by them).
  static constexpr int kListenEveryAttempts = 4;
  // Removal: a version query this often; the module is gone when nothing came for this long.
  static constexpr Milliseconds kRemovalQueryInterval{500};
  static constexpr Milliseconds kRemovalSilence{1500};
  // A module left in its loader answers no query; its start requests may pause for a few
  // seconds (a loader that took the host for gone restarts its wait), so it counts as gone
  // only after this long without one.
  static constexpr Milliseconds kLoaderSilence{10000};

  Station(TMainForm& form, const HeadlessDialogs& dialogs, LogPrinter& printer,
          StationChoices choices, StationHooks hooks);
  ~Station();
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;

  void start();
  // Ctrl-C (or the line's "interrupt"): see the top of this file. True when the station will
  // end at once (no module is being programmed).
  bool interrupt();
  // Every chunk the port received, before the window's receive handler has it.
  void received(std::span<const std::uint8_t> bytes);

  StationPhase state() const { return state_; }
  bool ended() const { return state_ == StationPhase::Ended; }
  // The worst outcome of the station's modules (success when none failed), or why the station
  // could not go on.
  ExitCode code() const { return code_; }
  int passed() const { return passed_; }
  int failed() const { return failed_; }
  int current() const { return current_; }
  int modules() const { return passed_ + failed_ + current_; }
  // Seconds from the connect that found each module to its outcome, summed.
  double moduleSeconds() const { return moduleSeconds_; }
  // The module handled now, if any, with its sequence number and when its connect started.
  const FlashRun* run() const { return moduleActive_ ? run_.get() : nullptr; }
  int sequence() const { return modules() + 1; }
  std::chrono::system_clock::time_point moduleTime() const { return attemptWall_; }
  const std::string& portName() const { return portName_; }
  const std::optional<UsbIdentity>& portUsb() const { return portUsb_; }

 private:
  // How the station makes sure that a module has gone.
  struct Presence {
    std::uint32_t rate = 115200;
    Parity parity = Parity::None;
    bool loader = false;  // listen for start requests; otherwise send version queries
    // The version the module reported last: another one in answer to a query is another
    // module, put on before the silence showed that this one had gone.
    std::optional<std::string> version;
  };

  void setState(StationPhase state);
  void beginCycle();
  void checkPort();
  void attempt();
  // Makes the run of `choices` the station's and selects its port, protocol, rate and image;
  // false (the station has ended) when the window does not take them.
  bool launch(RunChoices choices);
  void attemptEnded();
  void startModule();
  void moduleEnded();
  void listenForLoader(std::size_t parityIndex);
  void listenEnded();
  void loaderFound(Parity parity);
  void recover(Parity parity);
  void waitForRemoval(Presence presence);
  void removalTick();
  void gone();
  void end(std::optional<ExitCode> why = std::nullopt);
  void closeOwnPort();
  void later(Milliseconds after, std::function<void()> then);

  TMainForm& form_;
  const HeadlessDialogs& dialogs_;
  LogPrinter& printer_;
  StationChoices choices_;
  StationHooks hooks_;
  int listener_ = 0;

  StationPhase state_ = StationPhase::Starting;
  ExitCode code_ = ExitCode::Success;
  int passed_ = 0;
  int failed_ = 0;
  int current_ = 0;
  double moduleSeconds_ = 0;

  std::string portName_;
  std::optional<UsbIdentity> portUsb_;
  std::unique_ptr<FlashRun> run_;
  bool moduleActive_ = false;
  bool recovering_ = false;
  Milliseconds attemptStarted_{0};
  std::chrono::system_clock::time_point attemptWall_;
  int fruitlessAttempts_ = 0;
  std::int64_t heardInAttempt_ = 0;  // bytes received during the connect now running
  bool saidLoader_ = false;
  bool saidPort_ = false;

  // Listening for a loader.
  bool listening_ = false;
  std::size_t listenParity_ = 0;
  int requestsInARow_ = 0;

  // Waiting for removal.
  bool removing_ = false;
  Presence presence_;
  Milliseconds lastHeard_{0};
  bool ownPortOpen_ = false;

  int interrupts_ = 0;

  Timer wait_;   // the one pending wait of the cycle (a port check, a pause, a listen)
  Timer query_;  // removal: the version queries
  std::function<void()> afterWait_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace movrand::cli

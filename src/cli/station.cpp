#include "cli/station.h"

#include <algorithm>
#include <array>
#include <utility>

#include "comm/comm.h"
#include "connection/link.h"

namespace movrand::cli {
namespace {

using Kind = FormEvent::Kind;

constexpr std::uint8_t kStartRequest = 'C';
constexpr std::array<Parity, 2> kBothParities{Parity::None, Parity::Odd};

Parity ParityOf(ProtocolChoice protocol) {
  return protocol == ProtocolChoice::Binr ? Parity::Odd : Parity::None;
}

Parity ParityOf(const std::optional<std::string>& protocol) {
  return protocol && *protocol == "BINR" ? Parity::Odd : Parity::None;
}

// The stages at which the module is in its loader: a run that ends there leaves it asking for
// a transfer, answering no version query.
bool InLoader(Stage stage) {
  return stage == Stage::Loader || stage == Stage::Sending;
}

// Puts the window back as it stands after start-up, between two modules: a run that ended on
// a time-out or a lost port may leave the restart wait, its reconnect or a search running,
// which would otherwise go on into the next module's connect.
void SettleForm(TMainForm& form) {
  for (Timer* timer : {&form.Timer1, &form.TimerSynchNMEA, &form.TimerSynchBINR,
                       &form.TimerAutoBaudBinr, &form.TimerAutoBaudNmea, &form.TimerProtocol,
                       &form.TimerRestart, &form.TimerOpenRetry, &form.TimerReconnectDelay}) {
    timer->setEnabled(false);
  }
  form.TimerRestart.setTag(FormSurface::kRestartTagWait);
  ClosePort();
  form.RxMode = RxMode::Idle;
  form.ProgramRequested = false;
  form.SetReconnectAfterProgramming(0);
  form.DeviceIdentified = false;
  form.SpeedButtonSynch.setCaption(form.Messages.TextConnect);
  form.SpeedButtonSynch.setEnabled(true);
  form.PortComboBox.setEnabled(true);
  form.ProtocolComboBox.setEnabled(true);
  form.SpeedButtonProgram.setEnabled(false);
  form.SpeedButtonOpen.setEnabled(true);
}

}  // namespace

std::string_view StationPhaseName(StationPhase state) {
  switch (state) {
    case StationPhase::Starting:
      return "starting";
    case StationPhase::WaitingForPort:
      return "waiting-for-port";
    case StationPhase::WaitingForModule:
      return "waiting-for-module";
    case StationPhase::ModuleInLoader:
      return "module-in-loader";
    case StationPhase::Module:
      return "module";
    case StationPhase::WaitingForRemoval:
      return "waiting-for-removal";
    case StationPhase::Stopping:
      return "stopping";
    case StationPhase::Ended:
      return "ended";
  }
  return "ended";
}

Station::Station(TMainForm& form, const HeadlessDialogs& dialogs, LogPrinter& printer,
                 StationChoices choices, StationHooks hooks)
    : form_(form),
      dialogs_(dialogs),
      printer_(printer),
      choices_(std::move(choices)),
      hooks_(std::move(hooks)),
      wait_(form.loop()),
      query_(form.loop(), kRemovalQueryInterval) {
  wait_.onTimer = [this] {
    wait_.setEnabled(false);
    if (auto then = std::exchange(afterWait_, nullptr)) then();
  };
  query_.onTimer = [this] { removalTick(); };
  listener_ = form_.Events.Listen([this](const FormEvent& event) {
    // The port this station opened itself went away (a module taken off with its adapter).
    const bool lost = event.kind == Kind::PortLost && ownPortOpen_ && removing_;
    // A reply with another version than the module's own: the operator swapped modules
    // faster than the silence rule can tell.
    const bool swapped = event.kind == Kind::Identified && ownPortOpen_ && removing_ &&
                         presence_.version && event.version != *presence_.version;
    if (lost || swapped) {
      form_.loop().post([this, alive = std::weak_ptr<bool>(alive_)] {
        if (!alive.expired() && removing_) gone();
      });
    }
  });
}

Station::~Station() {
  *alive_ = false;
  form_.Events.Unlisten(listener_);
  form_.Memo1.setListener(nullptr);
  closeOwnPort();
}

void Station::later(Milliseconds after, std::function<void()> then) {
  afterWait_ = std::move(then);
  wait_.setInterval(std::max(after, Milliseconds{1}));
  wait_.setEnabled(true);
}

void Station::setState(StationPhase state) {
  if (state == state_) return;
  state_ = state;
  if (state != StationPhase::Module && state != StationPhase::Ended && hooks_.stage) {
    hooks_.stage(StationPhaseName(state));
  }
}

void Station::start() {
  beginCycle();
}

void Station::beginCycle() {
  if (interrupts_ > 0 || (choices_.count && modules() >= *choices_.count)) {
    end();
    return;
  }
  saidLoader_ = false;
  saidPort_ = false;
  fruitlessAttempts_ = 0;
  checkPort();
}

void Station::checkPort() {
  const std::optional<PortHere> port = hooks_.lookUpPort(choices_.port);
  if (!port) {
    setState(StationPhase::WaitingForPort);
    later(kPortCheckInterval, [this] { checkPort(); });
    return;
  }
  portName_ = port->name;
  portUsb_ = port->usb;
  attempt();
}

void Station::attempt() {
  setState(StationPhase::WaitingForModule);
  // Each connect starts with an empty pane: nothing of an empty fixture's connects is kept
  // (a shift of them would fill the memory), and a module's log starts with its own connect.
  form_.Memo1.setListener(nullptr);
  form_.Memo1.clear();
  attemptStarted_ = form_.loop().now();
  attemptWall_ = hooks_.wallClock();
  heardInAttempt_ = 0;
  RunChoices run{.portName = portName_,
                 .protocol = choices_.protocol,
                 .baud = choices_.baud,
                 .program = true,
                 .timeout = choices_.moduleTimeout,
                 .expectVersion = choices_.expectVersion,
                 .recovery = std::nullopt,
                 .skipCurrent = true,
                 .timeoutFromAnswer = true};
  if (launch(std::move(run))) run_->start();
}

bool Station::launch(RunChoices choices) {
  choices.portNow = [this]() -> std::optional<std::string> {
    const std::optional<PortHere> port = hooks_.lookUpPort(choices_.port);
    if (!port) return std::nullopt;
    return port->name;
  };
  run_ = std::make_unique<FlashRun>(
      form_, dialogs_, std::move(choices),
      [this, alive = std::weak_ptr<bool>(alive_)] {
        // The run calls this from inside its own handlers: it is let go afterwards.
        form_.loop().post([this, alive] {
          if (!alive.expired()) attemptEnded();
        });
      },
      hooks_.say);
  run_->onStage = [this](Stage stage) {
    if (moduleActive_ && hooks_.stage) hooks_.stage(StageName(stage));
  };
  run_->onChange = [this] {
    // The connect of an empty fixture becomes a module's run when the module answers.
    if (!moduleActive_ && run_->moduleAnswered() && !run_->finished()) startModule();
    if (moduleActive_ && hooks_.runChanged) hooks_.runChanged(*run_);
  };
  run_->onBlockSent = hooks_.blockSent;
  if (const Result<void> selected = run_->select(); !selected) {
    if (hooks_.say) hooks_.say(selected.error().text);
    end(ExitCode::Usage);
    return false;
  }
  return true;
}

void Station::startModule() {
  moduleActive_ = true;
  setState(StationPhase::Module);
  if (hooks_.moduleStarted) hooks_.moduleStarted();
  if (hooks_.stage) hooks_.stage(StageName(run_->stage()));
  // The module's own log: from the start of the connect that found it.
  printer_.paneChanged({});
  form_.Memo1.setListener([this] { printer_.paneChanged(form_.Memo1.lines()); });
  printer_.paneChanged(form_.Memo1.lines());
}

void Station::attemptEnded() {
  if (!run_ || !run_->finished()) return;
  if (moduleActive_) {
    moduleEnded();
    return;
  }
  const RunSummary summary = run_->summary();
  const Milliseconds took = form_.loop().now() - attemptStarted_;
  run_.reset();
  SettleForm(form_);
  if (interrupts_ > 0) {
    end();
    return;
  }
  if (summary.code == ExitCode::PortUnavailable && summary.reason &&
      *summary.reason == OpenErrorName(OpenError::Missing)) {
    later(kPortCheckInterval, [this] { checkPort(); });
    return;
  }
  // A port that exists but cannot be opened (another program holds it, no access) is tried
  // again like an empty fixture; the operator is told once why nothing happens.
  if (summary.code == ExitCode::PortUnavailable && !saidPort_ && hooks_.say) {
    saidPort_ = true;
    hooks_.say("the port " + portName_ + " cannot be opened (" +
               summary.reasonText.value_or("it is busy or not available") + "); trying again");
  }
  ++fruitlessAttempts_;
  if (heardInAttempt_ > 0 || fruitlessAttempts_ % kListenEveryAttempts == 0) {
    listenForLoader(0);
    return;
  }
  later(std::max(Milliseconds{0}, kAttemptPause - took), [this] { checkPort(); });
}

void Station::moduleEnded() {
  const RunSummary summary = run_->summary();
  const Stage lastStage = run_->endedAt();
  const bool current = run_->current();
  const bool recovered = recovering_;
  form_.Memo1.setListener(nullptr);
  printer_.paneChanged(form_.Memo1.lines());
  printer_.finish();
  run_.reset();
  SettleForm(form_);
  moduleActive_ = false;
  recovering_ = false;

  const Verdict verdict = current                             ? Verdict::Current
                          : summary.code == ExitCode::Success ? Verdict::Pass
                                                              : Verdict::Fail;
  StationRecord record{.time = attemptWall_, .port = portName_, .summary = summary, .image = {}};
  record.summary.portUsb = portUsb_;
  record.image = ImageFacts{
      .name = choices_.imageName, .bytes = summary.imageBytes, .sha256 = summary.imageSha256};
  record.seconds = std::chrono::duration<double>(form_.loop().now() - attemptStarted_).count();
  record.module =
      ModuleFacts{.sequence = sequence(), .end = hooks_.wallClock(), .verdict = verdict};
  moduleSeconds_ += record.seconds;
  switch (verdict) {
    case Verdict::Pass:
      ++passed_;
      break;
    case Verdict::Fail:
      ++failed_;
      code_ = WorseOf(code_, summary.code);
      break;
    case Verdict::Current:
      ++current_;
      break;
  }
  if (hooks_.moduleEnded) hooks_.moduleEnded();
  const bool recorded = !hooks_.module || hooks_.module(record);
  if (!recorded) {
    end(ExitCode::RecordFailed);
    return;
  }
  if (interrupts_ > 0 || (choices_.count && modules() >= *choices_.count)) {
    end();
    return;
  }
  // Where the module can still be heard: a module left in its loader asks for a transfer at
  // the programming rate with its link's parity; any other answers version queries where it
  // was found last.
  Presence presence;
  if (summary.code != ExitCode::Success && (InLoader(lastStage) || recovered)) {
    presence = {.rate = choices_.programmingRate,
                .parity = ParityOf(summary.protocol),
                .loader = true,
                .version = std::nullopt};
    if (recovered) presence.parity = presence_.parity;
  } else if (summary.baud && summary.protocol) {
    presence = {.rate = static_cast<std::uint32_t>(*summary.baud),
                .parity = ParityOf(summary.protocol),
                .loader = false,
                .version = summary.version};
  } else {
    presence = {.rate = choices_.programmingRate,
                .parity = presence_.parity,
                .loader = true,
                .version = std::nullopt};
  }
  waitForRemoval(presence);
}

void Station::received(std::span<const std::uint8_t> bytes) {
  if (run_ && !moduleActive_) heardInAttempt_ += static_cast<std::int64_t>(bytes.size());
  if (removing_ && !bytes.empty()) lastHeard_ = form_.loop().now();
  if (!listening_) return;
  for (const std::uint8_t byte : bytes) {
    requestsInARow_ = byte == kStartRequest ? requestsInARow_ + 1 : 0;
    if (requestsInARow_ >= kLoaderRequests) {
      listening_ = false;
      const Parity parity = choices_.protocol == ProtocolChoice::Auto ? kBothParities[listenParity_]
                                                                      : ParityOf(choices_.protocol);
      form_.loop().post([this, parity, alive = std::weak_ptr<bool>(alive_)] {
        if (alive.expired() || state_ == StationPhase::Ended) return;
        wait_.setEnabled(false);
        afterWait_ = nullptr;
        closeOwnPort();
        loaderFound(parity);
      });
      return;
    }
  }
}

void Station::listenForLoader(std::size_t parityIndex) {
  const std::size_t parities = choices_.protocol == ProtocolChoice::Auto ? kBothParities.size() : 1;
  if (parityIndex >= parities) {
    later(kAttemptPause, [this] { checkPort(); });
    return;
  }
  listenParity_ = parityIndex;
  const Parity parity = choices_.protocol == ProtocolChoice::Auto ? kBothParities[parityIndex]
                                                                  : ParityOf(choices_.protocol);
  form_.RxMode = RxMode::Idle;  // nothing heard here is for the window's receive handler
  if (!OpenPort(portName_, choices_.programmingRate, static_cast<std::uint8_t>(parity))) {
    ClosePort();
    later(kAttemptPause, [this] { checkPort(); });
    return;
  }
  ownPortOpen_ = true;
  requestsInARow_ = 0;
  listening_ = true;
  later(kLoaderListen, [this, parityIndex] {
    listening_ = false;
    closeOwnPort();
    listenForLoader(parityIndex + 1);
  });
}

void Station::loaderFound(Parity parity) {
  presence_ = {
      .rate = choices_.programmingRate, .parity = parity, .loader = true, .version = std::nullopt};
  if (!choices_.model.empty()) {
    recover(parity);
    return;
  }
  if (!saidLoader_) {
    saidLoader_ = true;
    if (hooks_.say) hooks_.say("module in its loader: give --model to recover it");
  }
  setState(StationPhase::ModuleInLoader);
  waitForRemoval(presence_);
}

void Station::recover(Parity parity) {
  form_.Memo1.setListener(nullptr);
  form_.Memo1.clear();
  attemptStarted_ = form_.loop().now();
  attemptWall_ = hooks_.wallClock();
  recovering_ = true;
  RunChoices run{
      .portName = portName_,
      .protocol = parity == Parity::Odd ? ProtocolChoice::Binr : ProtocolChoice::Nmea,
      .baud = choices_.baud,
      .program = false,
      .timeout = choices_.moduleTimeout,
      .expectVersion = choices_.expectVersion,
      .recovery = Recovery{.linkMode = parity == Parity::Odd ? RxMode::Binr : RxMode::Nmea,
                           .rate = choices_.programmingRate,
                           .model = choices_.model},
      .skipCurrent = false,
      .timeoutFromAnswer = false};
  // A fixed rate belongs to the protocol it was given with; the reconnect searches otherwise.
  if (choices_.protocol == ProtocolChoice::Auto ||
      (parity == Parity::Odd) != (choices_.protocol == ProtocolChoice::Binr)) {
    run.baud.reset();
  }
  if (!launch(std::move(run))) return;
  startModule();
  run_->start();
}

void Station::waitForRemoval(Presence presence) {
  presence_ = presence;
  if (state_ != StationPhase::ModuleInLoader) setState(StationPhase::WaitingForRemoval);
  removing_ = true;
  lastHeard_ = form_.loop().now();
  removalTick();
  if (removing_) query_.setEnabled(true);
}

void Station::removalTick() {
  if (!removing_) return;
  const Milliseconds silence = presence_.loader ? kLoaderSilence : kRemovalSilence;
  if (form_.loop().now() - lastHeard_ >= silence) {
    gone();
    return;
  }
  if (!ownPortOpen_) {
    // Version replies go to the window's receive handler, which announces them; start
    // requests of a loader are only counted as signs of life.
    form_.RxMode = presence_.loader                  ? RxMode::Idle
                   : presence_.parity == Parity::Odd ? RxMode::Binr
                                                     : RxMode::Nmea;
    if (!OpenPort(portName_, presence_.rate, static_cast<std::uint8_t>(presence_.parity))) {
      const OpenError error = LastOpenError();
      ClosePort();
      // A port that has gone took the module with it; a port someone else holds now says
      // nothing about the module, and is tried again at the next query.
      if (error == OpenError::Missing) gone();
      return;
    }
    ownPortOpen_ = true;
  }
  if (!presence_.loader) {
    (presence_.parity == Parity::Odd ? kBinrLink : kNmeaLink).sendProbe();
  }
}

void Station::gone() {
  removing_ = false;
  query_.setEnabled(false);
  closeOwnPort();
  SettleForm(form_);
  beginCycle();
}

bool Station::interrupt() {
  ++interrupts_;
  if (state_ == StationPhase::Ended) return true;
  if (!moduleActive_) {
    // Nothing is being programmed: the wait (and a connect of an empty fixture) just stops.
    if (run_ && !run_->finished()) run_->interrupt();
    end();
    return true;
  }
  if (interrupts_ == 1) {
    setState(StationPhase::Stopping);
    if (hooks_.say) {
      hooks_.say("stopping after this module (a flash is not cut short); Ctrl-C again cancels it");
    }
    return false;
  }
  // As a single run's Ctrl-C: Cancel where the window offers it, then the end without it.
  run_->interrupt();
  return true;
}

void Station::closeOwnPort() {
  listening_ = false;
  if (!ownPortOpen_) return;
  ownPortOpen_ = false;
  ClosePort();
}

void Station::end(std::optional<ExitCode> why) {
  if (state_ == StationPhase::Ended) return;
  if (why) code_ = WorseOf(code_, *why);
  wait_.setEnabled(false);
  afterWait_ = nullptr;
  query_.setEnabled(false);
  removing_ = false;
  closeOwnPort();
  if (run_ && !run_->finished()) run_->interrupt();
  form_.Memo1.setListener(nullptr);
  printer_.finish();
  setState(StationPhase::Ended);
  if (hooks_.ended) hooks_.ended();
}

}  // namespace movrand::cli

#include "cli/flash_run.h"

#include <algorithm>
#include <utility>

#include "cli/record.h"
#include "comm/comm.h"
#include "connection/link.h"

namespace movrand::cli {
namespace {

using Kind = FormEvent::Kind;

std::string_view ProtocolItem(ProtocolChoice choice) {
  switch (choice) {
    case ProtocolChoice::Nmea:
      return "NMEA";
    case ProtocolChoice::Binr:
      return "BINR";
    case ProtocolChoice::Auto:
      break;
  }
  return "Auto";
}

int IndexOf(const ComboBox& box, std::string_view text) {
  const auto& items = box.items();
  const auto at = std::find(items.begin(), items.end(), text);
  return at == items.end() ? -1 : static_cast<int>(at - items.begin());
}

std::string Joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) {
    if (!text.empty()) text += ", ";
    text += item;
  }
  return text;
}

// The events that end an attempt to find or keep the module.
bool IsLinkFailure(Kind kind) {
  return kind == Kind::NoPortSelected || kind == Kind::PortUnavailable ||
         kind == Kind::NotResponding || kind == Kind::DeviceNotFound ||
         kind == Kind::ReconnectFailed;
}

}  // namespace

std::string_view StageName(Stage stage) {
  switch (stage) {
    case Stage::Ready:
      return "ready";
    case Stage::Connecting:
      return "connecting";
    case Stage::RateChange:
      return "rate-change";
    case Stage::Loader:
      return "loader";
    case Stage::Sending:
      return "sending";
    case Stage::Restarting:
      return "restarting";
    case Stage::Reconnecting:
      return "reconnecting";
    case Stage::Done:
      return "done";
  }
  return "ready";
}

FlashRun::FlashRun(TMainForm& form, const HeadlessDialogs& dialogs, RunChoices choices,
                   std::function<void()> finished, std::function<void(const std::string&)> notify)
    : form_(form),
      dialogs_(dialogs),
      choices_(std::move(choices)),
      onFinished_(std::move(finished)),
      notify_(std::move(notify)),
      poll_(form.loop(), kPollInterval),
      limit_(form.loop(), choices_.timeout.value_or(kPollInterval)),
      loaderLimit_(form.loop(), choices_.timeout.value_or(kRecoveryLoaderWait)),
      portWatch_(form.loop(), kPortLookInterval) {
  poll_.onTimer = [this] { evaluate(); };
  limit_.onTimer = [this] {
    limit_.setEnabled(false);
    timedOut(*choices_.timeout);
  };
  loaderLimit_.onTimer = [this] {
    loaderLimit_.setEnabled(false);
    if (stage_ == Stage::Loader) timedOut(loaderLimit_.interval());
  };
  portWatch_.onTimer = [this] { lookForPort(); };
  listener_ = form_.Events.Listen([this](const FormEvent& event) { announced(event); });
}

FlashRun::~FlashRun() {
  *alive_ = false;
  form_.Events.Unlisten(listener_);
}

void FlashRun::selectPort(const std::string& name) {
  // As the list shows it, or added when the list does not (a device path such as pts/3,
  // which the list leaves out).
  int port = -1;
  const auto& ports = form_.PortComboBox.items();
  for (std::size_t i = 0; i < ports.size(); ++i) {
    if (PortNameOf(ports[i]) == name) port = static_cast<int>(i);
  }
  if (port < 0) port = form_.PortComboBox.addItem(name);
  form_.PortComboBox.userSelect(port);
}

Result<void> FlashRun::select() {
  selectPort(choices_.portName);

  const int protocol = IndexOf(form_.ProtocolComboBox, ProtocolItem(choices_.protocol));
  if (protocol < 0) {
    return Failure("the window offers no protocol " + std::string(ProtocolItem(choices_.protocol)));
  }
  form_.ProtocolComboBox.userSelect(protocol);

  const std::string rate = choices_.baud ? std::to_string(*choices_.baud) : "Auto";
  const int baud = IndexOf(form_.BaudComboBox, rate);
  if (baud < 0 || (choices_.baud && !form_.BaudComboBox.enabled())) {
    std::vector<std::string> offered(form_.BaudComboBox.items().begin() + 1,
                                     form_.BaudComboBox.items().end());
    return Failure("--baud " + rate + " is not offered; the rates are auto, " + Joined(offered));
  }
  form_.BaudComboBox.userSelect(baud);

  if (choices_.program || choices_.recovery) {
    // The Open button, whose dialog takes the image named on the command line.
    form_.SpeedButtonOpen.click();
    if (form_.Edit1.text().empty()) {
      return Failure("the image could not be chosen");
    }
  }
  return Done();
}

void FlashRun::start() {
  poll_.setEnabled(true);
  if (choices_.timeout && (!choices_.timeoutFromAnswer || choices_.recovery)) {
    limit_.setEnabled(true);
  }
  if (choices_.recovery) {
    // No connect: the loader is already there, asking for a transfer.
    phase_ = Phase::Programming;
    setStage(Stage::Loader);
    loaderLimit_.setEnabled(true);
    programmingAnswered_ = false;
    form_.Programmer.RecoverFromLoader(choices_.portName, choices_.recovery->linkMode,
                                       choices_.recovery->rate, choices_.recovery->model);
    if (!programmingAnswered_ && phase_ != Phase::Finished) {
      finish(ExitCode::ImageRejected, "programming did not start", false);
    }
    return;
  }
  phase_ = Phase::Connecting;
  setStage(Stage::Connecting);
  form_.SpeedButtonSynch.click();
}

void FlashRun::setStage(Stage stage) {
  if (stage == stage_) return;
  stage_ = stage;
  if (onStage) onStage(stage);
  changed();
}

void FlashRun::changed() const {
  if (onChange) onChange();
}

std::string FlashRun::waitingFor() const {
  switch (stage_) {
    case Stage::Ready:
    case Stage::Connecting:
      return "the module's answer while connecting";
    case Stage::RateChange:
      return "the module's answer at the programming rate";
    case Stage::Loader:
      return "the loader's start requests (\"C\")";
    case Stage::Sending:
      return "the loader's answer to a block";
    case Stage::Restarting:
      return "the module's restart";
    case Stage::Reconnecting:
      return "the module's version after the restart";
    case Stage::Done:
      break;
  }
  return "nothing";
}

void FlashRun::timedOut(Milliseconds limit) {
  if (phase_ == Phase::Finished) return;
  const std::string detail = "no result within " + std::to_string(limit.count() / 1000) +
                             " s: the run was waiting for " + waitingFor();
  // Cancel, as the technician would; while the module restarts the window offers none, and
  // the run ends without it (the port closes with the program).
  if (form_.SpeedButton1.enabled()) form_.SpeedButton1.click();
  finish(ExitCode::TimedOut, detail, false);
}

void FlashRun::finishWithVersion(bool disconnect) {
  if (choices_.expectVersion && version_ != choices_.expectVersion) {
    finish(ExitCode::WrongVersion,
           "the module reports version \"" + version_.value_or("") + "\", not \"" +
               *choices_.expectVersion + "\"",
           disconnect);
    return;
  }
  finish(ExitCode::Success, {}, disconnect);
}

void FlashRun::announced(const FormEvent& event) {
  // What the result reports is kept at once; what the run does about it waits until the
  // handler that announced it has finished.
  switch (event.kind) {
    case Kind::Identified:
      identified_ = event;
      version_ = event.version;
      if (phase_ == Phase::Connecting) {
        oldVersion_ = event.version;
        if (!answered_ && choices_.timeout && choices_.timeoutFromAnswer) limit_.setEnabled(true);
        answered_ = true;
      }
      break;
    case Kind::UpgradeFinished:
      identified_ = event;
      version_ = event.version;
      previousVersion_ = event.previousVersion;
      upgraded_ = true;
      break;
    case Kind::BlockSent:
    case Kind::LoadingCompleted:
      answered_ = true;
      progress_ = ProgressCounts{event.sentBytes, event.totalBytes};
      blocksRepeated_ = event.blocksRepeated;
      if (phase_ != Phase::Finished) {
        setStage(event.kind == Kind::BlockSent ? Stage::Sending : Stage::Restarting);
      }
      if (event.kind == Kind::BlockSent) loaderLimit_.setEnabled(false);
      break;
    case Kind::Waiting:
      if (phase_ == Phase::Finished) break;
      if (event.waitFor == WaitFor::ProgrammingRate) setStage(Stage::RateChange);
      if (event.waitFor == WaitFor::LoaderStart) setStage(Stage::Loader);
      if (event.waitFor == WaitFor::ModuleRestart) setStage(Stage::Restarting);
      if (event.waitFor == WaitFor::Reconnect) setStage(Stage::Reconnecting);
      break;
    case Kind::ProgrammingStarted: {
      programmingAnswered_ = true;
      // What the module is sent is what was loaded now, not what the file holds later.
      const Programming& p = form_.Programmer;
      const auto loaded =
          std::span<const std::uint8_t>(p.ImageBuffer)
              .first(static_cast<std::size_t>(std::clamp<std::int32_t>(
                  p.LoadedLength, 0, static_cast<std::int32_t>(p.ImageBuffer.size()))));
      imageBytes_ = static_cast<std::int64_t>(loaded.size());
      imageSha256_ = Sha256Hex(loaded);
      break;
    }
    case Kind::ImageRejected:
    case Kind::ConfirmationDeclined:
      programmingAnswered_ = true;
      break;
    case Kind::PortUnavailable:
      // A recovery opens the port itself.
      if (choices_.recovery) programmingAnswered_ = true;
      break;
    default:
      break;
  }
  if (event.kind == Kind::BlockSent) {
    // The transfer's own pace: only the two counts, not the whole summary.
    if (onBlockSent) onBlockSent(progress_.sent, blocksRepeated_);
    return;
  }
  changed();
  if (phase_ == Phase::Finished) return;
  pending_.push_back(event);
  if (evaluatePosted_) return;
  evaluatePosted_ = true;
  form_.loop().post([this, alive = std::weak_ptr<bool>(alive_)] {
    if (alive.expired()) return;
    evaluatePosted_ = false;
    evaluate();
  });
}

void FlashRun::interrupt() {
  if (phase_ == Phase::Finished) return;
  ++interrupts_;
  if (interrupts_ > 1) {
    finish(ExitCode::Cancelled, "interrupted twice: the run ended without the Cancel action",
           false);
    return;
  }
  if (form_.SpeedButton1.enabled()) {
    form_.SpeedButton1.click();
    finish(ExitCode::Cancelled, "cancelled (Ctrl-C)", false);
    return;
  }
  // The window disables Cancel while the module restarts after programming.
  if (notify_) {
    notify_(
        "Cancel is not available while the module restarts (the window disables it too); the "
        "run goes on. Press Ctrl-C again to quit at once.");
  }
}

void FlashRun::evaluate() {
  while (!pending_.empty() && phase_ != Phase::Finished) {
    const FormEvent event = std::move(pending_.front());
    pending_.pop_front();
    handle(event);
  }
  pending_.clear();
  if (phase_ == Phase::TestLoaded && form_.RxMode == RxMode::Idle &&
      form_.SpeedButtonSynch.enabled()) {
    // Test mode: the port stays open after loading; the run closes it as a technician would.
    finish(ExitCode::Success, {}, true);
  }
}

void FlashRun::handle(const FormEvent& event) {
  if (phase_ == Phase::Ready || phase_ == Phase::Finished) return;
  if (event.kind == Kind::PortLost) {
    // A module with its own USB port leaves the bus when it restarts: the run looks for the
    // port again when the restart wait ends.
    if (phase_ == Phase::Restarting && choices_.portNow && form_.TimerRestart.enabled()) return;
    // The adapter was pulled out: the window reports it and waits; nothing will come any
    // more, so the run cancels as the technician would. During the restart wait the window
    // offers no Cancel: the run ends without it, and the port closes with the program.
    if (PortIsOpen()) {
      if (form_.SpeedButton1.enabled()) form_.SpeedButton1.click();
      finish(ExitCode::PortUnavailable, event.text, false);
    }
    return;
  }
  if (event.kind == Kind::RateRefused && notify_) {
    notify_("the port's driver did not take the rate " + std::to_string(event.baud));
    return;
  }
  switch (phase_) {
    case Phase::Connecting:
      if (event.kind == Kind::Identified) {
        if (choices_.skipCurrent && choices_.expectVersion && version_ == choices_.expectVersion) {
          current_ = true;
          finish(ExitCode::Success, {}, true);
        } else if (choices_.program) {
          startProgramming();
        } else {
          finishWithVersion(true);
        }
      } else if (event.kind == Kind::NoPortSelected || event.kind == Kind::PortUnavailable) {
        finish(ExitCode::PortUnavailable, event.text, false, event.openError);
      } else if (event.kind == Kind::DeviceNotFound) {
        // With the protocol "Auto" the window says the same for a port it could never open.
        finish(event.portOpened ? ExitCode::DeviceNotFound : ExitCode::PortUnavailable, event.text,
               false, event.openError);
      } else if (IsLinkFailure(event.kind)) {
        finish(ExitCode::DeviceNotFound, event.text, false);
      }
      return;
    case Phase::Programming:
      if (event.kind == Kind::PortUnavailable && choices_.recovery) {
        finish(ExitCode::PortUnavailable, event.text, false, event.openError);
      } else if (event.kind == Kind::ImageRejected) {
        finish(ExitCode::ImageRejected, event.text, true);
      } else if (event.kind == Kind::ConfirmationDeclined) {
        finish(ExitCode::Cancelled, "programming was not confirmed", true);
      } else if (event.kind == Kind::AbortedAfterRejections) {
        finish(ExitCode::Cancelled, event.text, false);
      } else if (event.kind == Kind::LoadingCompleted) {
        phase_ = form_.TestMode ? Phase::TestLoaded : Phase::Restarting;
      } else if (IsLinkFailure(event.kind)) {
        // The module was lost on the way into its loader (the rate change found nobody).
        finish(ExitCode::DeviceNotFound, event.text, false, event.openError);
      }
      return;
    case Phase::Restarting:
      if (event.kind == Kind::Waiting && event.waitFor == WaitFor::Reconnect) {
        followPort();
      } else if (event.kind == Kind::UpgradeFinished) {
        finishWithVersion(false);
      } else if (IsLinkFailure(event.kind)) {
        finish(ExitCode::ReconnectFailed, event.text, false, event.openError);
      }
      return;
    case Phase::TestLoaded:
    case Phase::Ready:
    case Phase::Finished:
      return;
  }
}

void FlashRun::startProgramming() {
  phase_ = Phase::Programming;
  if (!form_.SpeedButtonProgram.enabled()) {
    finish(ExitCode::Internal, "the window did not enable Programming", true);
    return;
  }
  programmingAnswered_ = false;
  form_.SpeedButtonProgram.click();
  if (!programmingAnswered_) finish(ExitCode::ImageRejected, "programming did not start", true);
}

void FlashRun::followPort() {
  if (!choices_.portNow) return;
  if (const std::optional<std::string> name = choices_.portNow()) {
    selectPort(*name);
    return;
  }
  // The window would reconnect to a port that is not there; it waits instead, looking for
  // the port until the window's pause is over and then for up to kPortReturnWait more.
  form_.TimerReconnectDelay.setEnabled(false);
  portLooks_ = 0;
  portWatch_.setEnabled(true);
  if (notify_) {
    notify_(
        "the port " + choices_.portName + " went away with the module's restart; waiting up to " +
        std::to_string((form_.TimerReconnectDelay.interval() + kPortReturnWait).count() / 1000) +
        " s for it to come back");
  }
}

void FlashRun::lookForPort() {
  if (phase_ == Phase::Finished) return;
  ++portLooks_;
  const Milliseconds looked = kPortLookInterval * portLooks_;
  // The reconnect comes no earlier than the window would have made it.
  if (const std::optional<std::string> name = choices_.portNow()) {
    if (looked < form_.TimerReconnectDelay.interval()) return;
    portWatch_.setEnabled(false);
    selectPort(*name);
    if (notify_) notify_("the port is back as " + *name + "; reconnecting");
    form_.SpeedButtonSynch.click();
    return;
  }
  if (looked < form_.TimerReconnectDelay.interval() + kPortReturnWait) return;
  portWatch_.setEnabled(false);
  finish(ExitCode::ReconnectFailed,
         "the port " + choices_.portName + " did not come back within " +
             std::to_string(kPortReturnWait.count() / 1000) +
             " s of the reconnect after programming",
         false, OpenError::Missing);
}

void FlashRun::finish(ExitCode code, std::string detail, bool disconnect, OpenError reason) {
  if (phase_ == Phase::Finished) return;
  phase_ = Phase::Finished;
  code_ = code;
  detail_ = std::move(detail);
  reason_ = reason;
  poll_.setEnabled(false);
  limit_.setEnabled(false);
  loaderLimit_.setEnabled(false);
  portWatch_.setEnabled(false);
  endedAt_ = stage_;
  setStage(Stage::Done);
  if (disconnect && form_.SpeedButtonSynch.caption() == form_.Messages.TextDisconnect &&
      form_.SpeedButtonSynch.enabled()) {
    form_.SpeedButtonSynch.click();
  }
  changed();
  if (onFinished_) onFinished_();
}

RunSummary FlashRun::summary() const {
  RunSummary summary;
  summary.code = code_;
  summary.detail = detail_;
  summary.version = version_;
  if (!previousVersion_.empty()) summary.previousVersion = previousVersion_;
  summary.oldVersion = oldVersion_;
  if (upgraded_) summary.newVersion = version_;
  summary.sentBytes = progress_.sent;
  summary.blocksRepeated = blocksRepeated_;
  summary.imageBytes = imageBytes_;
  summary.imageSha256 = imageSha256_;
  if (identified_) {
    summary.port = identified_->port;
    summary.baud = identified_->baud;
    summary.protocol = std::string(ProtocolName(identified_->protocol));
  }
  SetOpenError(summary, reason_);
  return summary;
}

void BindView(TMainForm& form, LogPrinter& printer, FlashRun& /*run*/) {
  form.Memo1.setListener([&form, &printer] { printer.paneChanged(form.Memo1.lines()); });
}

void UnbindView(TMainForm& form) {
  form.Memo1.setListener(nullptr);
}

}  // namespace movrand::cli

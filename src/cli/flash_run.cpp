#include "cli/flash_run.h"

#include <algorithm>
#include <charconv>
#include <utility>

#include "comm/comm.h"

namespace movrand::cli {
namespace {

// The head of the line the receive handler writes for each identified link:
// "10:15:02>>Port: ttyUSB0 115200 NMEA".
constexpr std::string_view kPortLineHead = ">>Port: ";
constexpr std::string_view kMessageHead = ">>";

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

// The part of a log line from its first ">>" on (its text without the time stamp).
std::string_view Said(std::string_view line) {
  const std::size_t head = line.find(kMessageHead);
  return head == std::string_view::npos ? line : line.substr(head);
}

std::string Joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) {
    if (!text.empty()) text += ", ";
    text += item;
  }
  return text;
}

}  // namespace

FlashRun::FlashRun(TMainForm& form, const OpenWatch& opens, const HeadlessDialogs& dialogs,
                   RunChoices choices, std::function<void()> finished,
                   std::function<void(const std::string&)> notify)
    : form_(form),
      opens_(opens),
      dialogs_(dialogs),
      choices_(std::move(choices)),
      onFinished_(std::move(finished)),
      notify_(std::move(notify)),
      poll_(form.loop(), kPollInterval) {
  poll_.onTimer = [this] { evaluate(); };
}

FlashRun::~FlashRun() {
  *alive_ = false;
}

bool FlashRun::select(std::string& error) {
  // The port: as the list shows it, or added when the list does not (a device path such as
  // pts/3, which the list leaves out).
  int port = -1;
  const auto& ports = form_.PortComboBox.items();
  for (std::size_t i = 0; i < ports.size(); ++i) {
    if (PortNameOf(ports[i]) == choices_.portName) port = static_cast<int>(i);
  }
  if (port < 0) port = form_.PortComboBox.addItem(choices_.portName);
  form_.PortComboBox.userSelect(port);

  const int protocol = IndexOf(form_.ProtocolComboBox, ProtocolItem(choices_.protocol));
  if (protocol < 0) {
    error = "the window offers no protocol " + std::string(ProtocolItem(choices_.protocol));
    return false;
  }
  form_.ProtocolComboBox.userSelect(protocol);

  const std::string rate = choices_.baud ? std::to_string(*choices_.baud) : "Auto";
  const int baud = IndexOf(form_.BaudComboBox, rate);
  if (baud < 0 || (choices_.baud && !form_.BaudComboBox.enabled())) {
    std::vector<std::string> offered(form_.BaudComboBox.items().begin() + 1,
                                     form_.BaudComboBox.items().end());
    error = "--baud " + rate + " is not offered; the rates are auto, " + Joined(offered);
    return false;
  }
  form_.BaudComboBox.userSelect(baud);

  if (choices_.program) {
    // The Open button, whose dialog takes the image named on the command line.
    form_.SpeedButtonOpen.click();
    if (form_.Edit1.text().empty()) {
      error = "the image could not be chosen";
      return false;
    }
  }
  return true;
}

void FlashRun::start() {
  phase_ = Phase::Connecting;
  opensBefore_ = opens_.opened();
  connectMark_ = form_.Memo1.lines().size();
  poll_.setEnabled(true);
  form_.SpeedButtonSynch.click();
  changed();
}

void FlashRun::changed() {
  if (evaluatePosted_ || phase_ == Phase::Finished) return;
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
  if (phase_ != Phase::Ready && phase_ != Phase::Finished && opens_.lost() && PortIsOpen()) {
    // The adapter was pulled out: the window reports it and waits; nothing will come any
    // more, so the run cancels as the technician would. During the restart wait the window
    // offers no Cancel: the run ends without it, and the port closes with the program.
    std::string said = lastSaid();
    if (form_.SpeedButton1.enabled()) form_.SpeedButton1.click();
    finish(ExitCode::PortUnavailable, std::move(said), false);
    return;
  }
  switch (phase_) {
    case Phase::Ready:
    case Phase::Finished:
      return;
    case Phase::Connecting:
      if (connected()) {
        if (choices_.program) {
          startProgramming();
        } else {
          finish(ExitCode::Success, {}, true);
        }
      } else if (settledIdle()) {
        const bool portTrouble = opens_.opened() == opensBefore_ ||
                                 seen(form_.Messages.TextPortBusy, connectMark_) ||
                                 seen(form_.Messages.TextSelectPort, connectMark_);
        finish(portTrouble ? ExitCode::PortUnavailable : ExitCode::DeviceNotFound, lastSaid(),
               false);
      }
      return;
    case Phase::Programming:
      if (seen(form_.Messages.TextTooManyErrors, programMark_)) {
        finish(ExitCode::Cancelled, lastSaid(), false);
      } else if (seen(form_.Messages.TextLoadingCompleted, programMark_)) {
        phase_ = form_.TestMode ? Phase::TestLoaded : Phase::Restarting;
        evaluate();
      } else if (settledIdle()) {
        // The module was lost on the way into its loader (the rate change found nobody).
        finish(ExitCode::DeviceNotFound, lastSaid(), false);
      }
      return;
    case Phase::TestLoaded:
      // Test mode: the port stays open after loading; the run closes it as a technician would.
      if (form_.RxMode == RxMode::Idle && form_.SpeedButtonSynch.enabled()) {
        finish(ExitCode::Success, {}, true);
      }
      return;
    case Phase::Restarting:
      if (!settledIdle()) return;
      if (seen(form_.Messages.TextDeviceReady, programMark_)) {
        finish(ExitCode::Success, {}, false);
      } else if (seen(form_.Messages.TextReconnectFailed, programMark_) ||
                 seen(form_.Messages.TextDeviceNotFound, programMark_) ||
                 seen(form_.Messages.TextNotResponding, programMark_) ||
                 seen(form_.Messages.TextPortBusy, programMark_)) {
        finish(ExitCode::ReconnectFailed, lastSaid(), false);
      }
      return;
  }
}

void FlashRun::startProgramming() {
  phase_ = Phase::Programming;
  programMark_ = form_.Memo1.lines().size();
  if (!form_.SpeedButtonProgram.enabled()) {
    finish(ExitCode::Internal, "the window did not enable Programming", true);
    return;
  }
  const int asked = dialogs_.attentionShown();
  form_.SpeedButtonProgram.click();
  if (dialogs_.attentionShown() > asked && dialogs_.lastAttention() != ModalResult::OK) {
    finish(ExitCode::Cancelled, "programming was not confirmed", true);
  } else if (!programmingStarted()) {
    finish(ExitCode::ImageRejected, lastSaid(), true);
  } else {
    changed();
  }
}

void FlashRun::finish(ExitCode code, std::string detail, bool disconnect) {
  if (phase_ == Phase::Finished) return;
  phase_ = Phase::Finished;
  code_ = code;
  detail_ = std::move(detail);
  poll_.setEnabled(false);
  if (disconnect && form_.SpeedButtonSynch.caption() == form_.Messages.TextDisconnect &&
      form_.SpeedButtonSynch.enabled()) {
    form_.SpeedButtonSynch.click();
  }
  if (onFinished_) onFinished_();
}

bool FlashRun::searching() const {
  return form_.TimerProtocol.enabled() || form_.TimerAutoBaudNmea.enabled() ||
         form_.TimerAutoBaudBinr.enabled() || form_.TimerSynchNMEA.enabled() ||
         form_.TimerSynchBINR.enabled() || form_.TimerOpenRetry.enabled() ||
         form_.TimerRestart.enabled() || form_.TimerReconnectDelay.enabled();
}

bool FlashRun::connected() const {
  return form_.DeviceIdentified && (form_.RxMode == RxMode::Nmea || form_.RxMode == RxMode::Binr) &&
         form_.SpeedButtonSynch.caption() == form_.Messages.TextDisconnect &&
         form_.SpeedButtonSynch.enabled() && !searching();
}

bool FlashRun::settledIdle() const {
  return form_.SpeedButtonSynch.caption() == form_.Messages.TextConnect &&
         form_.SpeedButtonSynch.enabled() && !PortIsOpen() && !searching() &&
         !form_.Timer1.enabled();
}

bool FlashRun::programmingStarted() const {
  return form_.ProgramRequested || form_.RxMode == RxMode::LoaderWait ||
         form_.RxMode == RxMode::Transfer || form_.TimerRestart.enabled() ||
         seen(form_.Messages.TextLoadingCompleted, programMark_);
}

bool FlashRun::seen(const std::string& text, std::size_t from) const {
  const auto& lines = form_.Memo1.lines();
  for (std::size_t i = std::min(from, lines.size()); i < lines.size(); ++i) {
    if (Said(lines[i]) == text) return true;
  }
  return false;
}

std::string FlashRun::lastSaid() const {
  const auto& lines = form_.Memo1.lines();
  for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
    if (!line->empty()) return std::string(Said(*line));
  }
  return {};
}

RunSummary FlashRun::summary() const {
  RunSummary summary;
  summary.code = code_;
  summary.detail = detail_;
  summary.version = LastVersion(form_);
  const auto& lines = form_.Memo1.lines();
  for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
    const std::size_t head = line->find(kPortLineHead);
    if (head == std::string::npos) continue;
    // "<port> <rate> <protocol>"
    const std::string rest = line->substr(head + kPortLineHead.size());
    const std::size_t first = rest.find(' ');
    const std::size_t second = rest.rfind(' ');
    if (first == std::string::npos || second == first) break;
    summary.port = rest.substr(0, first);
    summary.protocol = rest.substr(second + 1);
    long long baud = 0;
    const std::string rate = rest.substr(first + 1, second - first - 1);
    const auto [end, ec] = std::from_chars(rate.data(), rate.data() + rate.size(), baud);
    if (ec == std::errc() && end == rate.data() + rate.size()) summary.baud = baud;
    break;
  }
  return summary;
}

std::optional<std::string> LastVersion(const TMainForm& form) {
  // The version line shows as ">>Current FW version: " and then one or two lines ">>text"
  // without a time stamp.
  constexpr std::size_t kMaxVersionTexts = 2;
  const std::string& head = form.Messages.TextCurrentVersion;
  const auto& lines = form.Memo1.lines();
  for (std::size_t i = lines.size(); i-- > 0;) {
    const std::size_t at = lines[i].find(head);
    if (at == std::string::npos) continue;
    std::string version = lines[i].substr(at + head.size());
    for (std::size_t k = i + 1; k < lines.size() && k <= i + kMaxVersionTexts; ++k) {
      if (!lines[k].starts_with(kMessageHead) ||
          lines[k].starts_with(form.Messages.TextCantOpenFile)) {
        break;
      }
      if (!version.empty()) version += ' ';
      version += lines[k].substr(kMessageHead.size());
    }
    while (!version.empty() && version.back() == ' ') version.pop_back();
    return version;
  }
  return std::nullopt;
}

void BindView(TMainForm& form, LogPrinter& printer, FlashRun& run) {
  form.Memo1.setListener([&form, &printer, &run] {
    printer.paneChanged(form.Memo1.lines());
    run.changed();
  });
  form.SpeedButtonSynch.setListener([&run] { run.changed(); });
}

void UnbindView(TMainForm& form) {
  form.Memo1.setListener(nullptr);
  form.SpeedButtonSynch.setListener(nullptr);
}

}  // namespace movrand::cli

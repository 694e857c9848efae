#include "cli/line_view.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "cli/progress.h"
#include "protocol/visible_text.h"

namespace movrand::cli {
namespace {

using Json = nlohmann::ordered_json;

constexpr std::string_view kNone = "-";
constexpr std::size_t kStageWidth = 14;  // "reconnecting" and a gap

// The verdicts' colours (bold green, red, yellow) and back to the terminal's own.
constexpr std::string_view kPassColour = "\x1b[1;32m";
constexpr std::string_view kFailColour = "\x1b[1;31m";
constexpr std::string_view kCurrentColour = "\x1b[1;33m";
constexpr std::string_view kNoColour = "\x1b[0m";
constexpr std::size_t kVerdictWidth = 9;  // "CURRENT" and a gap
// Rings of the bell that may wait at once: a burst of failures is not heard for minutes.
constexpr int kMostRingsDue = 6;
// The longest a module can take that is still believed.
constexpr double kMostModuleSeconds = 1e7;

std::string Dump(const Json& json) {
  return json.dump(-1, ' ', true, Json::error_handler_t::replace);
}

std::optional<std::string> TextOf(const Json& json, const char* key) {
  const auto at = json.find(key);
  if (at == json.end() || !at->is_string()) return std::nullopt;
  return at->get<std::string>();
}

std::optional<double> NumberOf(const Json& json, const char* key) {
  const auto at = json.find(key);
  if (at == json.end() || !at->is_number()) return std::nullopt;
  return at->get<double>();
}

// A text for one line of the block: a log entry's own line breaks (the version line's CR LF)
// become blanks, and whatever a station or its module wrote is shown, never obeyed, so that
// a line feed cannot add a row the block's redraw does not count.
std::string OneLine(std::string_view text) {
  std::string joined;
  joined.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      joined += ' ';
      ++i;
    } else {
      joined += text[i];
    }
  }
  return VisibleText(joined);
}

std::string Padded(std::string text, std::size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

// How a station judged a module: programmed and verified, failed, or found at the expected
// version already.
enum class ModuleVerdict { Pass, Fail, Current };

std::string_view VerdictWord(ModuleVerdict verdict) {
  switch (verdict) {
    case ModuleVerdict::Pass:
      return "PASS";
    case ModuleVerdict::Fail:
      return "FAIL";
    case ModuleVerdict::Current:
      return "CURRENT";
  }
  return "FAIL";
}

std::string_view ColourOf(std::string_view verdict) {
  if (verdict == "PASS") return kPassColour;
  if (verdict == "FAIL") return kFailColour;
  if (verdict == "CURRENT") return kCurrentColour;
  return {};
}

// Where to cut `text` to at most `size` bytes without splitting a UTF-8 character.
std::size_t CutAt(std::string_view text, std::size_t size) {
  if (text.size() <= size) return text.size();
  while (size > 0 && (static_cast<unsigned char>(text[size]) & 0xC0) == 0x80) --size;
  return size;
}

// Something a station said, for one line: shown, never obeyed, and cut to a bound.
std::string Shown(std::string_view text) {
  const std::size_t size = CutAt(text, LineView::kMaxShownText);
  std::string shown = OneLine(text.substr(0, size));
  if (size < text.size()) shown += "...";
  return shown;
}

std::string OneDecimal(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

// How an unattended station's stage reads on its line (a stage it does not know: its name).
std::string_view StageWords(std::string_view stage) {
  if (stage == "waiting-for-port") return "waiting for the port";
  if (stage == "waiting-for-module") return "waiting for a module";
  if (stage == "module-in-loader") return "in its loader: needs --model";
  if (stage == "rate-change" || stage == "loader" || stage == "sending") return "programming";
  return stage;
}

bool ColourWanted() {
  const char* noColour = std::getenv("NO_COLOR");
  return noColour == nullptr || *noColour == '\0';
}

std::string Seconds(const StationState& s) {
  if (!s.code) return std::string(kNone);
  char text[32];
  std::snprintf(text, sizeof text, "%.1f",
                static_cast<double>((s.ended - s.started).count()) / 1000.0);
  return text;
}

}  // namespace

LineView::LineView(EventLoop& loop, OutputMode mode, std::vector<std::string> ports, Sink out,
                   Sink err, int terminalWidth)
    : loop_(loop),
      mode_(mode),
      out_(std::move(out)),
      err_(std::move(err)),
      terminalWidth_(terminalWidth),
      redraw_(loop, kRedrawInterval),
      colour_(mode == OutputMode::Terminal && ColourWanted()),
      bellTimer_(loop, kBellSpacing) {
  for (std::string& port : ports) {
    StationState state;
    state.port = OneLine(port);
    state.started = loop.now();
    portWidth_ = std::max(portWidth_, state.port.size());
    stations_.push_back(std::move(state));
  }
  plainShown_.resize(stations_.size());
  plainStep_.assign(stations_.size(), -1);
  redraw_.onTimer = [this] {
    redraw_.setEnabled(false);
    if (drawPending_) drawTerminal();
  };
  bellTimer_.onTimer = [this] {
    ringOnce();
    if (ringsDue_ == 0) bellTimer_.setEnabled(false);
  };
  if (mode_ == OutputMode::Terminal) drawTerminal();
}

LineView::~LineView() = default;

void LineView::setContinuous(bool continuous) {
  continuous_ = continuous;
  // Plain: a station's first line is where it first stands, not "starting".
  for (std::size_t i = 0; i < stations_.size(); ++i) {
    plainShown_[i] = continuous_ ? continuousWords(stations_[i], false).text : std::string();
  }
  if (mode_ == OutputMode::Terminal) drawTerminal();
}

void LineView::setColour(bool allowed) {
  colour_ = allowed && mode_ == OutputMode::Terminal;
}

void LineView::setBell(Sink bell) {
  bell_ = std::move(bell);
}

void LineView::Styled::add(std::string_view part, std::string_view colour) {
  if (!colour.empty() && !part.empty()) spans.push_back({text.size(), part.size(), colour});
  text += part;
}

struct LineView::Module {
  std::optional<long long> sequence;
  ModuleVerdict verdict = ModuleVerdict::Fail;
  std::optional<ExitCode> code;
  std::string outcome;  // the exit code's name, or the station's word for it, printable
  std::optional<std::string> oldVersion;
  std::optional<std::string> newVersion;
  std::string detail;
  std::optional<double> seconds;
};

void LineView::stationOutput(std::size_t station, std::string_view line) {
  if (station >= stations_.size()) return;
  StationState& s = stations_[station];
  Json event = Json::parse(line, nullptr, false);
  if (event.is_discarded() || !event.is_object() || !TextOf(event, "event")) {
    // Not an event: said as the station's own words.
    stationError(station, line);
    return;
  }
  const std::string kind = *TextOf(event, "event");
  // An unattended station's own summary: the line writes its own.
  if (continuous_ && kind == "summary") {
    s.summarySeen = true;
    return;
  }
  if (mode_ == OutputMode::Json) {
    Json tagged{{"event", kind}, {"port", s.port}};
    for (auto it = event.begin(); it != event.end(); ++it) {
      if (it.key() != "event" && it.key() != "port") tagged[it.key()] = it.value();
    }
    out_(Dump(tagged) + "\n");
  }
  if (kind == "stage" && continuous_) {
    // A module's run ends with "done": the station goes on with its own stages.
    if (const auto stage = TextOf(event, "stage"); stage == "stopping") {
      s.stopping = true;
    } else if (stage && *stage != "done") {
      s.stage = Shown(*stage);
    }
  } else if (kind == "stage") {
    // The station is done when its process has ended, not before.
    if (const auto stage = TextOf(event, "stage"); stage && *stage != "done") {
      s.stage = OneLine(*stage);
    }
  } else if (kind == "line") {
    if (const auto text = TextOf(event, "text")) s.lastLine = OneLine(*text);
  } else if (kind == "progress") {
    if (const auto percent = NumberOf(event, "percent")) {
      s.percent = static_cast<int>(std::clamp(*percent, 0.0, 100.0));
    }
    if (const auto sent = NumberOf(event, "sentBytes")) {
      s.sentBytes = static_cast<std::int64_t>(std::clamp(*sent, 0.0, 1e15));
    }
    s.bytesPerSecond = NumberOf(event, "bytesPerSecond");
    s.secondsLeft = NumberOf(event, "secondsLeft");
  } else if (kind == "message") {
    const auto title = TextOf(event, "title");
    const auto text = TextOf(event, "text");
    if (TextOf(event, "kind") == "box" && mode_ != OutputMode::Json) {
      std::string words = text.value_or("");
      std::replace(words.begin(), words.end(), '\n', ' ');
      say(s.port + ": [" + OneLine(title.value_or("")) + "] " + OneLine(words));
    }
  } else if (kind == "result") {
    s.resultSeen = true;
    const auto code = NumberOf(event, "exitCode");
    if (code && *code >= 0 && *code <= static_cast<int>(kLastExitCode)) {
      s.code = static_cast<ExitCode>(static_cast<int>(*code));
    }
    s.oldVersion = TextOf(event, "oldVersion");
    s.newVersion = TextOf(event, "newVersion");
    if (!s.oldVersion && !s.newVersion) s.oldVersion = TextOf(event, "version");
    if (const auto detail = TextOf(event, "detail")) s.detail = OneLine(*detail);
    s.ended = loop_.now();
  } else if (kind == "say" && mode_ != OutputMode::Json) {
    if (const auto text = TextOf(event, "text")) say(s.port + ": " + Shown(*text));
  } else if (kind == "module" && continuous_) {
    Module module;
    if (const auto sequence = NumberOf(event, "sequence");
        sequence && *sequence >= 0 && *sequence <= 1e15) {
      module.sequence = static_cast<long long>(*sequence);
    }
    if (const auto code = NumberOf(event, "exitCode");
        code && *code >= 0 && *code <= static_cast<int>(kLastExitCode)) {
      module.code = static_cast<ExitCode>(static_cast<int>(*code));
    }
    const auto outcome = TextOf(event, "outcome");
    const auto verdict = TextOf(event, "verdict");
    if (verdict == "PASS") {
      module.verdict = ModuleVerdict::Pass;
    } else if (verdict == "CURRENT") {
      module.verdict = ModuleVerdict::Current;
    } else if (verdict == "FAIL") {
      module.verdict = ModuleVerdict::Fail;
    } else {
      // No verdict it knows: what the code says, and a failure when that says nothing.
      module.verdict = module.code != ExitCode::Success ? ModuleVerdict::Fail
                       : outcome == "current"           ? ModuleVerdict::Current
                                                        : ModuleVerdict::Pass;
    }
    module.outcome = module.code ? std::string(ExitCodeName(*module.code))
                                 : Shown(outcome.value_or(std::string(kNone)));
    if (const auto old = TextOf(event, "oldVersion")) module.oldVersion = Shown(*old);
    if (const auto now = TextOf(event, "newVersion")) module.newVersion = Shown(*now);
    if (const auto detail = TextOf(event, "detail")) module.detail = Shown(*detail);
    if (const auto seconds = NumberOf(event, "seconds");
        seconds && *seconds >= 0 && *seconds <= kMostModuleSeconds) {
      module.seconds = *seconds;
    }
    moduleDone(station, module);
    return;  // its line and the block drawn under it say it all
  }
  changed(station);
}

void LineView::moduleDone(std::size_t station, const Module& module) {
  StationState& s = stations_[station];
  switch (module.verdict) {
    case ModuleVerdict::Pass:
      ++s.passed;
      break;
    case ModuleVerdict::Fail:
      ++s.failed;
      if (module.code) s.worstModule = WorseOf(s.worstModule.value_or(*module.code), *module.code);
      break;
    case ModuleVerdict::Current:
      ++s.current;
      break;
  }
  if (module.seconds) s.moduleSeconds += *module.seconds;
  s.lastVerdict = VerdictWord(module.verdict);
  s.lastOutcome = module.outcome;
  // The next module's transfer starts from nothing.
  s.percent.reset();
  s.bytesPerSecond.reset();
  s.secondsLeft.reset();
  s.sentBytes = 0;

  Styled line;
  line.add(Padded(s.port, portWidth_) + "  #" +
           (module.sequence ? std::to_string(*module.sequence) : std::string(kNone)) + "  ");
  const std::string_view verdict = VerdictWord(module.verdict);
  line.add(verdict, ColourOf(verdict));
  line.add(std::string(kVerdictWidth - std::min(kVerdictWidth - 1, verdict.size()), ' '));
  const std::string none(kNone);
  switch (module.verdict) {
    case ModuleVerdict::Pass:
      line.add(module.oldVersion.value_or(none) + " -> " + module.newVersion.value_or(none));
      break;
    case ModuleVerdict::Current:
      line.add(module.newVersion.value_or(module.oldVersion.value_or(none)));
      break;
    case ModuleVerdict::Fail:
      line.add(module.outcome);
      if (module.code) line.add(" (" + std::to_string(static_cast<int>(*module.code)) + ")");
      if (!module.detail.empty()) line.add(": " + module.detail);
      break;
  }
  line.add("  " + (module.seconds ? OneDecimal(*module.seconds) : none) + " s");
  permanentLine(line);
  // Plain: the station's line follows when the module changed where it stands.
  if (mode_ == OutputMode::Plain) printPlain(station);
  switch (module.verdict) {
    case ModuleVerdict::Pass:
      ring(1);
      break;
    case ModuleVerdict::Fail:
      ring(3);
      break;
    case ModuleVerdict::Current:
      break;
  }
}

void LineView::permanentLine(const Styled& line) {
  if (mode_ == OutputMode::Terminal) {
    eraseBlock();
    out_(render(line) + "\n");
    drawTerminal();
  } else if (mode_ == OutputMode::Plain) {
    out_(line.text + "\n");
  }
}

void LineView::ring(int times) {
  // The bell is the terminal's: a file or a JSON stream gets no control character.
  if (!bell_ || mode_ != OutputMode::Terminal || times <= 0) return;
  ringsDue_ = std::min(ringsDue_ + times, kMostRingsDue);
  if (!bellTimer_.enabled() && loop_.now() - lastRing_ >= kBellSpacing) ringOnce();
  if (ringsDue_ > 0) bellTimer_.setEnabled(true);
}

void LineView::ringOnce() {
  if (ringsDue_ == 0) return;
  --ringsDue_;
  lastRing_ = loop_.now();
  bell_("\a");
}

void LineView::stationError(std::size_t station, std::string_view line) {
  if (station >= stations_.size() || line.empty()) return;
  std::string text(line);
  const std::string prefix = "movrand-flash: ";
  if (text.starts_with(prefix)) text.erase(0, prefix.size());
  say(stations_[station].port + ": " + OneLine(text));
}

void LineView::stationKilled(std::size_t station, std::string_view why) {
  if (station >= stations_.size()) return;
  StationState& s = stations_[station];
  s.killed = true;
  s.detail = OneLine(why);
  say(s.port + ": " + s.detail);
}

void LineView::stationEnded(std::size_t station, int exitCode) {
  if (station >= stations_.size()) return;
  StationState& s = stations_[station];
  // The process's own code decides; the result event only fills in what it says.
  if (exitCode >= 0 && exitCode <= static_cast<int>(kLastExitCode)) {
    s.code = static_cast<ExitCode>(exitCode);
  } else {
    s.code = ExitCode::Internal;
    if (s.detail.empty()) {
      s.detail = "the station's process ended with code " + std::to_string(exitCode);
    }
  }
  if (continuous_) {
    if (!s.summarySeen && s.detail.empty() && *s.code != ExitCode::Success) {
      s.detail = "the station ended without its summary";
    }
  } else if (!s.resultSeen && s.detail.empty() && *s.code != ExitCode::Success) {
    s.detail = "the station ended without a result";
  }
  s.ended = loop_.now();
  s.stage = "done";
  changed(station);
}

void LineView::say(std::string_view text) {
  if (mode_ == OutputMode::Terminal) eraseBlock();
  err_(std::string(text) + "\n");
  if (mode_ == OutputMode::Terminal) drawTerminal();
}

bool LineView::allEnded() const {
  return std::all_of(stations_.begin(), stations_.end(),
                     [](const StationState& s) { return s.code.has_value() && s.stage == "done"; });
}

ExitCode LineView::worst() const {
  ExitCode code = ExitCode::Success;
  for (const StationState& s : stations_) code = WorseOf(code, s.code.value_or(ExitCode::Internal));
  return code;
}

std::string LineView::stationText(const StationState& s) const {
  if (continuous_) return continuousText(s, true).text;
  std::string text = Padded(s.port, portWidth_) + "  ";
  if (s.code && s.stage == "done") {
    text += Padded("done", kStageWidth) + std::string(ExitCodeName(*s.code));
    if (!s.detail.empty()) text += ": " + s.detail;
    return text;
  }
  text += Padded(s.stage, kStageWidth);
  if (s.stage == "sending" && s.percent) {
    char percent[8];
    std::snprintf(percent, sizeof percent, "%3d%%", *s.percent);
    text += std::string(percent) + "  " + FormatRate(s.bytesPerSecond) + "  " +
            FormatDuration(s.secondsLeft) + " left";
  } else {
    text += s.lastLine;
  }
  return text;
}

LineView::Styled LineView::continuousText(const StationState& s, bool withProgress) const {
  Styled text;
  text.add(Padded(s.port, portWidth_) + "  ");
  text.add("PASS", s.passed > 0 ? kPassColour : std::string_view());
  text.add(" " + std::to_string(s.passed) + "  ");
  text.add("FAIL", s.failed > 0 ? kFailColour : std::string_view());
  text.add(" " + std::to_string(s.failed) + "  ");
  text.add("CURRENT", s.current > 0 ? kCurrentColour : std::string_view());
  text.add(" " + std::to_string(s.current) + "   ");
  const Styled words = continuousWords(s, withProgress);
  for (Styled::Span span : words.spans) {
    span.at += text.text.size();
    text.spans.push_back(span);
  }
  text.text += words.text;
  return text;
}

LineView::Styled LineView::continuousWords(const StationState& s, bool withProgress) const {
  Styled words;
  if (s.code && s.stage == "done") {
    words.add("ended");
    if (*s.code != ExitCode::Success) words.add("  " + std::string(ExitCodeName(*s.code)));
    if (!s.detail.empty()) words.add(": " + s.detail);
    return words;
  }
  if (s.stopping) words.add("stopping  ");
  if (s.stage == "waiting-for-removal") {
    if (!s.lastVerdict.empty()) {
      words.add(s.lastVerdict, ColourOf(s.lastVerdict));
      if (s.lastVerdict == "FAIL") words.add(" (" + s.lastOutcome + ")");
      words.add("  ");
    }
    words.add("take it off");
    return words;
  }
  words.add(StageWords(s.stage));
  if (withProgress && s.stage == "sending" && s.percent) {
    words.add("  " + std::to_string(*s.percent) + "%  " + FormatDuration(s.secondsLeft) + " left");
  }
  return words;
}

std::string LineView::render(const Styled& styled, std::size_t width) const {
  const std::string& text = styled.text;
  const std::size_t end = width > 0 ? CutAt(text, width) : text.size();
  if (!colour_) return text.substr(0, end);
  std::string drawn;
  std::size_t at = 0;
  for (const Styled::Span& span : styled.spans) {
    if (span.at >= end) break;
    const std::size_t stop = std::min(span.at + span.size, end);
    drawn += text.substr(at, span.at - at);
    drawn += span.colour;
    drawn += text.substr(span.at, stop - span.at);
    drawn += kNoColour;
    at = stop;
  }
  return drawn + text.substr(at, end - at);
}

void LineView::changed(std::size_t station) {
  if (mode_ == OutputMode::Terminal) {
    drawPending_ = true;
    if (loop_.now() - lastDraw_ >= kRedrawInterval) {
      drawTerminal();
    } else {
      redraw_.setEnabled(true);
    }
  } else if (mode_ == OutputMode::Plain) {
    printPlain(station);
  }
}

void LineView::drawTerminal() {
  std::string text;
  if (drawnLines_ > 0) text += "\x1b[" + std::to_string(drawnLines_) + "A";
  // A line that wrapped would break the redraw: each is cut short of the width (colours
  // take no room).
  const std::size_t width = terminalWidth_ > 1 ? static_cast<std::size_t>(terminalWidth_ - 1) : 0;
  for (const StationState& s : stations_) {
    Styled line;
    if (continuous_) {
      line = continuousText(s, true);
    } else {
      line.add(stationText(s));
    }
    text += "\r\x1b[K" + render(line, width) + "\n";
  }
  drawnLines_ = stations_.size();
  drawPending_ = false;
  lastDraw_ = loop_.now();
  out_(text);
}

void LineView::eraseBlock() {
  if (drawnLines_ == 0) return;
  out_("\x1b[" + std::to_string(drawnLines_) + "A\r\x1b[J");
  drawnLines_ = 0;
}

void LineView::printPlain(std::size_t station) {
  const StationState& s = stations_[station];
  if (continuous_) {
    // An unattended station's line again when where it stands changes: not for its counts
    // (its module's line says them) nor for its transfer's steps.
    const std::string key = continuousWords(s, false).text + (s.code ? "/end" : "");
    if (key == plainShown_[station]) return;
    plainShown_[station] = key;
    out_(continuousText(s, false).text + "\n");
    return;
  }
  // A station's line again when its stage changes, at each tenth of its transfer, and at
  // its end: a log of a whole tray stays short.
  const int step = s.stage == "sending" && s.percent ? *s.percent / kPlainProgressStep : -1;
  const std::string key = s.stage + "/" + std::to_string(step) + (s.code ? "/end" : "");
  if (key == plainShown_[station]) return;
  if (s.code && s.stage != "done") return;  // the result: its line comes with the process's end
  plainShown_[station] = key;
  out_(stationText(s) + "\n");
}

std::string LineView::table() const {
  if (continuous_) return continuousTable();
  std::vector<std::array<std::string, 5>> rows;
  rows.push_back({"Port", "Old version", "New version", "Outcome", "Seconds"});
  for (const StationState& s : stations_) {
    rows.push_back({s.port, OneLine(s.oldVersion.value_or(std::string(kNone))),
                    OneLine(s.newVersion.value_or(std::string(kNone))),
                    s.code ? std::string(ExitCodeName(*s.code)) + " (" +
                                 std::to_string(static_cast<int>(*s.code)) + ")"
                           : std::string(kNone),
                    Seconds(s)});
  }
  std::array<std::size_t, 5> widths{};
  for (const auto& row : rows) {
    for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  std::string text;
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t i = 0; i < row.size(); ++i) {
      if (i + 1 == row.size()) {
        line += std::string(widths[i] - row[i].size(), ' ') + row[i];  // seconds to the right
      } else {
        line += Padded(row[i], widths[i]) + "  ";
      }
    }
    text += line + "\n";
  }
  return text;
}

double LineView::stationSeconds(const StationState& s) const {
  const Milliseconds end = s.code ? s.ended : loop_.now();
  return static_cast<double>((end - s.started).count()) / 1000.0;
}

std::optional<double> LineView::meanSeconds(const StationState& s) {
  if (s.modules() == 0) return std::nullopt;
  return s.moduleSeconds / s.modules();
}

std::optional<double> LineView::modulesPerHour(const StationState& s) const {
  const double seconds = stationSeconds(s);
  if (s.modules() == 0 || seconds <= 0) return std::nullopt;
  return s.modules() / seconds * 3600.0;
}

std::string LineView::continuousTable() const {
  constexpr std::size_t kColumns = 6;
  std::vector<std::array<std::string, kColumns>> rows;
  rows.push_back({"Port", "Passed", "Failed", "Current", "Mean s", "Modules/h"});
  const auto number = [](std::optional<double> value) {
    return value ? OneDecimal(*value) : std::string(kNone);
  };
  for (const StationState& s : stations_) {
    rows.push_back({s.port, std::to_string(s.passed), std::to_string(s.failed),
                    std::to_string(s.current), number(meanSeconds(s)), number(modulesPerHour(s))});
  }
  std::array<std::size_t, kColumns> widths{};
  for (const auto& row : rows) {
    for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  std::string text;
  for (const auto& row : rows) {
    std::string line = Padded(row[0], widths[0]);
    for (std::size_t i = 1; i < row.size(); ++i) {
      line += "  " + std::string(widths[i] - row[i].size(), ' ') + row[i];  // figures right
    }
    text += line + "\n";
  }
  return text;
}

std::string LineView::continuousSummary() const {
  const auto rounded = [](std::optional<double> value) {
    return value ? Json(std::round(*value * 10.0) / 10.0) : Json(nullptr);
  };
  Json stations = Json::array();
  for (const StationState& s : stations_) {
    const ExitCode code = s.code.value_or(ExitCode::Internal);
    Json station{{"port", s.port},
                 {"passed", s.passed},
                 {"failed", s.failed},
                 {"current", s.current},
                 {"meanSeconds", rounded(meanSeconds(s))},
                 {"modulesPerHour", rounded(modulesPerHour(s))},
                 {"exitCode", static_cast<int>(code)}};
    if (!s.detail.empty()) station["detail"] = s.detail;
    stations.push_back(std::move(station));
  }
  const ExitCode code = worst();
  return Dump(Json{{"event", "summary"},
                   {"exitCode", static_cast<int>(code)},
                   {"outcome", ExitCodeName(code)},
                   {"meaning", ExitCodeMeaning(code)},
                   {"stations", std::move(stations)}}) +
         "\n";
}

void LineView::finish() {
  redraw_.setEnabled(false);
  // The loop runs no more: the rings still due are rung now.
  bellTimer_.setEnabled(false);
  while (ringsDue_ > 0) ringOnce();
  if (mode_ == OutputMode::Terminal) drawTerminal();
  if (mode_ == OutputMode::Json && continuous_) {
    out_(continuousSummary());
    return;
  }
  if (mode_ == OutputMode::Json) {
    Json stations = Json::array();
    for (const StationState& s : stations_) {
      Json station{{"port", s.port}};
      station["oldVersion"] = s.oldVersion ? Json(*s.oldVersion) : Json(nullptr);
      station["newVersion"] = s.newVersion ? Json(*s.newVersion) : Json(nullptr);
      const ExitCode code = s.code.value_or(ExitCode::Internal);
      station["outcome"] = ExitCodeName(code);
      station["exitCode"] = static_cast<int>(code);
      station["seconds"] =
          std::round(static_cast<double>((s.ended - s.started).count()) / 100.0) / 10.0;
      if (!s.detail.empty()) station["detail"] = s.detail;
      stations.push_back(std::move(station));
    }
    const ExitCode code = worst();
    out_(Dump(Json{{"event", "summary"},
                   {"exitCode", static_cast<int>(code)},
                   {"outcome", ExitCodeName(code)},
                   {"meaning", ExitCodeMeaning(code)},
                   {"stations", std::move(stations)}}) +
         "\n");
    return;
  }
  out_("\n" + table());
}

}  // namespace movrand::cli

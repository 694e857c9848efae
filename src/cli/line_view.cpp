#include "cli/line_view.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "cli/progress.h"
#include "protocol/visible_text.h"

namespace movrand::cli {
namespace {

using Json = nlohmann::ordered_json;

constexpr std::string_view kNone = "-";
constexpr std::size_t kStageWidth = 14;  // "reconnecting" and a gap

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
      redraw_(loop, kRedrawInterval) {
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
  if (mode_ == OutputMode::Terminal) drawTerminal();
}

LineView::~LineView() = default;

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
  if (mode_ == OutputMode::Json) {
    Json tagged{{"event", kind}, {"port", s.port}};
    for (auto it = event.begin(); it != event.end(); ++it) {
      if (it.key() != "event" && it.key() != "port") tagged[it.key()] = it.value();
    }
    out_(Dump(tagged) + "\n");
  }
  if (kind == "stage") {
    // The station is done when its process has ended, not before.
    if (const auto stage = TextOf(event, "stage"); stage && *stage != "done") {
      s.stage = OneLine(*stage);
    }
  } else if (kind == "line") {
    if (const auto text = TextOf(event, "text")) s.lastLine = OneLine(*text);
  } else if (kind == "progress") {
    if (const auto percent = NumberOf(event, "percent")) s.percent = static_cast<int>(*percent);
    if (const auto sent = NumberOf(event, "sentBytes"))
      s.sentBytes = static_cast<std::int64_t>(*sent);
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
  }
  changed(station);
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
  if (!s.resultSeen && s.detail.empty() && *s.code != ExitCode::Success) {
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
  for (const StationState& s : stations_) {
    std::string line = stationText(s);
    // A line that wrapped would break the redraw.
    if (terminalWidth_ > 1 && line.size() >= static_cast<std::size_t>(terminalWidth_)) {
      line.resize(static_cast<std::size_t>(terminalWidth_ - 1));
    }
    text += "\r\x1b[K" + line + "\n";
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

void LineView::finish() {
  redraw_.setEnabled(false);
  if (mode_ == OutputMode::Terminal) drawTerminal();
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

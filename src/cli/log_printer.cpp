#include "cli/log_printer.h"

#include <cstdio>
#include <utility>

#include "protocol/visible_text.h"

namespace movrand::cli {
namespace {

constexpr std::string_view kClearToLineEnd = "\033[K";
constexpr int kBarWidth = 16;  // cells of the terminal's progress bar

// The text without its " (37kB)" tail: on a terminal the bar shows the count.
std::string_view WithoutCount(std::string_view text) {
  if (!text.ends_with(')')) return text;
  const std::size_t open = text.rfind(" (");
  return open == std::string_view::npos ? text : text.substr(0, open);
}

}  // namespace

std::string PrintableText(std::string_view text) {
  // The pane's own line breaks (CR LF inside the version line, LF in a message) stay; every
  // line between them is shown as text (what the module said is already shown so).
  std::string out;
  out.reserve(text.size());
  for (;;) {
    const std::size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    if (lf != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
    out += VisibleText(line);
    if (lf == std::string_view::npos) break;
    out += '\n';
    text.remove_prefix(lf + 1);
  }
  return out;
}

LogPrinter::LogPrinter(EventLoop& loop, OutputMode mode, Sink sink, int terminalWidth)
    : loop_(loop),
      mode_(mode),
      sink_(std::move(sink)),
      terminalWidth_(terminalWidth),
      redraw_(loop, kRedrawInterval) {
  redraw_.onTimer = [this] {
    redraw_.setEnabled(false);
    drawPending();
  };
}

LogPrinter::~LogPrinter() = default;

void LogPrinter::setProgress(std::string marker, ProgressSource progress) {
  progressMarker_ = std::move(marker);
  progress_ = std::move(progress);
}

bool LogPrinter::isProgressLine(std::string_view text) const {
  return progress_ && !progressMarker_.empty() &&
         text.find(progressMarker_) != std::string_view::npos;
}

void LogPrinter::paneChanged(const std::vector<std::string>& lines) {
  if (lines.size() < shown_.size()) {
    // The pane was cleared: what was printed stays printed; follow the new pane from its start.
    finish();
    shown_.clear();
    meter_.reset();
    // Every index into the old pane goes with it.
    pending_ = plainUnprinted_ = plainEmpty_ = progressLine_ = live_ = -1;
    plainStep_ = 0;
  }
  const std::size_t known = shown_.size();
  for (std::size_t i = 0; i < known; ++i) {
    if (lines[i] != shown_[i]) {
      shown_[i] = lines[i];
      rewritten(i, shown_[i]);
    }
  }
  for (std::size_t i = known; i < lines.size(); ++i) {
    shown_.push_back(lines[i]);
    added(i, shown_[i]);
  }
}

void LogPrinter::catchUpProgress() {
  // The count moves on without the line's text changing while the last blocks of a transfer
  // add no whole kB: before anything follows the progress line, show where it ended.
  if (progressLine_ < 0 || !progress_) return;
  const ProgressCounts counts = progress_();
  if (counts.sent == meter_.info().counts.sent && counts.total == meter_.info().counts.total) {
    return;
  }
  meter_.sample(loop_.now(), counts);
  if (mode_ == OutputMode::Plain) return;  // the plain log prints the line's own text
  pending_ = progressLine_;
  drawPending();
}

void LogPrinter::added(std::size_t index, const std::string& text) {
  const bool progress = isProgressLine(text);
  if (progress) {
    meter_.reset();
    meter_.sample(loop_.now(), progress_());
    progressLine_ = static_cast<long>(index);
  } else {
    catchUpProgress();
  }
  switch (mode_) {
    case OutputMode::Terminal: {
      closeLive();
      const std::string shown = terminalText(text);
      lastDraw_ = loop_.now();
      if (shown.find('\n') != std::string::npos) {
        write(shown + "\n");
      } else {
        write(shown);
        live_ = static_cast<long>(index);
      }
      break;
    }
    case OutputMode::Plain:
      finish();
      plainEmpty_ = -1;  // an empty line that never got text is left out
      if (text.empty()) {
        plainEmpty_ = static_cast<long>(index);
        break;
      }
      if (progress) plainStep_ = meter_.info().percent() / kPlainProgressStep;
      write(PrintableText(text) + "\n");
      break;
    case OutputMode::Json:
      drawPending();
      write(JsonLineEvent(index, text, false) + "\n");
      break;
  }
}

void LogPrinter::rewritten(std::size_t index, const std::string& text) {
  const bool progress = isProgressLine(text);
  if (progress) meter_.sample(loop_.now(), progress_());
  switch (mode_) {
    case OutputMode::Terminal:
      if (static_cast<long>(index) == live_ && text.find('\n') == std::string::npos) {
        requestDraw(index);
      } else {
        draw(index);
      }
      break;
    case OutputMode::Plain:
      if (text.empty()) {
        plainEmpty_ = static_cast<long>(index);
        break;
      }
      if (plainEmpty_ == static_cast<long>(index)) plainEmpty_ = -1;
      if (progress) {
        const int step = meter_.info().percent() / kPlainProgressStep;
        if (step <= plainStep_) {
          plainUnprinted_ = static_cast<long>(index);
          break;
        }
        plainStep_ = step;
        plainUnprinted_ = -1;
      }
      write(PrintableText(text) + "\n");
      break;
    case OutputMode::Json:
      if (progress) {
        requestDraw(index);
      } else {
        drawPending();
        write(JsonLineEvent(index, text, true) + "\n");
      }
      break;
  }
}

void LogPrinter::requestDraw(std::size_t index) {
  if (pending_ >= 0 && pending_ != static_cast<long>(index)) drawPending();
  pending_ = static_cast<long>(index);
  const Milliseconds since = loop_.now() - lastDraw_;
  if (since >= kRedrawInterval) {
    drawPending();
  } else if (!redraw_.enabled()) {
    redraw_.setInterval(kRedrawInterval - since);
    redraw_.setEnabled(true);
  }
}

void LogPrinter::drawPending() {
  if (pending_ < 0) return;
  const auto index = static_cast<std::size_t>(pending_);
  pending_ = -1;
  redraw_.setEnabled(false);
  draw(index);
}

void LogPrinter::draw(std::size_t index) {
  lastDraw_ = loop_.now();
  const std::string& text = shown_[index];
  if (mode_ == OutputMode::Json) {
    write((isProgressLine(text) ? JsonProgressEvent(index, text, meter_.info())
                                : JsonLineEvent(index, text, true)) +
          "\n");
    return;
  }
  const std::string shown = terminalText(text);
  if (static_cast<long>(index) == live_ && shown.find('\n') == std::string::npos) {
    write("\r" + shown + std::string(kClearToLineEnd));
    return;
  }
  // Not the line on screen: it can only be printed anew.
  closeLive();
  if (shown.find('\n') != std::string::npos) {
    write(shown + "\n");
  } else {
    write(shown);
    live_ = static_cast<long>(index);
  }
}

void LogPrinter::closeLive() {
  drawPending();
  if (live_ >= 0) write("\n");
  live_ = -1;
}

std::string LogPrinter::terminalText(const std::string& text) const {
  if (!isProgressLine(text)) return PrintableText(text);
  std::string shown =
      PrintableText(WithoutCount(text)) + "  " + FormatProgressBar(meter_.info(), kBarWidth);
  if (terminalWidth_ > 1 && shown.size() >= static_cast<std::size_t>(terminalWidth_)) {
    shown.resize(static_cast<std::size_t>(terminalWidth_) - 1);
  }
  return shown;
}

void LogPrinter::message(std::string_view kind, std::string_view title, std::string_view text) {
  if (mode_ == OutputMode::Json) {
    drawPending();
    write(JsonMessageEvent(kind, title, text) + "\n");
    return;
  }
  finish();
  const std::string printable = PrintableText(text);
  const std::string head = title.empty() ? std::string() : "[" + PrintableText(title) + "] ";
  std::string_view rest = printable;
  while (!rest.empty()) {
    const std::size_t nl = rest.find('\n');
    const std::string_view line = rest.substr(0, nl);
    if (!line.empty()) write(head + std::string(line) + "\n");
    if (nl == std::string_view::npos) break;
    rest.remove_prefix(nl + 1);
  }
}

void LogPrinter::result(const RunSummary& summary) {
  finish();
  if (mode_ == OutputMode::Json) write(JsonResultEvent(summary) + "\n");
}

void LogPrinter::finish() {
  switch (mode_) {
    case OutputMode::Terminal:
      closeLive();
      break;
    case OutputMode::Plain:
      if (plainUnprinted_ >= 0) {
        write(PrintableText(shown_[static_cast<std::size_t>(plainUnprinted_)]) + "\n");
        plainUnprinted_ = -1;
      }
      break;
    case OutputMode::Json:
      drawPending();
      break;
  }
}

}  // namespace movrand::cli

// The headless view of the log pane: follows `Memo1` as it grows and prints it in one of
// three ways.
//
// - Terminal: each line as the window shows it; the line being rewritten (the scan line, the
//   file-size line during the transfer) is redrawn in place, the file-size line as a progress
//   bar, at most ten times a second.
// - Plain (output is a file or a pipe): one line per line, no control characters; a rewritten
//   line is printed again when it changes, the file-size line only at each tenth of the
//   transfer and with its final value, so a log file stays short.
// - Json: one event object per line (see json_events.h).
//
// Texts that came from outside (the module's version text, a file name) are printed with any
// control character escaped, so a module cannot move the cursor or recolour the terminal.
// Main thread only.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/json_events.h"
#include "cli/progress.h"
#include "platform/event_loop.h"

namespace movrand::cli {

enum class OutputMode { Terminal, Plain, Json };

// `text` with CR LF and LF as line breaks and everything that could steer a terminal (C0 and
// C1 controls, DEL, bytes that are not UTF-8) written as \xNN, the characters that turn text
// around as \uXXXX (protocol/visible_text.h).
std::string PrintableText(std::string_view text);

class LogPrinter {
 public:
  using Sink = std::function<void(std::string_view)>;
  using ProgressSource = std::function<ProgressCounts()>;

  // At most ten redraws of a line a second, however fast the pane changes.
  static constexpr Milliseconds kRedrawInterval{100};
  // Plain output prints the file-size line again each time this many percent more are sent.
  static constexpr int kPlainProgressStep = 10;

  // `terminalWidth` (0: unknown) keeps a redrawn progress line from wrapping, which would
  // break the redraw.
  LogPrinter(EventLoop& loop, OutputMode mode, Sink sink, int terminalWidth = 0);
  ~LogPrinter();
  LogPrinter(const LogPrinter&) = delete;
  LogPrinter& operator=(const LogPrinter&) = delete;

  OutputMode mode() const { return mode_; }

  // `marker` tells the file-size line (the text it contains); `progress` says where the
  // transfer stands when that line changes. Without them no line is a progress line.
  void setProgress(std::string marker, ProgressSource progress);

  // The pane now holds `lines`: prints what is new or changed since the last call.
  void paneChanged(const std::vector<std::string>& lines);
  // Something outside the pane: a message box ("box"), the programming notice ("notice"), the
  // confirmation ("confirm"). Printed as "[title] text", one line per line of text.
  void message(std::string_view kind, std::string_view title, std::string_view text);
  // The closing result: an event in Json mode; nothing otherwise (the caller says it on
  // standard error when something failed).
  void result(const RunSummary& summary);
  // Prints what waits (a held-back redraw, the final progress) and ends the open line.
  void finish();

 private:
  bool isProgressLine(std::string_view text) const;
  void added(std::size_t index, const std::string& text);
  void catchUpProgress();
  void rewritten(std::size_t index, const std::string& text);
  // Terminal and Json: draws the held-back rewrite of `pending_` now, or when the interval
  // allows.
  void requestDraw(std::size_t index);
  void drawPending();
  void draw(std::size_t index);
  void closeLive();
  std::string terminalText(const std::string& text) const;
  void write(std::string_view text) { sink_(text); }

  EventLoop& loop_;
  OutputMode mode_;
  Sink sink_;
  std::string progressMarker_;
  ProgressSource progress_;
  int terminalWidth_;

  std::vector<std::string> shown_;  // the pane as last seen
  ProgressMeter meter_;
  long progressLine_ = -1;  // the pane's progress line, once there is one
  // Terminal: the entry whose last line is on screen without its line end; -1 for none.
  long live_ = -1;
  // Terminal and Json: an entry whose rewrite is held back by the redraw interval.
  long pending_ = -1;
  Milliseconds lastDraw_{-kRedrawInterval.count()};
  Timer redraw_;
  // Plain: the file-size line's last step printed, and whether its latest text is unprinted.
  int plainStep_ = 0;
  long plainUnprinted_ = -1;
  // Plain: an empty entry (the scan line before its first rate) is printed once it has text.
  long plainEmpty_ = -1;
};

}  // namespace movrand::cli

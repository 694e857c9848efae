// What the technician sees of a production line: one line per station (port, stage,
// percent, rate, time left, or the last thing the station's module said), redrawn in place
// on a terminal at most ten times a second and printed as plain lines otherwise; the
// stations' own events passed on with their port under --json; and at the end a table (port,
// old version, new version, outcome, seconds) or a summary event.
//
// The view knows the stations only through what their processes print (the --json events of
// a single run, one object per line) and how they end. Main thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/log_printer.h"
#include "cli/options.h"
#include "platform/event_loop.h"

namespace movrand::cli {

struct StationState {
  std::string port;
  std::string stage = "starting";
  std::string lastLine;  // the station's last log line, printable
  std::optional<int> percent;
  std::optional<double> bytesPerSecond;
  std::optional<double> secondsLeft;
  std::optional<std::string> oldVersion;
  std::optional<std::string> newVersion;
  std::optional<ExitCode> code;  // once it has ended
  std::string detail;            // why it failed, from its result
  std::int64_t sentBytes = 0;    // image bytes sent, from its progress
  bool resultSeen = false;
  bool killed = false;  // the line ended it: it did not end in time
  Milliseconds started{0};
  Milliseconds ended{0};
};

class LineView {
 public:
  using Sink = std::function<void(std::string_view)>;
  static constexpr Milliseconds kRedrawInterval{100};
  // Plain output prints a station's line again each time this many percent more are sent.
  static constexpr int kPlainProgressStep = 10;

  // `out` is standard output, `err` standard error (a station's messages there).
  LineView(EventLoop& loop, OutputMode mode, std::vector<std::string> ports, Sink out, Sink err,
           int terminalWidth = 0);
  ~LineView();
  LineView(const LineView&) = delete;
  LineView& operator=(const LineView&) = delete;

  // A line the station's process printed on its standard output (an event) or error.
  void stationOutput(std::size_t station, std::string_view line);
  void stationError(std::size_t station, std::string_view line);
  // The station's process has ended with `exitCode`.
  void stationEnded(std::size_t station, int exitCode);
  // The line ends the station's process, which did not end in time; `why` is its row's
  // detail and said at once.
  void stationKilled(std::size_t station, std::string_view why);
  // Something of the line's own for the technician (on standard error).
  void say(std::string_view text);

  bool allEnded() const;
  // The worst of the stations' codes (see ExitCodeSeverity).
  ExitCode worst() const;
  // Draws what waits, then the table (or the summary event).
  void finish();

  const std::vector<StationState>& stations() const { return stations_; }
  // One station's progress line as shown.
  std::string stationText(const StationState& station) const;
  // The closing table, one line per station under a heading.
  std::string table() const;

 private:
  void changed(std::size_t station);
  void drawTerminal();
  void printPlain(std::size_t station);
  void eraseBlock();

  EventLoop& loop_;
  OutputMode mode_;
  Sink out_;
  Sink err_;
  int terminalWidth_;
  std::vector<StationState> stations_;
  std::vector<std::string> plainShown_;  // Plain: each station's line as last printed
  std::vector<int> plainStep_;
  std::size_t drawnLines_ = 0;  // Terminal: lines of the block now on screen
  bool drawPending_ = false;
  Milliseconds lastDraw_{-kRedrawInterval.count()};
  Timer redraw_;
  std::size_t portWidth_ = 4;
};

}  // namespace movrand::cli

// What the technician sees of a production line: one line per station (port, stage,
// percent, rate, time left, or the last thing the station's module said), redrawn in place
// on a terminal at most ten times a second and printed as plain lines otherwise; the
// stations' own events passed on with their port under --json; and at the end a table (port,
// old version, new version, outcome, seconds) or a summary event.
//
// Unattended stations (--continuous) handle module after module: their line shows what they
// passed, failed and found current so far and where they stand ("waiting for a module",
// "programming  62%  0:07 left", "PASS  take it off"), each module's outcome is a line of its
// own above the block, the terminal's bell may ring for it, and the end is a table of counts
// (passed, failed, current, mean seconds per module, modules per hour).
//
// The view knows the stations only through what they print (the --json events, one object
// per line) and how they end; a station may be a child process or run in this one. Main
// thread only.
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

  // An unattended station: its modules so far, by verdict, and their seconds (from the
  // connect that found each to its outcome) summed.
  int passed = 0;
  int failed = 0;
  int current = 0;
  double moduleSeconds = 0;
  std::optional<ExitCode> worstModule;  // the worst code of its failed modules
  std::string lastVerdict;              // of its last module: "PASS", "FAIL" or "CURRENT"
  std::string lastOutcome;              // its last module's outcome, printable
  bool stopping = false;                // it stops once the module it handles has its outcome
  bool summarySeen = false;             // it printed its own summary (its last line)
  int modules() const { return passed + failed + current; }
};

class LineView {
 public:
  using Sink = std::function<void(std::string_view)>;
  static constexpr Milliseconds kRedrawInterval{100};
  // Plain output prints a station's line again each time this many percent more are sent.
  static constexpr int kPlainProgressStep = 10;
  // The bell's rings for a failed module follow each other this far apart.
  static constexpr Milliseconds kBellSpacing{200};
  // Whatever a station says is cut to this many bytes for a line.
  static constexpr std::size_t kMaxShownText = 240;

  // `out` is standard output, `err` standard error (a station's messages there). On a
  // terminal the verdicts are coloured unless the environment variable NO_COLOR is set (and
  // not empty).
  LineView(EventLoop& loop, OutputMode mode, std::vector<std::string> ports, Sink out, Sink err,
           int terminalWidth = 0);
  ~LineView();
  LineView(const LineView&) = delete;
  LineView& operator=(const LineView&) = delete;

  // The stations are unattended (--continuous): their lines, module lines and closing table
  // are those of module after module. Set before the first event.
  void setContinuous(bool continuous);
  bool continuous() const { return continuous_; }
  // Whether the verdicts are coloured; only ever on a terminal.
  void setColour(bool allowed);
  bool colour() const { return colour_; }
  // Unattended stations on a terminal: `bell` is given "\a" once for each module that
  // passed and three times, kBellSpacing apart, for each that failed. Empty: no bell.
  void setBell(Sink bell);

  // A line the station printed on its standard output (an event) or error.
  void stationOutput(std::size_t station, std::string_view line);
  void stationError(std::size_t station, std::string_view line);
  // The station has ended with `exitCode` (its process's code, or an unattended station's
  // own when it runs in this process).
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
  // A line's text with the spans of it that are drawn in a colour.
  struct Styled {
    struct Span {
      std::size_t at = 0;
      std::size_t size = 0;
      std::string_view colour;  // an SGR sequence
    };
    std::string text;
    std::vector<Span> spans;
    void add(std::string_view part, std::string_view colour = {});
  };

  struct Module;  // a module's outcome as the station's event tells it
  void moduleDone(std::size_t station, const Module& module);
  // An unattended station's line: its counts, then where it stands (continuousWords).
  Styled continuousText(const StationState& station, bool withProgress) const;
  Styled continuousWords(const StationState& station, bool withProgress) const;
  // From the station's start to its end (or now).
  double stationSeconds(const StationState& station) const;
  static std::optional<double> meanSeconds(const StationState& station);
  std::optional<double> modulesPerHour(const StationState& station) const;
  std::string continuousTable() const;
  std::string continuousSummary() const;
  // `styled` as drawn: cut to `width` bytes (0: not at all), in colour when allowed.
  std::string render(const Styled& styled, std::size_t width = 0) const;
  void permanentLine(const Styled& line);
  void ring(int times);
  void ringOnce();
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
  bool continuous_ = false;
  bool colour_ = false;
  Sink bell_;
  int ringsDue_ = 0;
  Milliseconds lastRing_{-kBellSpacing.count()};
  Timer bellTimer_;
};

}  // namespace movrand::cli

#include "cli/line.h"

#include <chrono>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>

#include "cli/json_events.h"
#include "cli/line_view.h"
#include "cli/record.h"
#include "platform/child_process.h"
#include "platform/console.h"
#include "platform/std_event_loop.h"

namespace movrand::cli {
namespace {

// A station ends by itself within its own guard's grace of a Ctrl-C; one that has not ended
// this long after the line passed the Ctrl-C on is ended by the line.
constexpr Milliseconds kInterruptedStationGrace{2000};
// After a second Ctrl-C every station ends at once (without its Cancel); this long is left for
// it to write its record line.
constexpr Milliseconds kSecondInterruptGrace{1000};
// Beyond a station's --timeout: its own time-out, its guard's grace, and its start.
constexpr Milliseconds kTimeoutStationGrace{5000};

void WriteTo(std::FILE* stream, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

// One set of brackets at `p` (just after the "["): whether `c` is in it, and where it ends.
bool InSet(std::string_view pattern, std::size_t& p, char c, bool& closed) {
  bool negate = false;
  if (p < pattern.size() && (pattern[p] == '!' || pattern[p] == '^')) {
    negate = true;
    ++p;
  }
  bool found = false;
  bool first = true;
  while (p < pattern.size() && (first || pattern[p] != ']')) {
    first = false;
    const char low = pattern[p];
    char high = low;
    if (p + 2 < pattern.size() && pattern[p + 1] == '-' && pattern[p + 2] != ']') {
      high = pattern[p + 2];
      p += 2;
    }
    if (low <= c && c <= high) found = true;
    ++p;
  }
  closed = p < pattern.size();
  if (closed) ++p;  // the "]"
  return found != negate;
}

bool Match(std::string_view pattern, std::size_t p, std::string_view name, std::size_t n) {
  while (p < pattern.size()) {
    const char c = pattern[p];
    if (c == '*') {
      while (p < pattern.size() && pattern[p] == '*') ++p;
      if (p == pattern.size()) return true;
      for (std::size_t from = n; from <= name.size(); ++from) {
        if (Match(pattern, p, name, from)) return true;
      }
      return false;
    }
    if (n >= name.size()) return false;
    if (c == '?') {
      ++p;
      ++n;
      continue;
    }
    if (c == '[') {
      std::size_t q = p + 1;
      bool closed = false;
      const bool in = InSet(pattern, q, name[n], closed);
      if (closed) {
        if (!in) return false;
        p = q;
        ++n;
        continue;
      }
      // A "[" without its "]" stands for itself.
    }
    if (c != name[n]) return false;
    ++p;
    ++n;
  }
  return n == name.size();
}

}  // namespace

bool GlobMatch(std::string_view pattern, std::string_view name) {
  return Match(pattern, 0, name, 0);
}

Result<std::vector<std::string>> LinePorts(const FlashOptions& options, PortSource& ports) {
  if (options.portsGlob.empty()) return options.ports;
  const auto list = ports.ListPorts();
  if (!list) return Failure("the port list cannot be read");
  std::vector<std::string> matched;
  for (const SerialPortEntry& entry : *list) {
    if (!GlobMatch(options.portsGlob, entry.name)) continue;
    if (matched.size() >= kMaxStations) {
      return Failure("more than " + std::to_string(kMaxStations) + " ports match " +
                     options.portsGlob);
    }
    matched.push_back(entry.name);
  }
  if (matched.empty()) {
    return Failure("no port of the list matches " + options.portsGlob +
                   " (movrand-flash --list shows the ports)");
  }
  return matched;
}

int RunLine(const FlashOptions& o) {
  const auto refuse = [&o](ExitCode code, const std::string& detail) {
    std::fprintf(stderr, "movrand-flash: %s\n", detail.c_str());
    if (o.json) {
      WriteTo(stdout, JsonNoStationsSummaryEvent(code) + "\n");
    }
    return static_cast<int>(code);
  };
  const std::unique_ptr<PortSource> source = CreateSystemPortSource();
  const Result<std::vector<std::string>> found = LinePorts(o, *source);
  if (!found) return refuse(ExitCode::PortUnavailable, found.error().text);
  const std::vector<std::string>& ports = *found;
  const std::string program = OwnProgramPath();
  if (program.empty()) return refuse(ExitCode::Internal, "this program's own file is not known");

  InterruptWatch interrupts;  // before any thread exists, so that all of them inherit its mask
  const auto started = std::chrono::system_clock::now();
  const auto startedSteady = std::chrono::steady_clock::now();
  const OutputMode mode = o.json                   ? OutputMode::Json
                          : PrepareConsoleOutput() ? OutputMode::Terminal
                                                   : OutputMode::Plain;
  StdEventLoop loop;
  LineView view(
      loop, mode, ports, [](std::string_view text) { WriteTo(stdout, text); },
      [](std::string_view text) { WriteTo(stderr, text); },
      mode == OutputMode::Terminal ? ConsoleWidth() : 0);
  if (o.continuous) {
    view.setContinuous(true);
    if (o.bell) view.setBell([](std::string_view bell) { WriteTo(stdout, bell); });
  }

  // The children's threads hand their lines to the main thread through the loop. `alive`
  // keeps work posted by a thread from running after the view is gone.
  auto alive = std::make_shared<bool>(true);
  std::deque<ChildProcess> children(ports.size());
  std::size_t running = 0;
  for (std::size_t i = 0; i < ports.size(); ++i) {
    const std::weak_ptr<bool> watch = alive;
    const Result<void> started = children[i].start(
        program, StationArguments(o, ports[i]),
        [&loop, &view, i, watch](bool fromError, std::string line) {
          loop.post([&view, i, watch, fromError, line = std::move(line)] {
            if (watch.expired()) return;
            if (fromError) {
              view.stationError(i, line);
            } else {
              view.stationOutput(i, line);
            }
          });
        },
        [&loop, &view, i, watch](int code) {
          loop.post([&loop, &view, i, watch, code] {
            if (watch.expired()) return;
            view.stationEnded(i, code);
            if (view.allEnded()) loop.quit();
          });
        });
    if (!started) {
      view.stationError(i, started.error().text);
      view.stationEnded(i, static_cast<int>(ExitCode::Internal));
      continue;
    }
    ++running;
  }
  // Stations that do not end in time are ended here, each with its row saying so and, as
  // it could not write its own, a record line.
  RecordFile record;
  const bool recording = !o.record.empty() && record.open(o.record).ok();
  std::optional<Milliseconds> killAt;
  std::string killReason;
  Timer killTimer(loop);
  const auto killLate = [&] {
    killTimer.setEnabled(false);
    for (std::size_t i = 0; i < children.size(); ++i) {
      const StationState& s = view.stations()[i];
      if (s.code || s.killed) continue;
      view.stationKilled(i, killReason);
      children[i].kill();
      // An unattended station that was waiting had no module to record.
      const bool handlingModule = s.stage != "waiting-for-port" &&
                                  s.stage != "waiting-for-module" &&
                                  s.stage != "module-in-loader" &&
                                  s.stage != "waiting-for-removal" && s.stage != "starting";
      if (recording && !s.resultSeen && (!o.continuous || handlingModule)) {
        StationRecord line{.time = started, .port = ports[i], .summary = {}, .image = {}};
        if (o.continuous) {
          line.module = ModuleFacts{.sequence = s.modules() + 1,
                                    .end = std::chrono::system_clock::now(),
                                    .verdict = Verdict::Fail};
        }
        line.summary.code = ExitCode::Internal;
        line.summary.detail = s.detail;
        line.summary.sentBytes = s.sentBytes;
        if (!o.file.empty())
          line.image = ImageFacts{
              .name = std::filesystem::path(o.file).filename().string(), .bytes = {}, .sha256 = {}};
        line.seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - startedSteady).count();
        if (const Result<void> written = record.append(RecordLine(line)); !written) {
          view.say("the record line of " + s.port + " was not written: " + written.error().text);
        }
      }
    }
  };
  killTimer.onTimer = killLate;
  // Ends the stations still running at `at` (on the loop's clock), unless an earlier end is set.
  const auto killBy = [&](Milliseconds at, std::string reason) {
    if (killAt && *killAt <= at) return;
    killAt = at;
    killReason = std::move(reason);
    killTimer.setInterval(std::max(Milliseconds{1}, at - loop.now()));
    killTimer.setEnabled(true);
  };
  // An unattended station's --timeout bounds each of its modules, which only the station
  // knows; its own guard ends it.
  if (o.timeoutSeconds && !o.continuous) {
    const Milliseconds limit = std::chrono::seconds(*o.timeoutSeconds) + kTimeoutStationGrace;
    killBy(loop.now() + limit, "ended by the line: it did not end within " +
                                   std::to_string(limit.count() / 1000) + " s (--timeout " +
                                   std::to_string(*o.timeoutSeconds) + ")");
  }
  if (running > 0) {
    int presses = 0;
    const bool continuous = o.continuous;
    interrupts.start([&loop, &children, &view, &presses, &killBy, continuous] {
      loop.post([&loop, &children, &view, &presses, &killBy, continuous] {
        ++presses;
        for (ChildProcess& child : children) child.interrupt();
        // Unattended stations finish the module being programmed at the first Ctrl-C: only
        // the second (their Cancel) and the third are bounded by the line.
        if (continuous && presses == 1) {
          view.say(
              "Ctrl-C: the stations stop; a module being programmed is finished first (again: "
              "they cancel it)");
          return;
        }
        const int press = continuous ? presses - 1 : presses;
        view.say(press == 1 ? "Ctrl-C: every station presses Cancel (again: they end at once)"
                            : "Ctrl-C again: every station ends at once");
        const Milliseconds grace = press == 1 ? kInterruptedStationGrace : kSecondInterruptGrace;
        killBy(loop.now() + grace, "ended by the line: it did not end within " +
                                       std::to_string(grace.count() / 1000) + " s of Ctrl-C");
      });
    });
    loop.run();
    interrupts.stop();
  }
  killTimer.setEnabled(false);
  view.finish();
  const ExitCode worst = view.worst();
  loop.stop();
  *alive = false;
  children.clear();  // every child has ended: their threads are joined
  RestoreConsoleOutput();
  return static_cast<int>(worst);
}

}  // namespace movrand::cli

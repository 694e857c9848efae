// movrand-sim: a simulated receiver module on a pseudo-terminal.
//
// Prints "PORT <path>" as its first line, runs the module until SIGTERM, SIGINT or the time
// limit, then removes its link and prints a one-line JSON summary of the run. With a fixture
// the port holds one module after another; a module taken off with its port makes the next
// one come on a new port, printed as another "PORT <path>" line.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "platform/std_event_loop.h"
#include "sim/fixture.h"
#include "sim/module.h"
#include "sim/options.h"
#include "sim/pty_link.h"
#include "sim/report.h"

namespace {

using movrand::Milliseconds;
using movrand::StdEventLoop;
using movrand::Timer;
namespace sim = movrand::sim;

// How often the signal watcher looks whether the run ended another way.
constexpr timespec kSignalPoll{0, 100'000'000};

// Publishes the port under a second name; removes it again at exit.
class PortLink {
 public:
  bool create(const std::string& path, const std::string& target, std::string& error) {
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
      if (!S_ISLNK(st.st_mode)) {
        error = path + " exists and is not a symbolic link";
        return false;
      }
      unlink(path.c_str());  // left over from an earlier run, or from the port before
    }
    if (symlink(target.c_str(), path.c_str()) != 0) {
      error = "cannot create " + path + ": " + std::strerror(errno);
      return false;
    }
    path_ = path;
    return true;
  }
  void remove() {
    if (!path_.empty()) unlink(path_.c_str());
    path_.clear();
  }
  ~PortLink() { remove(); }

 private:
  std::string path_;
};

void PrintPort(const std::string& path) {
  std::printf("PORT %s\n", path.c_str());
  std::fflush(stdout);
}

// The fixture's port: a pseudo-terminal, published under the link when there is one. A module
// taken off with its port takes the terminal and the link with it; the next module comes on a
// new terminal under the same link.
class PtyFixturePort final : public sim::FixturePort {
 public:
  PtyFixturePort(movrand::EventLoop& loop, const sim::ProgramOptions& options,
                 sim::SimModule::EventSink events)
      : loop_(loop), options_(options), events_(std::move(events)) {}
  ~PtyFixturePort() override { stop(); }

  // Makes a new terminal at `initial` with `module` on it (null for none), publishes it and
  // starts its link. The module is on it before anyone can find the port.
  bool open(sim::LineSettings initial, sim::SimModule* module, std::string& error) {
    auto pty = std::make_unique<sim::PtyLink>(loop_, module, options_.pace);
    if (!pty->open(initial, error)) return false;
    if (!options_.link.empty() && !link_.create(options_.link, pty->slavePath(), error)) {
      return false;
    }
    PrintPort(pty->slavePath());
    if (events_) events_(sim::FixtureEventLine(loop_.now(), 0, "port", pty->slavePath()));
    pty->start();
    pty_ = std::move(pty);
    return true;
  }
  bool isOpen() const { return pty_ != nullptr; }

  bool attach(sim::SimModule& module, std::string& error) override {
    if (!pty_) return open(module.line(), &module, error);
    pty_->attach(&module);
    return true;
  }

  void detach(sim::TakeOff how) override {
    if (!pty_) return;
    pty_->attach(nullptr);
    if (how != sim::TakeOff::Vanish) return;
    // Unplugged: the link goes first, so that nobody finds the terminal that is closing.
    link_.remove();
    close();
    if (events_) events_(sim::FixtureEventLine(loop_.now(), 0, "port-gone", options_.link));
  }

  // Ends the link's thread; the terminal stays until the port is destroyed.
  void stop() {
    if (pty_) pty_->stop();
  }

  // Every turnaround of every terminal so far. Only after `stop`.
  std::vector<std::int64_t> turnarounds() const {
    std::vector<std::int64_t> all = turnarounds_;
    if (pty_) {
      const auto& now = pty_->turnaroundSamples();
      all.insert(all.end(), now.begin(), now.end());
    }
    return all;
  }

 private:
  void close() {
    pty_->stop();
    const auto& samples = pty_->turnaroundSamples();
    turnarounds_.insert(turnarounds_.end(), samples.begin(), samples.end());
    pty_.reset();  // closes the master: the host's open port hangs up
  }

  movrand::EventLoop& loop_;
  const sim::ProgramOptions& options_;
  sim::SimModule::EventSink events_;
  std::unique_ptr<sim::PtyLink> pty_;
  PortLink link_;
  std::vector<std::int64_t> turnarounds_;
};

// Runs the loop until a stop signal, the time limit or `quit`; why it ended.
class Run {
 public:
  Run(StdEventLoop& loop, const sigset_t& stopSignals, std::optional<Milliseconds> timeout)
      : loop_(loop), stopSignals_(stopSignals), limit_(loop) {
    if (timeout) {
      limit_.setInterval(*timeout);
      limit_.onTimer = [this] {
        limit_.setEnabled(false);
        quit("timeout");
      };
      limit_.setEnabled(true);
    }
  }

  void quit(const char* why) {
    ended_ = why;
    loop_.quit();
  }

  // The reason it ended.
  const char* run() {
    std::atomic<bool> finished{false};
    std::atomic<int> caught{0};
    std::thread watcher([&] {
      while (!finished) {
        const int got = sigtimedwait(&stopSignals_, nullptr, &kSignalPoll);
        if (got > 0) {
          caught = got;
          loop_.quit();
          return;
        }
      }
    });
    loop_.run();
    finished = true;
    watcher.join();
    if (caught == SIGTERM) ended_ = "SIGTERM";
    if (caught == SIGINT) ended_ = "SIGINT";
    return ended_;
  }

 private:
  StdEventLoop& loop_;
  const sigset_t& stopSignals_;
  Timer limit_;
  const char* ended_ = "signal";
};

// One object: the reason and the line's figures first, then the counts, then the fixture's
// modules when there is a fixture.
void PrintSummary(const char* ended, bool paced, const sim::TurnaroundFigures& turnaround,
                  const sim::SimStats& stats, const std::string& modulesJson) {
  const std::string counts = stats.summaryJson();
  const std::string summary =
      sim::JsonObject()
          .add("ended", ended)
          .add("paced", paced)
          .addRaw("host_turnaround_us", sim::JsonObject()
                                            .add("count", turnaround.count)
                                            .add("median", turnaround.median)
                                            .add("p99", turnaround.p99)
                                            .add("max", turnaround.max)
                                            .text())
          .text();
  std::string line = summary.substr(0, summary.size() - 1) + "," + counts.substr(1);
  if (!modulesJson.empty()) {
    line.pop_back();
    line += ",\"modules\":" + modulesJson + "}";
  }
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

int RunOneModule(const sim::ProgramOptions& options, StdEventLoop& loop, Run& run,
                 const sim::SimModule::EventSink& events) {
  sim::SimModule module(loop, options.config);
  if (events) module.setEventSink(events);
  sim::PtyLink pty(loop, &module, options.pace);
  std::string error;
  if (!pty.open(sim::SettingsFor(options.config.protocol, options.config.baud), error)) {
    std::fprintf(stderr, "movrand-sim: %s\n", error.c_str());
    return 1;
  }
  PortLink link;
  if (!options.link.empty() && !link.create(options.link, pty.slavePath(), error)) {
    std::fprintf(stderr, "movrand-sim: %s\n", error.c_str());
    return 1;
  }
  PrintPort(pty.slavePath());

  module.powerOn();
  pty.start();
  const char* ended = run.run();
  pty.stop();
  PrintSummary(ended, options.pace, pty.turnarounds(), module.stats(), {});
  return 0;
}

int RunFixture(const sim::ProgramOptions& options, std::vector<sim::FixtureModule> modules,
               StdEventLoop& loop, Run& run, const sim::SimModule::EventSink& events) {
  PtyFixturePort port(loop, options, events);
  const sim::LineSettings initial =
      sim::SettingsFor(modules.front().protocol, modules.front().baud);
  sim::Fixture fixture(loop, port, std::move(modules), options.config);
  if (events) fixture.setEventSink(events);
  bool portFailed = false;
  fixture.setPortFailed([&](const std::string& why) {
    std::fprintf(stderr, "movrand-sim: %s\n", why.c_str());
    portFailed = true;
    run.quit("port-failed");
  });
  // The first module makes the port as it arrives; one that comes later finds it there from
  // the start. The port goes only with a module taken off with it.
  fixture.start();
  if (portFailed) return 1;
  std::string error;
  if (!port.isOpen() && !port.open(initial, nullptr, error)) {
    std::fprintf(stderr, "movrand-sim: %s\n", error.c_str());
    return 1;
  }
  const char* ended = run.run();
  port.stop();
  PrintSummary(ended, options.pace, sim::Summarise(port.turnarounds()), fixture.totals(),
               fixture.modulesJson());
  return portFailed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const sim::ParsedOptions parsed =
      sim::ParseOptions(std::span<const char* const>(argv + 1, argc > 0 ? argc - 1 : 0));
  if (!parsed.error.empty()) {
    std::fprintf(stderr, "movrand-sim: %s\n", parsed.error.c_str());
    return 2;
  }
  const sim::ProgramOptions& options = parsed.options;
  if (options.help) {
    std::fputs(sim::HelpText().c_str(), stdout);
    return 0;
  }
  std::optional<sim::ParsedFixture> fixture;
  if (!options.fixture.empty()) {
    fixture = sim::ReadFixture(options.fixture, !options.link.empty());
    if (!fixture->error.empty()) {
      std::fprintf(stderr, "movrand-sim: %s\n", fixture->error.c_str());
      return 2;
    }
  }

  // The signals are taken by a watcher thread; every other thread has them blocked.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::ofstream eventsFile;
  sim::SimModule::EventSink events;
  if (!options.events.empty()) {
    eventsFile.open(options.events, std::ios::trunc);
    if (!eventsFile) {
      std::fprintf(stderr, "movrand-sim: cannot write %s\n", options.events.c_str());
      return 2;
    }
    events = [&eventsFile](const std::string& line) {
      eventsFile << line << '\n';
      eventsFile.flush();  // readable while the run goes on
    };
  }

  StdEventLoop loop;
  Run run(loop, stopSignals, options.timeout);
  if (fixture) return RunFixture(options, std::move(fixture->modules), loop, run, events);
  return RunOneModule(options, loop, run, events);
}

// movrand-sim: a simulated receiver module on a pseudo-terminal.
//
// Prints "PORT <path>" as its first line, runs the module until SIGTERM, SIGINT or the time
// limit, then removes its link and prints a one-line JSON summary of the run. With a fixture
// the port holds one module after another; a module taken off with its port makes the next
// one come on a new port, printed as another "PORT <path>" line. A module alone that vanishes
// on restart does the same with itself: its port goes as it restarts with a new image, and it
// comes back up on a new one.
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
#include <string_view>
#include <thread>
#include <vector>

#include "platform/std_event_loop.h"
#include "sim/fixture.h"
#include "sim/module.h"
#include "sim/options.h"
#include "sim/pty_link.h"
#include "sim/report.h"
#include "sim/vanish.h"

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

// One events line of the port itself: "dir" is "fixture" on a fixture, whose own lines these
// are among, and "port" for a module alone.
std::string PortEventLine(Milliseconds at, const char* dir, std::string_view kind,
                          std::string_view note) {
  return sim::JsonObject()
      .add("t_ms", static_cast<std::int64_t>(at.count()))
      .add("dir", dir)
      .add("kind", kind)
      .add("note", note)
      .text();
}

// The program's port: a pseudo-terminal, published under the link when there is one. A module
// that leaves with its port (one of a fixture taken off, or a module alone restarting with a
// new image) takes the terminal and the link with it; the module that comes next (the next of
// the fixture, or the same one up again) gets a new terminal, published under `returnLink`
// when one is given and under `link` otherwise.
class PtyPort final : public sim::FixturePort {
 public:
  PtyPort(movrand::EventLoop& loop, bool paced, std::string link, std::string returnLink,
          const char* eventDir, sim::SimModule::EventSink events)
      : loop_(loop),
        paced_(paced),
        nextLink_(std::move(link)),
        returnLink_(std::move(returnLink)),
        eventDir_(eventDir),
        events_(std::move(events)) {}
  ~PtyPort() override { stop(); }

  // Makes a new terminal at `initial` with `module` on it (null for none), publishes it and
  // starts its link. The module is on it before anyone can find the port, so that a host that
  // opens it as soon as it appears loses nothing it sends.
  bool open(sim::LineSettings initial, sim::SimModule* module, std::string& error) {
    auto pty = std::make_unique<sim::PtyLink>(loop_, module, paced_);
    if (!pty->open(initial, error)) return false;
    if (!nextLink_.empty() && !link_.create(nextLink_, pty->slavePath(), error)) return false;
    linkPath_ = nextLink_;
    PrintPort(pty->slavePath());
    event("port", pty->slavePath());
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
    event("port-gone", linkPath_);
    if (!returnLink_.empty()) nextLink_ = returnLink_;
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
  void event(std::string_view kind, std::string_view note) {
    if (events_) events_(PortEventLine(loop_.now(), eventDir_, kind, note));
  }

  movrand::EventLoop& loop_;
  const bool paced_;
  std::string nextLink_;  // of the next terminal made
  const std::string returnLink_;
  std::string linkPath_;  // of the terminal now
  const char* const eventDir_;
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
  PtyPort port(loop, options.pace, options.link, options.returnAs, "port", events);
  std::string error;
  if (!port.attach(module, error)) {
    std::fprintf(stderr, "movrand-sim: %s\n", error.c_str());
    return 1;
  }
  std::optional<sim::VanishOnRestart> vanish;
  bool portFailed = false;
  if (options.vanishOnRestart) {
    vanish.emplace(loop, module, port);
    vanish->setPortFailed([&](const std::string& why) {
      std::fprintf(stderr, "movrand-sim: %s\n", why.c_str());
      portFailed = true;
      run.quit("port-failed");
    });
  }
  module.powerOn();
  const char* ended = run.run();
  port.stop();
  PrintSummary(ended, options.pace, sim::Summarise(port.turnarounds()), module.stats(), {});
  return portFailed ? 1 : 0;
}

int RunFixture(const sim::ProgramOptions& options, std::vector<sim::FixtureModule> modules,
               StdEventLoop& loop, Run& run, const sim::SimModule::EventSink& events) {
  PtyPort port(loop, options.pace, options.link, {}, "fixture", events);
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

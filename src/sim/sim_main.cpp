// movrand-sim: a simulated receiver module on a pseudo-terminal.
//
// Prints "PORT <path>" as its first line, runs the module until SIGTERM, SIGINT or the time
// limit, then removes its link and prints a one-line JSON summary of the run.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <span>
#include <string>
#include <thread>

#include "platform/std_event_loop.h"
#include "sim/module.h"
#include "sim/options.h"
#include "sim/pty_link.h"
#include "sim/report.h"

namespace {

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
      unlink(path.c_str());  // left over from an earlier run
    }
    if (symlink(target.c_str(), path.c_str()) != 0) {
      error = "cannot create " + path + ": " + std::strerror(errno);
      return false;
    }
    path_ = path;
    return true;
  }
  ~PortLink() {
    if (!path_.empty()) unlink(path_.c_str());
  }

 private:
  std::string path_;
};

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

  // The signals are taken by a watcher thread; every other thread has them blocked.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::ofstream events;
  if (!options.events.empty()) {
    events.open(options.events, std::ios::trunc);
    if (!events) {
      std::fprintf(stderr, "movrand-sim: cannot write %s\n", options.events.c_str());
      return 2;
    }
  }

  StdEventLoop loop;
  sim::SimModule module(loop, options.config);
  if (events.is_open()) {
    module.setEventSink([&events](const std::string& line) {
      events << line << '\n';
      events.flush();  // readable while the run goes on
    });
  }
  sim::PtyLink pty(loop, module, options.pace);
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
  std::printf("PORT %s\n", pty.slavePath().c_str());
  std::fflush(stdout);

  std::atomic<bool> finished{false};
  std::atomic<int> caught{0};
  std::thread watcher([&] {
    while (!finished) {
      const int got = sigtimedwait(&stopSignals, nullptr, &kSignalPoll);
      if (got > 0) {
        caught = got;
        loop.quit();
        return;
      }
    }
  });

  const char* ended = "signal";
  Timer limit(loop);
  if (options.timeout) {
    limit.setInterval(*options.timeout);
    limit.onTimer = [&] {
      ended = "timeout";
      limit.setEnabled(false);
      loop.quit();
    };
    limit.setEnabled(true);
  }

  module.powerOn();
  pty.start();
  loop.run();
  pty.stop();
  finished = true;
  watcher.join();
  if (caught == SIGTERM) ended = "SIGTERM";
  if (caught == SIGINT) ended = "SIGINT";

  const std::string counts = module.stats().summaryJson();
  const sim::TurnaroundFigures turnaround = pty.turnarounds();
  const std::string summary =
      sim::JsonObject()
          .add("ended", ended)
          .add("paced", options.pace)
          .addRaw("host_turnaround_us", sim::JsonObject()
                                            .add("count", turnaround.count)
                                            .add("median", turnaround.median)
                                            .add("p99", turnaround.p99)
                                            .add("max", turnaround.max)
                                            .text())
          .text();
  // One object: the reason and the line's figures first, then the counts.
  std::printf("%s,%s\n", summary.substr(0, summary.size() - 1).c_str(), counts.c_str() + 1);
  std::fflush(stdout);
  return 0;
}

// movrand-flash and movrand-sim as processes, for the end-to-end tests of the headless front
// end: a private folder, images, a run of movrand-flash with its output on pipes (and a
// signal sent at a line of its choice) or on a terminal of the test's own, a simulated module,
// and readers of the JSON events and the record. The including test defines
// MOVRAND_FLASH_PATH and MOVRAND_SIM_PATH.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli/sha256.h"
#include "support/sim_process.h"

namespace movrand::cli {

namespace fs = std::filesystem;
using nlohmann::json;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using movrand::testing::SimProcess;

inline constexpr std::chrono::seconds kQuick{20};  // connect-only runs and refusals
inline constexpr std::chrono::seconds kFlash{90};  // a whole programming run with its restart wait
inline constexpr std::uint8_t kPad = 0x1A;         // what fills the image's last block

// A private folder for images and what the module received.
class Folder {
 public:
  Folder() {
    char pattern[] = "/tmp/movrand-flash-e2e-XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~Folder() { fs::remove_all(path_); }
  std::string file(const std::string& name) const { return (path_ / name).string(); }
  std::string write(const std::string& name, const Bytes& bytes) const {
    std::ofstream(file(name), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return file(name);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

inline Bytes ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// `size` bytes without letters, digits or pad bytes, with `model` in the middle.
inline Bytes Image(std::size_t size, const std::string& model) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(0x80 + (i * 13) % 97);
  std::copy(model.begin(), model.end(), bytes.begin() + static_cast<std::ptrdiff_t>(size / 2));
  return bytes;
}

// What the module must hold after receiving `file`: the file, then pad bytes to a whole block.
inline Bytes AsReceived(Bytes file) {
  file.resize((file.size() + 127) / 128 * 128, kPad);
  return file;
}

struct Outcome {
  int exitCode = -1;  // -1: killed at the time limit
  std::string out;
  std::string err;
  std::vector<json> events() const {
    std::vector<json> events;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
      try {
        events.push_back(json::parse(line));
      } catch (const json::exception& e) {
        ADD_FAILURE() << "not JSON: " << line << " (" << e.what() << ")";
      }
    }
    return events;
  }
};

// Runs movrand-flash with `args` in `folder`, its output on pipes and its input closed. Each
// complete line of standard output goes to `onLine`, which may return true to have `signal`
// (SIGINT: Ctrl-C) sent, at most `signals` times.
inline Outcome RunFlash(const std::vector<std::string>& args, std::chrono::seconds limit,
                        const fs::path& folder = fs::temp_directory_path(),
                        const std::function<bool(const std::string&)>& onLine = nullptr,
                        int signal = SIGINT, int signals = 1) {
  int out[2], err[2];
  if (pipe(out) != 0 || pipe(err) != 0) return {};
  std::vector<char*> argv{const_cast<char*>(MOVRAND_FLASH_PATH)};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    const int devNull = open("/dev/null", O_RDONLY);
    dup2(devNull, STDIN_FILENO);
    for (int fd : {out[0], out[1], err[0], err[1], devNull}) close(fd);
    if (chdir(folder.c_str()) != 0) _exit(126);
    execv(MOVRAND_FLASH_PATH, argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  Outcome outcome;
  std::string partial;
  int sent = 0;
  const auto deadline = Clock::now() + limit;
  bool outOpen = true, errOpen = true;
  while ((outOpen || errOpen) && Clock::now() < deadline) {
    pollfd fds[2] = {{outOpen ? out[0] : -1, POLLIN, 0}, {errOpen ? err[0] : -1, POLLIN, 0}};
    if (poll(fds, 2, 100) <= 0) continue;
    char buffer[4096];
    if (fds[0].revents) {
      const ssize_t got = read(out[0], buffer, sizeof buffer);
      if (got <= 0) {
        outOpen = false;
      } else {
        outcome.out.append(buffer, static_cast<std::size_t>(got));
        partial.append(buffer, static_cast<std::size_t>(got));
        for (std::size_t nl; (nl = partial.find('\n')) != std::string::npos;) {
          const std::string line = partial.substr(0, nl);
          partial.erase(0, nl + 1);
          if (onLine && sent < signals && onLine(line)) {
            kill(pid, signal);
            ++sent;
          }
        }
      }
    }
    if (fds[1].revents) {
      const ssize_t got = read(err[0], buffer, sizeof buffer);
      if (got <= 0) {
        errOpen = false;
      } else {
        outcome.err.append(buffer, static_cast<std::size_t>(got));
      }
    }
  }
  close(out[0]);
  close(err[0]);
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  outcome.exitCode =
      movrand::testing::WaitForChild(pid, std::max(left, std::chrono::milliseconds{1000}));
  return outcome;
}

inline SimProcess Sim(std::vector<std::string> args) {
  args.insert(args.end(), {"--timeout-s", "180"});
  return SimProcess(MOVRAND_SIM_PATH, args);
}

inline const json* Result(const std::vector<json>& events) {
  return events.empty() || events.back().at("event") != "result" ? nullptr : &events.back();
}

inline bool HasLineEndingWith(const std::vector<json>& events, const std::string& text) {
  for (const json& e : events) {
    if (e.at("event") == "line" && e.at("text").get<std::string>().ends_with(text)) return true;
  }
  return false;
}

inline std::string Sha256Of(const Bytes& bytes) {
  Sha256 hash;
  hash.update(bytes);
  return hash.finishHex();
}

inline std::vector<json> JsonLines(const std::string& path) {
  std::vector<json> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(json::parse(line));
  return lines;
}

inline const json* Summary(const std::vector<json>& events) {
  return events.empty() || events.back().at("event") != "summary" ? nullptr : &events.back();
}

inline const json* StationOf(const json& summary, const std::string& port) {
  for (const json& station : summary.at("stations")) {
    if (station.at("port") == port) return &station;
  }
  return nullptr;
}

// A run of movrand-flash on a terminal of the test's own: a pseudo-terminal that is the
// program's controlling terminal and its standard input, output and error, as when a
// technician starts it from a shell. `during` is called about every 20 ms while the program
// runs, with the terminal's master (writing to it types on the terminal), what the terminal
// has shown so far and the program's process id.
struct TerminalOutcome {
  int exitCode = -1;  // -1: killed at the time limit
  std::string shown;
  Clock::time_point ended;
};
using TerminalWatch = std::function<void(int master, const std::string& shown, pid_t pid)>;

inline TerminalOutcome RunFlashOnTerminal(const std::vector<std::string>& args,
                                          std::chrono::seconds limit,
                                          const fs::path& folder = fs::temp_directory_path(),
                                          const TerminalWatch& during = nullptr) {
  TerminalOutcome outcome;
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return outcome;
  const std::string slave = ptsname(master);
  std::vector<char*> argv{const_cast<char*>(MOVRAND_FLASH_PATH)};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    if (setsid() < 0) _exit(125);
    const int fd = open(slave.c_str(), O_RDWR);  // the session's controlling terminal now
    if (fd < 0) _exit(124);
    ioctl(fd, TIOCSCTTY, 0);
    for (const int standard : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) dup2(fd, standard);
    if (fd > STDERR_FILENO) close(fd);
    if (chdir(folder.c_str()) != 0) _exit(126);
    execv(MOVRAND_FLASH_PATH, argv.data());
    _exit(127);
  }
  const auto deadline = Clock::now() + limit;
  int status = 0;
  for (;;) {
    pollfd fd{master, POLLIN, 0};
    if (poll(&fd, 1, 20) > 0 && (fd.revents & POLLIN)) {
      char buffer[4096];
      const ssize_t got = read(master, buffer, sizeof buffer);
      if (got > 0) outcome.shown.append(buffer, static_cast<std::size_t>(got));
    }
    if (waitpid(pid, &status, WNOHANG) == pid) {
      outcome.ended = Clock::now();
      outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    if (Clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      outcome.ended = Clock::now();
      break;
    }
    if (during) during(master, outcome.shown, pid);
  }
  // What the program wrote just before it ended.
  for (pollfd fd{master, POLLIN, 0}; poll(&fd, 1, 50) > 0 && (fd.revents & POLLIN);) {
    char buffer[4096];
    const ssize_t got = read(master, buffer, sizeof buffer);
    if (got <= 0) break;
    outcome.shown.append(buffer, static_cast<std::size_t>(got));
  }
  close(master);
  return outcome;
}

}  // namespace movrand::cli

// movrand-flash end to end: the real program over pseudo-terminals against the movrand-sim
// program, each exit code from a real cause, Ctrl-C in the middle of a transfer, and the
// --json output read back with a JSON parser.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/sim_process.h"

namespace movrand::cli {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using movrand::testing::SimProcess;

constexpr std::chrono::seconds kQuick{20};  // connect-only runs and refusals
constexpr std::chrono::seconds kFlash{90};  // a whole programming run with its restart wait
constexpr std::uint8_t kPad = 0x1A;         // what fills the image's last block

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

Bytes ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// `size` bytes without letters, digits or pad bytes, with `model` in the middle.
Bytes Image(std::size_t size, const std::string& model) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(0x80 + (i * 13) % 97);
  std::copy(model.begin(), model.end(), bytes.begin() + static_cast<std::ptrdiff_t>(size / 2));
  return bytes;
}

// What the module must hold after receiving `file`: the file, then pad bytes to a whole block.
Bytes AsReceived(Bytes file) {
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
// complete line of standard output goes to `onLine`, which may return true to have SIGINT sent.
Outcome RunFlash(const std::vector<std::string>& args, std::chrono::seconds limit,
                 const fs::path& folder = fs::temp_directory_path(),
                 const std::function<bool(const std::string&)>& onLine = nullptr) {
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
  bool interrupted = false;
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
          if (onLine && !interrupted && onLine(line)) {
            kill(pid, SIGINT);
            interrupted = true;
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

SimProcess Sim(std::vector<std::string> args) {
  args.insert(args.end(), {"--timeout-s", "180"});
  return SimProcess(MOVRAND_SIM_PATH, args);
}

const json* Result(const std::vector<json>& events) {
  return events.empty() || events.back().at("event") != "result" ? nullptr : &events.back();
}

bool HasLineEndingWith(const std::vector<json>& events, const std::string& text) {
  for (const json& e : events) {
    if (e.at("event") == "line" && e.at("text").get<std::string>().ends_with(text)) return true;
  }
  return false;
}

// ---- Success ----------------------------------------------------------------------------------

TEST(FlashE2E, ConnectOnlyThroughALinkOutsideTheDeviceFolder) {
  Folder folder;
  const std::string link = folder.file("ttySIM0");
  SimProcess sim = Sim({"--protocol", "binr", "--baud", "38400", "--link", link});
  ASSERT_FALSE(sim.port().empty());
  const Outcome run = RunFlash({"--port", link, "--json"}, kQuick);
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  const std::vector<json> events = run.events();
  const json* result = Result(events);
  ASSERT_TRUE(result) << run.out;
  EXPECT_EQ(result->at("outcome"), "success");
  EXPECT_EQ(result->at("version"), "KAP41 0102");
  EXPECT_EQ(result->at("baud"), 38400);
  EXPECT_EQ(result->at("protocol"), "BINR");
  EXPECT_EQ(result->at("port"), sim.portName()) << "the device the link stands for";
  EXPECT_TRUE(HasLineEndingWith(events, ">>COM-port closes"));
  EXPECT_TRUE(run.err.empty()) << run.err;
}

TEST(FlashE2E, FlashesOverNmeaFromAutoAutoWithPlainOutput) {
  Folder folder;
  const Bytes image = Image(20000, "KAP41");
  const std::string file = folder.write("fw.bin", image);
  const std::string received = folder.file("received.bin");
  SimProcess sim = Sim({"--protocol", "nmea", "--baud", "57600", "--image-out", received});
  ASSERT_FALSE(sim.port().empty());
  // A relative image path, resolved before anything can change the current folder.
  const Outcome run =
      RunFlash({"--port", sim.port(), "--file", "fw.bin", "--yes"}, kFlash, folder.path());
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_EQ(ReadAll(received), AsReceived(image));
  for (const char* line : {">>Scanning...57600", ">>COM-port baudrate have been changed to 115200",
                           ">>File Size 19kB (0kB)", ">>File Size 19kB (19kB)",
                           ">>Loading completed", ">>Connection...", ">>FW upgrade is FINISHED",
                           ">>A1 KAP41 0103", ">>Device is ready for normal operation"}) {
    EXPECT_NE(run.out.find(line), std::string::npos) << line << " in:\n" << run.out;
  }
  for (const char c : run.out) {
    const auto b = static_cast<unsigned char>(c);
    ASSERT_TRUE(c == '\n' || (b >= 0x20 && b < 0x7F)) << "control byte " << int(b) << ":\n"
                                                      << run.out;
  }
  EXPECT_TRUE(run.err.empty()) << run.err;
}

TEST(FlashE2E, FlashesOverBinrFromAutoAutoWithJsonOutput) {
  Folder folder;
  const Bytes image = Image(30000, "KAP41");
  const std::string received = folder.file("received.bin");
  SimProcess sim = Sim({"--protocol", "binr", "--baud", "115200", "--image-out", received});
  ASSERT_FALSE(sim.port().empty());
  const Outcome run = RunFlash(
      {"--port", sim.port(), "--file", folder.write("fw.bin", image), "--yes", "--json"}, kFlash);
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_EQ(ReadAll(received), AsReceived(image));

  const std::vector<json> events = run.events();
  const json* result = Result(events);
  ASSERT_TRUE(result) << run.out;
  EXPECT_EQ(result->at("exitCode"), 0);
  EXPECT_EQ(result->at("version"), "KAP41 0103");
  EXPECT_EQ(result->at("protocol"), "BINR");
  int lastPercent = -1;
  std::size_t progressEvents = 0;
  for (const json& e : events) {
    if (e.at("event") != "progress") continue;
    ++progressEvents;
    EXPECT_GE(e.at("percent").get<int>(), lastPercent);
    lastPercent = e.at("percent");
    EXPECT_EQ(e.at("totalBytes"), AsReceived(image).size());
  }
  EXPECT_GE(progressEvents, 1u);
  EXPECT_EQ(lastPercent, 100);
  bool confirmed = false, notice = false;
  for (const json& e : events) {
    if (e.at("event") != "message") continue;
    confirmed |= e.at("kind") == "confirm" && e.at("text") == "confirmed (--yes)";
    notice |= e.at("kind") == "notice";
  }
  EXPECT_TRUE(confirmed) << run.out;
  EXPECT_TRUE(notice) << run.out;
  EXPECT_TRUE(HasLineEndingWith(events, ">>Device is ready for normal operation"));
}

// ---- Failures, each from a real cause --------------------------------------------------------

TEST(FlashE2E, UsageErrorsAreRefusedBeforeAnyPort) {
  EXPECT_EQ(RunFlash({"--port", "ttyS0", "--speed", "9600"}, kQuick).exitCode, 2);
  EXPECT_EQ(RunFlash({"--port", "ttyS0", "--baud", "9600"}, kQuick).exitCode, 2);
  const Outcome missingFile =
      RunFlash({"--port", "ttyS0", "--file", "/nonexistent/fw.bin"}, kQuick);
  EXPECT_EQ(missingFile.exitCode, 2);
  EXPECT_NE(missingFile.err.find("cannot read the image"), std::string::npos) << missingFile.err;
  const Outcome help = RunFlash({"--help"}, kQuick);
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.out.find("Exit codes:"), std::string::npos);
}

TEST(FlashE2E, MissingPort) {
  const Outcome run = RunFlash({"--port", "/dev/ttyNOSUCHPORT", "--json"}, kQuick);
  EXPECT_EQ(run.exitCode, 3) << run.err;
  const std::vector<json> events = run.events();
  ASSERT_TRUE(Result(events));
  EXPECT_EQ(Result(events)->at("outcome"), "port");
}

TEST(FlashE2E, RefusalsBeforeTheRunSayWhatTheWindowWouldSay) {
  // A missing port: the window's line, and why.
  const Outcome port = RunFlash({"--port", "/dev/ttyNOSUCHPORT", "--json"}, kQuick);
  EXPECT_EQ(port.exitCode, 3) << port.err;
  std::vector<json> events = port.events();
  EXPECT_TRUE(HasLineEndingWith(events, ">>COM port is busy or not available")) << port.out;
  ASSERT_TRUE(Result(events));
  EXPECT_EQ(Result(events)->at("reason"), "missing");

  // An image that is a folder is told as a folder, with the line the window writes for a
  // file it cannot open.
  Folder folder;
  fs::create_directory(folder.file("fw.bin"));
  const Outcome image =
      RunFlash({"--port", "ttyS0", "--file", folder.file("fw.bin"), "--json"}, kQuick);
  EXPECT_EQ(image.exitCode, 2) << image.err;
  EXPECT_NE(image.err.find("it is a folder"), std::string::npos) << image.err;
  EXPECT_EQ(image.err.find("no such file"), std::string::npos) << image.err;
  events = image.events();
  EXPECT_TRUE(HasLineEndingWith(events, ">>Can't open the file fw.bin")) << image.out;
  ASSERT_TRUE(Result(events));
  EXPECT_EQ(Result(events)->at("outcome"), "usage");
}

TEST(FlashE2E, PortHeldByAnotherProgram) {
  SimProcess sim = Sim({});
  ASSERT_FALSE(sim.port().empty());
  const int holder = open(sim.port().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  const Outcome run = RunFlash({"--port", sim.port()}, kQuick);
  close(holder);
  EXPECT_EQ(run.exitCode, 3) << run.out << run.err;
  EXPECT_NE(run.out.find(">>Program could not find the device!"), std::string::npos) << run.out;
  EXPECT_NE(run.err.find("the port is busy or not available (exit code 3)"), std::string::npos)
      << run.err;
}

TEST(FlashE2E, PortHeldByAnotherProgramIsToldAsBusy) {
  SimProcess sim = Sim({});
  ASSERT_FALSE(sim.port().empty());
  const int holder = open(sim.port().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  const Outcome plain = RunFlash({"--port", sim.port(), "--protocol", "nmea"}, kQuick);
  const Outcome withJson =
      RunFlash({"--port", sim.port(), "--protocol", "nmea", "--baud", "9600", "--json"}, kQuick);
  close(holder);
  EXPECT_EQ(plain.exitCode, 3) << plain.out << plain.err;
  EXPECT_NE(plain.err.find(">>COM port is busy or not available (another program holds the port)"),
            std::string::npos)
      << plain.err;
  EXPECT_EQ(withJson.exitCode, 3) << withJson.out << withJson.err;
  const std::vector<json> events = withJson.events();
  ASSERT_TRUE(Result(events)) << withJson.out;
  EXPECT_EQ(Result(events)->at("reason"), "busy");
  EXPECT_EQ(Result(events)->at("detail"), ">>COM port is busy or not available");
  EXPECT_FALSE(Result(events)->contains("baud")) << "nothing was identified";
}

TEST(FlashE2E, SilentModule) {
  SimProcess sim = Sim({"--silent"});
  ASSERT_FALSE(sim.port().empty());
  const Outcome run =
      RunFlash({"--port", sim.port(), "--protocol", "nmea", "--baud", "115200"}, kQuick);
  EXPECT_EQ(run.exitCode, 4) << run.out << run.err;
  EXPECT_NE(run.out.find(">>Device is not responding..."), std::string::npos) << run.out;
}

TEST(FlashE2E, ImageForAnotherModel) {
  Folder folder;
  SimProcess sim = Sim({"--image-out", folder.file("received.bin")});
  ASSERT_FALSE(sim.port().empty());
  const Outcome run = RunFlash({"--port", sim.port(), "--file",
                                folder.write("fw.bin", Image(4096, "DOV42")), "--yes", "--json"},
                               kQuick);
  EXPECT_EQ(run.exitCode, 5) << run.out << run.err;
  const std::vector<json> events = run.events();
  ASSERT_TRUE(Result(events));
  EXPECT_NE(Result(events)->at("detail").get<std::string>().find(
                ">>Version of the software does not match the version of the device A1 KAP41"),
            std::string::npos)
      << run.out;
  EXPECT_TRUE(HasLineEndingWith(events, ">>COM-port closes")) << "disconnected afterwards";
  EXPECT_FALSE(fs::exists(folder.file("received.bin")));
}

TEST(FlashE2E, BlockRejectedForever) {
  Folder folder;
  SimProcess sim = Sim({"--nak-forever", "5", "--image-out", folder.file("received.bin")});
  ASSERT_FALSE(sim.port().empty());
  const Outcome run = RunFlash(
      {"--port", sim.port(), "--file", folder.write("fw.bin", Image(8192, "KAP41")), "--yes"},
      kQuick);
  EXPECT_EQ(run.exitCode, 6) << run.out << run.err;
  EXPECT_NE(run.out.find(">>Data loading has been canceled because of multiple errors!"),
            std::string::npos)
      << run.out;
  EXPECT_FALSE(fs::exists(folder.file("received.bin")));
}

TEST(FlashE2E, ModuleThatNeverComesBack) {
  Folder folder;
  SimProcess sim = Sim({"--restart-s", "3600"});  // longer than the run waits
  ASSERT_FALSE(sim.port().empty());
  const Outcome run = RunFlash({"--port", sim.port(), "--file",
                                folder.write("fw.bin", Image(4096, "KAP41")), "--yes", "--json"},
                               kFlash);
  EXPECT_EQ(run.exitCode, 7) << run.out << run.err;
  const std::vector<json> events = run.events();
  EXPECT_TRUE(HasLineEndingWith(events, ">>Loading completed"));
  EXPECT_TRUE(HasLineEndingWith(events, ">>Connection..."));
  EXPECT_FALSE(HasLineEndingWith(events, ">>Device is ready for normal operation"));
  ASSERT_TRUE(Result(events));
  EXPECT_EQ(Result(events)->at("outcome"), "reconnect");
}

TEST(FlashE2E, CtrlCDuringTheTransferRunsCancel) {
  Folder folder;
  const std::string received = folder.file("received.bin");
  SimProcess sim = Sim({"--image-out", received});
  ASSERT_FALSE(sim.port().empty());
  bool sent = false;
  const Outcome run = RunFlash({"--port", sim.port(), "--file",
                                folder.write("fw.bin", Image(120000, "KAP41")), "--yes", "--json"},
                               kFlash, fs::temp_directory_path(), [&](const std::string& line) {
                                 // Interrupt at the first progress report, well inside the
                                 // transfer.
                                 sent = line.find("\"event\":\"progress\"") != std::string::npos;
                                 return sent;
                               });
  ASSERT_TRUE(sent) << "no progress seen:\n" << run.out << run.err;
  EXPECT_EQ(run.exitCode, 6) << run.out << run.err;
  const std::vector<json> events = run.events();
  bool warning = false;
  for (const json& e : events) {
    warning |= e.at("event") == "message" && e.at("kind") == "box" && e.at("title") == "Warning";
  }
  EXPECT_TRUE(warning) << "the window's cancel advice:\n" << run.out;
  EXPECT_TRUE(HasLineEndingWith(events, ">>The process is aborted"));
  EXPECT_FALSE(HasLineEndingWith(events, ">>Loading completed"));
  ASSERT_TRUE(Result(events));
  EXPECT_EQ(Result(events)->at("outcome"), "cancelled");
  EXPECT_FALSE(fs::exists(received)) << "the module got no complete image";
}

// ---- A module unplugged ----------------------------------------------------------------------

// The module's end of the line disappears while the program connects, transfers or waits for
// the restart: the window says so once, and the run ends with the port's code at once.
struct UnplugCase {
  const char* name;
  std::vector<std::string> simArgs;
  const char* when;  // the output line at which the module goes; null: a second after the start
};

void PrintTo(const UnplugCase& c, std::ostream* os) {
  *os << c.name;
}

class FlashUnplugged : public ::testing::TestWithParam<UnplugCase> {};

TEST_P(FlashUnplugged, EndsWithThePortsCodeWithinTwoSeconds) {
  const UnplugCase& c = GetParam();
  Folder folder;
  SimProcess sim = Sim(c.simArgs);
  ASSERT_FALSE(sim.port().empty());
  std::atomic<std::int64_t> unpluggedAt{0};  // steady clock ticks, 0 while still there
  const auto unplug = [&] {
    if (unpluggedAt != 0) return;
    sim.unplug();
    unpluggedAt = Clock::now().time_since_epoch().count();
  };
  // A silent module keeps the window probing for three seconds: it goes in the middle.
  std::thread timed;
  if (!c.when) {
    timed = std::thread([&] {
      std::this_thread::sleep_for(std::chrono::seconds(1));
      unplug();
    });
  }
  const Outcome run =
      RunFlash({"--port", sim.port(), "--protocol", "nmea", "--baud", "115200", "--file",
                folder.write("fw.bin", Image(60000, "KAP41")), "--yes", "--json"},
               kFlash, fs::temp_directory_path(), [&](const std::string& line) {
                 if (c.when && line.find(c.when) != std::string::npos) unplug();
                 return false;
               });
  const auto ended = Clock::now();
  if (timed.joinable()) timed.join();
  ASSERT_NE(unpluggedAt, 0) << "never saw " << c.when << ":\n" << run.out;
  const Clock::time_point unplugged{Clock::duration(unpluggedAt.load())};
  EXPECT_EQ(run.exitCode, 3) << run.out << run.err;
  EXPECT_LT(ended - unplugged, std::chrono::seconds(2)) << run.out;
  const std::vector<json> events = run.events();
  const std::string lost = ">>COM port " + sim.portName() + " is lost: the device was disconnected";
  int lostLines = 0;
  for (const json& e : events) {
    lostLines += e.at("event") == "line" && e.at("text").get<std::string>().ends_with(lost);
  }
  EXPECT_EQ(lostLines, 1) << run.out;
  ASSERT_TRUE(Result(events)) << run.out;
  EXPECT_EQ(Result(events)->at("outcome"), "port");
}

INSTANTIATE_TEST_SUITE_P(
    Stages, FlashUnplugged,
    ::testing::Values(
        // A module that does not answer keeps the window probing: it goes while connecting.
        UnplugCase{"connecting", {"--silent"}, nullptr},
        UnplugCase{"transferring", {}, "\"event\":\"progress\""},
        UnplugCase{"restart_wait", {"--restart-s", "30"}, ">>Loading completed"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- The latency-timer hint -------------------------------------------------------------------

// A module behind an adapter whose latency timer holds each answer 16 ms: the line is paced,
// and the module answers each block that much late. The hint comes once, on standard error;
// the transfer goes on. Without the delay nothing is said.
TEST(FlashE2E, AnAdaptersLatencyTimerIsToldOnceWithHowToLowerIt) {
  Folder folder;
  const Bytes image = Image(40 * 128, "KAP41");
  const std::string file = folder.write("fw.bin", image);
  for (const bool late : {true, false}) {
    const std::string received = folder.file(late ? "late.bin" : "prompt.bin");
    std::vector<std::string> args = {"--pace", "--image-out", received};
    if (late) args.insert(args.end(), {"--ack-delay-ms", "16"});
    SimProcess sim = Sim(args);
    ASSERT_FALSE(sim.port().empty());
    const Outcome run = RunFlash(
        {"--port", sim.port(), "--protocol", "nmea", "--baud", "115200", "--file", file, "--test"},
        kQuick);
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(ReadAll(received), AsReceived(image));
    const std::string hint = "Latency Timer (msec) 1";
    const std::size_t at = run.err.find(hint);
    if (late) {
      ASSERT_NE(at, std::string::npos) << run.err;
      EXPECT_EQ(run.err.find(hint, at + 1), std::string::npos) << "said once:\n" << run.err;
      EXPECT_NE(run.err.find("movrand-flash: each block waits about 1"), std::string::npos)
          << run.err;
    } else {
      EXPECT_EQ(at, std::string::npos) << run.err;
    }
  }
}

// ---- The port list ---------------------------------------------------------------------------

TEST(FlashE2E, ListShowsAModulePublishedInTheDeviceFolder) {
  if (access("/dev", W_OK) != 0) GTEST_SKIP() << "publishing in /dev needs root";
  std::string name = "ttySIM" + std::to_string(getpid() % 10000);
  SimProcess sim = Sim({"--link", "/dev/" + name});
  ASSERT_FALSE(sim.port().empty());
  const Outcome list = RunFlash({"--list"}, kQuick);
  EXPECT_EQ(list.exitCode, 0) << list.err;
  EXPECT_NE(list.out.find(name + "    -pts\n"), std::string::npos) << list.out;
  const Outcome run = RunFlash({"--port", name, "--json"}, kQuick);
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  ASSERT_TRUE(Result(run.events()));
  EXPECT_EQ(Result(run.events())->at("port"), name);
}

}  // namespace
}  // namespace movrand::cli

// The Windows builds end to end under wine: movrand-flash.exe against the movrand-sim program
// on a pseudo-terminal published to wine as COM5, and the Windows serial device's own tests
// (serial_win32_test.exe) against a pseudo-terminal this test plays as COM6.
//
// Runs on Linux, started by the cross build's ctest, which names the bench and the Windows
// build through MOVRAND_WINE_BENCH and MOVRAND_WINDOWS_BUILD; the bench's prefix must exist.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/image_files.h"
#include "support/pty_pair.h"
#include "support/sim_process.h"

namespace movrand {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::Bytes;
using testing::SimProcess;
using Clock = std::chrono::steady_clock;

constexpr std::chrono::seconds kQuick{40};   // connect-only runs, wine start included
constexpr std::chrono::seconds kFlash{120};  // a programming run with its restart wait
constexpr std::chrono::seconds kSerialTests{120};
constexpr int kFlashesInARow = 20;
constexpr const char* kSimPort = "COM5";     // movrand-sim
constexpr const char* kSecondPort = "COM6";  // a second one, for a line
constexpr const char* kPlayedPort = "COM6";  // a pseudo-terminal this test plays

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// The bench and the Windows build, as the cross build's ctest names them.
struct Bench {
  fs::path folder = Env("MOVRAND_WINE_BENCH");
  fs::path windowsBuild = Env("MOVRAND_WINDOWS_BUILD");
  fs::path flashExe() const { return windowsBuild / "src/cli/movrand-flash.exe"; }
  fs::path serialTestExe() const { return windowsBuild / "tests/wine/serial_win32_test.exe"; }
  // COMn opens `device` from now on (the prefix maps COMn to this link).
  void mapPort(const std::string& port, const std::string& device) const {
    const fs::path link = folder / "ports" / port;
    std::error_code ignored;
    fs::remove(link, ignored);
    fs::create_symlink(device, link);
  }
};

struct Outcome {
  int exitCode = -1;  // -1: killed at the time limit; 99: wine reported a crash
  std::string out;
  std::string err;
  bool has(const std::string& text) const { return out.find(text) != std::string::npos; }
};

// Runs `program` under the bench (tests/wine/wine-run) with `args`, `input` on its standard
// input. Each complete line of standard output goes to `onLine`, which may return true to
// have SIGINT (Ctrl-C, as wine delivers it) sent to the Windows program.
Outcome RunWine(const Bench& bench, const fs::path& program, const std::vector<std::string>& args,
                std::chrono::seconds limit, const std::string& input = "",
                const std::vector<std::string>& environment = {},
                const std::function<bool(const std::string&)>& onLine = nullptr) {
  // Runs may go on side by side on several threads: each has its own file for the Windows
  // program's pid, and everything the child needs is made before the fork, since a child of
  // a process with threads may only exec.
  static std::atomic<int> runs{0};
  const fs::path pidFile =
      bench.folder / ("pid-" + std::to_string(getpid()) + "-" + std::to_string(runs.fetch_add(1)));
  std::vector<std::string> argv{"/bin/bash", MOVRAND_WINE_RUN, bench.folder.string(),
                                program.string()};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<std::string> env{std::string("WINE_BENCH_PRELOAD=") + MOVRAND_WINE_PRELOAD,
                               "WINE_BENCH_PIDFILE=" + pidFile.string()};
  env.insert(env.end(), environment.begin(), environment.end());
  const auto set = [&env](std::string_view entry) {
    const std::string_view key = entry.substr(0, entry.find('=') + 1);
    return std::any_of(env.begin(), env.end(),
                       [&](const std::string& e) { return e.starts_with(key); });
  };
  for (char** e = environ; *e; ++e) {
    if (!set(*e)) env.emplace_back(*e);
  }
  std::vector<char*> cargv, cenv;
  for (auto& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  for (auto& e : env) cenv.push_back(e.data());
  cenv.push_back(nullptr);
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    return {};
  }
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    execve(cargv[0], cargv.data(), cenv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (!input.empty()) {
    [[maybe_unused]] const ssize_t n = write(in[1], input.data(), input.size());
  }
  close(in[1]);
  Outcome outcome;
  std::string partial;
  bool interrupted = false;
  const auto deadline = Clock::now() + limit;
  bool outOpen = true, errOpen = true;
  while ((outOpen || errOpen) && Clock::now() < deadline) {
    pollfd fds[2] = {{outOpen ? out[0] : -1, POLLIN, 0}, {errOpen ? err[0] : -1, POLLIN, 0}};
    if (poll(fds, 2, 100) <= 0) continue;
    char buffer[4096];
    for (int i = 0; i < 2; ++i) {
      if (!fds[i].revents) continue;
      const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      if (got <= 0) {
        (i == 0 ? outOpen : errOpen) = false;
        continue;
      }
      (i == 0 ? outcome.out : outcome.err).append(buffer, static_cast<std::size_t>(got));
      if (i == 1) continue;
      partial.append(buffer, static_cast<std::size_t>(got));
      for (std::size_t nl; (nl = partial.find('\n')) != std::string::npos;) {
        const std::string line = partial.substr(0, nl);
        partial.erase(0, nl + 1);
        if (onLine && !interrupted && onLine(line)) {
          std::ifstream pidIn(pidFile);
          pid_t windowsPid = 0;
          if (pidIn >> windowsPid && windowsPid > 0) kill(windowsPid, SIGINT);
          interrupted = true;
        }
      }
    }
  }
  close(out[0]);
  close(err[0]);
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  outcome.exitCode = testing::WaitForChild(pid, std::max(left, std::chrono::milliseconds{1000}));
  std::error_code ignored;
  fs::remove(pidFile, ignored);
  return outcome;
}

// Wine names files by drive letter; Z: is the root of the Linux tree.
std::string WindowsPath(const fs::path& path) {
  std::string text = "Z:" + fs::absolute(path).string();
  for (char& c : text) {
    if (c == '/') c = '\\';
  }
  return text;
}

Bytes ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// An image for the simulated model, holding every byte value (XON and XOFF among them).
Bytes Image(std::size_t size) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<std::uint8_t>((i * 7 + i / 256) % 256);
  const std::string model = "KAP41";
  std::copy(model.begin(), model.end(), bytes.begin() + static_cast<std::ptrdiff_t>(size / 2));
  return bytes;
}

class WineE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(bench_.folder.empty()) << "MOVRAND_WINE_BENCH names the wine bench's folder";
    ASSERT_TRUE(fs::exists(bench_.folder / "prefix")) << "the bench's prefix is made first";
    ASSERT_TRUE(fs::exists(bench_.flashExe())) << bench_.flashExe();
  }

  // movrand-sim with `args`, published as COM5.
  std::unique_ptr<SimProcess> startSim(std::vector<std::string> args) {
    args.insert(args.end(), {"--timeout-s", "300"});
    auto sim = std::make_unique<SimProcess>(MOVRAND_SIM_PATH, args);
    EXPECT_FALSE(sim->port().empty());
    bench_.mapPort(kSimPort, sim->port());
    return sim;
  }

  // The module's summary: the image it received equals `image` padded with 0x1A, and it
  // saw nothing it would not take from a real programmer.
  static void ExpectCleanLoad(SimProcess& sim, const fs::path& received, const Bytes& image) {
    EXPECT_EQ(ReadAll(received), testing::Padded(image));
    const std::string summary = sim.stop();
    const json report = json::parse(summary, nullptr, false);
    ASSERT_FALSE(report.is_discarded()) << summary;
    EXPECT_EQ(report.value("violation_total", -1), 0) << summary;
  }

  Outcome flash(const std::vector<std::string>& args, std::chrono::seconds limit,
                const std::string& input = "",
                const std::function<bool(const std::string&)>& onLine = nullptr) {
    std::vector<std::string> all{"--port", kSimPort};
    all.insert(all.end(), args.begin(), args.end());
    return RunWine(bench_, bench_.flashExe(), all, limit, input, {}, onLine);
  }

  Bench bench_;
  testing::TempDir folder_;
};

TEST_F(WineE2E, ListsThePortsOfTheRegistry) {
  const Outcome run = RunWine(bench_, bench_.flashExe(), {"--list"}, kQuick);
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  for (const char* port : {"COM5    -", "COM6    -"}) {
    EXPECT_TRUE(run.has(port)) << port << " in:\n" << run.out;
  }
}

// Wine maps the bench's ports from its own folder: the device manager has no USB adapter
// behind them, so each is listed with no identity, and asking the device manager must not
// cost the list.
TEST_F(WineE2E, ListsThePortsWithTheirIdentityAsJson) {
  const Outcome run = RunWine(bench_, bench_.flashExe(), {"--list", "--json"}, kQuick);
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  std::map<std::string, json> ports;
  std::istringstream lines(run.out);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    const json port = json::parse(line, nullptr, false);
    ASSERT_TRUE(port.is_object()) << "not one object: " << line;
    ASSERT_TRUE(port.contains("port") && port["port"].is_string()) << line;
    EXPECT_TRUE(ports.emplace(port["port"].get<std::string>(), port).second) << "twice: " << line;
  }
  for (const char* name : {kSimPort, kSecondPort}) {
    ASSERT_TRUE(ports.contains(name)) << name << " in:\n" << run.out;
    const json& port = ports[name];
    EXPECT_TRUE(port.value("description", json()).is_string()) << port;
    EXPECT_TRUE(port.value("product", json()).is_string()) << port;
    for (const char* key : {"vid", "pid", "serial", "location", "by_serial", "by_location"}) {
      ASSERT_TRUE(port.contains(key)) << key << " in " << port;
      EXPECT_TRUE(port[key].is_null()) << key << " in " << port;
    }
  }
}

TEST_F(WineE2E, RefusesPortNamesWindowsDoesNotHave) {
  Outcome run = RunWine(bench_, bench_.flashExe(), {"--port", "COM42"}, kQuick);
  EXPECT_EQ(run.exitCode, 3) << run.out << run.err;
  EXPECT_NE(run.err.find("no serial port COM42"), std::string::npos) << run.err;
  run = RunWine(bench_, bench_.flashExe(), {"--port", "/dev/ttyS0"}, kQuick);
  EXPECT_EQ(run.exitCode, 2) << run.out << run.err;
}

TEST_F(WineE2E, ConnectsAtAFixedRate) {
  const auto sim = startSim({"--protocol", "nmea", "--baud", "115200"});
  const Outcome run = flash({"--protocol", "nmea", "--baud", "115200"}, kQuick);
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_TRUE(run.has(">>Port: COM5 115200 NMEA")) << run.out;
  EXPECT_TRUE(run.has(">>A1 KAP41 0102")) << run.out;
  EXPECT_TRUE(run.has(">>COM-port closes")) << run.out;
}

TEST_F(WineE2E, ConnectsWithAutoAutoInBothProtocols) {
  {
    const auto sim = startSim({"--protocol", "nmea", "--baud", "38400"});
    const Outcome run = flash({}, kQuick);
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_TRUE(run.has(">>Port: COM5 38400 NMEA")) << run.out;
  }
  {
    const auto sim = startSim({"--protocol", "binr", "--baud", "57600"});
    const Outcome run = flash({}, kFlash);
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_TRUE(run.has(">>Port: COM5 57600 BINR")) << run.out;
    EXPECT_TRUE(run.has(">>KAP41 0102")) << run.out;
  }
}

TEST_F(WineE2E, ProgramsASmallImageWithTheRateChangeFrom57600) {
  const Bytes image = Image(3000);
  const fs::path file = folder_.Write("fw.bin", image);
  const fs::path received = folder_.path() / "received.bin";
  const auto sim = startSim({"--protocol", "binr", "--baud", "57600", "--restart-s", "1",
                             "--image-out", received.string()});
  const Outcome run = flash(
      {"--protocol", "binr", "--baud", "57600", "--file", WindowsPath(file), "--yes"}, kFlash);
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  for (const char* line :
       {">>Port: COM5 57600 BINR", ">>COM-port baudrate have been changed to 115200",
        ">>Port: COM5 115200 BINR", ">>Loading completed", ">>Connection...",
        ">>FW upgrade is FINISHED", ">>KAP41 0103"}) {
    EXPECT_TRUE(run.has(line)) << line << " in:\n" << run.out;
  }
  ExpectCleanLoad(*sim, received, image);
}

TEST_F(WineE2E, ProgramsFastAfterATypedConfirmation) {
  const Bytes image = Image(20000);
  const fs::path file = folder_.Write("fw.bin", image);
  const fs::path received = folder_.path() / "received.bin";
  const auto sim = startSim({"--protocol", "nmea", "--baud", "115200", "--restart-s", "1",
                             "--image-out", received.string()});
  // The confirmation is read from standard input: a pipe here.
  const Outcome run =
      flash({"--protocol", "nmea", "--baud", "115200", "--file", WindowsPath(file), "--fast"},
            kFlash, "y\n");
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_TRUE(run.has("confirmed")) << run.out;
  EXPECT_TRUE(run.has(">>COM-port baudrate have been changed to 230400")) << run.out;
  EXPECT_TRUE(run.has(">>A1 KAP41 0103")) << run.out;
  ExpectCleanLoad(*sim, received, image);
}

TEST_F(WineE2E, ADeclinedConfirmationProgramsNothing) {
  const fs::path file = folder_.Write("fw.bin", Image(3000));
  const fs::path received = folder_.path() / "received.bin";
  const auto sim = startSim({"--image-out", received.string()});
  const Outcome run =
      flash({"--protocol", "nmea", "--baud", "115200", "--file", WindowsPath(file)}, kQuick, "n\n");
  EXPECT_EQ(run.exitCode, 6) << run.out << run.err;
  EXPECT_TRUE(run.has("declined")) << run.out;
  EXPECT_FALSE(fs::exists(received));
}

TEST_F(WineE2E, CtrlCDuringTheTransferCancels) {
  const fs::path file = folder_.Write("fw.bin", Image(120000));
  const auto sim = startSim({"--protocol", "nmea", "--baud", "115200"});
  // Ctrl-C once a few kilobytes have gone.
  const Outcome run =
      flash({"--protocol", "nmea", "--baud", "115200", "--file", WindowsPath(file), "--yes"},
            kFlash, "", [](const std::string& line) {
              return line.find(">>File Size") != std::string::npos &&
                     line.find("(0kB)") == std::string::npos;
            });
  EXPECT_EQ(run.exitCode, 6) << run.out << run.err;
  EXPECT_TRUE(run.has("[Warning] FW loading procedure canceled")) << run.out;
  EXPECT_FALSE(run.has(">>Loading completed")) << run.out;
}

// A loader that answers a burst of ACKs and then reads nothing more: the pseudo-terminal's
// queues fill, and a block's write cannot finish. The Windows write is bounded as the Linux
// one is: the port is lost within the write's limit, told once, and the run ends with the
// port's code instead of waiting for ever.
TEST_F(WineE2E, AModuleThatStopsReadingLosesThePortWithinTheWriteLimit) {
  const fs::path file = folder_.Write("fw.bin", Image(130000));
  const auto sim = startSim({"--protocol", "nmea", "--baud", "115200", "--stall-after", "5"});
  Clock::time_point sending{};
  const Outcome run =
      flash({"--protocol", "nmea", "--baud", "115200", "--file", WindowsPath(file), "--yes"},
            kFlash, "", [&](const std::string& line) {
              if (sending == Clock::time_point{} && line.find(">>File Size") != std::string::npos) {
                sending = Clock::now();
              }
              return false;
            });
  const auto ended = Clock::now();
  EXPECT_EQ(run.exitCode, 3) << run.out << run.err;
  ASSERT_NE(sending, Clock::time_point{}) << run.out;
  // The write's limit (1.02 s at 115200), the Cancel, and wine's own pace.
  EXPECT_LT(ended - sending, std::chrono::seconds(6)) << run.out;
  EXPECT_TRUE(run.has(">>COM port COM5 is lost: the device was disconnected")) << run.out;
  EXPECT_FALSE(run.has(">>Loading completed")) << run.out;
}

// Ctrl-C when the stall begins, and a line where one of two modules stalls: each ends by
// itself, within two seconds of the Ctrl-C, and the other station's module is flashed.
TEST_F(WineE2E, CtrlCAtAStallAndALineWithAStalledModuleEndInTime) {
  const fs::path file = folder_.Write("fw.bin", Image(130000));
  {
    const auto sim = startSim({"--protocol", "nmea", "--baud", "115200", "--stall-after", "5"});
    Clock::time_point interrupted{};
    const Outcome run = flash(
        {"--protocol", "nmea", "--baud", "115200", "--file", WindowsPath(file), "--yes", "--json"},
        kFlash, "", [&](const std::string& line) {
          const bool now = line.find("\"event\":\"progress\"") != std::string::npos;
          if (now) interrupted = Clock::now();
          return now;
        });
    ASSERT_NE(interrupted, Clock::time_point{}) << run.out;
    // Two seconds, and wine's start of the program's end.
    EXPECT_LT(Clock::now() - interrupted, std::chrono::seconds(3)) << run.out;
    EXPECT_TRUE(run.exitCode == 6 || run.exitCode == 3) << run.exitCode << run.out << run.err;
  }
  const fs::path received6 = folder_.path() / "received6.bin";
  const auto sim5 = startSim({"--protocol", "nmea", "--baud", "115200", "--stall-after", "5"});
  auto sim6 = std::make_unique<SimProcess>(
      MOVRAND_SIM_PATH,
      std::vector<std::string>{"--protocol", "nmea", "--baud", "115200", "--restart-s", "1",
                               "--image-out", received6.string(), "--timeout-s", "300"});
  ASSERT_FALSE(sim6->port().empty());
  bench_.mapPort(kSecondPort, sim6->port());
  const Outcome run = flash({"--port", kSecondPort, "--protocol", "nmea", "--baud", "115200",
                             "--file", WindowsPath(file), "--yes"},
                            kFlash);
  EXPECT_EQ(run.exitCode, 3) << run.out << run.err;
  EXPECT_TRUE(run.has("COM6  A1 KAP41 0102  A1 KAP41 0103  success (0)")) << run.out;
  EXPECT_TRUE(run.has("port (3)")) << run.out;
  EXPECT_EQ(ReadAll(received6), testing::Padded(Image(130000)));
}

// A line of two stations, each a child process of movrand-flash.exe (CreateProcess and
// pipes), on COM5 and COM6: both images exact, one record line each, the table at the end.
TEST_F(WineE2E, ALineOfTwoStationsOnTwoPorts) {
  const Bytes image = Image(6000);
  const fs::path file = folder_.Write("fw.bin", image);
  const fs::path record = folder_.path() / "line.jsonl";
  const fs::path received5 = folder_.path() / "received5.bin";
  const fs::path received6 = folder_.path() / "received6.bin";
  const auto sim5 = startSim({"--protocol", "nmea", "--baud", "115200", "--restart-s", "1",
                              "--image-out", received5.string()});
  auto sim6 = std::make_unique<SimProcess>(
      MOVRAND_SIM_PATH,
      std::vector<std::string>{"--protocol", "binr", "--baud", "57600", "--restart-s", "1",
                               "--image-out", received6.string(), "--timeout-s", "300"});
  ASSERT_FALSE(sim6->port().empty());
  bench_.mapPort(kSecondPort, sim6->port());
  const Outcome run = flash({"--port", kSecondPort, "--file", WindowsPath(file), "--yes",
                             "--record", WindowsPath(record)},
                            kFlash);
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_TRUE(run.has("COM5  A1 KAP41 0102  A1 KAP41 0103  success (0)")) << run.out;
  EXPECT_TRUE(run.has("COM6  KAP41 0102     KAP41 0103     success (0)")) << run.out;
  ExpectCleanLoad(*sim5, received5, image);
  ExpectCleanLoad(*sim6, received6, image);
  std::ifstream in(record);
  std::set<std::string> ports;
  for (std::string line; std::getline(in, line);) {
    const json j = json::parse(line);
    ports.insert(j.at("port").get<std::string>());
    EXPECT_EQ(j.at("outcome"), "success");
    EXPECT_EQ(j.at("imageBytes"), image.size());
  }
  EXPECT_EQ(ports, (std::set<std::string>{"COM5", "COM6"}));
}

// Ctrl-C at the line reaches every station as Ctrl-Break in its own process group.
TEST_F(WineE2E, CtrlCAtALineCancelsEveryStation) {
  const fs::path file = folder_.Write("fw.bin", Image(120000));
  const auto sim5 = startSim({"--protocol", "nmea", "--baud", "115200"});
  auto sim6 = std::make_unique<SimProcess>(
      MOVRAND_SIM_PATH,
      std::vector<std::string>{"--protocol", "nmea", "--baud", "115200", "--timeout-s", "300"});
  ASSERT_FALSE(sim6->port().empty());
  bench_.mapPort(kSecondPort, sim6->port());
  std::set<std::string> sending;
  const Outcome run = flash({"--port", kSecondPort, "--protocol", "nmea", "--baud", "115200",
                             "--file", WindowsPath(file), "--yes", "--json"},
                            kFlash, "", [&sending](const std::string& line) {
                              const json e = json::parse(line, nullptr, false);
                              if (!e.is_discarded() && e.value("event", "") == "progress") {
                                sending.insert(e.value("port", ""));
                              }
                              return sending.size() == 2;
                            });
  EXPECT_EQ(sending.size(), 2u) << run.out << run.err;
  EXPECT_EQ(run.exitCode, 6) << run.out << run.err;
  const std::size_t last = run.out.rfind("{\"event\":\"summary\"");
  ASSERT_NE(last, std::string::npos) << run.out;
  const json summary = json::parse(run.out.substr(last));
  for (const json& station : summary.at("stations")) {
    EXPECT_EQ(station.at("outcome"), "cancelled") << station.dump();
  }
}

// The stress run of the close and reopen around each transfer, where a freed overlapped
// operation once corrupted the heap: twenty whole flashes, each with its restart wait and
// reconnect, as four stations of five on COM5 to COM8 at once so that they fit in the time
// of five.
// An unattended station under Windows: three modules, one after the other, on COM5 mapped to
// the fixture's link; each taken off in silence after its outcome.
TEST_F(WineE2E, AContinuousStationProgramsThreeModulesOneAfterTheOther) {
  const Bytes image = Image(6000);
  const fs::path file = folder_.Write("fw.bin", image);
  const fs::path record = folder_.path() / "shift.jsonl";
  const fs::path fixture = folder_.path() / "fixture.txt";
  std::ofstream(fixture) << "behaviour=normal stay=1 empty=1\n"
                            "behaviour=normal stay=1 empty=1\n"
                            "behaviour=normal stay=1\n";
  const fs::path link = folder_.path() / "fixture-port";
  const fs::path received = folder_.path() / "received";
  auto sim = std::make_unique<SimProcess>(
      MOVRAND_SIM_PATH,
      std::vector<std::string>{"--fixture", fixture.string(), "--link", link.string(),
                               "--image-out", received.string(), "--timeout-s", "300"});
  ASSERT_FALSE(sim->port().empty());
  bench_.mapPort(kSimPort, link.string());
  const Outcome run =
      flash({"--continuous", "--count", "3", "--protocol", "nmea", "--baud", "115200", "--file",
             WindowsPath(file), "--yes", "--record", WindowsPath(record), "--json"},
            std::chrono::seconds(240));
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  for (const int number : {1, 2, 3}) {
    EXPECT_EQ(ReadAll(received.string() + "." + std::to_string(number)), testing::Padded(image))
        << "module " << number;
  }
  std::ifstream in(record);
  int lines = 0;
  for (std::string line; std::getline(in, line);) {
    const json j = json::parse(line);
    ++lines;
    EXPECT_EQ(j.at("sequence"), lines);
    EXPECT_EQ(j.at("verdict"), "PASS");
    EXPECT_EQ(j.at("port"), "COM5");
    EXPECT_EQ(j.at("imageBytes"), image.size());
  }
  EXPECT_EQ(lines, 3);
  const std::string summary = sim->stop();
  const json report = json::parse(summary, nullptr, false);
  ASSERT_FALSE(report.is_discarded()) << summary;
  for (const json& module : report.value("modules", json::array())) {
    EXPECT_EQ(module.value("transfers_started", -1), 1) << module.dump();
  }
}

TEST_F(WineE2E, TwentyFlashesInARowNoneCrashing) {
  constexpr int kStations = 4;
  static_assert(kFlashesInARow % kStations == 0);
  const Bytes image = Image(2000);
  const fs::path file = folder_.Write("fw.bin", image);
  struct Station {
    std::string port;
    fs::path received;
    std::unique_ptr<SimProcess> sim;
    std::vector<Outcome> runs;
    std::vector<bool> exact;
  };
  std::vector<Station> stations(kStations);
  for (int s = 0; s < kStations; ++s) {
    Station& station = stations[static_cast<std::size_t>(s)];
    station.port = "COM" + std::to_string(5 + s);
    station.received = folder_.path() / ("received-" + station.port + ".bin");
    station.sim = std::make_unique<SimProcess>(
        MOVRAND_SIM_PATH,
        std::vector<std::string>{"--protocol", "nmea", "--baud", "115200", "--restart-s", "0",
                                 "--image-out", station.received.string(), "--timeout-s", "300"});
    ASSERT_FALSE(station.sim->port().empty());
    bench_.mapPort(station.port, station.sim->port());
  }
  std::vector<std::thread> threads;
  for (Station& station : stations) {
    threads.emplace_back([&] {
      for (int i = 0; i < kFlashesInARow / kStations; ++i) {
        std::error_code ignored;
        fs::remove(station.received, ignored);
        station.runs.push_back(RunWine(bench_, bench_.flashExe(),
                                       {"--port", station.port, "--protocol", "nmea", "--baud",
                                        "115200", "--file", WindowsPath(file), "--yes"},
                                       kFlash));
        station.exact.push_back(ReadAll(station.received) == testing::Padded(image));
        if (station.runs.back().exitCode != 0) break;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  int flashes = 0;
  for (Station& station : stations) {
    SCOPED_TRACE(station.port);
    for (std::size_t i = 0; i < station.runs.size(); ++i) {
      SCOPED_TRACE(i);
      const Outcome& run = station.runs[i];
      EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
      EXPECT_TRUE(run.has(">>Connection...")) << run.out;
      EXPECT_TRUE(run.has(">>FW upgrade is FINISHED")) << run.out;
      EXPECT_TRUE(station.exact[i]);
      flashes += run.exitCode == 0 ? 1 : 0;
    }
    const json report = json::parse(station.sim->stop(), nullptr, false);
    EXPECT_EQ(report.value("violation_total", -1), 0);
  }
  EXPECT_EQ(flashes, kFlashesInARow);
}

// ---- The Windows serial device against a pseudo-terminal played here ----------------------

// Plays the far side of serial_win32_test.exe: echoes every chunk; answers a lone "?" with
// the line settings the program applied ("<rate> odd|none xon|noxon\n").
class PlayedPort {
 public:
  explicit PlayedPort(const Bench& bench) {
    bench.mapPort(kPlayedPort, "/dev/" + pty_.portName());
    thread_ = std::thread([this] { play(); });
  }
  ~PlayedPort() {
    done_ = true;
    thread_.join();
  }
  // As a terminal starts: cooked, echo, XON/XOFF on both ways.
  void cookLikeATerminal() const { pty_.cookSlave(); }

 private:
  void play() {
    while (!done_) {
      const std::vector<std::uint8_t> got = pty_.readAvailable(20, 4096);
      if (got.empty()) {
        // Nobody holds the slave (between two runs): the master reports a hang-up at once.
        std::this_thread::sleep_for(std::chrono::milliseconds{5});
        continue;
      }
      if (got == std::vector<std::uint8_t>{'?'}) {
        const test::LineSettings s = pty_.slaveSettings();
        const std::string text = std::to_string(s.outputRate) + (s.oddParity ? " odd" : " none") +
                                 (s.noFlowControl ? " noxon" : " xon") + "\n";
        pty_.writeAll(std::vector<std::uint8_t>(text.begin(), text.end()));
      } else {
        pty_.writeAll(got);
      }
    }
  }
  test::PtyPair pty_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

class WineSerialDevice : public WineE2E {
 protected:
  Outcome runSerialTests(const std::string& filter) {
    return RunWine(bench_, bench_.serialTestExe(), {"--gtest_filter=" + filter, "--gtest_brief=1"},
                   kSerialTests, "", {"MOVRAND_TEST_PORT=" + std::string(kPlayedPort)});
  }
};

TEST_F(WineSerialDevice, RatesParityAndRefusedSettings) {
  PlayedPort port(bench_);
  const Outcome run = runSerialTests("*OpensAtTheRateAndParityAsked*:*ARateTheDriverCannotMake*");
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_TRUE(run.has("[  PASSED  ] 2 tests")) << run.out;
}

TEST_F(WineSerialDevice, NoSoftwareFlowControlIsLeftOn) {
  PlayedPort port(bench_);
  port.cookLikeATerminal();
  const Outcome run = runSerialTests("*FlowControlBytes*");
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_TRUE(run.has("[  PASSED  ] 1 test")) << run.out;
}

TEST_F(WineSerialDevice, OpenAndCloseWithAReadPending200Times) {
  PlayedPort port(bench_);
  const Outcome run = runSerialTests("*200Times*");
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_TRUE(run.has("[  PASSED  ] 1 test")) << run.out;
}

}  // namespace
}  // namespace movrand

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
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cli/flash_process.h"

namespace movrand::cli {
namespace {

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

// What the simulated module is told to do, and the exit code, outcome and log lines that must
// follow from it.
struct ModuleCase {
  const char* name;
  std::vector<std::string> simArgs;
  std::vector<std::string> flashArgs;                        // beyond --port and --json
  std::optional<std::pair<std::size_t, std::string>> image;  // size and model named in it
  int exitCode;
  const char* outcome;
  std::vector<std::string> lines;   // log lines the run must show
  std::vector<std::string> absent;  // and must not
  bool receivesNothing = false;     // the module must not be sent a whole image
  std::chrono::seconds limit = kQuick;
};

void PrintTo(const ModuleCase& c, std::ostream* os) {
  *os << c.name;
}

class FlashModuleCase : public ::testing::TestWithParam<ModuleCase> {};

TEST_P(FlashModuleCase, EndsWithItsCodeAndLines) {
  const ModuleCase& c = GetParam();
  Folder folder;
  std::vector<std::string> simArgs = c.simArgs;
  simArgs.insert(simArgs.end(), {"--image-out", folder.file("received.bin")});
  SimProcess sim = Sim(simArgs);
  ASSERT_FALSE(sim.port().empty());
  std::vector<std::string> args{"--port", sim.port(), "--json"};
  args.insert(args.end(), c.flashArgs.begin(), c.flashArgs.end());
  if (c.image) {
    args.insert(
        args.end(),
        {"--file", folder.write("fw.bin", Image(c.image->first, c.image->second)), "--yes"});
  }
  const Outcome run = RunFlash(args, c.limit);
  EXPECT_EQ(run.exitCode, c.exitCode) << run.out << run.err;
  const std::vector<json> events = run.events();
  ASSERT_TRUE(Result(events)) << run.out;
  EXPECT_EQ(Result(events)->at("outcome"), c.outcome);
  for (const std::string& line : c.lines) {
    EXPECT_NE(run.out.find(line), std::string::npos) << line << " in:\n" << run.out;
  }
  for (const std::string& line : c.absent) {
    EXPECT_EQ(run.out.find(line), std::string::npos) << line << " in:\n" << run.out;
  }
  if (c.receivesNothing) {
    EXPECT_FALSE(fs::exists(folder.file("received.bin")));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Modules, FlashModuleCase,
    ::testing::Values(
        ModuleCase{.name = "silent",
                   .simArgs = {"--silent"},
                   .flashArgs = {"--protocol", "nmea", "--baud", "115200"},
                   .image = std::nullopt,
                   .exitCode = 4,
                   .outcome = "device",
                   .lines = {">>Device is not responding..."},
                   .absent = {}},
        ModuleCase{.name = "image_for_another_model",
                   .simArgs = {},
                   .flashArgs = {},
                   .image = std::pair<std::size_t, std::string>{4096, "DOV42"},
                   .exitCode = 5,
                   .outcome = "image",
                   .lines = {">>Version of the software does not match the version of the "
                             "device A1 KAP41",
                             ">>COM-port closes"},
                   .absent = {},
                   .receivesNothing = true},
        ModuleCase{.name = "block_rejected_forever",
                   .simArgs = {"--nak-forever", "5"},
                   .flashArgs = {},
                   .image = std::pair<std::size_t, std::string>{8192, "KAP41"},
                   .exitCode = 6,
                   .outcome = "cancelled",
                   .lines = {">>Data loading has been canceled because of multiple errors!"},
                   .absent = {},
                   .receivesNothing = true},
        // Its restart takes longer than the run waits.
        ModuleCase{.name = "never_comes_back",
                   .simArgs = {"--restart-s", "3600"},
                   .flashArgs = {},
                   .image = std::pair<std::size_t, std::string>{4096, "KAP41"},
                   .exitCode = 7,
                   .outcome = "reconnect",
                   .lines = {">>Loading completed", ">>Connection..."},
                   .absent = {">>Device is ready for normal operation"},
                   .receivesNothing = false,
                   .limit = kFlash}),
    [](const auto& info) { return std::string(info.param.name); });

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

// The module's end of the line disappears while the program connects or transfers: the window
// says so once, and the run ends with the port's code at once. (A port that goes in the
// restart wait after programming is waited for: a module with its own USB port leaves then.)
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
        UnplugCase{"transferring", {}, "\"event\":\"progress\""}),
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

// ---- A production line -----------------------------------------------------------------------

// Four modules at different rates and protocols, one command: every image exact, every
// event with its port, one record line per station.
TEST(FlashLineE2E, FourModulesAtDifferentRatesAndProtocolsInOneCommand) {
  Folder folder;
  const Bytes image = Image(20000, "KAP41");
  const std::string file = folder.write("fw.bin", image);
  const std::string record = folder.file("line.jsonl");
  const std::vector<std::vector<std::string>> kinds = {{"--protocol", "nmea", "--baud", "57600"},
                                                       {"--protocol", "binr", "--baud", "115200"},
                                                       {"--protocol", "nmea", "--baud", "9600"},
                                                       {"--protocol", "binr", "--baud", "38400"}};
  std::vector<std::unique_ptr<SimProcess>> sims;
  std::vector<std::string> args;
  for (std::size_t i = 0; i < kinds.size(); ++i) {
    std::vector<std::string> simArgs = kinds[i];
    simArgs.insert(simArgs.end(), {"--image-out", folder.file("r" + std::to_string(i) + ".bin"),
                                   "--timeout-s", "180"});
    sims.push_back(std::make_unique<SimProcess>(MOVRAND_SIM_PATH, simArgs));
    ASSERT_FALSE(sims.back()->port().empty());
    args.insert(args.end(), {"--port", sims.back()->port()});
  }
  args.insert(args.end(), {"--file", file, "--yes", "--json", "--record", record});
  const Outcome run = RunFlash(args, std::chrono::seconds{150});
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  for (std::size_t i = 0; i < sims.size(); ++i) {
    EXPECT_EQ(ReadAll(folder.file("r" + std::to_string(i) + ".bin")), AsReceived(image)) << i;
  }
  const std::vector<json> events = run.events();
  const json* summary = Summary(events);
  ASSERT_TRUE(summary) << run.out;
  EXPECT_EQ(summary->at("exitCode"), 0);
  ASSERT_EQ(summary->at("stations").size(), 4u);
  std::set<std::string> ports;
  for (const auto& sim : sims) ports.insert(sim->port());
  std::map<std::string, int> results;
  for (const json& e : events) {
    if (e.at("event") == "summary") continue;
    ASSERT_TRUE(e.contains("port")) << e.dump();
    EXPECT_TRUE(ports.contains(e.at("port").get<std::string>())) << e.dump();
    if (e.at("event") == "result") ++results[e.at("port").get<std::string>()];
  }
  for (const std::string& port : ports) {
    EXPECT_EQ(results[port], 1) << port;
    const json* station = StationOf(*summary, port);
    ASSERT_TRUE(station) << port;
    EXPECT_EQ(station->at("outcome"), "success");
    EXPECT_NE(station->at("newVersion").get<std::string>().find("0103"), std::string::npos);
  }
  const std::vector<json> lines = JsonLines(record);
  ASSERT_EQ(lines.size(), 4u);
  std::set<std::string> recorded;
  std::set<std::pair<std::string, long long>> links;
  for (const json& line : lines) {
    recorded.insert("/dev/" + line.at("port").get<std::string>());
    links.insert({line.at("protocol").get<std::string>(), line.at("baud").get<long long>()});
    EXPECT_EQ(line.at("image"), "fw.bin");
    EXPECT_EQ(line.at("imageBytes"), image.size());
    EXPECT_EQ(line.at("sha256"), Sha256Of(image));
    EXPECT_EQ(line.at("bytesSent"), AsReceived(image).size());
    EXPECT_EQ(line.at("blocksRepeated"), 0);
    EXPECT_EQ(line.at("outcome"), "success");
    EXPECT_EQ(line.at("exitCode"), 0);
    EXPECT_GT(line.at("seconds").get<double>(), 7.0) << "the restart wait alone is 7 s";
    EXPECT_NE(line.at("oldVersion").get<std::string>().find("0102"), std::string::npos);
    EXPECT_NE(line.at("newVersion").get<std::string>().find("0103"), std::string::npos);
    EXPECT_EQ(line.at("time").get<std::string>().size(), 20u) << line.at("time");
  }
  EXPECT_EQ(recorded, ports);
  EXPECT_EQ(links, (std::set<std::pair<std::string, long long>>{
                       {"NMEA", 57600}, {"BINR", 115200}, {"NMEA", 9600}, {"BINR", 38400}}))
      << "each station found its own module's protocol and rate";
}

// One module rejects a block forever, one is silent: their stations end with their codes,
// the others are flashed, and the line's code is the abort's, the worst of them.
TEST(FlashLineE2E, OneStationAbortsOneFindsNothingAndTheOthersAreFlashed) {
  Folder folder;
  const Bytes image = Image(16000, "KAP41");
  SimProcess good1 = Sim({"--image-out", folder.file("good1.bin")});
  SimProcess good2 = Sim({"--protocol", "binr", "--image-out", folder.file("good2.bin")});
  SimProcess rejecting = Sim({"--nak-forever", "3", "--image-out", folder.file("bad.bin")});
  SimProcess silent = Sim({"--silent"});
  for (const SimProcess* sim : {&good1, &good2, &rejecting, &silent}) {
    ASSERT_FALSE(sim->port().empty());
  }
  constexpr int kTimeout = 60;
  const auto started = Clock::now();
  const Outcome run =
      RunFlash({"--port", good1.port(), "--port", good2.port(), "--port", rejecting.port(),
                "--port", silent.port(), "--file", folder.write("fw.bin", image), "--yes", "--json",
                "--timeout", std::to_string(kTimeout)},
               std::chrono::seconds{150});
  EXPECT_EQ(run.exitCode, 6) << run.out << run.err;
  EXPECT_EQ(ReadAll(folder.file("good1.bin")), AsReceived(image));
  EXPECT_EQ(ReadAll(folder.file("good2.bin")), AsReceived(image));
  EXPECT_FALSE(fs::exists(folder.file("bad.bin")));
  const std::vector<json> runEvents = run.events();
  const json* summary = Summary(runEvents);
  ASSERT_TRUE(summary) << run.out;
  EXPECT_EQ(summary->at("outcome"), "cancelled");
  EXPECT_EQ(StationOf(*summary, good1.port())->at("exitCode"), 0);
  EXPECT_EQ(StationOf(*summary, good2.port())->at("exitCode"), 0);
  const json* aborted = StationOf(*summary, rejecting.port());
  EXPECT_EQ(aborted->at("exitCode"), 6);
  EXPECT_EQ(aborted->at("detail"), ">>Data loading has been canceled because of multiple errors!");
  const json* nothing = StationOf(*summary, silent.port());
  EXPECT_EQ(nothing->at("exitCode"), 4) << "the search ends before the time-out";
  EXPECT_LE(nothing->at("seconds").get<double>(), kTimeout);
  EXPECT_LT(Clock::now() - started, std::chrono::seconds{kTimeout + 30});
}

// Ctrl-C at the line is Cancel at every station: the children get it, the parent does not
// end before them.
TEST(FlashLineE2E, CtrlCCancelsEveryStation) {
  Folder folder;
  SimProcess a = Sim({"--image-out", folder.file("a.bin")});
  SimProcess b = Sim({"--image-out", folder.file("b.bin")});
  ASSERT_FALSE(a.port().empty() || b.port().empty());
  std::set<std::string> sending;
  const Outcome run = RunFlash({"--port", a.port(), "--port", b.port(), "--file",
                                folder.write("fw.bin", Image(120000, "KAP41")), "--yes", "--json"},
                               kFlash, fs::temp_directory_path(), [&](const std::string& line) {
                                 // Both stations well inside their transfers.
                                 const json e = json::parse(line);
                                 if (e.at("event") == "progress")
                                   sending.insert(e.at("port").get<std::string>());
                                 return sending.size() == 2;
                               });
  ASSERT_EQ(sending.size(), 2u) << run.out << run.err;
  EXPECT_EQ(run.exitCode, 6) << run.out << run.err;
  const std::vector<json> events = run.events();
  std::map<std::string, int> advice;
  for (const json& e : events) {
    if (e.at("event") == "message" && e.at("kind") == "box") ++advice[e.at("port")];
  }
  EXPECT_EQ(advice[a.port()], 1) << "each station ran the window's Cancel:\n" << run.out;
  EXPECT_EQ(advice[b.port()], 1);
  const json* summary = Summary(events);
  ASSERT_TRUE(summary) << run.out;
  for (const json& station : summary->at("stations")) EXPECT_EQ(station.at("outcome"), "cancelled");
  EXPECT_FALSE(fs::exists(folder.file("a.bin")) || fs::exists(folder.file("b.bin")));
}

TEST(FlashLineE2E, APatternPicksThePortsFromTheList) {
  if (access("/dev", W_OK) != 0) GTEST_SKIP() << "publishing in /dev needs root";
  const std::string stem = "ttyLN" + std::to_string(getpid() % 100000);
  SimProcess a = Sim({"--link", "/dev/" + stem + "a"});
  SimProcess b = Sim({"--protocol", "binr", "--baud", "57600", "--link", "/dev/" + stem + "b"});
  SimProcess other = Sim({"--link", "/dev/" + stem + "X"});
  ASSERT_FALSE(a.port().empty() || b.port().empty() || other.port().empty());
  const Outcome run = RunFlash({"--ports", stem + "[a-z]", "--json"}, kFlash);
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  const std::vector<json> runEvents = run.events();
  const json* summary = Summary(runEvents);
  ASSERT_TRUE(summary) << run.out;
  std::set<std::string> ports;
  for (const json& station : summary->at("stations")) {
    ports.insert(station.at("port").get<std::string>());
    EXPECT_EQ(station.at("outcome"), "success");
  }
  EXPECT_EQ(ports, (std::set<std::string>{stem + "a", stem + "b"}));
  const Outcome none = RunFlash({"--ports", stem + "Q*"}, kQuick);
  EXPECT_EQ(none.exitCode, 3);
  EXPECT_NE(none.err.find("no port of the list matches"), std::string::npos) << none.err;
}

// ---- A bounded run, a verified result --------------------------------------------------------

TEST(FlashE2E, TimeoutAgainstASilentLoaderSaysWhatItWaitedFor) {
  Folder folder;
  SimProcess sim = Sim({"--start-in-loader", "--silent"});
  ASSERT_FALSE(sim.port().empty());
  const auto started = Clock::now();
  const Outcome run =
      RunFlash({"--port", sim.port(), "--recover", "--protocol", "nmea", "--model", "KAP41",
                "--file", folder.write("fw.bin", Image(4096, "KAP41")), "--yes", "--timeout", "3"},
               kQuick);
  EXPECT_EQ(run.exitCode, 8) << run.out << run.err;
  EXPECT_LT(Clock::now() - started, kQuick);
  EXPECT_NE(run.err.find("timed out (--timeout): the run pressed Cancel (exit code 8): no result "
                         "within 3 s: the run was waiting for the loader's start requests (\"C\")"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.out.find(">>The process is aborted"), std::string::npos) << run.out;
}

TEST(FlashE2E, ExpectedVersionBothWays) {
  Folder folder;
  const std::string file = folder.write("fw.bin", Image(8192, "KAP41"));
  SimProcess right = Sim({});
  SimProcess wrong = Sim({});
  ASSERT_FALSE(right.port().empty() || wrong.port().empty());
  Outcome matches, differs;
  std::thread other([&] {
    differs = RunFlash(
        {"--port", wrong.port(), "--file", file, "--yes", "--expect-version", "A1 KAP41 0199"},
        kFlash);
  });
  matches = RunFlash(
      {"--port", right.port(), "--file", file, "--yes", "--expect-version", "A1 KAP41 0103"},
      kFlash);
  other.join();
  EXPECT_EQ(matches.exitCode, 0) << matches.out << matches.err;
  EXPECT_EQ(differs.exitCode, 9) << differs.out << differs.err;
  EXPECT_NE(differs.err.find("the module reports version \"A1 KAP41 0103\", not \"A1 KAP41 0199\""),
            std::string::npos)
      << differs.err;
  EXPECT_NE(differs.out.find(">>FW upgrade is FINISHED"), std::string::npos);
}

// ---- Recovery of a module in its loader ---------------------------------------------------------

TEST(FlashE2E, RecoverAModuleStartedInItsLoader) {
  Folder folder;
  const Bytes image = Image(24000, "KAP41");
  const std::string received = folder.file("received.bin");
  SimProcess sim = Sim({"--start-in-loader", "--protocol", "binr", "--image-out", received});
  ASSERT_FALSE(sim.port().empty());
  const Outcome run =
      RunFlash({"--port", sim.port(), "--recover", "--protocol", "binr", "--model", "KAP41",
                "--file", folder.write("fw.bin", image), "--yes", "--json"},
               kFlash);
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_EQ(ReadAll(received), AsReceived(image));
  const std::vector<json> events = run.events();
  const json* result = Result(events);
  ASSERT_TRUE(result) << run.out;
  EXPECT_EQ(result->at("newVersion"), "KAP41 0103");
  EXPECT_FALSE(result->contains("oldVersion"));
  EXPECT_TRUE(HasLineEndingWith(events, ">>Device is ready for normal operation"));
}

// The host dies in the middle of a transfer (killed, as a power cut of the PC would): the
// module is left in its loader, and --recover writes the whole image into it.
TEST(FlashE2E, RecoverAModuleWhoseTransferWasCutByKillingTheHost) {
  Folder folder;
  const Bytes image = Image(100000, "KAP41");
  const std::string file = folder.write("fw.bin", image);
  const std::string received = folder.file("received.bin");
  SimProcess sim = Sim({"--protocol", "nmea", "--baud", "57600", "--image-out", received});
  ASSERT_FALSE(sim.port().empty());
  bool cut = false;
  const Outcome killed = RunFlash(
      {"--port", sim.port(), "--file", file, "--yes", "--json"}, kFlash, fs::temp_directory_path(),
      [&](const std::string& line) {
        const json e = json::parse(line);
        cut = e.at("event") == "progress" && e.at("percent") >= 20;
        return cut;
      },
      SIGKILL);
  ASSERT_TRUE(cut) << killed.out << killed.err;
  EXPECT_EQ(killed.exitCode, 128 + SIGKILL);
  EXPECT_FALSE(fs::exists(received));

  const Outcome run = RunFlash({"--port", sim.port(), "--recover", "--protocol", "nmea", "--model",
                                "KAP41", "--file", file, "--yes", "--json", "--timeout", "80"},
                               kFlash);
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_EQ(ReadAll(received), AsReceived(image));
  const std::vector<json> runEvents = run.events();
  const json* result = Result(runEvents);
  ASSERT_TRUE(result) << run.out;
  EXPECT_EQ(result->at("newVersion"), "A1 KAP41 0103");
  EXPECT_EQ(result->at("baud"), 57600) << "found again at the rate it was powered on with";
}

TEST(FlashE2E, RecordFailureFailsTheRunBeforeAnyModuleIsTouched) {
  SimProcess sim = Sim({});
  ASSERT_FALSE(sim.port().empty());
  const Outcome run =
      RunFlash({"--port", sim.port(), "--record", "/nonexistent-folder/line.jsonl"}, kQuick);
  EXPECT_EQ(run.exitCode, 10) << run.out << run.err;
  EXPECT_NE(run.err.find("the record cannot be written"), std::string::npos) << run.err;
  EXPECT_EQ(run.out.find(">>Port:"), std::string::npos) << "not even connected:\n" << run.out;
}

}  // namespace
}  // namespace movrand::cli

// movrand-flash end to end against what an unattended station must survive: a module that
// stops taking data, a terminal that takes no more output, a module whose version text tries
// to write lines of the program's own, an image replaced while the module is found, a file or
// a record that is no plain file, the program's own terminal named as the port. Every run
// ends in bounded time with the code and the record line that tell the truth.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/flash_process.h"

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept;

namespace movrand::cli {
namespace {

using namespace std::chrono_literals;

constexpr char kStopOutput = 0x13;  // Ctrl-S: the terminal takes no more output
// A small image (no header) of more blocks than a pseudo-terminal's queues hold.
constexpr std::size_t kManyBlocks = 130000;
// From a request to end (Ctrl-C, the time-out) to the program's end, with the machine's slack.
constexpr auto kEndBound = 2s + 700ms;

// Lines of `text` that end with `suffix`, whatever stands before it (a time stamp).
int LinesEndingWith(const std::string& text, const std::string& suffix) {
  int n = 0;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    n += line.ends_with(suffix) ? 1 : 0;
  }
  return n;
}

// ---- A module that stops taking data -------------------------------------------------------

TEST(StalledModuleE2E, TheRunLosesThePortWithinTheWriteLimitAndRecordsWhatWent) {
  Folder folder;
  const std::string record = folder.file("line.jsonl");
  SimProcess sim = Sim({"--stall-after", "5"});
  ASSERT_FALSE(sim.port().empty());
  Clock::time_point sending{};
  const Outcome run = RunFlash(
      {"--port", sim.port(), "--protocol", "nmea", "--baud", "115200", "--file",
       folder.write("fw.bin", Image(kManyBlocks, "KAP41")), "--yes", "--json", "--record", record},
      kFlash, fs::temp_directory_path(), [&](const std::string& line) {
        if (sending == Clock::time_point{} &&
            line.find("\"stage\":\"sending\"") != std::string::npos) {
          sending = Clock::now();
        }
        return false;
      });
  const auto ended = Clock::now();
  EXPECT_EQ(run.exitCode, 3) << run.out << run.err;
  ASSERT_NE(sending, Clock::time_point{}) << run.out;
  // The first blocks, the burst, the full line, one write's limit (1.02 s), the Cancel.
  EXPECT_LT(ended - sending, 1024ms + 2s) << run.out;
  const std::vector<json> events = run.events();
  EXPECT_TRUE(HasLineEndingWith(
      events, ">>COM port " + sim.portName() + " is lost: the device was disconnected"));
  EXPECT_FALSE(HasLineEndingWith(events, ">>Loading completed")) << "nothing false is claimed";
  ASSERT_TRUE(Result(events));
  EXPECT_EQ(Result(events)->at("outcome"), "port");
  const std::vector<json> lines = JsonLines(record);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].at("outcome"), "port");
  EXPECT_GT(lines[0].at("bytesSent").get<std::int64_t>(), 5 * 128);
  EXPECT_LT(lines[0].at("bytesSent").get<std::int64_t>(), static_cast<std::int64_t>(kManyBlocks))
      << "only what left the program";
}

TEST(StalledModuleE2E, CtrlCOrATerminationRequestAtTheStallEndsTheRunWithinTwoSeconds) {
  Folder folder;
  const std::string file = folder.write("fw.bin", Image(kManyBlocks, "KAP41"));
  for (const int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal == SIGINT ? "SIGINT" : "SIGTERM");
    SimProcess sim = Sim({"--stall-after", "5"});
    ASSERT_FALSE(sim.port().empty());
    Clock::time_point interrupted{};
    const Outcome run = RunFlash(
        {"--port", sim.port(), "--protocol", "nmea", "--baud", "115200", "--file", file, "--yes",
         "--json"},
        kFlash, fs::temp_directory_path(),
        [&](const std::string& line) {
          const bool now = line.find("\"event\":\"progress\"") != std::string::npos;
          if (now) interrupted = Clock::now();
          return now;
        },
        signal);
    ASSERT_NE(interrupted, Clock::time_point{}) << run.out;
    EXPECT_LT(Clock::now() - interrupted, kEndBound);
    // Cancelled, or lost first: either way within the bound, and said so.
    EXPECT_TRUE(run.exitCode == 6 || run.exitCode == 3) << run.exitCode << run.out << run.err;
    EXPECT_FALSE(HasLineEndingWith(run.events(), ">>Loading completed"));
  }
}

TEST(StalledModuleE2E, TheTimeOutEndsTheRunWithinTwoSecondsOfIt) {
  Folder folder;
  SimProcess sim = Sim({"--stall-after", "5"});
  ASSERT_FALSE(sim.port().empty());
  const auto started = Clock::now();
  const Outcome run =
      RunFlash({"--port", sim.port(), "--protocol", "nmea", "--baud", "115200", "--file",
                folder.write("fw.bin", Image(kManyBlocks, "KAP41")), "--yes", "--timeout", "2"},
               kFlash);
  EXPECT_LT(Clock::now() - started, 2s + kEndBound);
  // Timed out, or lost first.
  EXPECT_TRUE(run.exitCode == 8 || run.exitCode == 3) << run.exitCode << run.out << run.err;
}

TEST(StalledModuleE2E, ALineWithOneStalledModuleEndsByItself) {
  Folder folder;
  const Bytes image = Image(kManyBlocks, "KAP41");
  SimProcess good = Sim({"--image-out", folder.file("good.bin")});
  SimProcess stalled = Sim({"--stall-after", "5"});
  ASSERT_FALSE(good.port().empty() || stalled.port().empty());
  const Outcome run = RunFlash({"--port", good.port(), "--port", stalled.port(), "--protocol",
                                "nmea", "--file", folder.write("fw.bin", image), "--yes", "--json"},
                               std::chrono::seconds{150});
  EXPECT_EQ(run.exitCode, 3) << run.out << run.err;
  EXPECT_EQ(ReadAll(folder.file("good.bin")), AsReceived(image));
  const std::vector<json> events = run.events();
  const json* summary = Summary(events);
  ASSERT_TRUE(summary) << run.out;
  EXPECT_EQ(StationOf(*summary, good.port())->at("outcome"), "success");
  EXPECT_EQ(StationOf(*summary, stalled.port())->at("outcome"), "port");
}

// ---- A program that cannot answer: the guard ends it ---------------------------------------

// The terminal stops taking output (Ctrl-S, as an operator may press by mistake): the next
// line the program prints never returns. A Ctrl-C, or the time-out, still ends the run within
// two seconds, with its code and its record line.
TEST(ForcedEndE2E, CtrlCEndsARunWhoseOutputIsStuck) {
  Folder folder;
  const std::string record = folder.file("line.jsonl");
  SimProcess sim = Sim({"--silent"});  // the search goes on for many seconds, printing
  ASSERT_FALSE(sim.port().empty());
  Clock::time_point stopped{}, interrupted{};
  const TerminalOutcome run = RunFlashOnTerminal(
      {"--port", sim.port(), "--record", record}, kQuick, folder.path(),
      [&](int master, const std::string& shown, pid_t pid) {
        if (stopped == Clock::time_point{} && shown.find(">>Scanning...") != std::string::npos) {
          ASSERT_EQ(write(master, &kStopOutput, 1), 1);
          stopped = Clock::now();
        }
        // A second later the scan has written its next rate, and waits for the terminal.
        if (interrupted == Clock::time_point{} && stopped != Clock::time_point{} &&
            Clock::now() - stopped > 1s) {
          kill(pid, SIGINT);
          interrupted = Clock::now();
        }
      });
  ASSERT_NE(interrupted, Clock::time_point{}) << run.shown;
  EXPECT_EQ(run.exitCode, 6) << run.shown;
  EXPECT_LT(run.ended - interrupted, kEndBound);
  EXPECT_GT(run.ended - interrupted, 1s) << "the guard waited for the run's own Cancel first";
  const std::vector<json> lines = JsonLines(record);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].at("outcome"), "cancelled");
  EXPECT_NE(
      lines[0].at("detail").get<std::string>().find("the program ended without the Cancel action"),
      std::string::npos)
      << lines[0].dump();
}

TEST(ForcedEndE2E, TheTimeOutEndsARunWhoseOutputIsStuck) {
  Folder folder;
  const std::string record = folder.file("line.jsonl");
  SimProcess sim = Sim({"--silent"});
  ASSERT_FALSE(sim.port().empty());
  bool stopped = false;
  const auto started = Clock::now();
  const TerminalOutcome run =
      RunFlashOnTerminal({"--port", sim.port(), "--timeout", "2", "--record", record}, kQuick,
                         folder.path(), [&](int master, const std::string& shown, pid_t) {
                           if (!stopped && shown.find(">>Scanning...") != std::string::npos) {
                             ASSERT_EQ(write(master, &kStopOutput, 1), 1);
                             stopped = true;
                           }
                         });
  ASSERT_TRUE(stopped) << run.shown;
  EXPECT_EQ(run.exitCode, 8) << run.shown;
  EXPECT_LT(run.ended - started, 2s + kEndBound);
  const std::vector<json> lines = JsonLines(record);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].at("outcome"), "timeout");
  EXPECT_NE(lines[0].at("detail").get<std::string>().find("no result within 2 s"),
            std::string::npos)
      << lines[0].dump();
}

// The process ids of the stations movrand-flash started for `port` (found by their command
// lines: "--port PORT ... --station").
std::vector<pid_t> StationsOf(const std::string& port) {
  std::vector<pid_t> pids;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream in(entry.path() / "cmdline", std::ios::binary);
    const std::string args((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (args.find(std::string("--port\0", 7) + port + '\0') != std::string::npos &&
        args.find(std::string("--station\0", 10)) != std::string::npos) {
      pids.push_back(static_cast<pid_t>(std::stoi(name)));
    }
  }
  return pids;
}

// A station that does not end when told to (stopped here, as a hung process would be): the
// line ends it two seconds after it passed Ctrl-C on, its row says so, and the line writes the
// record line the station could not.
TEST(LineE2E, AStationThatDoesNotEndIsEndedByTheLineAndRecorded) {
  Folder folder;
  const std::string record = folder.file("line.jsonl");
  SimProcess hung = Sim({});
  SimProcess other = Sim({});
  ASSERT_FALSE(hung.port().empty() || other.port().empty());
  std::set<std::string> sending;
  std::vector<pid_t> stopped;
  Clock::time_point interrupted{};
  const Outcome run =
      RunFlash({"--port", hung.port(), "--port", other.port(), "--protocol", "nmea", "--baud",
                "115200", "--file", folder.write("fw.bin", Image(kManyBlocks, "KAP41")), "--yes",
                "--json", "--record", record},
               kFlash, fs::temp_directory_path(), [&](const std::string& line) {
                 const json e = json::parse(line);
                 if (e.at("event") == "progress") sending.insert(e.at("port").get<std::string>());
                 if (sending.size() < 2 || interrupted != Clock::time_point{}) return false;
                 stopped = StationsOf(hung.port());
                 for (const pid_t pid : stopped) kill(pid, SIGSTOP);
                 interrupted = Clock::now();
                 return true;  // Ctrl-C to the line
               });
  ASSERT_EQ(stopped.size(), 1u) << run.out;
  EXPECT_LT(Clock::now() - interrupted, 2s + kEndBound);
  EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
  const std::vector<json> events = run.events();
  const json* summary = Summary(events);
  ASSERT_TRUE(summary) << run.out;
  const json* killed = StationOf(*summary, hung.port());
  ASSERT_TRUE(killed);
  EXPECT_EQ(killed->at("outcome"), "internal");
  EXPECT_EQ(killed->at("detail"), "ended by the line: it did not end within 2 s of Ctrl-C");
  EXPECT_EQ(StationOf(*summary, other.port())->at("outcome"), "cancelled");
  EXPECT_NE(run.err.find(hung.port() + ": ended by the line"), std::string::npos) << run.err;
  const std::vector<json> lines = JsonLines(record);
  ASSERT_EQ(lines.size(), 2u);
  for (const json& line : lines) {
    const bool isHung = "/dev/" + line.at("port").get<std::string>() == hung.port() ||
                        line.at("port") == hung.port();
    EXPECT_EQ(line.at("outcome"), isHung ? "internal" : "cancelled") << line.dump();
    if (isHung) {
      EXPECT_GT(line.at("bytesSent").get<std::int64_t>(), 0) << line.dump();
    }
  }
}

// ---- What the module says is shown, never obeyed -------------------------------------------

// An RTK-type module over BINR whose second version text holds a line feed, the program's
// own last words after it, and a right-to-left override.
std::vector<std::string> HostileModule() {
  return {"--protocol",
          "binr",
          "--model",
          "RTK10",
          "--binr-text2",
          "B1\n>>FW upgrade is FINISHED\xE2\x80\xAE"
          "9"};
}
const std::string kShownVersion = ">>B1\\x0A>>FW upgrade is FINISHED\\u202E9";

TEST(HostileModuleE2E, AVersionTextForgesNoLineInAnyOutput) {
  SimProcess sim = Sim(HostileModule());
  ASSERT_FALSE(sim.port().empty());

  // At the module's protocol and rate: no search needed.
  const std::vector<std::string> link = {"--protocol", "binr", "--baud", "115200"};
  std::vector<std::string> args = {"--port", sim.port()};
  args.insert(args.end(), link.begin(), link.end());
  const Outcome plain = RunFlash(args, kQuick);
  EXPECT_EQ(plain.exitCode, 0) << plain.out << plain.err;
  EXPECT_NE(plain.out.find("\n" + kShownVersion + "\n"), std::string::npos) << plain.out;
  EXPECT_EQ(LinesEndingWith(plain.out, ">>FW upgrade is FINISHED"), 0) << plain.out;
  EXPECT_EQ(plain.out.find("\xE2\x80\xAE"), std::string::npos);

  const TerminalOutcome terminal = RunFlashOnTerminal(args, kQuick);
  EXPECT_EQ(terminal.exitCode, 0) << terminal.shown;
  EXPECT_NE(terminal.shown.find(kShownVersion + "\r\n"), std::string::npos) << terminal.shown;
  EXPECT_EQ(LinesEndingWith(terminal.shown, ">>FW upgrade is FINISHED"), 0) << terminal.shown;
  EXPECT_EQ(terminal.shown.find("\xE2\x80\xAE"), std::string::npos);

  args.push_back("--json");
  const Outcome withJson = RunFlash(args, kQuick);
  EXPECT_EQ(withJson.exitCode, 0) << withJson.out << withJson.err;
  int versionEvents = 0;
  for (const json& e : withJson.events()) {
    if (e.at("event") != "line") continue;
    const std::string text = e.at("text");
    EXPECT_FALSE(text.ends_with(">>FW upgrade is FINISHED")) << text;
    if (text.find("\\x0A>>FW upgrade is FINISHED\\u202E9") != std::string::npos) ++versionEvents;
  }
  EXPECT_EQ(versionEvents, 1) << "the version line, whole, in one event:\n" << withJson.out;
  ASSERT_TRUE(Result(withJson.events()));
  EXPECT_EQ(Result(withJson.events())->at("version"),
            "01RTK10 0102 B1\\x0A>>FW upgrade is FINISHED\\u202E9");
}

TEST(HostileModuleE2E, AVersionTextForgesNoRowInTheLinesTable) {
  SimProcess hostile = Sim(HostileModule());
  SimProcess plain = Sim({"--protocol", "binr"});
  ASSERT_FALSE(hostile.port().empty() || plain.port().empty());
  const Outcome run = RunFlash(
      {"--port", hostile.port(), "--port", plain.port(), "--protocol", "binr", "--baud", "115200"},
      kQuick);
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  const std::string table = run.out.substr(run.out.rfind("Port "));
  EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 3) << "a heading, a row each:\n" << table;
  EXPECT_NE(table.find("\\x0A>>FW upgrade is FINISHED\\u202E9"), std::string::npos) << table;
}

// ---- Files: replaced, huge, or no file at all -------------------------------------------------

// The image is replaced while the module is searched for: what the record says went into the
// module is what went into it.
TEST(RecordE2E, TheRecordNamesTheBytesSentEvenWhenTheFileIsReplacedMeanwhile) {
  Folder folder;
  const Bytes first = Image(20000, "KAP41");
  Bytes second = Image(24000, "KAP41");
  second[7] = 0x42;
  const std::string file = folder.write("fw.bin", first);
  const std::string record = folder.file("line.jsonl");
  const std::string received = folder.file("received.bin");
  // Found late in the scan of the rates: the image is read only after that.
  SimProcess sim = Sim({"--protocol", "nmea", "--baud", "9600", "--image-out", received});
  ASSERT_FALSE(sim.port().empty());
  bool replaced = false;
  const Outcome run = RunFlash({"--port", sim.port(), "--protocol", "nmea", "--file", file, "--yes",
                                "--json", "--record", record},
                               kFlash, fs::temp_directory_path(), [&](const std::string& line) {
                                 if (!replaced && line.find(">>Scanning...") != std::string::npos) {
                                   folder.write("new.bin", second);
                                   fs::rename(folder.file("new.bin"), file);
                                   replaced = true;
                                 }
                                 return false;
                               });
  ASSERT_TRUE(replaced) << run.out;
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  ASSERT_EQ(ReadAll(received), AsReceived(second));
  const std::vector<json> lines = JsonLines(record);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].at("sha256"), Sha256Of(second));
  EXPECT_EQ(lines[0].at("imageBytes"), second.size());
  EXPECT_EQ(lines[0].at("bytesSent"), AsReceived(second).size());
}

TEST(RecordE2E, AHugeImageAPipeAndARecordThatIsNoFileAreRefusedAtOnce) {
  Folder folder;
  // Two gibibytes that take no room: refused by their size, unread.
  const std::string huge = folder.file("huge.bin");
  { std::ofstream(huge, std::ios::binary).put('x'); }
  fs::resize_file(huge, 2ull << 30);
  const std::string pipe = folder.file("pipe");
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  const std::string record = folder.file("line.jsonl");

  auto started = Clock::now();
  const Outcome big =
      RunFlash({"--port", "ttyS0", "--file", huge, "--yes", "--record", record}, kQuick);
  EXPECT_LT(Clock::now() - started, 5s);
  EXPECT_EQ(big.exitCode, 5) << big.out << big.err;
  EXPECT_NE(big.out.find(">>Firmware file is larger than 1024 kB: huge.bin"), std::string::npos)
      << big.out;
  EXPECT_NE(big.err.find("is larger than 1024 KiB"), std::string::npos) << big.err;

  started = Clock::now();
  const Outcome pipedImage = RunFlash({"--port", "ttyS0", "--file", pipe, "--yes"}, kQuick);
  EXPECT_LT(Clock::now() - started, 5s);
  EXPECT_EQ(pipedImage.exitCode, 2) << pipedImage.err;

  SimProcess sim = Sim({});
  ASSERT_FALSE(sim.port().empty());
  started = Clock::now();
  const Outcome pipedRecord = RunFlash({"--port", sim.port(), "--record", pipe}, kQuick);
  EXPECT_LT(Clock::now() - started, 5s);
  EXPECT_EQ(pipedRecord.exitCode, 10) << pipedRecord.err;
  EXPECT_NE(pipedRecord.err.find("is not a plain file"), std::string::npos) << pipedRecord.err;
  EXPECT_EQ(pipedRecord.out.find(">>Port:"), std::string::npos) << "no module was touched";
}

// A settings file the window would read changes the current folder to the image's; the
// paths of the command line were taken before, against the folder the program started in.
TEST(RecordE2E, ARelativeRecordLandsWhereTheProgramWasStarted) {
  Folder folder;
  Folder images;
  const std::string file = images.write("fw.bin", Image(4096, "KAP41"));
  std::ofstream(folder.file("movrand-flash.ini")) << "[Settings]\nFileName=" << file << "\n";
  SimProcess sim = Sim({});
  ASSERT_FALSE(sim.port().empty());
  const Outcome run =
      RunFlash({"--port", sim.port(), "--record", "rec.jsonl"}, kQuick, folder.path());
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_TRUE(fs::exists(folder.file("rec.jsonl")));
  EXPECT_FALSE(fs::exists(images.file("rec.jsonl")));
}

// ---- The program's own terminal is no port ---------------------------------------------------

TEST(OwnTerminalE2E, ThePortTheProgramRunsInIsRefusedAndLeftAsItWas) {
  bool everRaw = false;
  const TerminalOutcome run =
      RunFlashOnTerminal({"--port", "/dev/tty", "--protocol", "nmea", "--baud", "9600"}, kQuick,
                         fs::temp_directory_path(), [&](int master, const std::string&, pid_t) {
                           termios2 now{};
                           if (ioctl(master, TCGETS2, &now) == 0 && !(now.c_lflag & ICANON)) {
                             everRaw = true;
                           }
                         });
  EXPECT_EQ(run.exitCode, 3) << run.shown;
  EXPECT_NE(run.shown.find("the port is the terminal this program runs in"), std::string::npos)
      << run.shown;
  EXPECT_EQ(run.shown.find("$POVER"), std::string::npos) << "no probe on the user's screen";
  EXPECT_FALSE(everRaw) << "the user's terminal stays as the shell left it";
}

}  // namespace
}  // namespace movrand::cli

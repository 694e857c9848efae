// The production line's own pieces: the port pattern, the stations it finds, the exit code of
// a line, the arguments each station's process gets, and the view of the stations on the
// virtual clock: one line per station (redrawn at most ten times a second on a terminal, a
// short plain log otherwise), the stations' events with their port under --json, and the
// closing table.
#include <gtest/gtest.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "cli/line.h"
#include "cli/line_view.h"
#include "cli/options.h"
#include "platform/virtual_event_loop.h"
#include "support/error_text.h"

namespace movrand::cli {
namespace {

using nlohmann::json;

TEST(PortPattern, MatchesAsAShellWould) {
  EXPECT_TRUE(GlobMatch("ttyUSB*", "ttyUSB0"));
  EXPECT_TRUE(GlobMatch("ttyUSB*", "ttyUSB"));
  EXPECT_TRUE(GlobMatch("ttyUSB*", "ttyUSB12"));
  EXPECT_FALSE(GlobMatch("ttyUSB*", "ttyACM0"));
  EXPECT_FALSE(GlobMatch("ttyUSB*", "xttyUSB0"));
  EXPECT_TRUE(GlobMatch("ttyUSB?", "ttyUSB7"));
  EXPECT_FALSE(GlobMatch("ttyUSB?", "ttyUSB17"));
  EXPECT_TRUE(GlobMatch("COM[1-4]", "COM3"));
  EXPECT_FALSE(GlobMatch("COM[1-4]", "COM5"));
  EXPECT_TRUE(GlobMatch("COM[!1-4]", "COM5"));
  EXPECT_FALSE(GlobMatch("COM[!1-4]", "COM2"));
  EXPECT_TRUE(GlobMatch("tty[AU]*[0-9]", "ttyACM0"));
  EXPECT_TRUE(GlobMatch("*", ""));
  EXPECT_TRUE(GlobMatch("*SIM*", "ttySIM3"));
  EXPECT_TRUE(GlobMatch("a[b", "a[b")) << "an unclosed bracket stands for itself";
  EXPECT_FALSE(GlobMatch("ttyS1", "ttyS10")) << "the whole name, not a prefix";
  EXPECT_TRUE(GlobMatch("**x", "abx"));
  EXPECT_FALSE(GlobMatch("", "a"));
}

class ListedPorts : public PortSource {
 public:
  std::optional<std::vector<SerialPortEntry>> list;
  std::optional<std::vector<SerialPortEntry>> ListPorts() override { return list; }
};

TEST(LinePorts, ThePatternPicksFromTheListInItsOrder) {
  ListedPorts ports;
  ports.list = std::vector<SerialPortEntry>{
      {"ttyUSB1", "ftdi"}, {"ttyS0", "serial8250"}, {"ttyUSB0", "ftdi"}, {"ttyACM0", "cdc"}};
  FlashOptions o;
  o.portsGlob = "ttyUSB*";
  const auto picked = LinePorts(o, ports);
  ASSERT_EQ(test::ErrorText(picked), "");
  EXPECT_EQ(*picked, (std::vector<std::string>{"ttyUSB1", "ttyUSB0"}));

  o.portsGlob = "ttyXYZ*";
  const std::string error = test::ErrorText(LinePorts(o, ports));
  EXPECT_NE(error.find("no port of the list matches ttyXYZ*"), std::string::npos) << error;

  ports.list.reset();
  EXPECT_EQ(test::ErrorText(LinePorts(o, ports)), "the port list cannot be read");

  FlashOptions named;
  named.ports = {"pts/3", "pts/4"};
  const auto given = LinePorts(named, ports);
  ASSERT_TRUE(given.ok());
  EXPECT_EQ(*given, named.ports) << "named ports need no list";
}

TEST(LineExitCode, TheWorstStationDecidesInTheDocumentedOrder) {
  // From the worst: 1, 7, 6, 8, 9, 10, 5, 4, 3, 2, 0.
  const std::vector<int> order = {1, 7, 6, 8, 9, 10, 5, 4, 3, 2, 0};
  for (std::size_t i = 0; i + 1 < order.size(); ++i) {
    const auto worse = static_cast<ExitCode>(order[i]);
    const auto better = static_cast<ExitCode>(order[i + 1]);
    EXPECT_GT(ExitCodeSeverity(worse), ExitCodeSeverity(better)) << order[i] << " " << order[i + 1];
    EXPECT_EQ(WorseOf(worse, better), worse);
    EXPECT_EQ(WorseOf(better, worse), worse);
  }
  EXPECT_EQ(WorseOf(ExitCode::Success, ExitCode::Success), ExitCode::Success);
}

Result<FlashOptions> Parse(const std::vector<std::string>& args) {
  std::vector<const char*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());
  return ParseFlashOptions(argv);
}

TEST(StationArguments, AStationRunsTheLinesChoicesForItsOnePort) {
  const Result<FlashOptions> line =
      Parse({"--port", "ttyUSB0", "--port", "ttyUSB1", "--protocol", "binr", "--baud", "57600",
             "--file", "fw.bin", "--yes", "--fast", "--timeout", "90", "--expect-version",
             "KAP41 0103", "--record", "line.jsonl"});
  ASSERT_EQ(test::ErrorText(line), "");
  ASSERT_TRUE(IsLine(*line));
  const std::vector<std::string> args = StationArguments(*line, "ttyUSB1");
  const Result<FlashOptions> station = Parse(args);
  ASSERT_EQ(test::ErrorText(station), "");
  const FlashOptions& o = *station;
  EXPECT_FALSE(IsLine(o)) << "a station is one port";
  EXPECT_EQ(o.ports, std::vector<std::string>{"ttyUSB1"});
  EXPECT_EQ(o.protocol, ProtocolChoice::Binr);
  EXPECT_EQ(o.baud, 57600u);
  EXPECT_EQ(o.file, "fw.bin");
  EXPECT_TRUE(o.yes && o.fast && o.json && o.station);
  EXPECT_EQ(o.timeoutSeconds, 90);
  EXPECT_EQ(o.expectVersion, "KAP41 0103");
  EXPECT_EQ(o.record, "line.jsonl");

  const Result<FlashOptions> rescue =
      Parse({"--ports", "ttyUSB*", "--recover", "--protocol", "nmea", "--model", "KAP41", "--file",
             "fw.bin", "--yes"});
  ASSERT_EQ(test::ErrorText(rescue), "");
  const Result<FlashOptions> one = Parse(StationArguments(*rescue, "ttyUSB3"));
  ASSERT_EQ(test::ErrorText(one), "");
  EXPECT_TRUE(one->recover);
  EXPECT_EQ(one->model, "KAP41");
  EXPECT_EQ(one->port, "ttyUSB3");

  // Unattended stations: each is continuous with the line's count; the line rings the bell.
  const Result<FlashOptions> shift =
      Parse({"--ports", "ttyUSB*", "--continuous", "--count", "12", "--model", "KAP41", "--bell",
             "--file", "fw.bin", "--yes"});
  ASSERT_EQ(test::ErrorText(shift), "");
  const Result<FlashOptions> each = Parse(StationArguments(*shift, "ttyUSB0"));
  ASSERT_EQ(test::ErrorText(each), "");
  EXPECT_TRUE(each->continuous);
  EXPECT_EQ(each->count, 12);
  EXPECT_EQ(each->model, "KAP41");
  EXPECT_FALSE(each->bell);
}

// ---- The view ------------------------------------------------------------------------------

struct View {
  explicit View(OutputMode mode, std::vector<std::string> ports = {"ttyUSB0", "ttyUSB1"})
      : view(
            loop, mode, std::move(ports), [this](std::string_view t) { out.append(t); },
            [this](std::string_view t) { err.append(t); }, 80) {}
  std::size_t Count(const std::string& text) const {
    std::size_t n = 0;
    for (std::size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++n;
    return n;
  }
  VirtualEventLoop loop;
  std::string out;
  std::string err;
  LineView view;
};

std::string Progress(int percent, double rate, double left) {
  return json{{"event", "progress"},
              {"index", 4},
              {"text", "x"},
              {"percent", percent},
              {"sentBytes", percent * 100},
              {"totalBytes", 10000},
              {"bytesPerSecond", rate},
              {"secondsLeft", left}}
      .dump();
}

const std::string kSending = R"({"event":"stage","stage":"sending"})";

TEST(LineViewTerminal, RedrawsTheBlockInPlaceAtMostTenTimesASecond) {
  View v(OutputMode::Terminal);
  v.out.clear();
  v.loop.advance(Milliseconds{200});
  v.view.stationOutput(0, kSending);  // drawn at once: the last draw is long ago
  EXPECT_EQ(v.Count("\x1b[2A"), 1u) << "up over the two lines drawn before";
  for (int i = 1; i <= 50; ++i) {  // 50 updates within 50 ms
    v.view.stationOutput(0, Progress(i, 11468.8, 10.5));
    v.loop.advance(Milliseconds{1});
  }
  EXPECT_EQ(v.Count("\x1b[2A"), 1u) << "held back within the interval";
  v.loop.advance(Milliseconds{60});
  EXPECT_EQ(v.Count("\x1b[2A"), 2u) << "then drawn once with the latest state";
  EXPECT_NE(v.out.find("ttyUSB0  sending        50%  11.2 KiB/s  0:11 left\n"), std::string::npos)
      << v.out;
  EXPECT_EQ(v.out.find(" 49%"), std::string::npos) << "only the latest percent was drawn";
  // A station's message goes above the block, which is drawn again under it.
  v.out.clear();
  v.view.stationError(1, "movrand-flash: the port's driver did not take the rate 230400");
  EXPECT_EQ(v.err, "ttyUSB1: the port's driver did not take the rate 230400\n");
  EXPECT_EQ(v.out.rfind("\x1b[2A\r\x1b[J", 0), 0u) << "the block erased first";
  EXPECT_NE(v.out.find("ttyUSB1  starting"), std::string::npos);
}

TEST(LineViewTerminal, ALongLineIsCutToTheTerminalsWidth) {
  View v(OutputMode::Terminal);
  v.loop.advance(Milliseconds{200});
  v.out.clear();
  v.view.stationOutput(1, json{{"event", "line"}, {"text", std::string(300, 'x')}}.dump());
  std::istringstream lines(v.out);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t shown =
        line.size() - (line.rfind('K') == std::string::npos ? 0 : line.rfind('K') + 1);
    EXPECT_LT(shown, 80u) << line;
  }
}

TEST(LineViewPlain, PrintsAStationAtEachStageAndEachTenthThenTheTable) {
  View v(OutputMode::Plain);
  EXPECT_EQ(v.out, "") << "nothing before the stations say something";
  v.view.stationOutput(0, R"({"event":"stage","stage":"connecting"})");
  v.view.stationOutput(0, R"({"event":"line","index":0,"text":"10:15:02>>Scanning...115200"})");
  v.view.stationOutput(0, kSending);
  for (int percent = 0; percent <= 100; ++percent) {
    v.view.stationOutput(0, Progress(percent, 1000, 1));
  }
  v.view.stationOutput(0, R"({"event":"stage","stage":"restarting"})");
  v.view.stationOutput(0, R"({"event":"result","exitCode":0,"outcome":"success",)"
                          R"("oldVersion":"A1 KAP41 0102","newVersion":"A1 KAP41 0103"})");
  v.loop.advance(Milliseconds{23400});
  v.view.stationEnded(0, 0);
  v.view.stationOutput(1,
                       R"({"event":"result","exitCode":6,"outcome":"cancelled",)"
                       R"("detail":">>Data loading has been canceled because of multiple errors!",)"
                       R"("version":"A1 KAP41 0102"})");
  v.view.stationEnded(1, 6);
  EXPECT_EQ(v.Count("ttyUSB0  sending"), 12u) << "the stage, then 0%, 10%, ... 100%:\n" << v.out;
  EXPECT_EQ(v.Count("ttyUSB0  connecting"), 1u) << v.out;
  EXPECT_EQ(v.Count("ttyUSB0  done          success\n"), 1u) << v.out;
  EXPECT_EQ(v.Count("ttyUSB1  done          cancelled: >>Data loading has been canceled"), 1u)
      << v.out;
  for (const char c : v.out) EXPECT_NE(c, '\x1b') << "no control sequence in plain output";
  EXPECT_TRUE(v.view.allEnded());
  EXPECT_EQ(v.view.worst(), ExitCode::Cancelled);

  v.out.clear();
  v.view.finish();
  EXPECT_EQ(v.out,
            "\n"
            "Port     Old version    New version    Outcome        Seconds\n"
            "ttyUSB0  A1 KAP41 0102  A1 KAP41 0103  success (0)       23.4\n"
            "ttyUSB1  A1 KAP41 0102  -              cancelled (6)     23.4\n");
}

TEST(LineViewPlain, AStationThatDiedIsTheProgramsFailure) {
  View v(OutputMode::Plain, {"ttyUSB0"});
  v.view.stationEnded(0, 128 + 9);
  EXPECT_EQ(v.view.worst(), ExitCode::Internal);
  EXPECT_NE(v.out.find("internal: the station's process ended with code 137"), std::string::npos)
      << v.out;
  View w(OutputMode::Plain, {"ttyUSB0"});
  w.view.stationEnded(0, 4);
  EXPECT_EQ(w.view.worst(), ExitCode::DeviceNotFound);
  EXPECT_NE(w.out.find("device: the station ended without a result"), std::string::npos) << w.out;
}

TEST(LineViewTerminal, WhatAStationOrItsModuleSaysNeverAddsARow) {
  View v(OutputMode::Terminal);
  v.loop.advance(Milliseconds{200});
  // The version line's own line break, and a station's text with line feeds, a terminal's
  // escape sequence and a right-to-left override in it.
  v.view.stationOutput(
      0, json{{"event", "line"}, {"text", ">>Current FW version: \r\n>>A1 KAP41 0102"}}.dump());
  v.loop.advance(Milliseconds{200});
  v.view.stationOutput(
      1,
      json{{"event", "line"}, {"text", "x\n>>FW upgrade is FINISHED\x1b[2J\xe2\x80\xae"}}.dump());
  v.loop.advance(Milliseconds{200});
  v.out.clear();
  v.view.stationOutput(0, kSending);
  // One draw: up over the two rows, then the two rows, each one line.
  EXPECT_EQ(v.Count("\n"), 2u) << v.out;
  EXPECT_NE(v.out.find("ttyUSB1  starting      x\\x0A>>FW upgrade is FINISHED\\x1B[2J\\u202E\n"),
            std::string::npos)
      << v.out;
  v.view.stationError(0, "movrand-flash: said\nwith a line feed");
  EXPECT_EQ(v.err, "ttyUSB0: said\\x0Awith a line feed\n");
}

TEST(LineViewPlain, AForgedVersionAddsNoRowToTheTable) {
  View v(OutputMode::Plain);
  v.view.stationOutput(0, json{{"event", "result"},
                               {"exitCode", 0},
                               {"oldVersion", "A1\nttyUSB7  A1 KAP41 0102  A1 KAP41 0103  success"},
                               {"newVersion",
                                "A1 \xe2\x80\xae"
                                "3010"}}
                              .dump());
  v.view.stationEnded(0, 0);
  v.view.stationEnded(1, 4);
  v.out.clear();
  v.view.finish();
  EXPECT_EQ(v.Count("\n"), 4u) << "an empty line, the heading and one row a station:\n" << v.out;
  EXPECT_NE(v.out.find("A1\\x0AttyUSB7"), std::string::npos) << v.out;
  EXPECT_NE(v.out.find("A1 \\u202E3010"), std::string::npos) << v.out;
}

TEST(LineViewPlain, AStationEndedByTheLineSaysSo) {
  View v(OutputMode::Plain, {"ttyUSB0"});
  v.view.stationOutput(0, Progress(40, 900, 3));
  v.view.stationKilled(0, "ended by the line: it did not end within 2 s of Ctrl-C");
  EXPECT_EQ(v.err, "ttyUSB0: ended by the line: it did not end within 2 s of Ctrl-C\n");
  EXPECT_TRUE(v.view.stations()[0].killed);
  v.view.stationEnded(0, 128 + 9);
  EXPECT_EQ(v.view.worst(), ExitCode::Internal);
  EXPECT_NE(v.out.find("done          internal: ended by the line: it did not end within 2 s"),
            std::string::npos)
      << v.out;
}

TEST(LineViewJson, EveryEventCarriesItsPortAndTheSummaryComesLast) {
  View v(OutputMode::Json);
  v.view.stationOutput(1, R"({"event":"line","index":0,"text":"10:15:02>>Port: pts/4 9600 NMEA"})");
  v.view.stationOutput(0, Progress(37, 900, 3));
  v.view.stationOutput(1, R"({"event":"result","exitCode":0,"outcome":"success","port":"pts/9",)"
                          R"("oldVersion":"A","newVersion":"B"})");
  v.view.stationEnded(1, 0);
  v.view.stationOutput(0, "not json at all");
  v.view.stationEnded(0, 8);
  v.view.finish();
  std::vector<json> events;
  std::istringstream lines(v.out);
  for (std::string line; std::getline(lines, line);) events.push_back(json::parse(line));
  ASSERT_EQ(events.size(), 4u) << v.out;
  EXPECT_EQ(events[0].at("port"), "ttyUSB1");
  EXPECT_EQ(events[0].at("text"), "10:15:02>>Port: pts/4 9600 NMEA");
  EXPECT_EQ(events[1].at("port"), "ttyUSB0");
  EXPECT_EQ(events[1].at("percent"), 37);
  EXPECT_EQ(events[2].at("port"), "ttyUSB1") << "the station's port, as the line knows it";
  EXPECT_EQ(events[3].at("event"), "summary");
  EXPECT_EQ(events[3].at("exitCode"), 8);
  EXPECT_EQ(events[3].at("outcome"), "timeout");
  ASSERT_EQ(events[3].at("stations").size(), 2u);
  EXPECT_EQ(events[3].at("stations")[1].at("newVersion"), "B");
  EXPECT_EQ(events[3].at("stations")[0].at("exitCode"), 8);
  EXPECT_EQ(v.err, "ttyUSB0: not json at all\n") << "what is not an event is said aside";
}

// ---- Unattended stations ------------------------------------------------------------------

std::string Stage(const std::string& stage) {
  return json{{"event", "stage"}, {"stage", stage}}.dump();
}

std::string Module(int sequence, const std::string& verdict, int code, double seconds,
                   const char* detail = nullptr) {
  json event{{"event", "module"},  {"sequence", sequence},
             {"verdict", verdict}, {"oldVersion", "A1 KAP41 0102"},
             {"exitCode", code},   {"newVersion", verdict == "FAIL" ? json() : "A1 KAP41 0103"},
             {"seconds", seconds}, {"detail", detail ? json(detail) : json()}};
  return event.dump();
}

const std::string kSummary = R"({"event":"summary","exitCode":0,"stations":[]})";

void SetNoColor(const char* value) {
#ifdef _WIN32
  _putenv_s("NO_COLOR", value ? value : "");
#else
  value ? setenv("NO_COLOR", value, 1) : unsetenv("NO_COLOR");
#endif
}

struct Continuous : View {
  explicit Continuous(OutputMode mode, std::vector<std::string> ports = {"ttyUSB0", "ttyUSB1"})
      : View(mode, std::move(ports)) {
    view.setContinuous(true);
    view.setColour(false);
    view.setBell([this](std::string_view ring) {
      rings.push_back({loop.now(), std::string(ring)});
    });
  }
  std::string Line(std::size_t station) const { return view.stationText(view.stations()[station]); }
  std::vector<std::pair<Milliseconds, std::string>> rings;
};

TEST(LineViewContinuous, TheStationLineShowsTheTransferAndTheCountsStay) {
  Continuous v(OutputMode::Terminal);
  for (const char* stage : {"sending", "restarting", "reconnecting", "done"}) {
    v.view.stationOutput(0, Stage(stage));
    v.view.stationOutput(0, Progress(62, 1000, 6.2));
    if (std::string(stage) == "sending") {
      EXPECT_EQ(v.Line(0), "ttyUSB0  PASS 0  FAIL 0  CURRENT 0   programming  62%  0:07 left");
    }
  }
  EXPECT_TRUE(v.Line(0).ends_with("   reconnecting")) << "a run's end is not the station's";
  v.view.stationOutput(0, Module(1, "PASS", 0, 23.4));
  v.view.stationOutput(0, Module(2, "FAIL", 6, 12, ">>Data loading has been canceled"));
  v.view.stationOutput(0, Stage("sending"));
  EXPECT_TRUE(v.Line(0).ends_with("   programming")) << "no percent of the module before";
  v.view.stationOutput(0, Progress(5, 1000, 30));
  v.view.stationOutput(0, Stage("stopping"));
  EXPECT_EQ(v.Line(0), "ttyUSB0  PASS 1  FAIL 1  CURRENT 0   stopping  programming  5%  0:30 left");
  v.view.stationOutput(0, kSummary);
  v.view.stationEnded(0, 6);
  EXPECT_EQ(v.Line(0), "ttyUSB0  PASS 1  FAIL 1  CURRENT 0   ended  cancelled");
  const StationState& s = v.view.stations()[0];
  EXPECT_EQ(s.passed + s.failed + s.current, 2);
  EXPECT_DOUBLE_EQ(s.moduleSeconds, 35.4);
  EXPECT_EQ(s.worstModule, ExitCode::Cancelled);
}

TEST(LineViewContinuous, PlainPrintsAStationsStatesItsModulesAndTheCountsTable) {
  Continuous v(OutputMode::Plain);
  for (const char* stage : {"waiting-for-module", "connecting", "rate-change", "loader", "sending"})
    v.view.stationOutput(0, Stage(stage));
  for (int percent = 0; percent <= 100; ++percent) v.view.stationOutput(0, Progress(percent, 1, 1));
  for (const char* stage : {"restarting", "reconnecting", "done"})
    v.view.stationOutput(0, Stage(stage));
  v.view.stationOutput(0, Module(42, "PASS", 0, 23.4));
  v.view.stationOutput(0, Stage("waiting-for-removal"));
  v.view.stationOutput(1, Stage("waiting-for-port"));
  v.view.stationOutput(1, Module(7, "FAIL", 6, 12, ">>Data loading has been canceled"));
  v.view.stationOutput(1, Stage("waiting-for-removal"));
  v.view.stationOutput(1, Module(3, "CURRENT", 0, 1.2));
  v.view.stationOutput(1, R"({"event":"say","text":"module in its loader: give --model"})");
  v.view.stationOutput(1, Stage("module-in-loader"));
  v.loop.advance(Milliseconds{600'000});
  v.view.stationOutput(0, kSummary);
  v.view.stationEnded(0, 0);
  v.view.stationOutput(1, kSummary);
  v.view.stationEnded(1, 6);
  v.view.finish();
  EXPECT_EQ(v.out,
            "ttyUSB0  PASS 0  FAIL 0  CURRENT 0   waiting for a module\n"
            "ttyUSB0  PASS 0  FAIL 0  CURRENT 0   connecting\n"
            "ttyUSB0  PASS 0  FAIL 0  CURRENT 0   programming\n"
            "ttyUSB0  PASS 0  FAIL 0  CURRENT 0   restarting\n"
            "ttyUSB0  PASS 0  FAIL 0  CURRENT 0   reconnecting\n"
            "ttyUSB0  #42  PASS     A1 KAP41 0102 -> A1 KAP41 0103  23.4 s\n"
            "ttyUSB0  PASS 1  FAIL 0  CURRENT 0   PASS  take it off\n"
            "ttyUSB1  PASS 0  FAIL 0  CURRENT 0   waiting for the port\n"
            "ttyUSB1  #7  FAIL     cancelled (6): >>Data loading has been canceled  12.0 s\n"
            "ttyUSB1  PASS 0  FAIL 1  CURRENT 0   FAIL (cancelled)  take it off\n"
            "ttyUSB1  #3  CURRENT  A1 KAP41 0103  1.2 s\n"
            "ttyUSB1  PASS 0  FAIL 1  CURRENT 1   CURRENT  take it off\n"
            "ttyUSB1  PASS 0  FAIL 1  CURRENT 1   in its loader: needs --model\n"
            "ttyUSB0  PASS 1  FAIL 0  CURRENT 0   ended\n"
            "ttyUSB1  PASS 0  FAIL 1  CURRENT 1   ended  cancelled\n"
            "\n"
            "Port     Passed  Failed  Current  Mean s  Modules/h\n"
            "ttyUSB0       1       0        0    23.4        6.0\n"
            "ttyUSB1       0       1        1     6.6       12.0\n");
  EXPECT_EQ(v.err, "ttyUSB1: module in its loader: give --model\n");
  EXPECT_TRUE(v.rings.empty()) << "no bell in a file";
  EXPECT_EQ(v.view.worst(), ExitCode::Cancelled);
}

TEST(LineViewContinuous, JsonPassesTheEventsOnAndEndsWithTheLinesCounts) {
  Continuous v(OutputMode::Json);
  v.view.stationOutput(0, Stage("waiting-for-module"));
  v.view.stationOutput(0, Module(1, "PASS", 0, 20));
  v.view.stationOutput(0, Module(2, "FAIL", 4, 10));
  v.view.stationOutput(1, R"({"event":"say","text":"the port is gone"})");
  v.loop.advance(Milliseconds{1'800'000});
  v.view.stationOutput(0, R"({"event":"summary","exitCode":4,"stations":[{"port":"ttyUSB0"}]})");
  v.view.stationEnded(0, 4);
  v.view.stationEnded(1, 0);
  v.view.finish();
  std::vector<json> events;
  std::istringstream lines(v.out);
  for (std::string line; std::getline(lines, line);) events.push_back(json::parse(line));
  ASSERT_EQ(events.size(), 5u) << "the station's own summary is not passed on:\n" << v.out;
  EXPECT_EQ(events[2].at("port"), "ttyUSB0");
  EXPECT_EQ(events[3].at("port"), "ttyUSB1");
  const json& summary = events[4];
  EXPECT_EQ(summary.at("event"), "summary");
  EXPECT_EQ(summary.at("outcome"), "device");
  EXPECT_EQ(summary.at("stations").dump(),  // keys in alphabetical order
            R"([{"current":0,"exitCode":4,"failed":1,"meanSeconds":15.0,"modulesPerHour":4.0,)"
            R"("passed":1,"port":"ttyUSB0"},{"current":0,"exitCode":0,"failed":0,)"
            R"("meanSeconds":null,"modulesPerHour":null,"passed":0,"port":"ttyUSB1"}])");
  EXPECT_EQ(v.err, "") << "what a station says is in its event";
  EXPECT_TRUE(v.rings.empty()) << "no bell in a JSON stream";
}

// What a terminal shows of a line: without its control sequences.
std::string Visible(const std::string& line) {
  return std::regex_replace(line, std::regex("\x1b\\[[0-9;]*[A-Za-z]|\r"), "");
}

TEST(LineViewContinuous, VerdictsAreColouredOnATerminalUnlessNoColorAndTakeNoRoom) {
  SetNoColor("1");
  EXPECT_FALSE(View(OutputMode::Terminal).view.colour());
  SetNoColor("");
  EXPECT_TRUE(View(OutputMode::Terminal).view.colour());
  SetNoColor(nullptr);
  EXPECT_TRUE(View(OutputMode::Terminal).view.colour());
  View plain(OutputMode::Plain);
  plain.view.setColour(true);
  EXPECT_FALSE(plain.view.colour()) << "never in a file";
  Continuous v(OutputMode::Terminal);
  v.view.setColour(true);
  v.view.stationOutput(0, Module(1, "PASS", 0, 20));
  v.view.stationOutput(0, Module(2, "CURRENT", 0, 1));
  v.view.stationOutput(0, Module(3, "FAIL", 6, 1));
  EXPECT_NE(v.out.find("#1  \x1b[1;32mPASS\x1b[0m     A1"), std::string::npos) << v.out;
  EXPECT_NE(v.out.find("#2  \x1b[1;33mCURRENT\x1b[0m  A1"), std::string::npos) << v.out;
  EXPECT_NE(v.out.find("#3  \x1b[1;31mFAIL\x1b[0m     cancelled (6)"), std::string::npos) << v.out;
  v.view.stationOutput(0, Stage("waiting-for-removal"));
  v.loop.advance(Milliseconds{200});
  v.out.clear();
  v.view.stationOutput(1, Stage(std::string(300, 's')));
  std::vector<std::string> drawn;
  std::istringstream lines(v.out);
  for (std::string line; std::getline(lines, line);) drawn.push_back(line);
  ASSERT_EQ(drawn.size(), 2u) << v.out;
  EXPECT_NE(drawn[0].find("\x1b[1;31mFAIL\x1b[0m (cancelled)  take it off"), std::string::npos);
  EXPECT_EQ(Visible(drawn[0]),
            "ttyUSB0  PASS 1  FAIL 1  CURRENT 1   FAIL (cancelled)  take it off");
  EXPECT_EQ(Visible(drawn[1]).size(), 79u) << "cut at the width, whatever the colours";

  // A colour cut short by the width is ended where the line is.
  Continuous w(OutputMode::Terminal, {std::string(75, 'p')});
  w.view.setColour(true);
  w.view.stationOutput(0, Module(1, "PASS", 0, 20));
  EXPECT_TRUE(w.out.ends_with("  \x1b[1;32mPA\x1b[0m\n")) << w.out;
}

TEST(LineViewContinuous, TheBellRingsOnceForAPassAndThreeTimesApartForAFail) {
  Continuous v(OutputMode::Terminal);
  v.loop.advance(Milliseconds{1000});
  v.view.stationOutput(0, Module(1, "PASS", 0, 20));
  v.view.stationOutput(0, Module(2, "CURRENT", 0, 1));
  ASSERT_EQ(v.rings.size(), 1u);
  EXPECT_EQ(v.rings[0], std::make_pair(Milliseconds{1000}, std::string("\a")));
  v.loop.advance(Milliseconds{50});
  v.view.stationOutput(1, Module(1, "FAIL", 6, 20));
  EXPECT_EQ(v.rings.size(), 1u) << "not at once after the ring before";
  v.loop.advance(Milliseconds{2000});
  ASSERT_EQ(v.rings.size(), 4u);
  for (std::size_t i = 1; i < v.rings.size(); ++i) {
    EXPECT_GE(v.rings[i].first - v.rings[i - 1].first, Milliseconds{150}) << i;
    EXPECT_LE(v.rings[i].first - v.rings[i - 1].first, Milliseconds{250}) << i;
  }
  EXPECT_EQ(v.out.find('\a'), std::string::npos) << "the bell has its own sink";
  v.view.stationOutput(1, Module(2, "FAIL", 6, 20));
  v.view.finish();
  EXPECT_EQ(v.rings.size(), 7u) << "a failure at the end still rings three times";
}

TEST(LineViewContinuous, WhatAStationSaysIsShownBoundedAndItsEndSaysWhy) {
  Continuous v(OutputMode::Plain);
  v.view.stationOutput(0, json{{"event", "module"},
                               {"sequence", "x"},
                               {"verdict", 42},
                               {"exitCode", 99},
                               {"outcome", "\x1b[2J"},
                               {"seconds", 1e300},
                               {"detail", std::string(100'000, 'd') + "\n>>FW upgrade is FINISHED"}}
                              .dump());
  EXPECT_EQ(v.Count("\n"), 1u) << "one line";
  EXPECT_LT(v.out.size(), 2 * LineView::kMaxShownText);
  EXPECT_EQ(v.out.rfind("ttyUSB0  #-  FAIL     \\x1B[2J: ddd", 0), 0u) << v.out;
  EXPECT_TRUE(v.out.ends_with("d...  - s\n")) << v.out;
  EXPECT_EQ(v.view.stations()[0].failed, 1) << "a verdict it does not know is a failure";
  EXPECT_EQ(v.view.stations()[0].moduleSeconds, 0);
  v.view.stationOutput(0, Stage("sending"));
  v.view.stationOutput(0,
                       json{{"event", "progress"}, {"percent", 1e300}, {"secondsLeft", 1}}.dump());
  EXPECT_TRUE(v.Line(0).ends_with("programming  100%  0:01 left")) << v.Line(0);
  v.view.stationOutput(1, json{{"event", "say"}, {"text", std::string(100'000, 'y')}}.dump());
  EXPECT_LT(v.err.size(), 2 * LineView::kMaxShownText);
  v.view.stationEnded(0, 128 + 9);
  EXPECT_TRUE(v.Line(0).ends_with("ended  internal: the station's process ended with code 137"));
  v.view.stationEnded(1, 4);
  EXPECT_TRUE(v.Line(1).ends_with("ended  device: the station ended without its summary"));
}

}  // namespace
}  // namespace movrand::cli

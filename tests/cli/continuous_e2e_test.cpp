// movrand-flash --continuous against movrand-sim's fixture mode: real processes, real
// pseudo-terminals, modules put on and taken off by the simulated operator. What counts is
// what the modules received, what the record says and how the stations end.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "cli/flash_process.h"

namespace movrand::cli {
namespace {

constexpr std::chrono::seconds kShift{240};  // a few modules with their restart waits

// The fixture's script, one module per line.
std::string WriteFixture(const Folder& folder, const std::string& name,
                         const std::vector<std::string>& modules) {
  std::ofstream out(folder.file(name));
  for (const std::string& module : modules) out << module << "\n";
  return folder.file(name);
}

// The simulator's summary: its last line that is a JSON object.
json SimSummary(SimProcess& sim) {
  const std::string line = sim.stop();
  try {
    return json::parse(line);
  } catch (const json::exception&) {
    ADD_FAILURE() << "no summary: " << line;
    return json::object();
  }
}

json ModuleOf(const json& summary, int number) {
  const auto modules = summary.find("modules");
  if (modules != summary.end() && modules->is_array()) {
    for (const json& module : *modules) {
      if (module.value("number", 0) == number) return module;
    }
  }
  ADD_FAILURE() << "module " << number << " not in " << summary.dump();
  return json::object();
}

std::vector<json> ModuleEvents(const std::vector<json>& events) {
  std::vector<json> modules;
  for (const json& e : events) {
    if (e.value("event", "") == "module") modules.push_back(e);
  }
  return modules;
}

std::vector<std::string> Arguments(std::vector<std::string> args, const std::string& image,
                                   const std::string& record) {
  args.insert(args.end(),
              {"--continuous", "--file", image, "--yes", "--protocol", "nmea", "--baud", "115200",
               "--expect-version", "A1 KAP41 0103", "--record", record, "--json"});
  return args;
}

// A module taken off in silence is gone once it leaves the queries unanswered for 1.5 s (an
// empty fixture of 2 s); one swapped for another within 1 s is told apart by the version the
// newcomer reports (empty=1 after a module that changed its version).
TEST(ContinuousE2E, TwoStationsFourModulesEachEveryGoodImageExactNoneProgrammedTwice) {
  Folder folder;
  const Bytes image = Image(20000, "KAP41");
  const std::string file = folder.write("fw.bin", image);
  const std::string a = WriteFixture(
      folder, "a.txt",
      {"behaviour=normal stay=1 empty=2", "behaviour=current stay=1 empty=1",
       "behaviour=nak-forever nak=3 stay=1 empty=1 off=vanish", "behaviour=normal stay=1"});
  const std::string b =
      WriteFixture(folder, "b.txt",
                   {"behaviour=normal stay=5 empty=1", "behaviour=normal stay=1 empty=2",
                    "behaviour=normal stay=1 off=vanish", "behaviour=normal"});
  SimProcess simA =
      Sim({"--fixture", a, "--link", folder.file("fixA"), "--image-out", folder.file("a.img")});
  SimProcess simB =
      Sim({"--fixture", b, "--link", folder.file("fixB"), "--image-out", folder.file("b.img")});
  ASSERT_FALSE(simA.port().empty());
  ASSERT_FALSE(simB.port().empty());
  const std::string record = folder.file("shift.jsonl");
  const Outcome run = RunFlash(
      Arguments({"--port", folder.file("fixA"), "--port", folder.file("fixB"), "--count", "4"},
                file, record),
      kShift, folder.path());
  EXPECT_EQ(run.exitCode, 6) << "the worst module: the block rejected for ever\n"
                             << run.out << run.err;

  // Eight records, numbered per station, with the verdicts the fixtures call for. A record
  // names the port where its module was, which for a fixture whose port vanished is another
  // terminal; the line's module events name the station.
  const std::vector<json> lines = JsonLines(record);
  ASSERT_EQ(lines.size(), 8u) << run.out;
  const std::vector<json> events = run.events();
  std::map<std::string, std::vector<json>> byPort;
  for (const json& module : ModuleEvents(events)) byPort[module.at("port")].push_back(module);
  ASSERT_EQ(byPort.size(), 2u);
  std::vector<std::vector<std::string>> verdicts;
  for (const auto& [port, station] : byPort) {
    std::vector<std::string> seen;
    for (std::size_t i = 0; i < station.size(); ++i) {
      EXPECT_EQ(station[i].at("sequence"), static_cast<int>(i) + 1) << station[i].dump();
      seen.push_back(station[i].at("verdict"));
      if (station[i].at("verdict") == "PASS") {
        EXPECT_EQ(station[i].at("sha256"), Sha256Of(image));
        EXPECT_EQ(station[i].at("newVersion"), "A1 KAP41 0103");
      }
    }
    verdicts.push_back(seen);
  }
  const std::vector<std::string> stationA{"PASS", "CURRENT", "FAIL", "PASS"};
  const std::vector<std::string> stationB{"PASS", "PASS", "PASS", "PASS"};
  EXPECT_TRUE((verdicts[0] == stationA && verdicts[1] == stationB) ||
              (verdicts[0] == stationB && verdicts[1] == stationA))
      << run.out;
  for (const json& line : lines) {
    if (line.at("verdict") == "FAIL") {
      EXPECT_EQ(line.at("exitCode"), 6);
      EXPECT_EQ(line.at("outcome"), "cancelled");
    }
    if (line.at("verdict") == "CURRENT") {
      EXPECT_EQ(line.at("outcome"), "current");
      EXPECT_EQ(line.at("bytesSent"), 0);
    }
  }

  // What the modules received: each good one the image once, the current one nothing.
  const json summaryA = SimSummary(simA);
  const json summaryB = SimSummary(simB);
  for (const int number : {1, 4}) {
    EXPECT_EQ(ModuleOf(summaryA, number).value("transfers_started", -1), 1);
    EXPECT_EQ(ReadAll(folder.file("a.img." + std::to_string(number))), AsReceived(image));
  }
  EXPECT_EQ(ModuleOf(summaryA, 2).value("transfers_started", -1), 0);
  EXPECT_EQ(ModuleOf(summaryA, 3).value("images_written", -1), 0);
  EXPECT_EQ(ModuleOf(summaryA, 3).value("transfers_started", -1), 1) << "not recovered after";
  for (const int number : {1, 2, 3, 4}) {
    EXPECT_EQ(ModuleOf(summaryB, number).value("transfers_started", -1), 1)
        << "module " << number << " of b (the first stayed 5 s after its PASS)";
    EXPECT_EQ(ReadAll(folder.file("b.img." + std::to_string(number))), AsReceived(image));
  }

  // The line's summary: a row per station with its counts.
  const json* summary = Summary(events);
  ASSERT_NE(summary, nullptr) << run.out;
  EXPECT_EQ(summary->at("exitCode"), 6);
  int passed = 0, failed = 0, current = 0;
  for (const json& station : summary->at("stations")) {
    passed += station.value("passed", 0);
    failed += station.value("failed", 0);
    current += station.value("current", 0);
  }
  EXPECT_EQ(passed, 6);
  EXPECT_EQ(failed, 1);
  EXPECT_EQ(current, 1);
  EXPECT_EQ(ModuleEvents(events).size(), 8u);
}

TEST(ContinuousE2E, APortThatAppearsLaterAndModulesTakenOffEitherWay) {
  Folder folder;
  const Bytes image = Image(9000, "KAP41");
  const std::string file = folder.write("fw.bin", image);
  const std::string fixture =
      WriteFixture(folder, "f.txt",
                   {"behaviour=normal stay=1 empty=2 off=vanish", "behaviour=normal stay=2 empty=2",
                    "behaviour=normal stay=1"});
  const std::string record = folder.file("r.jsonl");
  Outcome run;
  std::thread flash([&] {
    run = RunFlash(Arguments({"--port", folder.file("fix"), "--count", "3"}, file, record), kShift,
                   folder.path());
  });
  // The station is waiting for a port that does not exist yet.
  std::this_thread::sleep_for(std::chrono::seconds(2));
  SimProcess sim = Sim(
      {"--fixture", fixture, "--link", folder.file("fix"), "--image-out", folder.file("m.img")});
  flash.join();
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  const std::vector<json> events = run.events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.front().value("stage", ""), "waiting-for-port") << run.out;
  const std::vector<json> modules = ModuleEvents(events);
  ASSERT_EQ(modules.size(), 3u) << run.out;
  for (const json& module : modules) EXPECT_EQ(module.at("verdict"), "PASS") << module.dump();
  EXPECT_EQ(JsonLines(record).size(), 3u);
  const json summary = SimSummary(sim);
  for (const int number : {1, 2, 3}) {
    EXPECT_EQ(ModuleOf(summary, number).value("transfers_started", -1), 1) << number;
    EXPECT_EQ(ReadAll(folder.file("m.img." + std::to_string(number))), AsReceived(image));
  }
}

TEST(ContinuousE2E, AModuleInItsLoaderIsRecoveredWithTheModel) {
  Folder folder;
  const Bytes image = Image(9000, "KAP41");
  const std::string file = folder.write("fw.bin", image);
  const std::string fixture = WriteFixture(folder, "f.txt", {"behaviour=loader stay=1"});
  SimProcess sim = Sim(
      {"--fixture", fixture, "--link", folder.file("fix"), "--image-out", folder.file("m.img")});
  const std::string record = folder.file("r.jsonl");
  const Outcome run = RunFlash(
      Arguments({"--port", folder.file("fix"), "--count", "1", "--model", "KAP41"}, file, record),
      kShift, folder.path());
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  const std::vector<json> lines = JsonLines(record);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].at("verdict"), "PASS");
  EXPECT_EQ(lines[0].at("newVersion"), "A1 KAP41 0103");
  EXPECT_EQ(ReadAll(folder.file("m.img.1")), AsReceived(image));
}

TEST(ContinuousE2E, TheFirstCtrlCFinishesTheModuleBeingProgrammedTheSecondCancelsIt) {
  Folder folder;
  const Bytes image = Image(60000, "KAP41");  // paced: several seconds on the line
  const std::string file = folder.write("fw.bin", image);
  const auto atTransfer = [](const std::string& line) {
    return line.find("\"event\":\"progress\"") != std::string::npos &&
           line.find("\"percent\":1") != std::string::npos;
  };
  {
    const std::string fixture = WriteFixture(folder, "f1.txt", {"behaviour=normal stay=60"});
    SimProcess sim = Sim({"--fixture", fixture, "--link", folder.file("fix1"), "--pace",
                          "--image-out", folder.file("one.img")});
    const std::string record = folder.file("r1.jsonl");
    const Outcome run = RunFlash(Arguments({"--port", folder.file("fix1")}, file, record), kShift,
                                 folder.path(), atTransfer);
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    const std::vector<json> lines = JsonLines(record);
    ASSERT_EQ(lines.size(), 1u) << run.out;
    EXPECT_EQ(lines[0].at("verdict"), "PASS");
    EXPECT_EQ(ReadAll(folder.file("one.img.1")), AsReceived(image));
    const std::vector<json> events = run.events();
    const json* summary = Summary(events);
    ASSERT_NE(summary, nullptr) << run.out;
    EXPECT_EQ(summary->at("stations").at(0).at("passed"), 1);
  }
  {
    const std::string fixture = WriteFixture(folder, "f2.txt", {"behaviour=normal stay=60"});
    SimProcess sim = Sim({"--fixture", fixture, "--link", folder.file("fix2"), "--pace"});
    const std::string record = folder.file("r2.jsonl");
    int seen = 0;
    const Outcome run = RunFlash(
        Arguments({"--port", folder.file("fix2")}, file, record), kShift, folder.path(),
        [&](const std::string& line) {
          // The first at the transfer's start, the second once the station said it stops.
          if (seen == 0 && atTransfer(line)) return ++seen == 1;
          if (seen == 1 && line.find("\"stage\":\"stopping\"") != std::string::npos) {
            return ++seen == 2;
          }
          return false;
        },
        SIGINT, 2);
    EXPECT_EQ(run.exitCode, 6) << run.out << run.err;
    const std::vector<json> lines = JsonLines(record);
    ASSERT_EQ(lines.size(), 1u) << run.out;
    EXPECT_EQ(lines[0].at("verdict"), "FAIL");
    EXPECT_EQ(lines[0].at("outcome"), "cancelled");
  }
}

TEST(ContinuousE2E, RefusedWithoutAnImageOrWithoutYes) {
  Folder folder;
  const std::string file = folder.write("fw.bin", Image(2000, "KAP41"));
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--port", "ttyS0", "--continuous", "--yes"},
        std::vector<std::string>{"--port", "ttyS0", "--continuous", "--file", file}}) {
    const Outcome run = RunFlash(args, kQuick, folder.path());
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("--continuous needs --file IMAGE and --yes"), std::string::npos)
        << run.err;
  }
}

}  // namespace
}  // namespace movrand::cli

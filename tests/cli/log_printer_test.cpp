// The headless log view on the virtual clock: what reaches the terminal, a log file and a
// script as the log pane grows and its lines are rewritten, how often a rewritten line is
// redrawn, and that nothing from the module can steer the terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli/log_printer.h"
#include "platform/virtual_event_loop.h"

namespace movrand::cli {
namespace {

using std::chrono::milliseconds;
constexpr const char* kMarker = ">>File Size ";

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::size_t Count(const std::string& text, std::string_view what) {
  std::size_t count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++count;
  }
  return count;
}

// A log pane, the transfer counts behind it and a printer following both.
struct PaneFixture {
  explicit PaneFixture(OutputMode mode, int width = 0)
      : printer(
            loop, mode, [this](std::string_view t) { out.append(t); }, width) {
    printer.setProgress(kMarker, [this] { return counts; });
  }
  void add(const std::string& line) {
    pane.push_back(line);
    printer.paneChanged(pane);
  }
  void set(std::size_t index, const std::string& line) {
    pane[index] = line;
    printer.paneChanged(pane);
  }
  // Loader entry, then `updates` rewrites of the file-size line `every` apart, the last one
  // with everything sent; then ">>Loading completed".
  void transfer(int updates, milliseconds every, std::int64_t total = 512 * 1024) {
    counts = {0, total};
    add("10:16:40>>File Size 512kB (0kB)");
    const std::size_t line = pane.size() - 1;
    for (int i = 1; i <= updates; ++i) {
      loop.advance(every);
      counts.sent = total * i / updates;
      set(line, "10:16:41>>File Size 512kB (" + std::to_string(counts.sent / 1024) + "kB)");
    }
    add("10:17:30>>Loading completed");
  }

  VirtualEventLoop loop;
  std::string out;
  std::vector<std::string> pane;
  ProgressCounts counts;
  LogPrinter printer;
};

TEST(PrintableText, KeepsTextAndEscapesWhatCouldSteerATerminal) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"10:15:02>>Port: ttyUSB0 115200 NMEA", "10:15:02>>Port: ttyUSB0 115200 NMEA"},
      {">>Current FW version: \r\n>>A1", ">>Current FW version: \n>>A1"},
      {"a\nb\tc", "a\nb\\x09c"},
      {"turned \xe2\x80\xae"
       "around",
       "turned \\u202Earound"},  // right-to-left override
      {"lone\rCR", "lone\\x0DCR"},
      {"\x1b[2J\x1b]0;title\x07", "\\x1B[2J\\x1B]0;title\\x07"},
      {std::string("nul\0end", 7), "nul\\x00end"},
      {"del\x7f", "del\\x7F"},
      {"C1 \xc2\x9b"
       "31m",
       "C1 \\xC2\\x9B31m"},  // CSI as UTF-8: still a control
      {"C1 raw \x9b"
       "31m",
       "C1 raw \\x9B31m"},  // CSI of 8-bit terminals
      {"Gr\xc3\xbc\xc3\x9f"
       "e \xe2\x82\xac",
       "Gr\xc3\xbc\xc3\x9f"
       "e \xe2\x82\xac"},
      {"bad \xff\xc3", "bad \\xFF\\xC3"},  // not UTF-8, and cut short
      {"overlong \xe0\x80\xaf", "overlong \\xE0\\x80\\xAF"},
  };
  for (const Case& c : cases) EXPECT_EQ(PrintableText(c.in), c.out) << c.in;
}

TEST(LogPrinterPlain, OneLinePerLineAndRewritesAsNewLines) {
  PaneFixture f(OutputMode::Plain);
  f.add("...NMEA");
  f.add("");  // the scan line before its first rate is not printed
  EXPECT_EQ(f.out, "...NMEA\n");
  f.set(1, "10:15:03>>Scanning...115200");
  f.set(1, "10:15:04>>Scanning...230400");
  f.add("10:15:04>>Port: pts/3 230400 NMEA");
  f.add(">>Current FW version: ");
  f.add(">>A1 KAP41 0102");
  EXPECT_EQ(f.out,
            "...NMEA\n"
            "10:15:03>>Scanning...115200\n"
            "10:15:04>>Scanning...230400\n"
            "10:15:04>>Port: pts/3 230400 NMEA\n"
            ">>Current FW version: \n"
            ">>A1 KAP41 0102\n");
}

TEST(LogPrinterPlain, AnEmptyLineThatNeverGotTextIsLeftOut) {
  PaneFixture f(OutputMode::Plain);
  f.add("");
  f.add("10:15:04>>COM port is busy or not available");
  f.printer.finish();
  EXPECT_EQ(f.out, "10:15:04>>COM port is busy or not available\n");
}

TEST(LogPrinterPlain, ProgressAtEachTenthAndItsFinalValue) {
  PaneFixture f(OutputMode::Plain);
  f.transfer(100, milliseconds{100});
  const std::vector<std::string> lines = Split(f.out);
  // Loader entry, 10 %, 20 % ... 100 %, then the completion.
  ASSERT_EQ(lines.size(), 12u) << f.out;
  EXPECT_EQ(lines.front(), "10:16:40>>File Size 512kB (0kB)");
  EXPECT_EQ(lines[1], "10:16:41>>File Size 512kB (56kB)") << "the first at or past 10 %";
  EXPECT_EQ(lines[10], "10:16:41>>File Size 512kB (512kB)");
  EXPECT_EQ(lines.back(), "10:17:30>>Loading completed");
}

TEST(LogPrinterPlain, FinalProgressIsPrintedWhenTheRunEndsDuringTheTransfer) {
  PaneFixture f(OutputMode::Plain);
  f.counts = {0, 10240};
  f.add("10:16:40>>File Size 10kB (0kB)");
  f.counts.sent = 512;
  f.set(0, "10:16:41>>File Size 10kB (0kB)");
  f.counts.sent = 640;
  f.set(0, "10:16:42>>File Size 10kB (0kB) x");
  EXPECT_EQ(Split(f.out).size(), 1u) << "5 % and 6 % are no new tenth";
  f.printer.message("box", "Warning", "FW loading procedure canceled");
  EXPECT_EQ(f.out,
            "10:16:40>>File Size 10kB (0kB)\n"
            "10:16:42>>File Size 10kB (0kB) x\n"
            "[Warning] FW loading procedure canceled\n");
}

TEST(LogPrinterPlain, NoControlCharactersWhateverTheModuleSends) {
  PaneFixture f(OutputMode::Plain);
  f.add(">>Current FW version: ");
  f.add(
      ">>A1 \x1b[31mKAP41\x1b[0m \x9b"
      "2J\x07");
  f.transfer(30, milliseconds{50});
  f.printer.message("box", "Warning", "a\n\n b\r\n c");
  f.printer.finish();
  for (const char c : f.out) {
    const auto b = static_cast<unsigned char>(c);
    EXPECT_TRUE(c == '\n' || (b >= 0x20 && b != 0x7F)) << "byte " << int(b) << " in " << f.out;
  }
  EXPECT_NE(f.out.find(">>A1 \\x1B[31mKAP41\\x1B[0m \\x9B2J\\x07"), std::string::npos);
}

TEST(LogPrinterTerminal, RewrittenLineIsRedrawnInPlace) {
  PaneFixture f(OutputMode::Terminal);
  f.add("...NMEA");
  f.add("");
  f.loop.advance(milliseconds{500});
  f.set(1, "10:15:03>>Scanning...115200");
  f.loop.advance(milliseconds{500});
  f.set(1, "10:15:04>>Scanning...230400");
  f.add("10:15:04>>Port: pts/3 230400 NMEA");
  f.printer.finish();
  EXPECT_EQ(f.out,
            "...NMEA\n"
            "\r10:15:03>>Scanning...115200\x1b[K"
            "\r10:15:04>>Scanning...230400\x1b[K\n"
            "10:15:04>>Port: pts/3 230400 NMEA\n");
}

TEST(LogPrinterTerminal, AtMostTenRedrawsASecondAndTheLastValueIsShown) {
  PaneFixture f(OutputMode::Terminal);
  // A rewrite every 20 ms for 2 s: 100 changes.
  f.transfer(100, milliseconds{20});
  const std::size_t redraws = Count(f.out, "\r");
  EXPECT_LE(redraws, 21u) << "2 s at ten a second (and one for the final value)";
  EXPECT_GE(redraws, 15u) << "the bar still moves";
  // The last redraw before the next line shows everything sent.
  const std::size_t completed = f.out.find("10:17:30>>Loading completed");
  ASSERT_NE(completed, std::string::npos);
  const std::size_t lastRedraw = f.out.rfind('\r', completed);
  const std::string last = f.out.substr(lastRedraw, completed - lastRedraw);
  EXPECT_NE(last.find("100%"), std::string::npos) << last;
  EXPECT_NE(last.find("512.0/512.0 KiB"), std::string::npos) << last;
  EXPECT_EQ(last.back(), '\n');
}

TEST(LogPrinterTerminal, HeldBackRedrawComesWithinTheInterval) {
  PaneFixture f(OutputMode::Terminal);
  f.counts = {0, 4096};
  f.add("10:16:40>>File Size 4kB (0kB)");
  f.loop.advance(milliseconds{10});
  f.counts.sent = 2048;
  f.set(0, "10:16:40>>File Size 4kB (2kB)");
  EXPECT_EQ(Count(f.out, "\r"), 0u) << "10 ms after the last draw: held back";
  f.loop.advance(milliseconds{89});
  EXPECT_EQ(Count(f.out, "\r"), 0u);
  f.loop.advance(milliseconds{1});
  EXPECT_EQ(Count(f.out, "\r"), 1u) << "drawn 100 ms after the previous draw";
  EXPECT_NE(f.out.find(" 50%"), std::string::npos) << f.out;
}

TEST(LogPrinterTerminal, ProgressBarShowsRateAndTimeLeft) {
  PaneFixture f(OutputMode::Terminal);
  f.counts = {0, 20480};
  f.add("10:16:40>>File Size 20kB (0kB)");
  for (int i = 1; i <= 10; ++i) {
    f.loop.advance(milliseconds{100});
    f.counts.sent = 1024 * i;
    f.set(0, "10:16:40>>File Size 20kB (" + std::to_string(i) + "kB)");
  }
  const std::string last = f.out.substr(f.out.rfind('\r'));
  EXPECT_EQ(last,
            "\r10:16:40>>File Size 20kB  [########--------]  50%  10.0/20.0 KiB  10.0 KiB/s  "
            "0:01 left\x1b[K");
}

TEST(LogPrinterTerminal, ProgressLineNeverWiderThanTheTerminal) {
  PaneFixture f(OutputMode::Terminal, 60);
  f.transfer(20, milliseconds{150});
  std::size_t start = 0;
  while (start < f.out.size()) {
    std::size_t end = f.out.find_first_of("\r\n", start);
    if (end == std::string::npos) end = f.out.size();
    std::string row = f.out.substr(start, end - start);
    if (const std::size_t clear = row.find("\x1b[K"); clear != std::string::npos) row.resize(clear);
    EXPECT_LT(row.size(), 60u) << row;
    start = end + 1;
  }
}

TEST(LogPrinterTerminal, MessageEndsTheOpenLineFirst) {
  PaneFixture f(OutputMode::Terminal);
  f.add("10:16:50>>Loading completed");
  f.printer.message("notice", "Attention!!!",
                    "Device programming...\nPLEASE DON'T TURN DEVICE POWER OFF OR RESET !!!");
  EXPECT_EQ(f.out,
            "10:16:50>>Loading completed\n"
            "[Attention!!!] Device programming...\n"
            "[Attention!!!] PLEASE DON'T TURN DEVICE POWER OFF OR RESET !!!\n");
}

TEST(LogPrinterJson, EveryLineAnEventAndProgressAtMostTenASecond) {
  PaneFixture f(OutputMode::Json);
  f.add("...NMEA");
  f.add("");
  f.set(1, "10:15:03>>Scanning...115200");
  f.transfer(100, milliseconds{20});
  f.printer.message("box", "Warning", "text");
  RunSummary summary;
  summary.code = ExitCode::Cancelled;
  f.printer.result(summary);

  std::vector<nlohmann::json> events;
  for (const std::string& line : Split(f.out)) events.push_back(nlohmann::json::parse(line));
  ASSERT_GE(events.size(), 6u);
  EXPECT_EQ(events[0].at("event"), "line");
  EXPECT_EQ(events[0].at("text"), "...NMEA");
  EXPECT_EQ(events[1].at("text"), "");
  EXPECT_EQ(events[2].at("rewrite"), true);
  EXPECT_EQ(events[2].at("index"), 1);
  EXPECT_EQ(events[3].at("event"), "line");
  EXPECT_EQ(events[3].at("text"), "10:16:40>>File Size 512kB (0kB)");
  std::vector<nlohmann::json> progress;
  std::copy_if(events.begin(), events.end(), std::back_inserter(progress),
               [](const nlohmann::json& e) { return e.at("event") == "progress"; });
  EXPECT_LE(progress.size(), 21u);
  EXPECT_GE(progress.size(), 15u);
  EXPECT_EQ(progress.back().at("percent"), 100);
  EXPECT_EQ(progress.back().at("sentBytes"), 512 * 1024);
  for (std::size_t i = 1; i < progress.size(); ++i) {
    EXPECT_GE(progress[i].at("sentBytes"), progress[i - 1].at("sentBytes"));
  }
  EXPECT_EQ(events[events.size() - 3].at("text"), "10:17:30>>Loading completed");
  EXPECT_EQ(events[events.size() - 2].at("event"), "message");
  EXPECT_EQ(events.back().at("event"), "result");
  EXPECT_EQ(events.back().at("exitCode"), 6);
}

// The last blocks of an image may add no whole kB: the line's text stays the same while
// the count reaches the end. The final count is shown all the same.
TEST(LogPrinterJson, FinalCountIsShownWhenTheLastBlocksLeaveTheLineUnchanged) {
  for (const OutputMode mode : {OutputMode::Json, OutputMode::Terminal}) {
    PaneFixture f(mode, 120);
    f.counts = {0, 30080};
    f.add("10:16:40>>File Size 29kB (0kB)");
    f.loop.advance(milliseconds{500});
    f.counts.sent = 29696;  // 29 kB: the text the line keeps to the end
    f.set(0, "10:16:41>>File Size 29kB (29kB)");
    f.loop.advance(milliseconds{500});
    f.counts.sent = 30080;
    f.set(0, "10:16:41>>File Size 29kB (29kB)");
    f.add("10:16:41>>Loading completed");
    if (mode == OutputMode::Json) {
      std::vector<nlohmann::json> progress;
      for (const std::string& line : Split(f.out)) {
        const auto e = nlohmann::json::parse(line);
        if (e.at("event") == "progress") progress.push_back(e);
      }
      ASSERT_FALSE(progress.empty());
      EXPECT_EQ(progress.back().at("percent"), 100);
      EXPECT_EQ(progress.back().at("sentBytes"), 30080);
    } else {
      const std::size_t done = f.out.rfind("Loading completed");
      ASSERT_NE(done, std::string::npos);
      EXPECT_NE(f.out.rfind("100%", done), std::string::npos) << f.out;
    }
  }
}

TEST(LogPrinter, AClearedPaneIsFollowedFromItsStart) {
  PaneFixture f(OutputMode::Plain);
  f.add("one");
  f.add("two");
  f.pane.clear();
  f.add("three");
  EXPECT_EQ(f.out, "one\ntwo\nthree\n");
}

// A station clears the pane between modules: the last module's file-size line is not drawn
// again from the new, shorter pane (its index points past the new pane's end).
TEST(LogPrinter, APaneClearedAfterATransferStartsWithoutItsProgressLine) {
  for (const OutputMode mode : {OutputMode::Json, OutputMode::Terminal, OutputMode::Plain}) {
    PaneFixture f(mode, 120);
    f.add("10:16:39>>Port: ttyUSB0 115200 NMEA");
    f.add("10:16:39>>Current FW version: ");
    f.transfer(4, milliseconds{300});
    f.pane.clear();
    f.out.clear();
    f.counts = {0, 0};
    f.add("10:18:00>>Port: ttyUSB0 115200 NMEA");
    f.add("10:18:00>>Current FW version: ");
    f.printer.finish();
    EXPECT_EQ(f.out.find("File Size"), std::string::npos) << f.out;
    EXPECT_EQ(Count(f.out, "10:18:00>>Port"), 1u) << f.out;
  }
}

}  // namespace
}  // namespace movrand::cli

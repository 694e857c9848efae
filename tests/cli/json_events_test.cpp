// The --json events, read back with a JSON parser: every event is one valid object on one
// line whatever the texts hold (quotes, line breaks, the module's stray bytes).
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "cli/json_events.h"

namespace movrand::cli {
namespace {

using nlohmann::json;

json ParseOneLine(const std::string& text) {
  EXPECT_EQ(text.find('\n'), std::string::npos) << "one event, one line";
  for (const char c : text) {
    EXPECT_TRUE(static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7F)
        << "plain ASCII only, got byte " << static_cast<int>(static_cast<unsigned char>(c));
  }
  return json::parse(text);
}

TEST(JsonEvents, LineEventCarriesTextAndIndex) {
  const json event = ParseOneLine(JsonLineEvent(4, "10:15:02>>Port: ttyUSB0 115200 NMEA", false));
  EXPECT_EQ(event.at("event"), "line");
  EXPECT_EQ(event.at("index"), 4);
  EXPECT_EQ(event.at("text"), "10:15:02>>Port: ttyUSB0 115200 NMEA");
  EXPECT_FALSE(event.contains("rewrite"));
  EXPECT_EQ(ParseOneLine(JsonLineEvent(1, "x", true)).at("rewrite"), true);
}

TEST(JsonEvents, AwkwardTextsSurviveTheRoundTrip) {
  const std::string texts[] = {
      "quote \" backslash \\ slash /",
      ">>Current FW version: \r\n>>A1 KAP41 0102",
      std::string("nul \0 bell \a escape \x1b[31m", 25),
      "tab\there",
  };
  for (const std::string& text : texts) {
    EXPECT_EQ(ParseOneLine(JsonLineEvent(0, text, false)).at("text"), text);
  }
}

TEST(JsonEvents, BytesThatAreNotUtf8BecomeReplacementCharacters) {
  const json event = ParseOneLine(JsonLineEvent(0, "A1 \xff\xfe KAP41", false));
  EXPECT_EQ(event.at("text"), "A1 \xEF\xBF\xBD\xEF\xBF\xBD KAP41");
  // Valid UTF-8 passes unchanged (escaped as \u in the line, the same text once parsed).
  EXPECT_EQ(ParseOneLine(JsonLineEvent(0,
                                       "Gr\xC3\xBC\xC3\x9F"
                                       "e",
                                       false))
                .at("text"),
            "Gr\xC3\xBC\xC3\x9F"
            "e");
}

TEST(JsonEvents, ProgressEventHasTheFigures) {
  const json event = ParseOneLine(JsonProgressEvent(
      6, "10:16:40>>File Size 512kB (37kB)", ProgressInfo{{37888, 524288}, 11468.83, 42.44}));
  EXPECT_EQ(event.at("event"), "progress");
  EXPECT_EQ(event.at("index"), 6);
  EXPECT_EQ(event.at("percent"), 7);
  EXPECT_EQ(event.at("sentBytes"), 37888);
  EXPECT_EQ(event.at("totalBytes"), 524288);
  EXPECT_DOUBLE_EQ(event.at("bytesPerSecond").get<double>(), 11468.8);
  EXPECT_DOUBLE_EQ(event.at("secondsLeft").get<double>(), 42.4);
  EXPECT_EQ(event.at("text"), "10:16:40>>File Size 512kB (37kB)");

  const json early = ParseOneLine(JsonProgressEvent(6, "t", ProgressInfo{{0, 128}, {}, {}}));
  EXPECT_TRUE(early.at("bytesPerSecond").is_null());
  EXPECT_TRUE(early.at("secondsLeft").is_null());
}

TEST(JsonEvents, MessageEvent) {
  const json event = ParseOneLine(JsonMessageEvent("box", "Warning", "FW loading\n\n canceled"));
  EXPECT_EQ(event.at("event"), "message");
  EXPECT_EQ(event.at("kind"), "box");
  EXPECT_EQ(event.at("title"), "Warning");
  EXPECT_EQ(event.at("text"), "FW loading\n\n canceled");
}

TEST(JsonEvents, ResultEventNamesTheOutcome) {
  RunSummary success;
  success.version = "A1 KAP41 0103";
  success.port = "ttyUSB0";
  success.baud = 115200;
  success.protocol = "NMEA";
  const json ok = ParseOneLine(JsonResultEvent(success));
  EXPECT_EQ(ok.at("event"), "result");
  EXPECT_EQ(ok.at("exitCode"), 0);
  EXPECT_EQ(ok.at("outcome"), "success");
  EXPECT_EQ(ok.at("version"), "A1 KAP41 0103");
  EXPECT_EQ(ok.at("port"), "ttyUSB0");
  EXPECT_EQ(ok.at("baud"), 115200);
  EXPECT_EQ(ok.at("protocol"), "NMEA");
  EXPECT_FALSE(ok.contains("detail"));

  RunSummary failed;
  failed.code = ExitCode::ReconnectFailed;
  failed.detail = ">>Program could not find the device!";
  const json bad = ParseOneLine(JsonResultEvent(failed));
  EXPECT_EQ(bad.at("exitCode"), 7);
  EXPECT_EQ(bad.at("outcome"), "reconnect");
  EXPECT_EQ(bad.at("detail"), ">>Program could not find the device!");
  EXPECT_FALSE(bad.contains("version"));
}

// A line refused before any station started, and a port refused for a reason the result
// names in its three forms: what scripts on the line read.
TEST(JsonEvents, ARefusedLineAndARefusedPortSayWhy) {
  EXPECT_EQ(JsonNoStationsSummaryEvent(ExitCode::PortUnavailable),
            R"({"event":"summary","exitCode":3,"outcome":"port","stations":[]})");
  RunSummary summary;
  summary.code = ExitCode::PortUnavailable;
  SetOpenError(summary, OpenError::None);
  EXPECT_FALSE(summary.reason || summary.reasonText || summary.hint);
  SetOpenError(summary, OpenError::Busy);
  EXPECT_EQ(summary.reason, "busy");
  EXPECT_EQ(summary.reasonText, "another program holds the port");
}

}  // namespace
}  // namespace movrand::cli

// The command line of the simulated module program.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/options.h"

namespace movrand::sim {
namespace {

using namespace std::chrono_literals;

ParsedOptions Parse(std::vector<const char*> args) {
  return ParseOptions(args);
}

TEST(SimOptions, DefaultsDescribeAnNmeaKap41At115200) {
  const ParsedOptions p = Parse({});
  ASSERT_EQ(p.error, "");
  const SimConfig& c = p.options.config;
  EXPECT_EQ(c.protocol, Protocol::Nmea);
  EXPECT_EQ(c.baud, 115200u);
  EXPECT_EQ(c.versionWords, (std::vector<std::string>{"A1", "KAP41", "0102"}));
  EXPECT_EQ(c.newVersionWords, (std::vector<std::string>{"A1", "KAP41", "0103"}));
  EXPECT_EQ(c.binrText1, "KAP41 0102");
  EXPECT_EQ(c.restartTime, kDefaultRestartTime);
  EXPECT_EQ(c.binrEnding, BinrEnding::Crc);
  EXPECT_FALSE(p.options.timeout);
}

TEST(SimOptions, ReadsEveryOption) {
  const ParsedOptions p = Parse({"--link",
                                 "/tmp/ttySIM",
                                 "--vanish-on-restart",
                                 "--return-as",
                                 "/tmp/ttyBACK",
                                 "--protocol",
                                 "binr",
                                 "--baud=57600",
                                 "--model",
                                 "RTK",
                                 "--version-words",
                                 "A1 RTK 0102 B2 0001",
                                 "--new-version",
                                 "A1 RTK 0200 B2 0001",
                                 "--binr-text1",
                                 "01RTK 0102",
                                 "--binr-text2",
                                 "B2 0001",
                                 "--image-out",
                                 "img.bin",
                                 "--start-in-loader",
                                 "--nak-blocks",
                                 "1,5,300",
                                 "--nak-forever",
                                 "7",
                                 "--stall-after",
                                 "9",
                                 "--restart-s",
                                 "0.25",
                                 "--answer-delay-ms",
                                 "700",
                                 "--silent",
                                 "--events",
                                 "ev.jsonl",
                                 "--binr-ending",
                                 "dle-etx",
                                 "--timeout-s",
                                 "12"});
  ASSERT_EQ(p.error, "");
  const SimConfig& c = p.options.config;
  EXPECT_EQ(p.options.link, "/tmp/ttySIM");
  EXPECT_TRUE(p.options.vanishOnRestart);
  EXPECT_EQ(p.options.returnAs, "/tmp/ttyBACK");
  EXPECT_EQ(c.protocol, Protocol::Binr);
  EXPECT_EQ(c.baud, 57600u);
  EXPECT_EQ(c.versionWords.size(), 5u);
  EXPECT_EQ(c.newVersionWords[2], "0200");
  EXPECT_EQ(c.newBinrText1, "01RTK 0103");  // filled in from the model
  EXPECT_EQ(c.imageOut, "img.bin");
  EXPECT_TRUE(c.startInLoader);
  EXPECT_EQ(c.nakBlocks, (std::set<std::int64_t>{1, 5, 300}));
  EXPECT_EQ(c.nakForever, 7);
  EXPECT_EQ(c.faults.stallAfter, 9);
  EXPECT_EQ(c.restartTime, 250ms);
  EXPECT_EQ(c.answerDelay, 700ms);
  EXPECT_TRUE(c.silent);
  EXPECT_EQ(p.options.events, "ev.jsonl");
  EXPECT_EQ(c.binrEnding, BinrEnding::DleEtx);
  EXPECT_EQ(p.options.timeout, 12000ms);
}

TEST(SimOptions, RefusesBadValuesNamingTheOption) {
  const std::vector<std::vector<const char*>> bad = {
      {"--baud", "0"},
      {"--baud", "115200x"},
      {"--baud"},
      {"--protocol", "ubx"},
      {"--nak-blocks", "1,,2"},
      {"--nak-blocks", "0"},
      {"--nak-blocks", "3,"},
      {"--stall-after", "0"},
      {"--restart-s", "-1"},
      {"--restart-s", "1e3"},
      {"--timeout-s", "0"},
      {"--binr-ending", "etx"},
      {"--model", "KAP 41"},
      {"--version-words", "A1 KAP41 01*2"},
      {"--binr-text1", "a text that is longer than twenty-four"},
      {"--silent=yes"},
      {"--ack-delay-ms", "-1"},
      {"--ack-delay-ms", "10001"},
      {"--pace=1"},
      {"--frobnicate"},
  };
  for (const auto& args : bad) {
    const ParsedOptions p = Parse(args);
    EXPECT_NE(p.error, "") << args[0];
  }
  EXPECT_NE(Parse({"--baud", "0"}).error.find("--baud"), std::string::npos);
}

TEST(SimOptions, AVersionTextMayHoldAnythingButAZeroAsAHostileModuleSends) {
  const ParsedOptions p = Parse({"--binr-text2", "B1\n>>FW upgrade is FINISHED\x1b[2J"});
  ASSERT_EQ(p.error, "");
  EXPECT_EQ(p.options.config.binrText2, "B1\n>>FW upgrade is FINISHED\x1b[2J");
}

TEST(SimOptions, PacedTheBlockAnswerWaitsOnlyForTheLineUnlessADelayIsAsked) {
  EXPECT_EQ(Parse({}).options.config.blockAnswerDelay, kBlockAnswerDelay);
  EXPECT_FALSE(Parse({}).options.pace);
  const ParsedOptions paced = Parse({"--pace"});
  ASSERT_EQ(paced.error, "");
  EXPECT_TRUE(paced.options.pace);
  EXPECT_EQ(paced.options.config.blockAnswerDelay, 0ms);
  EXPECT_EQ(Parse({"--pace", "--ack-delay-ms", "16"}).options.config.blockAnswerDelay, 16ms);
  EXPECT_EQ(Parse({"--ack-delay-ms", "0"}).options.config.blockAnswerDelay, 0ms);
}

TEST(SimOptions, AFixtureRefusesTheOptionsOfASingleModuleAndTakesTheSharedOnes) {
  for (const std::string arg : {"--model=KAP42", "--protocol=binr", "--baud=9600", "--silent",
                                "--start-in-loader", "--nak-forever=3"}) {
    const std::string name = arg.substr(0, arg.find('='));
    EXPECT_EQ(Parse({"--fixture", "f.txt", arg.c_str()}).error.rfind(name + " describes a", 0), 0u)
        << arg;
    EXPECT_EQ(Parse({arg.c_str()}).error, "") << arg << " alone describes the one module";
  }
  const ParsedOptions p =
      Parse({"--restart-s", "0.5", "--fixture", "f.txt", "--image-out", "img", "--pace"});
  ASSERT_EQ(p.error, "");
  EXPECT_EQ(p.options.fixture, "f.txt");
  EXPECT_EQ(p.options.config.restartTime, 500ms);
  EXPECT_EQ(p.options.config.imageOut, "img");
}

TEST(SimOptions, APortThatVanishesOnRestartNeedsALinkToComeBackUnderAndNoFixture) {
  struct Case {
    std::vector<const char*> args;
    const char* refusal;  // how the message begins; empty when taken
  };
  const Case cases[] = {
      {{"--vanish-on-restart"}, "--vanish-on-restart needs --link"},
      {{"--vanish-on-restart", "--return-as", "/tmp/b"}, "--vanish-on-restart needs --link"},
      {{"--link", "/tmp/a", "--return-as", "/tmp/b"}, "--return-as needs --vanish-on-restart"},
      {{"--return-as", "/tmp/b"}, "--return-as needs --vanish-on-restart"},
      {{"--link", "/tmp/a", "--vanish-on-restart", "--return-as="}, "--return-as needs a path"},
      {{"--link", "/tmp/a", "--vanish-on-restart=yes"}, "--vanish-on-restart takes no value"},
      {{"--fixture", "f.txt", "--link", "/tmp/a", "--vanish-on-restart"},
       "--vanish-on-restart does not go with --fixture"},
      {{"--fixture", "f.txt", "--link", "/tmp/a", "--vanish-on-restart", "--return-as", "/tmp/b"},
       "--vanish-on-restart does not go with --fixture"},
      {{"--fixture", "f.txt", "--return-as", "/tmp/b"}, "--return-as does not go with --fixture"},
      {{"--link", "/tmp/a", "--vanish-on-restart"}, ""},
      {{"--vanish-on-restart", "--return-as", "/tmp/b", "--link", "/tmp/a"}, ""},
  };
  for (const Case& c : cases) {
    const ParsedOptions p = Parse(c.args);
    const std::string shown = ::testing::PrintToString(c.args);
    if (*c.refusal == '\0') {
      EXPECT_EQ(p.error, "") << shown;
      EXPECT_TRUE(p.options.vanishOnRestart) << shown;
    } else {
      EXPECT_EQ(p.error.rfind(c.refusal, 0), 0u) << shown << ": " << p.error;
    }
  }
  EXPECT_FALSE(Parse({"--link", "/tmp/a"}).options.vanishOnRestart);
}

TEST(SimOptions, HelpDocumentsEveryOption) {
  EXPECT_TRUE(Parse({"--help"}).options.help);
  const std::string help = HelpText();
  for (const char* name : {"--link",
                           "--vanish-on-restart",
                           "--return-as",
                           "--protocol",
                           "--baud",
                           "--model",
                           "--version-words",
                           "--new-version-words",
                           "--binr-text1",
                           "--binr-text2",
                           "--new-binr-text1",
                           "--new-binr-text2",
                           "--image-out",
                           "--start-in-loader",
                           "--nak-blocks",
                           "--nak-forever",
                           "--stall-after",
                           "--restart-s",
                           "--answer-delay-ms",
                           "--ack-delay-ms",
                           "--pace",
                           "--silent",
                           "--events",
                           "--binr-ending",
                           "--timeout-s",
                           "--fixture",
                           "--help"}) {
    EXPECT_NE(help.find(name), std::string::npos) << name;
  }
}

}  // namespace
}  // namespace movrand::sim

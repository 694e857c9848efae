// The command line of movrand-flash: what each argument becomes, and every way a command line
// is refused (exit code 2) before any port is touched.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "cli/options.h"
#include "support/error_text.h"

namespace movrand::cli {
namespace {

Result<FlashOptions> Parse(const std::vector<std::string>& args) {
  std::vector<const char*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());
  return ParseFlashOptions(argv);
}

TEST(FlashOptions, ReadsEveryOption) {
  const Result<FlashOptions> parsed =
      Parse({"--port", "ttyUSB0", "--protocol", "binr", "--baud", "57600", "--file", "fw.bin",
             "--yes", "--fast", "--log", "--test", "--json"});
  ASSERT_EQ(test::ErrorText(parsed), "");
  const FlashOptions& o = *parsed;
  EXPECT_EQ(o.port, "ttyUSB0");
  EXPECT_EQ(o.protocol, ProtocolChoice::Binr);
  EXPECT_EQ(o.baud, 57600u);
  EXPECT_EQ(o.file, "fw.bin");
  EXPECT_TRUE(o.yes && o.fast && o.log && o.test && o.json);
  EXPECT_FALSE(o.list || o.help || o.version);
}

TEST(FlashOptions, DefaultsAreAutoWithoutImage) {
  const Result<FlashOptions> parsed = Parse({"--port=/dev/ttyS1"});
  ASSERT_EQ(test::ErrorText(parsed), "");
  EXPECT_EQ(parsed->port, "/dev/ttyS1");
  EXPECT_EQ(parsed->protocol, ProtocolChoice::Auto);
  EXPECT_FALSE(parsed->baud.has_value());
  EXPECT_TRUE(parsed->file.empty());
  EXPECT_FALSE(parsed->yes || parsed->fast || parsed->json);
}

TEST(FlashOptions, ValueAfterEqualsSign) {
  const Result<FlashOptions> parsed = Parse({"--port=COM3", "--protocol=nmea", "--baud=auto"});
  ASSERT_EQ(test::ErrorText(parsed), "");
  EXPECT_EQ(parsed->port, "COM3");
  EXPECT_EQ(parsed->protocol, ProtocolChoice::Nmea);
  EXPECT_FALSE(parsed->baud.has_value());
}

TEST(FlashOptions, ListHelpAndVersionNeedNoPort) {
  for (const char* alone : {"--list", "--help", "--version"}) {
    const Result<FlashOptions> parsed = Parse({alone});
    EXPECT_EQ(test::ErrorText(parsed), "") << alone;
  }
  EXPECT_TRUE(Parse({"--list"})->list);
  EXPECT_TRUE(Parse({"--help"})->help);
  EXPECT_TRUE(Parse({"--version"})->version);
}

struct Refused {
  std::vector<std::string> args;
  std::string error;  // a part of the message, naming what is wrong
};

class FlashOptionsRefused : public testing::TestWithParam<Refused> {};

TEST_P(FlashOptionsRefused, NamesTheFault) {
  const Result<FlashOptions> parsed = Parse(GetParam().args);
  EXPECT_NE(test::ErrorText(parsed).find(GetParam().error), std::string::npos)
      << "error was: " << test::ErrorText(parsed);
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, FlashOptionsRefused,
    testing::Values(
        Refused{{}, "--port is needed"}, Refused{{"--file", "fw.bin"}, "--port is needed"},
        Refused{{"--port"}, "--port needs a value"},
        Refused{{"--port", ""}, "--port needs a port name"},
        Refused{{"--port", "tty USB0"}, "without blanks"},
        Refused{{"--port", "a", "--port", "a"}, "--port is given twice"},
        Refused{{"--port", "a", "--protocol", "ubx"}, "must be auto, nmea or binr"},
        Refused{{"--port", "a", "--protocol", "NMEA"}, "must be auto, nmea or binr"},
        Refused{{"--port", "a", "--protocol", "nmea", "--baud", "fast"}, "--baud must be"},
        Refused{{"--port", "a", "--protocol", "nmea", "--baud", "0"}, "--baud must be"},
        Refused{{"--port", "a", "--protocol", "nmea", "--baud", "-9600"}, "--baud must be"},
        Refused{{"--port", "a", "--protocol", "nmea", "--baud", "9600x"}, "--baud must be"},
        Refused{{"--port", "a", "--protocol", "nmea", "--baud", "4000001"}, "--baud must be"},
        Refused{{"--port", "a", "--protocol", "nmea", "--baud", "99999999999999999999"},
                "--baud must be"},
        // The window's rule: "Auto" protocol means "Auto" rate.
        Refused{{"--port", "a", "--baud", "9600"}, "needs --protocol nmea or binr"},
        Refused{{"--port", "a", "--yes=1"}, "--yes takes no value"},
        Refused{{"--port", "a", "--force"}, "unknown option --force"},
        Refused{{"--port", "a", "/l"}, "unexpected argument /l"},
        Refused{{"--port", "a", "--file", std::string(5000, 'x')}, "value too long"}));

// The production line's options, and the combinations that make no sense.
INSTANTIATE_TEST_SUITE_P(
    LineCommandLines, FlashOptionsRefused,
    testing::Values(
        Refused{{"--port", "a", "--ports", "tty*"}, "--port and --ports do not go together"},
        Refused{{"--ports", ""}, "--ports needs a pattern"},
        Refused{{"--port", "a", "--port", "b", "--file", "fw.bin"}, "several ports need --yes"},
        Refused{{"--ports", "tty*", "--file", "fw.bin"}, "several ports need --yes"},
        Refused{{"--port", "a", "--port", "b", "--log"}, "use it with one port"},
        Refused{{"--port", "a", "--timeout", "0"}, "--timeout must be whole seconds"},
        Refused{{"--port", "a", "--timeout", "86401"}, "--timeout must be whole seconds"},
        Refused{{"--port", "a", "--timeout", "1.5"}, "--timeout must be whole seconds"},
        Refused{{"--port", "a", "--expect-version", ""}, "--expect-version needs a version"},
        Refused{{"--port", "a", "--expect-version", std::string(65, 'v')},
                "--expect-version needs a version"},
        Refused{{"--port", "a", "--recover", "--protocol", "nmea", "--model", "KAP41"},
                "--recover needs --file"},
        Refused{{"--port", "a", "--recover", "--file", "f", "--model", "KAP41"},
                "--recover needs --protocol nmea or binr"},
        Refused{{"--port", "a", "--recover", "--protocol", "binr", "--file", "f"},
                "--recover needs --model NAME"},
        Refused{{"--port", "a", "--recover", "--protocol", "binr", "--file", "f", "--model", "K",
                 "--no-model-check"},
                "do not go together"},
        Refused{{"--port", "a", "--model", "KAP41"}, "--model is for --recover"},
        Refused{{"--port", "a", "--no-model-check"}, "--no-model-check is for --recover"},
        Refused{{"--port", "a", "--recover", "--protocol", "nmea", "--file", "f", "--model",
                 "ELEVENCHARS"},
                "--model needs a model name of 1 to 10"},
        Refused{
            {"--port", "a", "--recover", "--protocol", "nmea", "--file", "f", "--model", "KAP 41"},
            "without blanks"},
        Refused{{"--port", "a", "--recover", "--protocol", "nmea", "--file", "f",
                 "--no-model-check", "--test"},
                "--recover and --test do not go together"},
        Refused{{"--port", "a", "--record", ""}, "--record needs a file name"}));

TEST(FlashOptions, ReadsTheLinesOptions) {
  const Result<FlashOptions> parsed = Parse(
      {"--port", "ttyUSB0", "--port", "ttyUSB1", "--port=ttyUSB2", "--file", "fw.bin", "--yes",
       "--timeout", "120", "--expect-version", "A1 KAP41 0103", "--record", "line.jsonl"});
  ASSERT_EQ(test::ErrorText(parsed), "");
  const FlashOptions& o = *parsed;
  EXPECT_EQ(o.port, "ttyUSB0");
  EXPECT_EQ(o.ports, (std::vector<std::string>{"ttyUSB0", "ttyUSB1", "ttyUSB2"}));
  EXPECT_TRUE(IsLine(o));
  EXPECT_EQ(o.timeoutSeconds, 120);
  EXPECT_EQ(o.expectVersion, "A1 KAP41 0103");
  EXPECT_EQ(o.record, "line.jsonl");
  EXPECT_FALSE(IsLine(*Parse({"--port", "ttyUSB0", "--file", "fw.bin"})));
  EXPECT_TRUE(IsLine(*Parse({"--ports", "ttyUSB*"}))) << "a pattern is a line";

  const Result<FlashOptions> rescue = Parse({"--port", "ttyUSB0", "--recover", "--protocol", "binr",
                                             "--no-model-check", "--file", "fw.bin", "--fast"});
  ASSERT_EQ(test::ErrorText(rescue), "");
  EXPECT_TRUE(rescue->recover && rescue->noModelCheck && rescue->fast);
  EXPECT_EQ(rescue->model, "");
}

TEST(FlashOptions, AContinuousStationNeedsAnImageAndYesAndTakesItsOwnOptions) {
  const Result<FlashOptions> parsed =
      Parse({"--port", "ttyUSB0", "--continuous", "--file", "fw.bin", "--yes", "--count", "40",
             "--bell", "--model", "KAP41", "--expect-version", "A1 KAP41 0103"});
  ASSERT_EQ(test::ErrorText(parsed), "");
  EXPECT_TRUE(parsed->continuous && parsed->bell);
  EXPECT_EQ(parsed->count, 40);
  EXPECT_EQ(parsed->model, "KAP41") << "a module found in its loader is recovered with it";

  const std::string needs = "--continuous needs --file IMAGE and --yes";
  EXPECT_EQ(test::ErrorText(Parse({"--port", "ttyUSB0", "--continuous", "--yes"})).rfind(needs, 0),
            0u);
  EXPECT_EQ(test::ErrorText(Parse({"--port", "ttyUSB0", "--continuous", "--file", "f.bin"}))
                .rfind(needs, 0),
            0u);
  for (const std::vector<std::string>& refused :
       {std::vector<std::string>{"--recover", "--protocol", "nmea", "--model", "KAP41"},
        std::vector<std::string>{"--test"}, std::vector<std::string>{"--no-model-check"},
        std::vector<std::string>{"--count", "0"}, std::vector<std::string>{"--count", "x"},
        std::vector<std::string>{"--count", "1000001"}}) {
    std::vector<std::string> args{"--port", "ttyUSB0", "--continuous", "--file", "fw.bin", "--yes"};
    args.insert(args.end(), refused.begin(), refused.end());
    EXPECT_NE(test::ErrorText(Parse(args)), "") << refused.front();
  }
  EXPECT_NE(
      test::ErrorText(Parse({"--port", "ttyUSB0", "--file", "fw.bin", "--yes", "--count", "3"})),
      "")
      << "--count alone would be silently ignored";
  EXPECT_NE(test::ErrorText(Parse({"--port", "ttyUSB0", "--bell"})), "");
}

TEST(FlashHelp, DocumentsTheLinesExitCodesAndOptions) {
  const std::string help = FlashHelpText();
  for (int code = 8; code <= 10; ++code) {
    const std::string meaning(ExitCodeMeaning(static_cast<ExitCode>(code)));
    EXPECT_NE(help.find((code < 10 ? "  " : " ") + std::to_string(code) + "  " + meaning),
              std::string::npos)
        << code;
    EXPECT_NE(ExitCodeName(static_cast<ExitCode>(code)), "unknown");
  }
  for (const char* option : {"--ports", "--timeout", "--expect-version", "--recover", "--model",
                             "--no-model-check", "--record"}) {
    EXPECT_NE(help.find(std::string("  ") + option), std::string::npos) << option;
  }
}

TEST(FlashHelp, DocumentsEveryExitCode) {
  const std::string help = FlashHelpText();
  for (int code = 0; code <= 7; ++code) {
    const std::string meaning(ExitCodeMeaning(static_cast<ExitCode>(code)));
    EXPECT_NE(help.find("  " + std::to_string(code) + "  " + meaning), std::string::npos) << code;
  }
  for (const char* option : {"--port", "--protocol", "--baud", "--file", "--yes", "--fast", "--log",
                             "--test", "--json", "--list", "--help", "--version"}) {
    EXPECT_NE(help.find(std::string("  ") + option), std::string::npos) << option;
  }
  EXPECT_EQ(FlashVersionText().rfind("movrand-flash ", 0), 0u);
}

// The README's "### Exit codes" section: its table's rows (code, meaning without the markdown
// backticks) and the text of the section after the table.
struct ReadmeExitCodes {
  std::vector<std::pair<int, std::string>> rows;
  std::string after;
};

ReadmeExitCodes ReadReadmeExitCodes() {
  ReadmeExitCodes found;
  std::ifstream file(std::string(MOVRAND_SOURCE_DIR) + "/README.md");
  std::string line;
  while (std::getline(file, line) && line != "### Exit codes") {
  }
  bool inTable = false;
  while (std::getline(file, line) && line.rfind("#", 0) != 0) {
    if (line.rfind("| ", 0) == 0 && std::isdigit(static_cast<unsigned char>(line[2]))) {
      inTable = true;
      const std::size_t bar = line.find(" | ", 2);
      const std::size_t end = line.rfind(" |");
      std::string meaning;
      for (const char c : line.substr(bar + 3, end - bar - 3)) {
        if (c != '`') meaning += c;
      }
      found.rows.emplace_back(std::stoi(line.substr(2, bar - 2)), meaning);
    } else if (inTable || line.rfind("|", 0) != 0) {
      found.after += line + " ";
    }
  }
  return found;
}

TEST(ExitCodes, TheReadmeTableGivesEveryCodeWithTheProgramsMeaning) {
  const ReadmeExitCodes readme = ReadReadmeExitCodes();
  ASSERT_EQ(readme.rows.size(), static_cast<std::size_t>(kLastExitCode) + 1)
      << "README.md has no complete \"### Exit codes\" table";
  for (std::size_t i = 0; i < readme.rows.size(); ++i) {
    const auto& [code, text] = readme.rows[i];
    EXPECT_EQ(code, static_cast<int>(i)) << "the rows go by number";
    // The program's line, then at most the README's further detail after ':' or '('.
    const std::string meaning(ExitCodeMeaning(static_cast<ExitCode>(code)));
    EXPECT_EQ(text.substr(0, meaning.size()), meaning) << code;
    const std::string rest = text.substr(std::min(meaning.size(), text.size()));
    EXPECT_TRUE(rest.empty() || rest.rfind(": ", 0) == 0 || rest.rfind(" (", 0) == 0)
        << code << ": " << rest;
  }
}

TEST(ExitCodes, TheReadmeAndHelpGiveTheWorstFirstOrderOfTheSeverities) {
  const std::vector<ExitCode> worstFirst = ExitCodesWorstFirst();
  ASSERT_EQ(worstFirst.size(), static_cast<std::size_t>(kLastExitCode) + 1);
  std::vector<int> expected;
  for (std::size_t i = 0; i < worstFirst.size(); ++i) {
    expected.push_back(static_cast<int>(worstFirst[i]));
    if (i > 0) {
      EXPECT_GT(ExitCodeSeverity(worstFirst[i - 1]), ExitCodeSeverity(worstFirst[i]));
    }
    EXPECT_EQ(WorseOf(worstFirst.front(), worstFirst[i]), worstFirst.front());
  }
  EXPECT_EQ(worstFirst.front(), ExitCode::Internal);
  EXPECT_EQ(worstFirst.back(), ExitCode::Success);

  // The numbers of the README's sentence, without what its brackets say of each.
  const std::string after = ReadReadmeExitCodes().after;
  const std::string lead = "in this order from the worst: ";
  const std::size_t start = after.find(lead);
  ASSERT_NE(start, std::string::npos) << "README.md gives no worst-first order";
  std::vector<int> listed;
  int depth = 0;
  std::string number;
  for (std::size_t i = start + lead.size(); i < after.size(); ++i) {
    const char c = after[i];
    if (depth == 0 && std::isdigit(static_cast<unsigned char>(c))) {
      number += c;
      continue;
    }
    if (!number.empty()) listed.push_back(std::stoi(number));
    number.clear();
    depth += c == '(' ? 1 : c == ')' ? -1 : 0;
    if (depth == 0 && c == '.') break;
  }
  EXPECT_EQ(listed, expected);

  std::string help = "the worst: ";
  for (std::size_t i = 0; i < expected.size(); ++i) {
    help += (i > 0 ? ", " : "") + std::to_string(expected[i]);
  }
  EXPECT_NE(FlashHelpText().find(help + ".\n"), std::string::npos) << help;
}

}  // namespace
}  // namespace movrand::cli

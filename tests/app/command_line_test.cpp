#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/command_line.h"
#include "form_fakes.h"

namespace movrand {
namespace {

using testing::FormFixture;

TEST(CommandLine, OnlyTheFirstTwoCharactersCountCaseSensitively) {
  const struct {
    const char* text;
    Switches expected;
  } cases[] = {
      {"", {}},
      {"/l", {.log = true}},
      {"/t", {.test = true}},
      {"/b", {.fast = true}},
      {"  \t /l", {.log = true}},  // leading blanks and tabs skipped
      {"\t/b extra", {.fast = true}},
      {"/L", {}},  // capitals do nothing
      {"/T", {}},
      {"-t", {}},               // a minus is not a slash
      {"/lt", {.log = true}},   // written together: only the first counts
      {"/tx", {.test = true}},  // a further letter is ignored
      {"/", {}},
      {"x/t", {}},
      {" \t ", {}},
      {"\n/l", {}},  // only blanks and tabs are skipped
  };
  for (const auto& c : cases) EXPECT_EQ(ParseSwitches(c.text), c.expected) << "'" << c.text << "'";
}

TEST(CommandLine, ArgumentTextJoinsTheArgumentsAfterTheProgramName) {
  const char* argv[] = {"movrand", "/t", "more", "words"};
  EXPECT_EQ(ArgumentText(4, argv), "/t more words");
  EXPECT_EQ(ArgumentText(1, argv), "");
  const char* withEmpty[] = {"movrand", "", "/l"};
  EXPECT_EQ(ArgumentText(3, withEmpty), " /l");
  EXPECT_EQ(ParseSwitches(ArgumentText(3, withEmpty)), Switches{.log = true});
}

TEST(CommandLine, TestModeShowsTheCheckBoxAndOffersTheTestRate) {
  FormFixture f;
  ApplyCommandLine(f.form, "/t");
  EXPECT_TRUE(f.form.TestMode);
  EXPECT_FALSE(f.form.LogEnabled);
  EXPECT_FALSE(f.form.FastProgramming);
  EXPECT_TRUE(f.form.CheckBox1.visible());
  ASSERT_EQ(f.form.BaudComboBox.items().size(), 10u);
  EXPECT_EQ(f.form.BaudComboBox.items().back(), "148874");
}

TEST(CommandLine, OtherSwitchesLeaveTestModeOff) {
  const struct {
    const char* text;
    bool log;
    bool fast;
  } cases[] = {{"/l", true, false}, {"/b", false, true}, {"", false, false}, {"-t", false, false}};
  for (const auto& c : cases) {
    FormFixture f;
    f.form.CheckBox1.setVisible(true);
    ApplyCommandLine(f.form, c.text);
    EXPECT_EQ(f.form.LogEnabled, c.log) << c.text;
    EXPECT_EQ(f.form.FastProgramming, c.fast) << c.text;
    EXPECT_FALSE(f.form.TestMode) << c.text;
    EXPECT_FALSE(f.form.CheckBox1.visible()) << c.text;
    EXPECT_EQ(f.form.BaudComboBox.items().size(), 9u) << c.text;
  }
}

}  // namespace
}  // namespace movrand

// What came from outside, shown as text: each kind of character a module or a station could
// use to forge a line, steer a terminal or turn a line around, and everything that stays.
#include "protocol/visible_text.h"

#include <gtest/gtest.h>

namespace movrand {
namespace {

TEST(VisibleText, PlainTextAndLettersOfAnyScriptStayAsTheyAre) {
  EXPECT_EQ(VisibleText("A1 KAP41 0102"), "A1 KAP41 0102");
  EXPECT_EQ(VisibleText("Приёмник ГНСС \xE2\x82\xAC 5\xC2\xB0"), "Приёмник ГНСС € 5°");
  EXPECT_EQ(VisibleText("\xF0\x9F\x9B\xB0"), "\xF0\x9F\x9B\xB0")
      << "a character above the first plane";
  EXPECT_EQ(VisibleText(""), "");
  EXPECT_EQ(VisibleText("C:\\fw\\x0A"), "C:\\fw\\x0A") << "a backslash is a character like any";
}

TEST(VisibleText, ControlsLineBreaksAndBrokenUtf8AreWrittenAsBytes) {
  EXPECT_EQ(VisibleText("a\nb\r\nc\td"), "a\\x0Ab\\x0D\\x0Ac\\x09d");
  EXPECT_EQ(VisibleText(std::string("\x00\x1B[2J\x7F", 6)), "\\x00\\x1B[2J\\x7F");
  // C1 controls, in their UTF-8 form (U+009B is a terminal's CSI) and as bare bytes.
  EXPECT_EQ(VisibleText("\xC2\x9B"
                        "31m"),
            "\\xC2\\x9B31m");
  EXPECT_EQ(VisibleText("\x9B"
                        "31m"),
            "\\x9B31m");
  // Not UTF-8: a lone continuation byte, a cut sequence, an overlong form, a surrogate.
  EXPECT_EQ(VisibleText("\x80"), "\\x80");
  EXPECT_EQ(VisibleText("\xE2\x80"), "\\xE2\\x80");
  EXPECT_EQ(VisibleText("\xC0\xAF"), "\\xC0\\xAF");
  EXPECT_EQ(VisibleText("\xED\xA0\x80"), "\\xED\\xA0\\x80");
}

TEST(VisibleText, CharactersThatTurnOrHideTextAreNamed) {
  EXPECT_EQ(VisibleText("abc\xE2\x80\xAE"
                        "def"),
            "abc\\u202Edef");                                              // right-to-left override
  EXPECT_EQ(VisibleText("\xE2\x81\xA6x\xE2\x81\xA9"), "\\u2066x\\u2069");  // an isolate
  EXPECT_EQ(VisibleText("\xE2\x80\x8Bhidden\xEF\xBB\xBF"), "\\u200Bhidden\\uFEFF");
  EXPECT_EQ(VisibleText("one\xE2\x80\xA8two"), "one\\u2028two");  // a line separator
  EXPECT_EQ(VisibleText("\xF3\xA0\x80\x81"), "\\U000E0001");      // a tag
  EXPECT_TRUE(IsFormatCharacter(0x202E));
  EXPECT_TRUE(IsFormatCharacter(0x061C));
  EXPECT_FALSE(IsFormatCharacter(0x20AC));
  EXPECT_FALSE(IsFormatCharacter('A'));
}

TEST(VisibleText, ShowingAgainChangesNothing) {
  const std::string once = VisibleText("B1\n>>FW upgrade is FINISHED\xE2\x80\xAE\x1B");
  EXPECT_EQ(VisibleText(once), once);
  EXPECT_EQ(once.find('\n'), std::string::npos);
}

}  // namespace
}  // namespace movrand

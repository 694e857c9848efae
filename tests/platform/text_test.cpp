// The shared text helpers: hexadecimal digits and ASCII case folding that no locale changes.
#include <gtest/gtest.h>

#include <string>

#include "platform/text.h"

namespace movrand {
namespace {

TEST(Text, WritesHexadecimalDigitsOfEitherCaseMostSignificantFirst) {
  EXPECT_EQ(HexDigit(0xA), 'A');
  EXPECT_EQ(HexDigit(0xA, false), 'a');
  EXPECT_EQ(HexDigit(0x3F), 'F') << "only the low four bits count";
  std::string out = "x";
  AppendHex(out, 0x0F, 2);
  AppendHex(out, 0x1F600, 8, false);
  AppendHex(out, 0xABC, 2);
  EXPECT_EQ(out, "x0F0001f600BC");
}

TEST(Text, FoldsAsciiLettersOnly) {
  EXPECT_EQ(ToLowerAscii("COM10 Usb-Serial"), "com10 usb-serial");
  EXPECT_EQ(ToUpperAscii("com10 [a-z]@`{"), "COM10 [A-Z]@`{");
  const std::string latin1 = "\xC4\xE4";  // bytes no locale may fold here
  EXPECT_EQ(ToLowerAscii(latin1), latin1);
  EXPECT_EQ(ToUpperAscii(latin1), latin1);
}

TEST(Text, ComparesIgnoringAsciiCase) {
  EXPECT_TRUE(EqualsIgnoringCase("KAP41", "kap41"));
  EXPECT_FALSE(EqualsIgnoringCase("KAP41", "KAP4"));
  EXPECT_FALSE(EqualsIgnoringCase("@", "`")) << "neighbours of the letters are not letters";
  EXPECT_FALSE(EqualsIgnoringCase("\xC4", "\xE4"));
  EXPECT_TRUE(StartsWithIgnoringCase("usb-serial:A1", "USB-SERIAL:"));
  EXPECT_FALSE(StartsWithIgnoringCase("usb", "usb-serial:"));

  EXPECT_TRUE(LessIgnoringCase("apple", "Banana"));
  EXPECT_FALSE(LessIgnoringCase("Banana", "apple"));
  EXPECT_FALSE(LessIgnoringCase("COM1", "com1"));
  EXPECT_TRUE(LessIgnoringCase("com", "COM1")) << "a prefix comes first";
  EXPECT_TRUE(LessIgnoringCase("z", "\xE4")) << "bytes above ASCII sort after it";
}

}  // namespace
}  // namespace movrand

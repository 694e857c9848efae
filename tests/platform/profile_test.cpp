#include "platform/profile.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace movrand {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

// ---- The text -----------------------------------------------------------------------------------

struct FindCase {
  const char* name;
  std::string text;
  std::optional<std::string> port;  // the value of Port in [Settings]
};

TEST(FindProfileValue, ReadsAsPrivateProfilesDo) {
  const std::string longLine = "Port=" + std::string(kProfileMaxLineLength, '7');
  const std::string lineAtLimit = "Port=" + std::string(kProfileMaxLineLength - 5, '7');
  const std::vector<FindCase> cases = {
      {"plain", "[Settings]\r\nPort=3\r\n", "3"},
      {"names in any case", "[settings]\nPORT=3\n", "3"},
      {"blanks and tabs around names and value", "  [ Settings ]\t\n \tPort \t= 3 \t\n", "3"},
      {"double quotes taken off", "[Settings]\nPort=\" 3 \"\n", " 3 "},
      {"single quotes taken off", "[Settings]\nPort='3'\n", "3"},
      {"unmatched quotes kept", "[Settings]\nPort=\"3'\n", "\"3'"},
      {"empty value", "[Settings]\nPort=\n", ""},
      {"value holding '='", "[Settings]\nPort=a=b\n", "a=b"},
      {"first key of the name", "[Settings]\nPort=1\nPort=2\n", "1"},
      {"only the first section of the name", "[Settings]\nA=1\n[Settings]\nPort=2\n", std::nullopt},
      {"key of another section", "[Other]\nPort=1\n[Settings]\nA=2\n", std::nullopt},
      {"keys before any section", "Port=1\n[Settings]\n", std::nullopt},
      {"comment", "[Settings]\n;Port=1\n", std::nullopt},
      {"line without '='", "[Settings]\nPort\n", std::nullopt},
      {"header without ']'", "[Settings\nPort=1\n", std::nullopt},
      {"no line break at the end", "[Settings]\nPort=4", "4"},
      {"UTF-8 mark before the first section", "\xEF\xBB\xBF[Settings]\r\nPort=5\r\n", "5"},
      {"zero bytes elsewhere", "\0\0\n[Settings]\nPort=6\n\0"s, "6"},
      {"over-long line is no key", "[Settings]\n" + longLine + "\nPort=8\n", "8"},
      {"line at the limit is a key", "[Settings]\n" + lineAtLimit + "\n",
       std::string(kProfileMaxLineLength - 5, '7')},
      {"empty text", "", std::nullopt},
  };
  for (const FindCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<std::string_view> found = FindProfileValue(c.text, "Settings", "Port");
    EXPECT_EQ(found ? std::optional<std::string>(*found) : std::nullopt, c.port);
  }
}

TEST(ParseProfileInteger, TakesDecimalAndPrefixedHexadecimalWithinAnInt) {
  const std::vector<std::pair<std::string, std::optional<int>>> cases = {
      {"0", 0},
      {"12", 12},
      {"-1", -1},
      {"+5", 5},
      {"007", 7},
      {"0x1", 1},
      {"0X1f", 31},
      {"$FF", 255},
      {"-$10", -16},
      {"2147483647", 2147483647},
      {"-2147483648", -2147483647 - 1},
      {"0x7FFFFFFF", 2147483647},
      {"2147483648", std::nullopt},
      {"0x80000000", std::nullopt},
      {"99999999999999999999", std::nullopt},
      {"abc", std::nullopt},
      {"2abc", std::nullopt},
      {"1.5", std::nullopt},
      {"1 2", std::nullopt},
      {" 1", std::nullopt},
      {"", std::nullopt},
      {"-", std::nullopt},
      {"$", std::nullopt},
      {"0x", std::nullopt},
      {"0xg", std::nullopt},
      {"x1", std::nullopt},
      {"--1", std::nullopt},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(ParseProfileInteger(text), expected) << '"' << text << '"';
  }
}

struct SetCase {
  const char* name;
  std::string before;
  std::string value;
  std::string after;
};

TEST(SetProfileValue, ChangesOneLineAndKeepsEveryOtherByte) {
  const std::vector<SetCase> cases = {
      {"new file", "", "v", "[Settings]\r\nPort=v\r\n"},
      {"value replaced, own spelling kept", "[Other]\nPort=0\n[SETTINGS]\n  port = old \n;c\n", "v",
       "[Other]\nPort=0\n[SETTINGS]\nport=v\n;c\n"},
      {"new key after the section's last line, line feeds kept", "[Settings]\nA=1\n", "v",
       "[Settings]\nA=1\nPort=v\n"},
      {"blank lines before the next section stay",
       "[Settings]\r\nA=1\r\n;note\r\n\r\n[Tail]\r\nB=2\r\n", "v",
       "[Settings]\r\nA=1\r\n;note\r\nPort=v\r\n\r\n[Tail]\r\nB=2\r\n"},
      {"header alone, no line break", "[Settings]", "v", "[Settings]\r\nPort=v"},
      {"last line without break", "[Settings]\nA=1", "v", "[Settings]\nA=1\nPort=v"},
      {"section added after text without final break", "[Other]\nB=2", "v",
       "[Other]\nB=2\n[Settings]\nPort=v\n"},
      {"first of two sections", "[Settings]\nA=1\n[Settings]\nPort=1\n", "2",
       "[Settings]\nA=1\nPort=2\n[Settings]\nPort=1\n"},
      {"UTF-8 mark kept", "\xEF\xBB\xBF[Settings]\r\nPort=1\r\n", "2",
       "\xEF\xBB\xBF[Settings]\r\nPort=2\r\n"},
      {"not text at all", "\0\x01\xFF"s, "v", "\0\x01\xFF\r\n[Settings]\r\nPort=v\r\n"s},
      {"leading blank quoted", "", " v", "[Settings]\r\nPort=\" v\"\r\n"},
      {"quoted value quoted again", "", "'v'", "[Settings]\r\nPort=\"'v'\"\r\n"},
      {"empty value", "[Settings]\r\nPort=1\r\n", "", "[Settings]\r\nPort=\r\n"},
      {"a lone CR at the end stays content", "[Settings]\nTop=5\r", "v",
       "[Settings]\nTop=5\r\r\nPort=v"},
      {"a lone CR before a new section stays content", "[Other]\nPort=9\r", "v",
       "[Other]\nPort=9\r\r\n[Settings]\nPort=v\n"},
  };
  for (const SetCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SetProfileValue(c.before, "Settings", "Port", c.value), c.after);
  }
}

TEST(SetProfileValue, WhatIsWrittenReadsBackAndLeavesTheOtherKeys) {
  const std::vector<std::string> texts = {
      "",
      "[Settings]\r\nTop=9\r\n",
      "[Settings]\nPort=1\nTop=9",
      "Top=1\n[Other]\nPort=2\n[Settings]\n\n\nTop=9\n\n[Tail]\nPort=3\n",
      "\xEF\xBB\xBF[Settings]\r\nTop=9",
      "\0garbage\r\r\n[Settings\n"s,
      "[Settings]\nTop='5'\r",
      "[Tail]\nPort=3\r",
  };
  const std::vector<std::string> values = {
      "",  "1",   " lead", "trail\t", "\"q\"",
      "'", "a=b", "[x]",   ";c",      std::string(kProfileMaxStringLength, 'z')};
  for (const std::string& text : texts) {
    const std::optional<std::string_view> top = FindProfileValue(text, "Settings", "Top");
    for (const std::string& value : values) {
      SCOPED_TRACE("text \"" + text + "\" value \"" + value + "\"");
      const std::string updated = SetProfileValue(text, "Settings", "Port", value);
      EXPECT_EQ(FindProfileValue(updated, "settings", "port"), value);
      EXPECT_EQ(FindProfileValue(updated, "Settings", "Top"), top);
      EXPECT_EQ(FindProfileValue(updated, "Tail", "Port"), FindProfileValue(text, "Tail", "Port"));
    }
  }
}

TEST(ProfileNamesAndValues, RefuseWhatWouldBreakTheLines) {
  EXPECT_TRUE(IsStorableProfileString(""));
  EXPECT_TRUE(IsStorableProfileString(std::string(kProfileMaxStringLength, 'a')));
  EXPECT_FALSE(IsStorableProfileString(std::string(kProfileMaxStringLength + 1, 'a')));
  for (const std::string& bad : {"a\nb"s, "a\rb"s, "a\0b"s}) {
    EXPECT_FALSE(IsStorableProfileString(bad));
  }
  EXPECT_TRUE(IsValidProfileName("Settings", "FileName"));
  EXPECT_FALSE(IsValidProfileName("", "Port"));
  EXPECT_FALSE(IsValidProfileName("Settings", ""));
  EXPECT_FALSE(IsValidProfileName("Set]tings", "Port"));
  EXPECT_FALSE(IsValidProfileName("Settings", "Po=rt"));
  EXPECT_FALSE(IsValidProfileName("Settings", ";Port"));
  EXPECT_FALSE(IsValidProfileName("Settings", "[Port"));
  EXPECT_FALSE(IsValidProfileName("Settings", " Port"));
  EXPECT_FALSE(IsValidProfileName("Settings\n", "Port"));
}

// ---- Files --------------------------------------------------------------------------------------

class ProfileFileTest : public ::testing::Test {
 protected:
  void SetUp() override { folder_ = test::MakeTempFolder("movrand-profile"); }
  void TearDown() override {
    std::error_code ignored;
    fs::permissions(folder_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(folder_, ignored);
  }

  fs::path ini() const { return folder_ / "movrand.ini"; }

  static void Put(const fs::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
  }
  static std::string Get(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder_)) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }
  // Makes the folder read-only; false when permission bits do not stop this user (root).
  bool MakeFolderReadOnly() {
    fs::permissions(folder_, fs::perms::owner_read | fs::perms::owner_exec);
    const fs::path probe = folder_ / "probe";
    std::ofstream(probe) << "x";
    if (!fs::exists(probe)) return true;
    fs::permissions(folder_, fs::perms::owner_all);
    fs::remove(probe);
    return false;
  }

  fs::path folder_;
};

TEST_F(ProfileFileTest, MissingFileReadsDefaultsAndIsCreatedByTheFirstWrite) {
  ProfileFile profile(ini());
  EXPECT_FALSE(profile.Exists());
  EXPECT_EQ(profile.ReadInteger("Settings", "Port", -7), -7);
  EXPECT_EQ(profile.ReadString("Settings", "FileName", "none"), "none");
  EXPECT_TRUE(Names().empty()) << "reading creates nothing";

  ASSERT_TRUE(profile.WriteInteger("Settings", "Port", 1));
  ASSERT_TRUE(profile.WriteString("Settings", "FileName", "/fw/a b.bin"));
  ASSERT_TRUE(profile.WriteInteger("Settings", "Left", -20));
  EXPECT_TRUE(profile.Exists());
  EXPECT_EQ(Get(ini()), "[Settings]\r\nPort=1\r\nFileName=/fw/a b.bin\r\nLeft=-20\r\n");
  EXPECT_EQ(Names(), std::vector<std::string>{"movrand.ini"}) << "no temporary file left";
  EXPECT_EQ(profile.ReadInteger("Settings", "Left", 0), -20);
  EXPECT_EQ(profile.ReadString("Settings", "FileName", ""), "/fw/a b.bin");
}

TEST_F(ProfileFileTest, ReadsIntegersAndStringsOrFallsBackToTheDefault) {
  const std::string atLimit(kProfileMaxStringLength, 'p');
  Put(ini(), "[Settings]\nHex=0x1\nDollar=$a\nWord=abc\nEmpty=\nLong=" + atLimit +
                 "\nTooLong=" + atLimit + "q\n");
  const ProfileFile profile(ini());
  EXPECT_EQ(profile.ReadInteger("Settings", "Hex", -1), 1);
  EXPECT_EQ(profile.ReadInteger("Settings", "Dollar", -1), 10);
  EXPECT_EQ(profile.ReadInteger("Settings", "Word", -1), -1);
  EXPECT_EQ(profile.ReadInteger("Settings", "Empty", -1), -1);
  EXPECT_EQ(profile.ReadString("Settings", "Empty", "d"), "");
  EXPECT_EQ(profile.ReadString("Settings", "Long", "d"), atLimit);
  EXPECT_EQ(profile.ReadString("Settings", "TooLong", "d"), "d") << "never cut to another value";
}

TEST_F(ProfileFileTest, WritesKeepOtherSectionsKeysAndOrder) {
  const std::string before =
      "; written by hand\n[Other]\nPort=9\n\n[Settings]\nTop=5\nExtra=keep me\n\n[Tail]\nx=1";
  Put(ini(), before);
  ProfileFile profile(ini());
  ASSERT_TRUE(profile.WriteInteger("Settings", "Port", 2));
  ASSERT_TRUE(profile.WriteInteger("Settings", "Top", 6));
  EXPECT_EQ(Get(ini()),
            "; written by hand\n[Other]\nPort=9\n\n[Settings]\nTop=6\nExtra=keep me\nPort=2\n\n"
            "[Tail]\nx=1");
}

TEST_F(ProfileFileTest, AFileBeyondTheSizeLimitIsNeitherReadNorRewritten) {
  std::string big = "[Settings]\r\nPort=1\r\n[Pad]\r\n";
  while (big.size() <= kProfileMaxFileSize) big += "x=" + std::string(100, 'y') + "\r\n";
  Put(ini(), big);
  ProfileFile profile(ini());
  EXPECT_EQ(profile.ReadInteger("Settings", "Port", -1), -1);
  EXPECT_FALSE(profile.WriteInteger("Settings", "Port", 2));
  EXPECT_EQ(Get(ini()), big);
}

TEST_F(ProfileFileTest, AWriteThatWouldGrowTheFileBeyondTheLimitIsRefused) {
  std::string nearly = "[Settings]\r\nPort=1\r\n";
  nearly += std::string(kProfileMaxFileSize - nearly.size() - 4, ';');
  Put(ini(), nearly);
  ProfileFile profile(ini());
  EXPECT_TRUE(profile.WriteInteger("Settings", "Port", 2)) << "same length: fits";
  EXPECT_FALSE(profile.WriteString("Settings", "FileName", "/fw.bin"));
  EXPECT_EQ(Get(ini()).size(), kProfileMaxFileSize - 4);
}

TEST_F(ProfileFileTest, ValuesThatWouldBreakTheFileAreRefused) {
  ProfileFile profile(ini());
  EXPECT_FALSE(profile.WriteString("Settings", "FileName", "/a\n[Evil]\nb.bin"));
  EXPECT_FALSE(profile.WriteString("Settings", "FileName", std::string(3000, 'a')));
  EXPECT_FALSE(profile.WriteString("Settings", "Bad=Key", "1"));
  EXPECT_FALSE(profile.Exists());
}

TEST_F(ProfileFileTest, SomethingThatIsNotAPlainFileIsLeftAlone) {
  // A folder at the path, a file where a folder should be, and a pipe (which must not block).
  fs::create_directory(ini());
  ProfileFile folderProfile(ini());
  EXPECT_EQ(folderProfile.ReadInteger("Settings", "Port", -1), -1);
  EXPECT_FALSE(folderProfile.WriteInteger("Settings", "Port", 1));
  EXPECT_TRUE(fs::is_directory(ini()));

  Put(folder_ / "blocker", "x");
  ProfileFile underFile(folder_ / "blocker" / "movrand.ini");
  EXPECT_FALSE(underFile.Exists());
  EXPECT_EQ(underFile.ReadString("Settings", "FileName", "d"), "d");
  EXPECT_FALSE(underFile.WriteInteger("Settings", "Port", 1));
  EXPECT_EQ(Get(folder_ / "blocker"), "x");

  const fs::path pipe = folder_ / "pipe.ini";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  ProfileFile pipeProfile(pipe);
  EXPECT_EQ(pipeProfile.ReadInteger("Settings", "Port", -1), -1);
  EXPECT_FALSE(pipeProfile.WriteInteger("Settings", "Port", 1));
  EXPECT_TRUE(fs::is_fifo(pipe));
}

TEST_F(ProfileFileTest, PermissionsAndSymbolicLinksSurviveAWrite) {
  Put(ini(), "[Settings]\nPort=1\n");
  fs::permissions(ini(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  const fs::path link = folder_ / "link.ini";
  fs::create_symlink(ini(), link);

  ProfileFile profile(link);
  ASSERT_TRUE(profile.WriteInteger("Settings", "Port", 2));
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(Get(ini()), "[Settings]\nPort=2\n");
  EXPECT_EQ(fs::status(ini()).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(Names().size(), 2u) << "no temporary file left";
}

TEST_F(ProfileFileTest, AReadOnlyFileIsNotReplaced) {
  Put(ini(), "[Settings]\nPort=1\n");
  fs::permissions(ini(), fs::perms::owner_read);
  if (::access(ini().c_str(), W_OK) == 0) GTEST_SKIP() << "permission bits do not bind this user";
  ProfileFile profile(ini());
  EXPECT_FALSE(profile.WriteInteger("Settings", "Port", 2));
  EXPECT_EQ(Get(ini()), "[Settings]\nPort=1\n");
}

TEST_F(ProfileFileTest, AReadOnlyFolderTakesNoNewFileButAWritableFileIsRewrittenInPlace) {
  Put(ini(), "[Settings]\nPort=1\n");
  if (!MakeFolderReadOnly()) GTEST_SKIP() << "permission bits do not bind this user";
  ProfileFile existing(ini());
  EXPECT_TRUE(existing.WriteInteger("Settings", "Port", 23));
  EXPECT_TRUE(existing.WriteInteger("Settings", "Port", 4));  // shorter: the file is cut
  EXPECT_EQ(Get(ini()), "[Settings]\nPort=4\n");

  ProfileFile absent(folder_ / "other.ini");
  EXPECT_FALSE(absent.WriteInteger("Settings", "Port", 1));
  EXPECT_EQ(Names(), std::vector<std::string>{"movrand.ini"});
}

}  // namespace
}  // namespace movrand

// The Programming button's first step: the chosen file is read, checked and either handed to
// the procedure or refused with its line in the log pane, the link left as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "protocol/nmea_output.h"
#include "support/capture_form.h"

namespace movrand {
namespace {

using testing::Bytes;
using testing::CaptureForm;

constexpr const char* kStamp = "14:03:12";

std::string Stamped(std::string_view text) {
  return std::string(kStamp).append(text);
}

class LoadImageTest : public ::testing::Test {
 protected:
  void SetUp() override { f.Connected(RxMode::Nmea, 115200, "KAP41"); }

  // Presses Programming and expects the image to be refused with `line` as the last line,
  // the link untouched and the Open button enabled again.
  void ExpectRefused(const std::string& line, bool programStaysEnabled = true) {
    const std::size_t linesBefore = f.Lines().size();
    f.form.SpeedButtonOpen.setEnabled(false);
    f.form.SpeedButtonProgram.click();
    ASSERT_EQ(f.Lines().size(), linesBefore + 1);
    EXPECT_EQ(f.LastLine(), line);
    EXPECT_TRUE(f.form.SpeedButtonOpen.enabled());
    EXPECT_EQ(f.form.SpeedButtonProgram.enabled(), programStaysEnabled);
    EXPECT_EQ(f.dialogs.attentionShown, 0) << "no confirmation for a refused image";
    EXPECT_TRUE(f.driver.writes().empty()) << "nothing goes to the module";
    EXPECT_EQ(f.form.RxMode, RxMode::Nmea);
    EXPECT_TRUE(PortIsOpen());
    EXPECT_TRUE(f.form.SpeedButtonSynch.enabled());
  }

  CaptureForm f;
};

TEST_F(LoadImageTest, AFileThatCannotBeOpenedIsNamedWithoutItsFolder) {
  f.form.OpenDialog1.FileName = (f.dir.path() / "gone.bin").string();
  f.form.Edit1.setText("gone.bin");
  f.form.UpdateProgramButton();
  ASSERT_TRUE(f.form.SpeedButtonProgram.enabled());
  ExpectRefused(">>Can't open the file gone.bin", /*programStaysEnabled=*/false);
}

TEST_F(LoadImageTest, LengthOrCrcErrorsOfLargeImagesAndAnEmptyFile) {
  Bytes badCrc = testing::LargeImage(131072, {"KAP41"});
  badCrc[5] ^= 0x40;
  Bytes changed = testing::LargeImage(300000, {"KAP41"});
  changed[299999] ^= 0x01;
  Bytes badLength = testing::LargeImage(131072, {"KAP41"});
  testing::PutLittleEndian32(badLength, 0, 131000);
  const std::pair<const char*, Bytes> cases[] = {
      {"empty file", {}},
      {"header CRC", badCrc},
      {"payload byte", changed},
      {"length field", badLength},
      {"exactly 131072 bytes without a header", testing::SmallImage(131072, {"KAP41"})},
  };
  for (const auto& [what, bytes] : cases) {
    SCOPED_TRACE(what);
    f.ChooseFile("fw.bin", bytes);
    ExpectRefused(Stamped(">>RTK FW length/CRC error!!!"));
    EXPECT_EQ(f.form.Programmer.ImageLength, 0);
  }
}

TEST_F(LoadImageTest, AFileLargerThanTheBufferIsRefusedWithTheLimit) {
  f.ChooseFile("huge.bin", testing::LargeImage((1u << 20) + 128, {"KAP41"}));
  ExpectRefused(Stamped(">>Firmware file is larger than 1024 kB: huge.bin"));
  EXPECT_EQ(f.form.Programmer.ImageLength, 0);
}

TEST_F(LoadImageTest, AnImageForAnotherModelShowsTheModuleAsItReported) {
  f.ChooseFile("fw.bin", testing::SmallImage(5000, {"KAP42"}));
  ExpectRefused(
      Stamped(">>Version of the software does not match the version of the device A1 KAP41 !!!"));
}

TEST_F(LoadImageTest, OverBinrTheMismatchShowsTheVersionText) {
  ClosePort();
  f.Connected(RxMode::Binr, 115200, "KAP41");
  auto& info = f.form.Receiver.BinrRx.VersionInfo;
  const std::string text = "KAP41 2.04 build 33";
  std::copy(text.begin(), text.end(), info.begin() + 1);
  f.ChooseFile("fw.bin", testing::SmallImage(5000, {"DOV41"}));
  f.form.SpeedButtonProgram.click();
  EXPECT_EQ(f.LastLine(),
            Stamped(">>Version of the software does not match the version of the device " + text +
                    " !!!"));

  // A text without its terminating zero stops at the end of the reply's 76 bytes.
  std::fill(info.begin() + 1, info.end(), 'Z');
  f.form.SpeedButtonProgram.click();
  EXPECT_EQ(f.LastLine(),
            Stamped(">>Version of the software does not match the version of the device " +
                    std::string(75, 'Z') + " !!!"));
}

TEST_F(LoadImageTest, TheRtkRuleChecksSmallImagesAgainstTheFourthVersionWord) {
  const struct {
    const char* what;
    std::string model;
    Bytes image;
    bool accepted;
    std::string modelAfter;
  } cases[] = {
      {"small image with DOV-RTK and W", "RTK", testing::SmallImage(9000, {"DOV-RTK", "W55X"}),
       true, "W55X"},
      {"RTA module alike", "RTA2", testing::SmallImage(9000, {"DOV-RTK", "W55X"}), true, "W55X"},
      {"small image with DOV-RTK only: W is missing", "RTK", testing::SmallImage(9000, {"DOV-RTK"}),
       false, "W55X"},
      {"RTM modules are not subject to the rule", "RTM2",
       testing::SmallImage(9000, {"DOV-RTK", "W55X"}), false, "RTM2"},
      {"without DOV-RTK the model word is used", "RTK2", testing::SmallImage(9000, {"W55X"}), false,
       "RTK2"},
      {"large images never", "RTK2", testing::LargeImage(140000, {"DOV-RTK", "W55X"}), false,
       "RTK2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SetField(f.form.DeviceModel, c.model);
    SetField(f.form.VersionWord4, "W55X");
    f.ChooseFile("rtk.bin", c.image);
    f.dialogs.attentionAnswer = ModalResult::Cancel;  // the check is all this looks at
    f.form.SpeedButtonProgram.click();
    EXPECT_EQ(f.dialogs.attentionShown > 0, c.accepted);
    EXPECT_EQ(FieldText(f.form.DeviceModel), c.modelAfter) << "kept even when the check fails";
    if (!c.accepted) {
      EXPECT_EQ(f.LastLine(), Stamped(">>Version of the software does not match the version of "
                                      "the device A1 " +
                                      c.modelAfter + " !!!"));
    }
    f.dialogs.attentionShown = 0;
  }
}

TEST(LoadImageSize, TheSizeLineCountsWholeKilobytesOfTheRoundedLength) {
  const std::pair<std::size_t, const char*> cases[] = {
      {1, "0"}, {1000, "1"}, {1023, "1"}, {1024, "1"}, {2047, "2"}, {131071, "128"},
  };
  for (const auto& [size, kb] : cases) {
    SCOPED_TRACE(size);
    CaptureForm g;
    g.Connected(RxMode::Nmea, 115200, "KAP41");
    if (size < 100) {
      g.form.TestMode = true;  // too short to carry the name
      g.ChooseFile("fw.bin", testing::Pattern(size));
    } else {
      g.ChooseFile("fw.bin", testing::SmallImage(size, {"KAP41"}));
    }
    g.form.SpeedButtonProgram.click();
    EXPECT_EQ(g.LastLine(), Stamped(std::string(">>File Size ") + kb + "kB (0kB)"));
    EXPECT_EQ(g.form.Programmer.ImageLength % 128, 0);
  }
}

TEST_F(LoadImageTest, EveryPressReadsTheFileAnewIntoAFreshlyPaddedBuffer) {
  f.ChooseFile("fw.bin", testing::SmallImage(3000, {"KAP41"}));
  f.dialogs.attentionAnswer = ModalResult::Cancel;
  f.form.SpeedButtonProgram.click();
  EXPECT_EQ(f.form.Programmer.ImageLength, 3072);

  // The same name, now a shorter file: nothing of the first load may survive.
  const Bytes shorter = testing::SmallImage(1000, {"KAP41"});
  f.dir.Write("fw.bin", shorter);
  f.form.SpeedButtonProgram.click();
  EXPECT_EQ(f.form.Programmer.ImageLength, 1024);
  const auto& buffer = f.form.Programmer.ImageBuffer;
  ASSERT_EQ(buffer.size(), 1u << 20);
  EXPECT_TRUE(std::equal(shorter.begin(), shorter.end(), buffer.begin()));
  EXPECT_TRUE(std::all_of(buffer.begin() + 1000, buffer.end(), [](auto b) { return b == 0x1A; }));

  // And a file that went bad is refused, though the previous one passed.
  f.dir.Write("fw.bin", testing::SmallImage(1000, {"KAP42"}));
  f.form.SpeedButtonProgram.click();
  EXPECT_EQ(f.LastLine(), Stamped(">>Version of the software does not match the version of the "
                                  "device A1 KAP41 !!!"));
}

TEST_F(LoadImageTest, TestModeTakesAnImageForAnotherModelWithoutAsking) {
  ClosePort();
  f.Connected(RxMode::Nmea, 57600, "KAP41");
  f.form.TestMode = true;
  f.form.ProgramRequested = true;  // left as it is in test mode
  f.ChooseFile("other.bin", testing::SmallImage(4000, {"DOV42"}));
  f.form.SpeedButtonProgram.click();
  EXPECT_EQ(f.dialogs.attentionShown, 0);
  EXPECT_EQ(f.form.RxMode, RxMode::LoaderWait);
  EXPECT_TRUE(f.form.ProgramRequested);
  EXPECT_FALSE(f.form.TimerRestart.enabled()) << "no rate change in test mode";
  ASSERT_EQ(f.driver.writes().size(), 1u);
  EXPECT_EQ(f.driver.writes()[0], FrameNmeaSentence(SentenceLoaderB));
  EXPECT_EQ(f.driver.line().baud, 57600u);
}

}  // namespace
}  // namespace movrand

// The pure image unit: CRC-32, reading firmware files into the buffer, rounding, and the
// model-name checks.
#include "programming/image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "support/image_files.h"
#include "support/pipe_path.h"

namespace movrand {
namespace {

using testing::Bytes;
using testing::TempDir;

using Buffer = std::vector<std::uint8_t>;

std::span<std::uint8_t, kFirmwareBufferSize> Span(Buffer& buffer) {
  return std::span<std::uint8_t, kFirmwareBufferSize>(buffer.data(), kFirmwareBufferSize);
}

bool AllPad(const Buffer& buffer, std::size_t from) {
  return std::all_of(buffer.begin() + static_cast<std::ptrdiff_t>(from), buffer.end(),
                     [](std::uint8_t b) { return b == kImagePadByte; });
}

Bytes Text(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

// ---- CRC-32 ----------------------------------------------------------------------------

TEST(Crc32, KnownValues) {
  const struct {
    std::string_view text;
    std::uint32_t crc;
  } cases[] = {
      {"123456789", 0xCBF43926},
      {"", 0x00000000},
      {"a", 0xE8B7BE43},
      {"The quick brown fox jumps over the lazy dog", 0x414FA339},
  };
  for (const auto& c : cases) {
    const Bytes bytes = Text(c.text);
    EXPECT_EQ(Crc32(bytes.data(), bytes.size()), c.crc) << c.text;
  }
}

TEST(Crc32, AgreesWithABitwiseReferenceOverEveryByteValue) {
  Bytes bytes(70000);
  for (std::size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
  EXPECT_EQ(Crc32(bytes.data(), bytes.size()), testing::BitwiseCrc32(bytes));
}

// ---- Reading the file ----------------------------------------------------------------------

struct ReadCase {
  const char* what;
  Bytes file;
  ImageReadStatus status;
  std::int32_t length;
  bool large;
};

TEST(ReadImageFile, SizeDecidesTheFormatAndLargeImagesNeedAValidHeader) {
  Bytes badCrc = testing::LargeImage(131072);
  badCrc[4] ^= 0x01;
  Bytes changedPayload = testing::LargeImage(200000);
  changedPayload[150000] ^= 0x80;
  Bytes lengthOffByOne = testing::LargeImage(131072);
  testing::PutLittleEndian32(lengthOffByOne, 0, 131072 - 8 + 1);
  Bytes wholeLength = testing::LargeImage(131072);
  testing::PutLittleEndian32(wholeLength, 0, 131072);  // the size, not the payload's

  const ReadCase cases[] = {
      {"empty file", {}, ImageReadStatus::Ok, 0, false},
      {"one byte", {0x42}, ImageReadStatus::Ok, 1, false},
      {"largest small image, no header needed", testing::Pattern(131071), ImageReadStatus::Ok,
       131071, false},
      {"smallest large image, valid", testing::LargeImage(131072), ImageReadStatus::Ok, 131072,
       true},
      {"smallest large image, no header", testing::Pattern(131072), ImageReadStatus::BadHeader, 0,
       true},
      {"header CRC changed", badCrc, ImageReadStatus::BadHeader, 0, true},
      {"payload byte changed", changedPayload, ImageReadStatus::BadHeader, 0, true},
      {"length field one too many", lengthOffByOne, ImageReadStatus::BadHeader, 0, true},
      {"length field counts the header", wholeLength, ImageReadStatus::BadHeader, 0, true},
      {"fills the buffer exactly", testing::LargeImage(kFirmwareBufferSize), ImageReadStatus::Ok,
       static_cast<std::int32_t>(kFirmwareBufferSize), true},
  };
  TempDir dir;
  Buffer buffer(kFirmwareBufferSize);
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::fill(buffer.begin(), buffer.end(), 0x55);  // whatever a previous load left
    const ImageRead read = ReadImageFile(dir.Write("fw.bin", c.file).string(), Span(buffer));
    EXPECT_EQ(read.status, c.status);
    EXPECT_EQ(read.length, c.length);
    EXPECT_EQ(read.large, c.large);
    EXPECT_EQ(read.fileSize, static_cast<std::int64_t>(c.file.size()));
    if (c.status == ImageReadStatus::Ok) {
      EXPECT_TRUE(std::equal(c.file.begin(), c.file.end(), buffer.begin()));
      EXPECT_TRUE(AllPad(buffer, c.file.size()));
    }
  }
}

TEST(ReadImageFile, AFileLargerThanTheBufferIsRefusedUnread) {
  TempDir dir;
  // Valid as a header goes, so only its size can be the reason.
  const auto path = dir.Write("big.bin", testing::LargeImage(kFirmwareBufferSize + 1));
  Buffer buffer(kFirmwareBufferSize, 0x55);
  const ImageRead read = ReadImageFile(path.string(), Span(buffer));
  EXPECT_EQ(read.status, ImageReadStatus::TooLarge);
  EXPECT_EQ(read.length, 0);
  EXPECT_EQ(read.fileSize, static_cast<std::int64_t>(kFirmwareBufferSize + 1));
  EXPECT_TRUE(AllPad(buffer, 0)) << "nothing of the file may be in the buffer";
}

TEST(ReadImageFile, WhatCannotBeOpenedAsAPlainFileIsCantOpen) {
  TempDir dir;
  const test::PipePath pipe(dir.path());
  const std::filesystem::path cases[] = {dir.path() / "missing.bin", dir.path(), pipe.path()};
  for (const auto& path : cases) {
    SCOPED_TRACE(path.string());
    Buffer buffer(kFirmwareBufferSize, 0x55);
    // A pipe without a writer must not block the reader.
    const ImageRead read = ReadImageFile(path.string(), Span(buffer));
    EXPECT_EQ(read.status, ImageReadStatus::CantOpen);
    EXPECT_EQ(buffer[0], 0x55) << "the buffer is untouched when nothing was opened";
  }
  // A name with a NUL in it would reach the system cut short, naming another file.
  const std::string real = dir.Write("fw.bin", testing::Pattern(100)).string();
  Buffer buffer(kFirmwareBufferSize);
  EXPECT_EQ(ReadImageFile(real + std::string(1, '\0') + "x", Span(buffer)).status,
            ImageReadStatus::CantOpen);
  EXPECT_EQ(ReadImageFile(real, Span(buffer)).status, ImageReadStatus::Ok);
}

// A source that fails where it is told to.
class FailingSource final : public ImageSource {
 public:
  explicit FailingSource(Bytes bytes) : bytes_(std::move(bytes)) {}
  std::optional<std::int64_t> sizeAnswer;  // when set, what Size() reports
  bool failSize = false;
  std::size_t deliverAtMost = SIZE_MAX;  // bytes delivered before reads fail

  std::optional<std::int64_t> Size() override {
    if (failSize) return std::nullopt;
    position_ = 0;
    return sizeAnswer ? *sizeAnswer : static_cast<std::int64_t>(bytes_.size());
  }
  bool Seek(std::int64_t offset) override {
    position_ = static_cast<std::size_t>(offset);
    return true;
  }
  std::size_t Read(std::span<std::uint8_t> out) override {
    std::size_t n = 0;
    while (n < out.size() && position_ < bytes_.size() && delivered_ < deliverAtMost) {
      out[n++] = bytes_[position_++];
      ++delivered_;
    }
    return n;
  }

 private:
  Bytes bytes_;
  std::size_t position_ = 0;
  std::size_t delivered_ = 0;
};

TEST(ReadImage, AReadThatStopsEarlyRejectsTheImage) {
  Buffer buffer(kFirmwareBufferSize);
  {
    SCOPED_TRACE("small image cut short");
    FailingSource source(testing::Pattern(1000));
    source.deliverAtMost = 600;
    const ImageRead read = ReadImage(source, Span(buffer));
    EXPECT_EQ(read.status, ImageReadStatus::ReadFailed);
    EXPECT_EQ(read.length, 0);
  }
  {
    SCOPED_TRACE("file shrank after its size was taken");
    FailingSource source(testing::Pattern(500));
    source.sizeAnswer = 1000;
    EXPECT_EQ(ReadImage(source, Span(buffer)).status, ImageReadStatus::ReadFailed);
  }
  {
    SCOPED_TRACE("large image: the length field cannot be read");
    FailingSource source(testing::LargeImage(131072));
    source.deliverAtMost = 2;
    EXPECT_EQ(ReadImage(source, Span(buffer)).status, ImageReadStatus::ReadFailed);
  }
  {
    SCOPED_TRACE("large image: the payload stops early");
    FailingSource source(testing::LargeImage(131072));
    source.deliverAtMost = 4 + 131000;
    EXPECT_EQ(ReadImage(source, Span(buffer)).status, ImageReadStatus::ReadFailed);
  }
  {
    SCOPED_TRACE("the size cannot be found");
    FailingSource source(testing::Pattern(10));
    source.failSize = true;
    EXPECT_EQ(ReadImage(source, Span(buffer)).status, ImageReadStatus::ReadFailed);
  }
}

// ---- Rounding --------------------------------------------------------------------------

TEST(RoundToBlocks, RoundsUpToWholeBlocks) {
  const std::pair<std::int32_t, std::int32_t> cases[] = {
      {1, 128},         {127, 128},       {128, 128},         {129, 256},
      {1000, 1024},     {1023, 1024},     {2047, 2048},       {130945, 131072},
      {131071, 131072}, {131072, 131072}, {1048575, 1048576}, {1048576, 1048576},
  };
  for (const auto& [length, rounded] : cases) {
    EXPECT_EQ(RoundToBlocks(length), rounded) << length;
  }
}

// ---- Model names in the image ----------------------------------------------------------------

TEST(ImageContainsName, PlainCaseSensitiveSearchWithinTheLength) {
  Bytes image = testing::Pattern(300);
  testing::Put(image, 0, "KAP41");
  testing::Put(image, 295, "ZR55M");  // the very last bytes
  testing::Put(image, 150, "RTK7_X");
  testing::Put(image, 200, "DOVx3");
  const std::int32_t length = static_cast<std::int32_t>(image.size());
  const struct {
    std::string_view name;
    std::int32_t length;
    bool found;
  } cases[] = {
      {"KAP41", length, true},      {"ZR55M", length, true},  // ends exactly at the image end
      {"ZR55M", length - 1, false},                           // one byte short of it
      {"KAP41", 5, true},                                     // image exactly as long as the name
      {"KAP41", 4, false},                                    // image shorter than the name
      {"kap41", length, false},                               // letter case counts in the image
      {"KAP4", length, true},  // a part of a longer word is still an occurrence
      {"KAP42", length, false},     {"RTA7_X", length, true},  // RTA is looked for as RTK
      {"RTM7_X", length, true},                                // so is RTM
      {"RTK7_X", length, true},     {"DOVx3", length, true},
      {"", length, false},  // an empty name vouches for nothing
      {"KAP41", 0, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ImageContainsName(image.data(), c.length, c.name), c.found)
        << c.name << " in " << c.length;
  }
}

TEST(ImageContainsName, AReportedRtaNameIsNotFoundAsReported) {
  Bytes image = testing::Pattern(200);
  testing::Put(image, 20, "RTA7_X");  // the image names the module exactly as it reports
  EXPECT_FALSE(ImageContainsName(image.data(), 200, "RTA7_X"));
  EXPECT_FALSE(ImageContainsName(image.data(), 200, "RTM7_X"));
}

TEST(ImageContainsName, NamesOfThirtyTwoCharactersOrMoreNeverMatch) {
  const std::string name31(31, 'Q');
  const std::string name32(32, 'Q');
  Bytes image = testing::Pattern(200);
  testing::Put(image, 40, name32 + "Q");
  EXPECT_TRUE(ImageContainsName(image.data(), 200, name31));
  EXPECT_FALSE(ImageContainsName(image.data(), 200, name32));
  EXPECT_FALSE(ImageContainsName(image.data(), 200, name32 + "Q"));
}

TEST(IsImageCompatible, TheTableOfAlternativeNames) {
  const struct {
    std::string_view model;
    std::string_view inImage;
    bool accepted;
  } cases[] = {
      {"KAP41", "KAP41", true},   {"KAP41", "KAP42", false},
      {"DOVx3", "DOV43", true},   {"dovX3", "DOV43", true},  // the model word in any letter case
      {"DOVx3", "DOVx3", true},                              // its own name, as for any model
      {"DOVx3A", "DOV43", false},  // only the whole word gets the alternative
      {"DOVx3", "dov43", false},   // the image itself is searched case-sensitively
      {"ZR55M", "KAP43", true},   {"zr55m", "KAP43", true},
      {"ZR55", "KAP43", false},   {"KAP43", "ZR55M", false},  // the alternatives work one way only
      {"RTA9", "RTK9", true},     {"RTA9", "RTA9", false},
      {"", "KAP41", false},  // a module that named no model matches no image
  };
  for (const auto& c : cases) {
    Bytes image = testing::Pattern(1024);
    testing::Put(image, 500, c.inImage);
    EXPECT_EQ(IsImageCompatible(image.data(), 1024, c.model), c.accepted)
        << c.model << " with an image naming " << c.inImage;
  }
}

}  // namespace
}  // namespace movrand

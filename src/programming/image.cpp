#include "programming/image.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "platform/read_only_file.h"
#include "platform/text.h"

namespace movrand {
namespace {

constexpr std::uint32_t kCrc32Polynomial = 0xEDB88320;  // 0x04C11DB7 reflected
constexpr std::uint32_t kCrc32Initial = 0xFFFFFFFF;
constexpr std::uint32_t kCrc32FinalXor = 0xFFFFFFFF;

// The standard table of the reflected polynomial, built at compile time into constant data.
constexpr std::array<std::uint32_t, 256> MakeCrc32Table() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < table.size(); ++i) {
    std::uint32_t value = i;
    for (int bit = 0; bit < 8; ++bit) {
      value = (value & 1) ? (value >> 1) ^ kCrc32Polynomial : value >> 1;
    }
    table[i] = value;
  }
  return table;
}
constexpr std::array<std::uint32_t, 256> kCrc32Table = MakeCrc32Table();
static_assert(kCrc32Table[1] == 0x77073096 && kCrc32Table[255] == 0x2D02EF8D);

std::uint32_t LittleEndian32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

// Model names an image may carry instead of the one the module reports: a module reporting
// `model` (whole word, any letter case) also takes images that name `alternative`.
struct AlternativeName {
  std::string_view model;
  std::string_view alternative;
};
constexpr AlternativeName kAlternativeNames[] = {
    {"DOVx3", "DOV43"},
    {"ZR55M", "KAP43"},
};

// Modules whose model word begins with one of these carry images named with "RTK" instead.
constexpr std::string_view kRtkAliasPrefixes[] = {"RTA", "RTM"};
constexpr char kRtkLetter = 'K';
constexpr std::size_t kRtkLetterAt = 2;

class FileImageSource final : public ImageSource {
 public:
  explicit FileImageSource(ReadOnlyFile& file) : file_(file) {}
  std::optional<std::int64_t> Size() override { return file_.size(); }
  bool Seek(std::int64_t offset) override { return file_.seek(offset); }
  std::size_t Read(std::span<std::uint8_t> bytes) override { return file_.read(bytes); }

 private:
  ReadOnlyFile& file_;
};

}  // namespace

std::uint32_t Crc32(const std::uint8_t* bytes, std::size_t count) {
  std::uint32_t crc = kCrc32Initial;
  for (std::size_t i = 0; i < count; ++i) {
    crc = (crc >> 8) ^ kCrc32Table[(crc ^ bytes[i]) & 0xFF];
  }
  return crc ^ kCrc32FinalXor;
}

ImageRead ReadImage(ImageSource& source, std::span<std::uint8_t, kFirmwareBufferSize> buffer) {
  ImageRead result;
  std::memset(buffer.data(), kImagePadByte, buffer.size());

  const std::optional<std::int64_t> size = source.Size();
  if (!size || *size < 0) {
    result.status = ImageReadStatus::ReadFailed;
    return result;
  }
  result.fileSize = *size;
  if (*size > static_cast<std::int64_t>(buffer.size())) {
    result.status = ImageReadStatus::TooLarge;
    return result;
  }
  const auto fileSize = static_cast<std::size_t>(*size);
  result.large = *size >= kLargeImageSize;

  if (result.large) {
    // The length field first: a file whose header does not fit its size is not read further.
    std::array<std::uint8_t, 4> lengthField{};
    if (source.Read(lengthField) != lengthField.size() || !source.Seek(0)) {
      result.status = ImageReadStatus::ReadFailed;
      return result;
    }
    if (LittleEndian32(lengthField.data()) != fileSize - kImageHeaderSize) {
      result.status = ImageReadStatus::BadHeader;
      return result;
    }
  }
  if (source.Read(buffer.first(fileSize)) != fileSize) {
    result.status = ImageReadStatus::ReadFailed;
    return result;
  }
  if (result.large) {
    const std::uint32_t stored = LittleEndian32(buffer.data() + 4);
    if (Crc32(buffer.data() + kImageHeaderSize, fileSize - kImageHeaderSize) != stored) {
      result.status = ImageReadStatus::BadHeader;
      return result;
    }
  }
  result.status = ImageReadStatus::Ok;
  result.length = static_cast<std::int32_t>(fileSize);
  return result;
}

ImageRead ReadImageFile(const std::string& path,
                        std::span<std::uint8_t, kFirmwareBufferSize> buffer) {
  ReadOnlyFile file;
  if (!file.open(path)) return ImageRead{};  // CantOpen, buffer untouched
  FileImageSource source(file);
  ImageRead result = ReadImage(source, buffer);
  file.close();
  return result;
}

std::int32_t RoundToBlocks(std::int32_t length) {
  if (length <= 0) return length;
  const std::int32_t partial = length % kImageBlockSize;
  return partial == 0 ? length : length + (kImageBlockSize - partial);
}

bool ImageContainsName(const std::uint8_t* image, std::int32_t length, std::string_view name) {
  // An empty name would "occur" everywhere and so vouch for any image.
  if (name.empty() || name.size() >= kModelNameBufferSize) return false;
  std::array<char, kModelNameBufferSize> wanted{};
  std::copy(name.begin(), name.end(), wanted.begin());
  for (const std::string_view prefix : kRtkAliasPrefixes) {
    if (name.starts_with(prefix)) wanted[kRtkLetterAt] = kRtkLetter;
  }
  if (!image || length <= 0 || static_cast<std::size_t>(length) < name.size()) return false;
  const std::uint8_t* end = image + length;
  const auto* first = reinterpret_cast<const std::uint8_t*>(wanted.data());
  return std::search(image, end, first, first + name.size()) != end;
}

bool IsImageCompatible(const std::uint8_t* image, std::int32_t length,
                       std::string_view deviceModel) {
  if (ImageContainsName(image, length, deviceModel)) return true;
  for (const AlternativeName& row : kAlternativeNames) {
    if (EqualsIgnoringCase(deviceModel, row.model) &&
        ImageContainsName(image, length, row.alternative)) {
      return true;
    }
  }
  return false;
}

}  // namespace movrand

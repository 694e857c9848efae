// Reads arbitrary firmware files into the image buffer, with reads that may stop early and
// sizes up to beyond the buffer, then searches the image for an arbitrary model name. Nothing
// may be written outside the buffer, and every outcome must agree with the file it came from.
//
// Input: a flags byte (bit 0: reads fail after a limit; bit 1: the file claims a size of its
// own, below 256 kB; bits 1 and 2: a size next to the buffer's, one less to one more), three
// bytes of claimed size (little-endian), two bytes of read limit (little-endian, in units of
// 32 bytes), a name length byte (modulo 40) and the name, then the file's content, repeated as
// often as the size asks.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "programming/image.h"

namespace {

using namespace movrand;

void check(bool condition) {
  if (!condition) __builtin_trap();
}

class VirtualFile final : public ImageSource {
 public:
  VirtualFile(std::span<const std::uint8_t> content, std::int64_t size, std::size_t readLimit)
      : content_(content), size_(size), readLimit_(readLimit) {}

  std::uint8_t At(std::int64_t offset) const {
    return content_.empty() ? 0 : content_[static_cast<std::size_t>(offset) % content_.size()];
  }
  std::optional<std::int64_t> Size() override {
    position_ = 0;
    return size_;
  }
  bool Seek(std::int64_t offset) override {
    if (offset < 0 || offset > size_) return false;
    position_ = offset;
    return true;
  }
  std::size_t Read(std::span<std::uint8_t> bytes) override {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::int64_t>(std::ssize(bytes), size_ - position_));
    const std::size_t n = std::min(want, readLimit_ - delivered_);
    if (content_.empty()) {
      std::fill_n(bytes.begin(), n, std::uint8_t{0});
    } else if (n > 0) {
      // The content up to its end once, then what is already copied again in ever larger
      // pieces: a megabyte of a short content in a few copies.
      const std::size_t from = static_cast<std::size_t>(position_) % content_.size();
      std::size_t done = std::min(n, content_.size() - from);
      std::copy_n(content_.begin() + from, done, bytes.begin());
      if (done < n) {
        const std::size_t rest = std::min(n - done, from);
        std::copy_n(content_.begin(), rest, bytes.begin() + done);
        done += rest;
      }
      // bytes[0, done) is one whole period of the content from `from` on (or all of it).
      const std::size_t period = done;
      while (done < n) {
        const std::size_t piece = std::min(n - done, done - (done % period));
        std::copy_n(bytes.begin(), piece, bytes.begin() + done);
        done += piece;
      }
    }
    position_ += static_cast<std::int64_t>(n);
    delivered_ += n;
    return n;
  }

 private:
  std::span<const std::uint8_t> content_;
  std::int64_t size_;
  std::size_t readLimit_;
  std::int64_t position_ = 0;
  std::size_t delivered_ = 0;
};

std::uint32_t LittleEndian(const std::uint8_t* p, int n) {
  std::uint32_t value = 0;
  for (int i = n - 1; i >= 0; --i) value = value << 8 | p[i];
  return value;
}

// The name search written the plain way, as a reference.
bool Contains(const std::uint8_t* image, std::size_t length, std::string_view name) {
  if (name.empty() || name.size() >= kModelNameBufferSize || length < name.size()) return false;
  std::vector<std::uint8_t> wanted(name.begin(), name.end());
  if (name.starts_with("RTA") || name.starts_with("RTM")) wanted[2] = 'K';
  for (std::size_t at = 0; at + wanted.size() <= length; ++at) {
    if (std::equal(wanted.begin(), wanted.end(), image + at)) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t kHead = 7;
  if (size < kHead) return 0;
  static auto* buffer = new std::vector<std::uint8_t>(kFirmwareBufferSize);
  const bool limitReads = data[0] & 0x01;
  const bool claimSize = data[0] & 0x02;
  const bool nearBufferSize = data[0] & 0x04;
  std::size_t at = kHead;
  const std::size_t nameLength = std::min<std::size_t>(data[6] % 40, size - at);
  const std::string_view name(reinterpret_cast<const char*>(data + at), nameLength);
  at += nameLength;
  const std::span<const std::uint8_t> content(data + at, size - at);

  // Claimed sizes stay where the formats change (131,072) or the buffer ends, so that each
  // run stays short.
  const std::uint32_t claimed = LittleEndian(data + 1, 3);
  std::int64_t fileSize = std::ssize(content);
  if (claimSize) {
    fileSize = nearBufferSize ? static_cast<std::int64_t>(kFirmwareBufferSize) - 1 + claimed % 3
                              : claimed % (2 * kLargeImageSize);
  }
  const std::size_t readLimit = limitReads ? LittleEndian(data + 4, 2) * 32u : SIZE_MAX;
  VirtualFile file(content, fileSize, readLimit);

  const ImageRead read =
      ReadImage(file, std::span<std::uint8_t, kFirmwareBufferSize>(buffer->data(), buffer->size()));
  const auto& image = *buffer;
  check(read.fileSize == fileSize);
  check(read.large == (fileSize >= kLargeImageSize && read.status != ImageReadStatus::TooLarge));
  switch (read.status) {
    case ImageReadStatus::TooLarge:
      check(fileSize > static_cast<std::int64_t>(kFirmwareBufferSize));
      check(image.front() == kImagePadByte && image.back() == kImagePadByte);
      check(read.length == 0);
      break;
    case ImageReadStatus::ReadFailed:
      // A large file is read twice at its start: the length field, then the whole.
      check(limitReads && readLimit < static_cast<std::size_t>(fileSize) + (read.large ? 4u : 0u));
      check(read.length == 0);
      break;
    case ImageReadStatus::BadHeader:
      check(read.large && read.length == 0);
      break;
    case ImageReadStatus::Ok: {
      check(read.length == fileSize);
      const auto length = static_cast<std::size_t>(read.length);
      for (std::size_t i = 0; i < length; i += 1 + i / 64) check(image[i] == file.At(i));
      for (std::size_t i = length; i < std::min(length + 512, image.size()); ++i) {
        check(image[i] == kImagePadByte);
      }
      check(image.back() == kImagePadByte || length == image.size());
      if (read.large) {
        check(LittleEndian(image.data(), 4) == length - kImageHeaderSize);
        check(LittleEndian(image.data() + 4, 4) ==
              Crc32(image.data() + kImageHeaderSize, length - kImageHeaderSize));
      }
      break;
    }
    case ImageReadStatus::CantOpen:
      check(false);  // a source is always open
  }

  const std::int32_t rounded = RoundToBlocks(read.length);
  check(rounded >= read.length && rounded % kImageBlockSize == 0 &&
        rounded - read.length < kImageBlockSize);
  check(static_cast<std::size_t>(rounded) <= image.size());
  const bool found = ImageContainsName(image.data(), rounded, name);
  if (rounded <= 8192)
    check(found == Contains(image.data(), static_cast<std::size_t>(rounded), name));
  if (found) check(IsImageCompatible(image.data(), rounded, name));
  return 0;
}

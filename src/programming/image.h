// The firmware image: reading the chosen file into the 1 MiB image buffer, the integrity
// check of large images (length and CRC-32 header) and the check that the image is meant
// for the connected module (its model name appears in the image).
//
// Images under 131,072 bytes are taken whole, without a header. Larger ones start with the
// payload length and the payload's CRC-32, both little-endian; the whole file, header
// included, is what the module receives. Bytes after the end of the file stay 0x1A, the
// XMODEM pad byte, so the last 128-byte block is always full. Nothing here ever writes past
// the buffer: a file larger than the buffer is refused unread, and a file that cannot be
// read to its end is refused rather than sent with pad bytes where data was missing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace movrand {

inline constexpr std::size_t kFirmwareBufferSize = 1u << 20;  // the largest image
inline constexpr std::int64_t kLargeImageSize = 131072;       // from here on a header is present
inline constexpr std::size_t kImageHeaderSize = 8;            // payload length, payload CRC-32
inline constexpr std::uint8_t kImagePadByte = 0x1A;           // fills the last block
inline constexpr std::int32_t kImageBlockSize = 128;          // XMODEM block data
inline constexpr std::size_t kModelNameBufferSize = 32;       // names of 32 or more never match

// The standard CRC-32 (reflected 0xEDB88320, initial and final XOR 0xFFFFFFFF):
// "123456789" gives 0xCBF43926.
std::uint32_t Crc32(const std::uint8_t* bytes, std::size_t count);

enum class ImageReadStatus {
  Ok,          // read whole; `length` is the file size (0 for an empty file)
  CantOpen,    // the file cannot be opened (missing, no access, held by another program)
  TooLarge,    // the file is larger than the image buffer; nothing was read
  ReadFailed,  // the file could not be read to its end
  BadHeader,   // a large image whose length field or CRC-32 does not match; `length` is 0
};

struct ImageRead {
  ImageReadStatus status = ImageReadStatus::CantOpen;
  std::int32_t length = 0;  // bytes of the file in the buffer (before rounding)
  bool large = false;       // the file had a header (131,072 bytes or more)
  std::int64_t fileSize = 0;
};

// Where an image is read from: the firmware file, or a stand-in in tests and fuzzing.
class ImageSource {
 public:
  virtual ~ImageSource() = default;
  // The size in bytes, with the read position back at the start; nothing on failure.
  virtual std::optional<std::int64_t> Size() = 0;
  // Moves the read position to `offset` bytes from the start; false on failure.
  virtual bool Seek(std::int64_t offset) = 0;
  // Reads until `bytes` is full, the source ends or a read fails; returns the count read.
  virtual std::size_t Read(std::span<std::uint8_t> bytes) = 0;
};

// Fills the whole buffer with 0x1A, then reads `source` into it from offset 0 and checks the
// header of a large image. Never writes past the buffer.
ImageRead ReadImage(ImageSource& source, std::span<std::uint8_t, kFirmwareBufferSize> buffer);

// Opens the file named `path` (the full name as the file dialog gives it) read-only, and
// exclusively where the system allows it, and reads it as `ReadImage` does; the buffer is
// left untouched when the file cannot be opened.
ImageRead ReadImageFile(const std::string& path,
                        std::span<std::uint8_t, kFirmwareBufferSize> buffer);

// `length` rounded up to a whole number of 128-byte blocks.
std::int32_t RoundToBlocks(std::int32_t length);

// True when `name` occurs, byte for byte, in the first `length` bytes of `image`. A name
// beginning with "RTA" or "RTM" is looked for with "RTK" in their place; a name of 32 or
// more characters never matches, and neither does an empty one.
bool ImageContainsName(const std::uint8_t* image, std::int32_t length, std::string_view name);

// True when the image is meant for a module reporting `deviceModel`: it carries that name,
// or "DOV43" for the model "DOVx3", or "KAP43" for "ZR55M" (those two compared ignoring
// letter case, as whole words).
bool IsImageCompatible(const std::uint8_t* image, std::int32_t length,
                       std::string_view deviceModel);

}  // namespace movrand

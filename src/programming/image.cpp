#include "programming/image.h"

namespace movrand {

std::uint32_t Crc32(const std::uint8_t*, std::size_t) {
  return 0;
}
ImageRead ReadImageFile(const std::filesystem::path&,
                        std::span<std::uint8_t, kFirmwareBufferSize>) {
  return {};
}
std::int32_t RoundToBlocks(std::int32_t length) {
  return length;
}
bool ImageContainsName(const std::uint8_t*, std::int32_t, std::string_view) {
  return false;
}
bool IsImageCompatible(const std::uint8_t*, std::int32_t, std::string_view) {
  return false;
}

}  // namespace movrand

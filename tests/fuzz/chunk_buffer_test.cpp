// The chunk buffer stands in for a fresh allocation per chunk: the bytes are the input's, and
// under AddressSanitizer a read just before or just after them is caught.
#include "chunk_buffer.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

namespace movrand::fuzz {
namespace {

TEST(ChunkBuffer, HoldsEachChunkWholeAndCutsNothingShort) {
  ChunkBuffer buffer(64);
  const std::vector<std::uint8_t> big(64, 0xA5);
  const std::array<std::uint8_t, 3> small{1, 2, 3};
  auto a = buffer.Place(big.data(), big.size());
  EXPECT_EQ(std::vector<std::uint8_t>(a.begin(), a.end()), big);
  auto b = buffer.Place(small.data(), small.size());  // a shorter one after a longer one
  ASSERT_EQ(b.size(), 3u);
  EXPECT_EQ(b[0], 1);
  EXPECT_EQ(b[2], 3);
}

#if defined(__SANITIZE_ADDRESS__)
std::uint8_t ReadAt(std::span<const std::uint8_t> chunk, std::ptrdiff_t offset) {
  const volatile std::uint8_t* p = chunk.data() + offset;
  return *p;
}

TEST(ChunkBufferDeathTest, AReadPastEitherEndIsCaught) {
  ChunkBuffer buffer(64);
  const std::array<std::uint8_t, 5> bytes{9, 8, 7, 6, 5};
  const auto chunk = buffer.Place(bytes.data(), bytes.size());
  EXPECT_EQ(ReadAt(chunk, 4), 5);
  EXPECT_DEATH(ReadAt(chunk, -1), "heap-buffer-overflow");
  EXPECT_DEATH(ReadAt(chunk, 5), "use-after-poison");
}
#endif

}  // namespace
}  // namespace movrand::fuzz

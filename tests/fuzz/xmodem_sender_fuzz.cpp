// Feeds the XMODEM sender alone with whatever a loader might send: start requests, ACK, NAK,
// noise. Whatever arrives, every block it asks to write is a whole block of the image with
// its number, complement and CRC, its offsets stay inside the image, its counters agree with
// the blocks it sent, and after the end nothing more is sent.
//
// Input: one byte for the image size (bits 0-5: blocks - 1), then the loader's bytes.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "programming/xmodem_sender.h"
#include "protocol/crc16.h"

namespace {

using namespace movrand;

void check(bool condition) {
  if (!condition) __builtin_trap();
}

constexpr std::size_t kMaxBlocks = 64;

// The largest image and the checksum of each of its blocks, made once: an input takes the
// blocks it needs from the front, so no input pays for an image or a checksum of its own.
struct Image {
  Image() {
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
    for (std::size_t b = 0; b < kMaxBlocks; ++b) {
      crc[b] = Crc16Block(std::span(bytes).subspan(b * kXmodemBlockDataSize, kXmodemBlockDataSize));
    }
  }
  std::array<std::uint8_t, kMaxBlocks * kXmodemBlockDataSize> bytes{};
  std::array<std::uint16_t, kMaxBlocks> crc{};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static const Image whole;
  const std::size_t blocks = (data[0] & 0x3F) + 1u;
  const std::span<const std::uint8_t> image =
      std::span(whole.bytes).first(blocks * kXmodemBlockDataSize);

  XmodemSender sender;
  sender.AwaitLoader(image);
  std::int64_t blocksSent = 0;
  bool ended = false;
  for (std::size_t at = 1; at < size; ++at) {
    const XmodemSender::Action action = sender.Feed(data[at]);
    const bool writes = action.kind == XmodemSender::Action::Kind::SendBlock ||
                        action.kind == XmodemSender::Action::Kind::Abort;
    check(!ended || action.kind == XmodemSender::Action::Kind::Nothing);
    if (writes) {
      ++blocksSent;
      check(action.block.size() == kXmodemBlockSize);
      check(action.block[0] == kXmodemSoh);
      check(static_cast<std::uint8_t>(action.block[1] + action.block[2]) == 0xFF);
      const std::int64_t start =
          sender.ImageOffset() - static_cast<std::int64_t>(kXmodemBlockDataSize);
      check(start >= 0 && sender.ImageOffset() <= sender.ImageLength());
      check(std::memcmp(action.block.data() + 3, image.data() + start, kXmodemBlockDataSize) == 0);
      const std::uint16_t crc = whole.crc[static_cast<std::size_t>(start) / kXmodemBlockDataSize];
      check(action.block[131] == (crc >> 8) && action.block[132] == (crc & 0xFF));
      check(action.block[1] == static_cast<std::uint8_t>(start / 128 + 1));
    }
    if (action.kind == XmodemSender::Action::Kind::SendEot ||
        action.kind == XmodemSender::Action::Kind::Abort) {
      ended = true;
      check(sender.phase() == XmodemSender::Phase::Finished);
    }
    check(sender.NakCount() <= XmodemSender::kMaxRejectionsInARow);
    check(sender.KBSent() * 1024 + sender.BytesInKB() ==
          blocksSent * static_cast<std::int64_t>(kXmodemBlockDataSize));
  }
  return 0;
}

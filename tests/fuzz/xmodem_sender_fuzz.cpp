// Feeds the XMODEM sender alone with whatever a loader might send: start requests, ACK, NAK,
// noise. Whatever arrives, every block it asks to write is a whole block of the image with
// its number, complement and CRC, its offsets stay inside the image, its counters agree with
// the blocks it sent, and after the end nothing more is sent.
//
// Input: one byte for the image size (bits 0-5: blocks - 1), then the loader's bytes.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "programming/xmodem_sender.h"
#include "protocol/crc16.h"

namespace {

using namespace movrand;

void check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t blocks = (data[0] & 0x3F) + 1u;
  std::vector<std::uint8_t> image(blocks * kXmodemBlockDataSize);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 7 + 3);

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
      const std::uint8_t* expected = image.data() + start;
      for (std::size_t i = 0; i < kXmodemBlockDataSize; ++i) {
        check(action.block[3 + i] == expected[i]);
      }
      const std::uint16_t crc = Crc16Block(expected, static_cast<int>(kXmodemBlockDataSize));
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

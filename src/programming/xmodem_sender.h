// The sending side of the loader exchange (XMODEM-CRC), as a value: fed one received byte at a
// time, it answers with what to do (send this block, send EOT, give up, or nothing) and keeps
// the transfer's counters. It knows no window, port or clock, so it is tested and fuzzed on
// its own; the programming procedure writes what it answers and keeps the window in step.
//
// While it waits for the loader, three start requests ("C") in a row start the transfer with
// block 1. Each ACK brings the next 128-byte block (numbered 1, 2, ..., 255, 0, 1, ...), each
// NAK the same block again with the same number; the fourth NAK in a row still sends that
// block and then gives up. The ACK of the last block completes the image: EOT follows. Any
// other byte is ignored during the transfer; while waiting it starts the count of "C" again.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "protocol/module_contract.h"

namespace movrand {

class XmodemSender {
 public:
  // Rejections of the same block in a row after which the transfer is given up.
  static constexpr int kMaxRejectionsInARow = 4;
  // BytesInKB counts up to this, then KBSent grows by one.
  static constexpr std::int32_t kBytesPerKB = 1024;

  enum class Phase {
    Idle,            // no image handed over
    AwaitingLoader,  // counting start requests
    Sending,         // a block is out, its answer awaited
    Finished,        // completed or given up
  };

  struct Action {
    enum class Kind {
      Nothing,    // nothing to send
      SendBlock,  // write `block`
      SendEot,    // the last block was accepted: write EOT once
      Abort,      // write `block` (the fourth repeat), then give up
    };
    Kind kind = Kind::Nothing;
    bool firstBlock = false;       // SendBlock: the start requests began the transfer
    bool repeated = false;         // SendBlock, Abort: the block goes again after a rejection
    bool outsideExchange = false;  // no exchange runs (nothing handed over, or it has ended)
    // SendBlock and Abort: the 133 bytes to write; valid until the sender is fed again.
    std::span<const std::uint8_t> block{};

    // The bytes after this one in the same chunk are stale: those that followed the start
    // requests, and anything after the end of the exchange.
    bool restOfChunkDropped() const {
      return firstBlock || outsideExchange || kind == Kind::SendEot || kind == Kind::Abort;
    }
  };

  // Loader entry: forgets any earlier transfer and waits for the loader's start requests to
  // send `image`, whose size is a multiple of 128 (the caller's buffer, which must stay put
  // until the transfer ends).
  void AwaitLoader(std::span<const std::uint8_t> image);
  // One byte from the loader.
  Action Feed(std::uint8_t byte);

  Phase phase() const { return phase_; }
  std::int64_t ImageLength() const { return static_cast<std::int64_t>(image_.size()); }
  std::int32_t LoaderCCount() const { return LoaderCCount_; }
  std::int32_t ImageOffset() const { return ImageOffset_; }
  std::int32_t BlockNumber() const { return BlockNumber_; }
  std::int32_t BlockComplement() const { return BlockComplement_; }
  std::int32_t NakCount() const { return NakCount_; }
  std::int32_t BytesInKB() const { return BytesInKB_; }
  std::int32_t KBSent() const { return KBSent_; }
  // The number the block sent last carried.
  std::int32_t LastBlockNumber() const { return LastBlockNumber_; }
  // Blocks sent again after a rejection, since the transfer began.
  int BlocksRepeated() const { return blocksRepeated_; }

 private:
  // The transfer state's start values.
  void ResetTransfer();
  // Builds the block at `ImageOffset` and moves the counters past it; false (nothing built)
  // when the image holds no whole block there.
  bool SendBlock();
  Action BlockAction(bool first, bool repeated) const;

  std::span<const std::uint8_t> image_;
  Phase phase_ = Phase::Idle;
  std::array<std::uint8_t, kXmodemBlockSize> block_{};

  std::int32_t ImageOffset_ = 0;
  std::int32_t BlockNumber_ = 1;
  std::int32_t BlockComplement_ = 254;
  std::int32_t LastBlockOffset_ = 0;
  std::int32_t LastBlockNumber_ = 0;
  std::int32_t LastBlockComplement_ = 0;
  std::int32_t NakCount_ = 0;
  std::int32_t LoaderCCount_ = 0;
  std::int32_t BytesInKB_ = 0;
  std::int32_t KBSent_ = 0;
  int blocksRepeated_ = 0;
};

}  // namespace movrand

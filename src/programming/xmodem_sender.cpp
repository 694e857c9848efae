#include "programming/xmodem_sender.h"

#include <algorithm>

#include "protocol/crc16.h"

namespace movrand {

void XmodemSender::AwaitLoader(std::span<const std::uint8_t> image) {
  image_ = image;
  ResetTransfer();
  LoaderCCount_ = 0;
  phase_ = Phase::AwaitingLoader;
}

void XmodemSender::ResetTransfer() {
  ImageOffset_ = 0;
  BlockNumber_ = 1;
  BlockComplement_ = 254;
  LastBlockOffset_ = 0;
  LastBlockNumber_ = 0;
  LastBlockComplement_ = 0;
  NakCount_ = 0;
  BytesInKB_ = 0;
  KBSent_ = 0;
  blocksRepeated_ = 0;
}

XmodemSender::Action XmodemSender::Feed(std::uint8_t byte) {
  switch (phase_) {
    case Phase::AwaitingLoader:
      LoaderCCount_ = byte == kLoaderStartRequest ? LoaderCCount_ + 1 : 0;
      if (LoaderCCount_ < kLoaderStartRequestsInARow) return {};
      ResetTransfer();
      phase_ = Phase::Sending;
      if (!SendBlock()) {
        // An image without a whole block: nothing to send, nothing to wait for.
        phase_ = Phase::Finished;
        return {.kind = Action::Kind::SendEot};
      }
      return BlockAction(true, false);

    case Phase::Sending:
      if (byte == kXmodemAck) {
        NakCount_ = 0;
        if (ImageOffset_ >= static_cast<std::int64_t>(image_.size()) || !SendBlock()) {
          phase_ = Phase::Finished;
          return {.kind = Action::Kind::SendEot};
        }
        return BlockAction(false, false);
      }
      if (byte == kXmodemNak) {
        ImageOffset_ = LastBlockOffset_;
        BlockNumber_ = LastBlockNumber_;
        BlockComplement_ = LastBlockComplement_;
        ++NakCount_;
        ++blocksRepeated_;
        SendBlock();
        if (NakCount_ >= kMaxRejectionsInARow) {
          phase_ = Phase::Finished;
          Action abort = BlockAction(false, true);
          abort.kind = Action::Kind::Abort;
          return abort;
        }
        return BlockAction(false, true);
      }
      return {};  // anything else, a cancel request of the loader included, is ignored

    case Phase::Idle:
    case Phase::Finished:
      break;
  }
  // No exchange runs: nothing in this chunk is for it.
  return {.kind = Action::Kind::Nothing, .outsideExchange = true};
}

bool XmodemSender::SendBlock() {
  // The image is a whole number of blocks, so every block the exchange asks for lies inside
  // it; anything else is refused rather than read.
  if (ImageOffset_ < 0 ||
      static_cast<std::size_t>(ImageOffset_) + kXmodemBlockDataSize > image_.size()) {
    return false;
  }
  const std::uint8_t* data = image_.data() + ImageOffset_;
  block_[0] = kXmodemSoh;
  block_[1] = static_cast<std::uint8_t>(BlockNumber_);
  block_[2] = static_cast<std::uint8_t>(255 - BlockNumber_);
  std::copy_n(data, kXmodemBlockDataSize, block_.begin() + 3);
  const std::uint16_t crc = Crc16Block(data, static_cast<int>(kXmodemBlockDataSize));
  block_[3 + kXmodemBlockDataSize] = static_cast<std::uint8_t>(crc >> 8);  // high byte first
  block_[4 + kXmodemBlockDataSize] = static_cast<std::uint8_t>(crc & 0xFF);

  LastBlockOffset_ = ImageOffset_;
  LastBlockNumber_ = BlockNumber_;
  LastBlockComplement_ = BlockComplement_;
  ImageOffset_ += static_cast<std::int32_t>(kXmodemBlockDataSize);

  ++BlockNumber_;
  --BlockComplement_;
  if (BlockNumber_ > 255 || BlockComplement_ < 0) {
    BlockNumber_ = 0;
    BlockComplement_ = 255;
  }
  BytesInKB_ += static_cast<std::int32_t>(kXmodemBlockDataSize);
  if (BytesInKB_ >= kBytesPerKB) {
    ++KBSent_;
    BytesInKB_ = 0;
  }
  return true;
}

XmodemSender::Action XmodemSender::BlockAction(bool first, bool repeated) const {
  return {
      .kind = Action::Kind::SendBlock, .firstBlock = first, .repeated = repeated, .block = block_};
}

}  // namespace movrand

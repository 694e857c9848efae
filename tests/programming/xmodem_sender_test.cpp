// The XMODEM sender on its own: bytes in, actions out, with no window, port or clock. Each
// test plays the loader's part and checks what the sender answers and what it counts.
#include "programming/xmodem_sender.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string_view>
#include <vector>

#include "support/image_files.h"

namespace movrand {
namespace {

using testing::Bytes;
using testing::ExpectedBlock;
using Kind = XmodemSender::Action::Kind;

constexpr std::uint8_t kC = 0x43;
constexpr std::uint8_t kAck = 0x06;
constexpr std::uint8_t kNak = 0x15;

Bytes Image(std::size_t blocks) {
  Bytes image(blocks * 128);
  for (std::size_t i = 0; i < image.size(); ++i) {
    image[i] = static_cast<std::uint8_t>((i * 31 + i / 128) & 0xFF);
  }
  return image;
}

Bytes Sent(const XmodemSender::Action& action) {
  return Bytes(action.block.begin(), action.block.end());
}

struct Sender : ::testing::Test {
  // Hands over `blocks` blocks of image and starts the transfer with three "C".
  XmodemSender::Action Start(std::size_t blocks) {
    image = Image(blocks);
    sender.AwaitLoader(image);
    sender.Feed(kC);
    sender.Feed(kC);
    return sender.Feed(kC);
  }

  Bytes image;
  XmodemSender sender;
};

TEST_F(Sender, ThreeStartRequestsInARowSendTheFirstBlockAndEndTheChunk) {
  image = Image(4);
  sender.AwaitLoader(image);
  EXPECT_EQ(sender.phase(), XmodemSender::Phase::AwaitingLoader);
  for (const std::uint8_t b : {kC, kC, std::uint8_t{'x'}, kC, kC}) {
    const XmodemSender::Action action = sender.Feed(b);
    EXPECT_EQ(action.kind, Kind::Nothing);
    EXPECT_FALSE(action.restOfChunkDropped());
  }
  EXPECT_EQ(sender.LoaderCCount(), 2) << "another byte starts the count again";
  const XmodemSender::Action first = sender.Feed(kC);
  ASSERT_EQ(first.kind, Kind::SendBlock);
  EXPECT_TRUE(first.firstBlock);
  EXPECT_TRUE(first.restOfChunkDropped()) << "what follows the start requests is stale";
  EXPECT_EQ(Sent(first), ExpectedBlock(1, image.data()));
  EXPECT_EQ(sender.phase(), XmodemSender::Phase::Sending);
  EXPECT_EQ(sender.ImageOffset(), 128);
}

TEST_F(Sender, EachAckBringsTheNextBlockAndTheLastOneBringsEot) {
  Start(3);
  for (std::uint8_t number = 2; number <= 3; ++number) {
    const XmodemSender::Action next = sender.Feed(kAck);
    ASSERT_EQ(next.kind, Kind::SendBlock);
    EXPECT_FALSE(next.firstBlock);
    EXPECT_FALSE(next.repeated);
    EXPECT_FALSE(next.restOfChunkDropped());
    EXPECT_EQ(Sent(next), ExpectedBlock(number, image.data() + (number - 1) * 128));
  }
  const XmodemSender::Action end = sender.Feed(kAck);
  EXPECT_EQ(end.kind, Kind::SendEot);
  EXPECT_TRUE(end.restOfChunkDropped());
  EXPECT_EQ(sender.phase(), XmodemSender::Phase::Finished);
  // Nothing more is for the exchange.
  const XmodemSender::Action after = sender.Feed(kAck);
  EXPECT_EQ(after.kind, Kind::Nothing);
  EXPECT_TRUE(after.restOfChunkDropped());
}

TEST_F(Sender, AOneBlockImageEndsOnTheFirstAck) {
  const XmodemSender::Action first = Start(1);
  EXPECT_EQ(Sent(first), ExpectedBlock(1, image.data()));
  EXPECT_EQ(sender.Feed(kAck).kind, Kind::SendEot);
}

TEST_F(Sender, ANakBringsTheSameBlockWithTheSameNumberAndTheNextAckTheNextBlock) {
  Start(10);
  for (int i = 0; i < 6; ++i) sender.Feed(kAck);  // block 7 is out
  const XmodemSender::Action again = sender.Feed(kNak);
  ASSERT_EQ(again.kind, Kind::SendBlock);
  EXPECT_TRUE(again.repeated);
  EXPECT_EQ(Sent(again), ExpectedBlock(7, image.data() + 6 * 128));
  EXPECT_EQ(sender.BlocksRepeated(), 1);
  const XmodemSender::Action next = sender.Feed(kAck);
  EXPECT_EQ(Sent(next), ExpectedBlock(8, image.data() + 7 * 128));
}

TEST_F(Sender, FourRejectionsInARowSendTheBlockOnceMoreThenGiveUp) {
  Start(4);
  for (int i = 0; i < 3; ++i) {
    const XmodemSender::Action again = sender.Feed(kNak);
    EXPECT_EQ(again.kind, Kind::SendBlock);
    EXPECT_FALSE(again.restOfChunkDropped());
  }
  const XmodemSender::Action fourth = sender.Feed(kNak);
  ASSERT_EQ(fourth.kind, Kind::Abort);
  EXPECT_EQ(Sent(fourth), ExpectedBlock(1, image.data())) << "the fourth repeat still goes out";
  EXPECT_TRUE(fourth.restOfChunkDropped());
  EXPECT_EQ(sender.phase(), XmodemSender::Phase::Finished);
  EXPECT_EQ(sender.BlocksRepeated(), 4);
}

TEST_F(Sender, RejectionsOfDifferentBlocksNeverAddUp) {
  Start(4);
  for (const std::uint8_t b : {kNak, kNak, kNak, kAck, kNak, kNak, kNak, kAck}) {
    EXPECT_EQ(sender.Feed(b).kind, Kind::SendBlock);
  }
  EXPECT_EQ(sender.NakCount(), 0);
  EXPECT_EQ(sender.BlocksRepeated(), 6);
}

TEST_F(Sender, OnlyAckAndNakCountDuringTheTransfer) {
  Start(2);
  for (const std::uint8_t b : {kC, std::uint8_t{0x18}, std::uint8_t{0x18}, kC, std::uint8_t{0}}) {
    const XmodemSender::Action action = sender.Feed(b);
    EXPECT_EQ(action.kind, Kind::Nothing) << "a stray start request or cancel byte is ignored";
    EXPECT_FALSE(action.restOfChunkDropped());
  }
  EXPECT_EQ(sender.ImageOffset(), 128);
}

TEST_F(Sender, BlockNumbersRunFrom255To0AndOn) {
  Start(300);
  std::vector<int> numbers{1};
  for (int i = 1; i < 300; ++i) numbers.push_back(sender.Feed(kAck).block[1]);
  EXPECT_EQ(numbers[254], 255);
  EXPECT_EQ(numbers[255], 0);
  EXPECT_EQ(numbers[256], 1);
  EXPECT_EQ(numbers[299], 300 % 256);
  EXPECT_EQ(sender.Feed(kAck).kind, Kind::SendEot);
}

TEST_F(Sender, EveryBlockSentCountsInTheKilobytesRepeatedOnesToo) {
  Start(16);
  for (int i = 0; i < 7; ++i) sender.Feed(kAck);  // 8 blocks out: 1 KiB
  EXPECT_EQ(sender.KBSent(), 1);
  EXPECT_EQ(sender.BytesInKB(), 0);
  sender.Feed(kNak);  // the eighth again
  EXPECT_EQ(sender.KBSent(), 1);
  EXPECT_EQ(sender.BytesInKB(), 128);
  for (int i = 0; i < 8; ++i) sender.Feed(kAck);
  EXPECT_EQ(sender.Feed(kAck).kind, Kind::SendEot);
  EXPECT_EQ(sender.KBSent(), 2);
  EXPECT_EQ(sender.BytesInKB(), 128) << "17 blocks sent for a 16-block image";
}

TEST_F(Sender, WithoutAnImageOrAfterTheEndNothingIsForTheExchange) {
  const XmodemSender::Action idle = sender.Feed(kC);
  EXPECT_EQ(idle.kind, Kind::Nothing);
  EXPECT_TRUE(idle.restOfChunkDropped());
  EXPECT_EQ(sender.phase(), XmodemSender::Phase::Idle);
}

TEST_F(Sender, LoaderEntryForgetsTheLastTransfer) {
  Start(2);
  sender.Feed(kNak);
  sender.Feed(kAck);
  sender.Feed(kAck);
  ASSERT_EQ(sender.phase(), XmodemSender::Phase::Finished);
  const Bytes next = Image(1);
  sender.AwaitLoader(next);
  EXPECT_EQ(sender.ImageOffset(), 0);
  EXPECT_EQ(sender.KBSent(), 0);
  EXPECT_EQ(sender.BlocksRepeated(), 0);
  EXPECT_EQ(sender.LoaderCCount(), 0);
  EXPECT_EQ(sender.ImageLength(), 128);
}

}  // namespace
}  // namespace movrand

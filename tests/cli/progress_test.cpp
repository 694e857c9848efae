// The progress meter and the bar: rate over the recent window, time left, and the figures the
// bar shows at its edges (nothing sent, all sent, more counted than the image holds).
#include <gtest/gtest.h>

#include <string>

#include "cli/progress.h"

namespace movrand::cli {
namespace {

using std::chrono::milliseconds;

TEST(ProgressMeter, NoRateBeforeTwoSamplesSpanEnoughTime) {
  ProgressMeter meter;
  meter.sample(milliseconds{0}, {0, 10240});
  EXPECT_FALSE(meter.info().bytesPerSecond);
  meter.sample(milliseconds{100}, {1024, 10240});
  EXPECT_FALSE(meter.info().bytesPerSecond) << "100 ms say nothing reliable";
  EXPECT_FALSE(meter.info().secondsLeft);
  EXPECT_EQ(meter.info().counts.sent, 1024);
}

TEST(ProgressMeter, RateAndTimeLeftFromTheSamples) {
  ProgressMeter meter;
  meter.sample(milliseconds{0}, {0, 20480});
  meter.sample(milliseconds{500}, {5120, 20480});
  meter.sample(milliseconds{1000}, {10240, 20480});
  const ProgressInfo info = meter.info();
  ASSERT_TRUE(info.bytesPerSecond);
  EXPECT_DOUBLE_EQ(*info.bytesPerSecond, 10240.0);
  ASSERT_TRUE(info.secondsLeft);
  EXPECT_DOUBLE_EQ(*info.secondsLeft, 1.0);
  EXPECT_EQ(info.percent(), 50);
}

TEST(ProgressMeter, FollowsARateChangeWithinItsWindow) {
  // 1 KiB/s for 10 s, then 10 KiB/s: after a full window at the new rate only it counts.
  ProgressMeter meter;
  std::int64_t sent = 0;
  for (int t = 0; t <= 10; ++t) {
    meter.sample(milliseconds{t * 1000}, {sent, 1 << 20});
    sent += 1024;
  }
  sent -= 1024;
  for (int t = 11; t <= 14; ++t) {
    sent += 10240;
    meter.sample(milliseconds{t * 1000}, {sent, 1 << 20});
  }
  ASSERT_TRUE(meter.info().bytesPerSecond);
  EXPECT_NEAR(*meter.info().bytesPerSecond, 10240.0, 1.0);
}

TEST(ProgressMeter, ACountThatGoesBackStartsAgain) {
  ProgressMeter meter;
  meter.sample(milliseconds{0}, {0, 4096});
  meter.sample(milliseconds{1000}, {4096, 4096});
  meter.sample(milliseconds{1100}, {128, 4096});  // a new transfer without a reset
  EXPECT_FALSE(meter.info().bytesPerSecond);
  EXPECT_EQ(meter.info().counts.sent, 128);
}

TEST(ProgressMeter, StalledTransferHasNoTimeLeft) {
  ProgressMeter meter;
  meter.sample(milliseconds{0}, {1024, 4096});
  meter.sample(milliseconds{2000}, {1024, 4096});
  ASSERT_TRUE(meter.info().bytesPerSecond);
  EXPECT_EQ(*meter.info().bytesPerSecond, 0.0);
  EXPECT_FALSE(meter.info().secondsLeft);
  EXPECT_EQ(FormatDuration(meter.info().secondsLeft), "--:--");
}

TEST(ProgressInfo, PercentStaysWithinBounds) {
  EXPECT_EQ((ProgressInfo{{0, 0}, {}, {}}).percent(), 0) << "no image, no division";
  EXPECT_EQ((ProgressInfo{{0, 1024}, {}, {}}).percent(), 0);
  EXPECT_EQ((ProgressInfo{{1023, 1024}, {}, {}}).percent(), 99) << "rounded down";
  EXPECT_EQ((ProgressInfo{{1024, 1024}, {}, {}}).percent(), 100);
  EXPECT_EQ((ProgressInfo{{2048, 1024}, {}, {}}).percent(), 100);
  EXPECT_EQ((ProgressInfo{{-5, 1024}, {}, {}}).percent(), 0);
}

TEST(ProgressFormat, Durations) {
  EXPECT_EQ(FormatDuration(0.0), "0:00");
  EXPECT_EQ(FormatDuration(0.2), "0:01") << "a part of a second still to go shows as one";
  EXPECT_EQ(FormatDuration(65.0), "1:05");
  EXPECT_EQ(FormatDuration(3725.0), "1:02:05");
  EXPECT_EQ(FormatDuration(std::nullopt), "--:--");
  EXPECT_EQ(FormatDuration(-1.0), "--:--");
  EXPECT_EQ(FormatDuration(1e300), "--:--");
}

TEST(ProgressFormat, Rates) {
  EXPECT_EQ(FormatRate(950.0), "950 B/s");
  EXPECT_EQ(FormatRate(11468.8), "11.2 KiB/s");
  EXPECT_EQ(FormatRate(std::nullopt), "-- B/s");
}

TEST(ProgressFormat, BarAtStartMiddleAndEnd) {
  EXPECT_EQ(FormatProgressBar(ProgressInfo{{0, 524288}, {}, {}}, 10),
            "[----------]   0%  0.0/512.0 KiB  -- B/s  --:-- left");
  EXPECT_EQ(FormatProgressBar(ProgressInfo{{194560, 524288}, 11468.8, 28.1}, 10),
            "[###-------]  37%  190.0/512.0 KiB  11.2 KiB/s  0:29 left");
  EXPECT_EQ(FormatProgressBar(ProgressInfo{{524288, 524288}, 11468.8, 0.0}, 10),
            "[##########] 100%  512.0/512.0 KiB  11.2 KiB/s  0:00 left");
}

}  // namespace
}  // namespace movrand::cli

#include "cli/progress.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace movrand::cli {
namespace {

constexpr double kBytesPerKiB = 1024.0;
// Below this span two samples say nothing reliable about the rate.
constexpr Milliseconds kMinimumSpan{200};

}  // namespace

int ProgressInfo::percent() const {
  if (counts.total <= 0) return 0;
  const std::int64_t sent = std::clamp<std::int64_t>(counts.sent, 0, counts.total);
  return static_cast<int>(sent * 100 / counts.total);
}

void ProgressMeter::sample(Milliseconds at, ProgressCounts counts) {
  last_ = counts;
  // A count that went back (a new transfer without reset) starts the measurement again.
  if (!samples_.empty() && (counts.sent < samples_.back().sent || at < samples_.back().at)) {
    samples_.clear();
  }
  samples_.push_back({at, counts.sent});
  while (samples_.size() > 2 && at - samples_[1].at >= kWindow) samples_.pop_front();
}

ProgressInfo ProgressMeter::info() const {
  ProgressInfo info;
  info.counts = last_;
  if (samples_.size() < 2) return info;
  const Milliseconds span = samples_.back().at - samples_.front().at;
  if (span < kMinimumSpan) return info;
  const double rate = static_cast<double>(samples_.back().sent - samples_.front().sent) * 1000.0 /
                      static_cast<double>(span.count());
  info.bytesPerSecond = rate;
  const std::int64_t left = std::max<std::int64_t>(0, last_.total - last_.sent);
  if (left == 0) {
    info.secondsLeft = 0.0;
  } else if (rate > 0) {
    info.secondsLeft = static_cast<double>(left) / rate;
  }
  return info;
}

std::string FormatDuration(std::optional<double> seconds) {
  if (!seconds || !std::isfinite(*seconds) || *seconds < 0) return "--:--";
  // Days of waiting mean the rate is near zero; the figure would only mislead.
  constexpr double kLongest = 100.0 * 3600.0;
  if (*seconds >= kLongest) return "--:--";
  const long long total = std::llround(std::ceil(*seconds));
  char text[32];
  if (total >= 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, (total / 60) % 60,
                  total % 60);
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
  }
  return text;
}

std::string FormatRate(std::optional<double> bytesPerSecond) {
  if (!bytesPerSecond || !std::isfinite(*bytesPerSecond) || *bytesPerSecond < 0) return "-- B/s";
  char text[32];
  if (*bytesPerSecond < kBytesPerKiB) {
    std::snprintf(text, sizeof text, "%.0f B/s", *bytesPerSecond);
  } else {
    std::snprintf(text, sizeof text, "%.1f KiB/s", *bytesPerSecond / kBytesPerKiB);
  }
  return text;
}

std::string FormatProgressBar(const ProgressInfo& info, int width) {
  width = std::clamp(width, 1, 200);
  const int percent = info.percent();
  const int filled = percent * width / 100;
  std::string bar = "[";
  bar.append(static_cast<std::size_t>(filled), '#');
  bar.append(static_cast<std::size_t>(width - filled), '-');
  bar += "]";
  char text[128];
  std::snprintf(text, sizeof text, " %3d%%  %.1f/%.1f KiB  ", percent,
                static_cast<double>(std::max<std::int64_t>(0, info.counts.sent)) / kBytesPerKiB,
                static_cast<double>(std::max<std::int64_t>(0, info.counts.total)) / kBytesPerKiB);
  return bar + text + FormatRate(info.bytesPerSecond) + "  " + FormatDuration(info.secondsLeft) +
         " left";
}

}  // namespace movrand::cli

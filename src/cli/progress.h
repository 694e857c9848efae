// The transfer's progress as the headless front end shows it: a meter that turns samples of
// bytes sent over time into a rate and a time left, and the one-line bar drawn on a terminal
// ("[######----------]  37%  190.0/512.0 KiB  11.2 KiB/s  0:28 left").
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "platform/event_loop.h"

namespace movrand::cli {

// Where the transfer stands: bytes of the image sent so far, of how many.
struct ProgressCounts {
  std::int64_t sent = 0;
  std::int64_t total = 0;
};

// What a progress display shows.
struct ProgressInfo {
  ProgressCounts counts;
  std::optional<double> bytesPerSecond;  // nothing until two samples span some time
  std::optional<double> secondsLeft;     // nothing without a rate

  int percent() const;  // 0 to 100, rounded down; 100 once everything is sent
};

class ProgressMeter {
 public:
  // The rate is measured over this much of the most recent time: recent enough to follow a
  // change of the link rate, long enough to smooth the stop-and-wait of single blocks.
  static constexpr Milliseconds kWindow{3000};

  // Forgets the samples (a new transfer).
  void reset() { samples_.clear(); }
  void sample(Milliseconds at, ProgressCounts counts);
  ProgressInfo info() const;

 private:
  struct Sample {
    Milliseconds at;
    std::int64_t sent;
  };
  std::deque<Sample> samples_;
  ProgressCounts last_;
};

// "[#####-----]" with `width` cells between the brackets, then percent, KiB, rate, time left.
std::string FormatProgressBar(const ProgressInfo& info, int width = 16);
// "1:05" for 65 s, "1:01:05" from an hour on; "--:--" for nothing.
std::string FormatDuration(std::optional<double> seconds);
// "950 B/s", "11.2 KiB/s"; "-- B/s" for nothing.
std::string FormatRate(std::optional<double> bytesPerSecond);

}  // namespace movrand::cli

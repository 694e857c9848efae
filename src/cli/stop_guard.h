// The bound on a run that has been told to end. Ctrl-C, a termination request and --timeout
// reach the run on the main thread, which presses Cancel as a technician would and ends with
// its record and result. The main thread may be unable to answer: in a write to a port or to a
// terminal that takes no more (an operator's Ctrl-S, a full pipe), in a system call that does
// not return. The guard watches from a thread of its own: when the run has not ended `kGrace`
// after it was told to, the guard ends the program itself, through the forced end it was
// given (which writes the record line, says why and leaves the process).
//
// Whichever of the two ends the run first claims the end; the other then writes nothing.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "cli/options.h"

namespace movrand::cli {

// When the forced end is due, and why: a pure function of what the guard was told, for tests.
struct StopGuardState {
  using Clock = std::chrono::steady_clock;
  std::optional<Clock::time_point> deadline;     // --timeout: the run must have ended by then
  std::optional<Clock::time_point> interrupted;  // the first Ctrl-C or termination request
};
struct StopVerdict {
  std::optional<ExitCode> code;  // the forced end is due now, with this code
  std::optional<StopGuardState::Clock::time_point>
      next;  // else: look again then (none: no end set)
};
StopVerdict JudgeStop(const StopGuardState& state, StopGuardState::Clock::time_point now,
                      std::chrono::milliseconds grace);

class StopGuard {
 public:
  using Clock = StopGuardState::Clock;
  // From the request to the forced end: the run's own end (Cancel, record, result) takes a
  // few milliseconds; the whole stays within 2 s of the request.
  static constexpr std::chrono::milliseconds kGrace{1500};
  // Runs on the guard's thread; it ends the process and does not return.
  using ForcedEnd = std::function<void(ExitCode code)>;

  explicit StopGuard(ForcedEnd forcedEnd, std::chrono::milliseconds grace = kGrace);
  ~StopGuard();  // stops watching (a forced end under way is not undone)
  StopGuard(const StopGuard&) = delete;
  StopGuard& operator=(const StopGuard&) = delete;

  // --timeout: the run's own time-out fires at `deadline`; the forced end kGrace later.
  // Nothing: no deadline (a station between two modules).
  void setDeadline(std::optional<Clock::time_point> deadline);
  // Ctrl-C or a termination request, from any thread; later ones change nothing.
  void interrupted();
  // The run is ending by itself: true when it may write its record and result; false when the
  // forced end has begun (the process is about to end; the caller must write nothing).
  bool claimEnd();

 private:
  void watch();

  ForcedEnd forcedEnd_;
  const std::chrono::milliseconds grace_;
  std::mutex mutex_;
  std::condition_variable changed_;
  StopGuardState state_;  // under mutex_
  bool claimed_ = false;  // under mutex_: the end belongs to one side
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace movrand::cli

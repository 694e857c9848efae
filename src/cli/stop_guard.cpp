#include "cli/stop_guard.h"

#include <algorithm>

namespace movrand::cli {

StopVerdict JudgeStop(const StopGuardState& state, StopGuardState::Clock::time_point now,
                      std::chrono::milliseconds grace) {
  StopVerdict verdict;
  // The end that comes first decides the code: a Ctrl-C before the time-out is a cancel.
  std::optional<StopGuardState::Clock::time_point> due;
  std::optional<ExitCode> code;
  if (state.interrupted) {
    due = *state.interrupted + grace;
    code = ExitCode::Cancelled;
  }
  if (state.deadline && (!due || *state.deadline + grace < *due)) {
    due = *state.deadline + grace;
    code = ExitCode::TimedOut;
  }
  if (!due) return verdict;
  if (now >= *due) {
    verdict.code = code;
  } else {
    verdict.next = due;
  }
  return verdict;
}

StopGuard::StopGuard(ForcedEnd forcedEnd, std::chrono::milliseconds grace)
    : forcedEnd_(std::move(forcedEnd)), grace_(grace), thread_([this] { watch(); }) {}

StopGuard::~StopGuard() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void StopGuard::setDeadline(std::optional<Clock::time_point> deadline) {
  {
    std::lock_guard lock(mutex_);
    state_.deadline = deadline;
  }
  changed_.notify_all();
}

void StopGuard::interrupted() {
  {
    std::lock_guard lock(mutex_);
    if (state_.interrupted) return;
    state_.interrupted = Clock::now();
  }
  changed_.notify_all();
}

bool StopGuard::claimEnd() {
  std::lock_guard lock(mutex_);
  if (claimed_) return false;
  claimed_ = true;
  return true;
}

void StopGuard::watch() {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (stopping_ || claimed_) return;
    const StopVerdict verdict = JudgeStop(state_, Clock::now(), grace_);
    if (verdict.code) {
      claimed_ = true;
      lock.unlock();
      forcedEnd_(*verdict.code);
      return;
    }
    if (verdict.next) {
      changed_.wait_until(lock, *verdict.next);
    } else {
      changed_.wait(lock);
    }
  }
}

}  // namespace movrand::cli

// The bound on a run that was told to end: when the forced end is due (a pure function of the
// requests and the clock), and the guard's thread, which ends a run that did not answer and
// leaves alone one that ended by itself.
#include "cli/stop_guard.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

namespace movrand::cli {
namespace {

using namespace std::chrono_literals;
using Clock = StopGuard::Clock;

TEST(JudgeStop, NothingIsDueUntilTheRunWasToldToEnd) {
  const Clock::time_point t0{};
  const StopVerdict idle = JudgeStop({}, t0 + 10h, 1500ms);
  EXPECT_FALSE(idle.code);
  EXPECT_FALSE(idle.next) << "no end set: the guard sleeps until told";
}

TEST(JudgeStop, AnInterruptIsACancelOnceItsGraceHasPassed) {
  const Clock::time_point t0{};
  StopGuardState state;
  state.interrupted = t0;
  EXPECT_FALSE(JudgeStop(state, t0 + 1499ms, 1500ms).code);
  EXPECT_EQ(JudgeStop(state, t0 + 1499ms, 1500ms).next, t0 + 1500ms);
  EXPECT_EQ(JudgeStop(state, t0 + 1500ms, 1500ms).code, ExitCode::Cancelled);
}

TEST(JudgeStop, TheTimeOutAndAnInterruptWhicheverComesFirst) {
  const Clock::time_point t0{};
  StopGuardState state;
  state.deadline = t0 + 10s;
  EXPECT_EQ(JudgeStop(state, t0 + 11s, 1500ms).next, t0 + 11500ms);
  EXPECT_EQ(JudgeStop(state, t0 + 11500ms, 1500ms).code, ExitCode::TimedOut);
  state.interrupted = t0 + 2s;  // Ctrl-C long before the time-out
  EXPECT_EQ(JudgeStop(state, t0 + 3500ms, 1500ms).code, ExitCode::Cancelled);
  state.interrupted = t0 + 10200ms;  // after the run's own time-out fired
  EXPECT_FALSE(JudgeStop(state, t0 + 11499ms, 1500ms).code);
  EXPECT_EQ(JudgeStop(state, t0 + 11500ms, 1500ms).code, ExitCode::TimedOut);
}

// The guard's own thread, with a short grace so that the test takes no time.
TEST(StopGuard, EndsARunThatDoesNotAnswerAndNotOneThatEndedByItself) {
  std::promise<ExitCode> forced;
  {
    StopGuard guard([&](ExitCode code) { forced.set_value(code); }, 20ms);
    guard.interrupted();
    guard.interrupted();  // the second press changes nothing
    auto ended = forced.get_future();
    ASSERT_EQ(ended.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(ended.get(), ExitCode::Cancelled);
    EXPECT_FALSE(guard.claimEnd()) << "the run's own end comes too late: it writes nothing";
  }
  {
    StopGuard guard([](ExitCode) { FAIL() << "no request, no forced end"; }, 20ms);
    EXPECT_TRUE(guard.claimEnd()) << "the run ended by itself";
    EXPECT_FALSE(guard.claimEnd()) << "the end is claimed once";
  }
  std::promise<ExitCode> timedOut;
  {
    StopGuard guard([&](ExitCode code) { timedOut.set_value(code); }, 20ms);
    guard.setDeadline(Clock::now() + 30ms);
    auto ended = timedOut.get_future();
    ASSERT_EQ(ended.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(ended.get(), ExitCode::TimedOut);
  }
}

}  // namespace
}  // namespace movrand::cli

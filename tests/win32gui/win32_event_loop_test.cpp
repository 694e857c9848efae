// The Win32 event loop: work posted and handed off from other threads, the stop that releases
// a waiting reader, the error box for what a handler throws, the timers' semantics on the
// message loop and nested loops (as the warning dialog runs one). Timers run in real time here
// with short intervals; every wait is bounded by a deadline and ends as soon as the expected
// tick arrives, and the checks of timing leave a wide margin for a busy machine.
#include "win32gui/win32_event_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "win32gui/error_box.h"

namespace movrand::win32 {
namespace {

using namespace std::chrono_literals;

constexpr Milliseconds kDeadline = 10s;

class Win32EventLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setErrorReporter([this](const std::string& message) { errors.push_back(message); });
  }
  void TearDown() override { setErrorReporter(nullptr); }

  bool runUntil(const std::function<bool()>& done) { return loop.runUntil(done, kDeadline); }

  Win32EventLoop loop;
  std::vector<std::string> errors;
};

TEST_F(Win32EventLoopTest, WorkPostedFromAnotherThreadRunsOnTheMainThreadInOrder) {
  const auto mainThread = std::this_thread::get_id();
  std::vector<int> order;
  bool allOnMain = true;
  std::thread poster([&] {
    for (int i = 0; i < 200; ++i) {
      loop.post([&, i] {
        allOnMain = allOnMain && std::this_thread::get_id() == mainThread;
        order.push_back(i);
      });
    }
  });
  poster.join();
  ASSERT_TRUE(runUntil([&] { return order.size() == 200; }));
  EXPECT_TRUE(allOnMain);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
}

TEST_F(Win32EventLoopTest, InvokeFromAnotherThreadReturnsOnlyAfterTheWorkRanOnTheMainThread) {
  const auto mainThread = std::this_thread::get_id();
  int value = 0;  // written on the main thread, read by the caller after invoke returns
  std::thread::id ranOn;
  auto caller = std::async(std::launch::async, [&] {
    const bool ran = loop.invoke([&] {
      ranOn = std::this_thread::get_id();
      value = 42;
    });
    return std::make_pair(ran, value);
  });
  // Nothing runs while the main thread runs no messages.
  EXPECT_EQ(caller.wait_for(50ms), std::future_status::timeout);
  ASSERT_TRUE(runUntil([&] { return caller.wait_for(0s) == std::future_status::ready; }));
  const auto [ran, seen] = caller.get();
  EXPECT_TRUE(ran);
  EXPECT_EQ(seen, 42);
  EXPECT_EQ(ranOn, mainThread);

  // On the main thread itself the work runs at once.
  bool now = false;
  EXPECT_TRUE(loop.invoke([&] { now = true; }));
  EXPECT_TRUE(now);
}

TEST_F(Win32EventLoopTest, StopReleasesAWaitingCallerAndTheWorkNeverRuns) {
  std::atomic<bool> ran = false;
  std::atomic<bool> calling = false;
  auto caller = std::async(std::launch::async, [&] {
    calling = true;
    return loop.invoke([&] { ran = true; });
  });
  while (!calling) std::this_thread::yield();
  EXPECT_EQ(caller.wait_for(50ms), std::future_status::timeout);
  loop.stop();
  ASSERT_EQ(caller.wait_for(5s), std::future_status::ready);
  EXPECT_FALSE(caller.get());
  loop.runUntil([] { return false; }, 50ms);  // the wake-up message finds nothing to run
  EXPECT_FALSE(ran);
  EXPECT_TRUE(loop.stopped());
  // Refused from now on, from any thread, and posts are dropped.
  EXPECT_FALSE(std::async(std::launch::async, [&] { return loop.invoke([] {}); }).get());
  bool posted = false;
  loop.post([&] { posted = true; });
  loop.runUntil([] { return false; }, 50ms);
  EXPECT_FALSE(posted);
}

TEST_F(Win32EventLoopTest, AHandOffAlreadyRunningIsWaitedForAcrossAStop) {
  // The reader's chunk is in use while the hand-off runs: a close meanwhile must not release
  // the reader before the main thread is done with it.
  bool finished = false;
  auto caller = std::async(std::launch::async, [&] {
    return loop.invoke([&] {
      loop.stop();
      finished = true;
    });
  });
  ASSERT_TRUE(runUntil([&] { return caller.wait_for(0s) == std::future_status::ready; }));
  EXPECT_TRUE(caller.get());
  EXPECT_TRUE(finished);
}

TEST_F(Win32EventLoopTest, WhatAHandlerThrowsReachesTheErrorBoxAndTheLoopGoesOn) {
  auto caller = std::async(std::launch::async, [&] {
    return loop.invoke([] { throw std::runtime_error("Invalid data type for 'Serial0'"); });
  });
  ASSERT_TRUE(runUntil([&] { return caller.wait_for(0s) == std::future_status::ready; }));
  EXPECT_TRUE(caller.get());  // run, if not to its end: the caller is released
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "Invalid data type for 'Serial0'");

  // A non-standard exception shows an empty message; a throwing timer handler too.
  bool after = false;
  loop.post([] { throw 7; });
  loop.post([&] { after = true; });
  ASSERT_TRUE(runUntil([&] { return after; }));
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_TRUE(errors[1].empty());

  Timer throwing(loop, 10ms);
  int ticks = 0;
  throwing.onTimer = [&] {
    if (++ticks == 1) throw std::runtime_error("Unable to write to C:\\movrand.ini");
  };
  throwing.setEnabled(true);
  ASSERT_TRUE(runUntil([&] { return ticks >= 2; }));  // it goes on ticking
  ASSERT_EQ(errors.size(), 3u);
  EXPECT_EQ(errors[2], "Unable to write to C:\\movrand.ini");
}

TEST_F(Win32EventLoopTest, ATimerFiresRepeatedlyWhileEnabledAndStopsWhenDisabled) {
  Timer timer(loop, 20ms);
  std::vector<Milliseconds> ticks;
  timer.onTimer = [&] { ticks.push_back(loop.now()); };
  const Milliseconds started = loop.now();
  timer.setEnabled(true);
  ASSERT_TRUE(runUntil([&] { return ticks.size() >= 3; }));
  EXPECT_GE(ticks[0] - started, 15ms);  // a window timer does not fire a whole tick early
  EXPECT_GE(ticks[2] - started, 50ms);
  timer.setEnabled(false);

  // A slower reference timer marks the time; the disabled one stays silent meanwhile.
  const auto count = ticks.size();
  Timer reference(loop, 30ms);
  int referenceTicks = 0;
  reference.onTimer = [&] { ++referenceTicks; };
  reference.setEnabled(true);
  ASSERT_TRUE(runUntil([&] { return referenceTicks >= 3; }));
  EXPECT_EQ(ticks.size(), count);
}

TEST_F(Win32EventLoopTest, EnablingARunningTimerDoesNotRestartItsPeriod) {
  // Enabled at 0, enabled again at 150: the tick comes at 300, not at 450.
  Timer timer(loop, 300ms);
  Milliseconds tickAt{-1};
  timer.onTimer = [&] {
    if (tickAt < 0ms) tickAt = loop.now();
  };
  Timer nudge(loop, 150ms);
  bool nudged = false;
  nudge.onTimer = [&] {
    nudge.setEnabled(false);
    timer.setEnabled(true);
    nudged = true;
  };
  const Milliseconds started = loop.now();
  timer.setEnabled(true);
  nudge.setEnabled(true);
  ASSERT_TRUE(runUntil([&] { return tickAt >= 0ms; }));
  EXPECT_TRUE(nudged);
  EXPECT_LT(tickAt - started, 440ms);
}

TEST_F(Win32EventLoopTest, ChangingTheIntervalOfARunningTimerStartsItsPeriodAgain) {
  // 300 ms from 0, changed to 400 ms at 150: the first tick comes at 550, not at 300.
  Timer timer(loop, 300ms);
  Milliseconds tickAt{-1};
  timer.onTimer = [&] {
    if (tickAt < 0ms) tickAt = loop.now();
  };
  Timer retune(loop, 150ms);
  retune.onTimer = [&] {
    retune.setEnabled(false);
    timer.setInterval(400ms);
  };
  const Milliseconds started = loop.now();
  timer.setEnabled(true);
  retune.setEnabled(true);
  ASSERT_TRUE(runUntil([&] { return tickAt >= 0ms; }));
  EXPECT_GE(tickAt - started, 530ms);
}

TEST_F(Win32EventLoopTest, AHandlerMayDisableAndReEnableItsOwnTimer) {
  // A one-shot use, as the progress line's timer does: the handler disables it.
  Timer oneShot(loop, 10ms);
  int oneShotTicks = 0;
  oneShot.onTimer = [&] {
    ++oneShotTicks;
    oneShot.setEnabled(false);
  };
  // Re-armed from inside its handler with a new interval, three times.
  Timer rearmed(loop, 10ms);
  int rearmedTicks = 0;
  rearmed.onTimer = [&] {
    ++rearmedTicks;
    rearmed.setEnabled(false);
    if (rearmedTicks < 3) {
      rearmed.setInterval(15ms);
      rearmed.setEnabled(true);
    }
  };
  oneShot.setEnabled(true);
  rearmed.setEnabled(true);
  ASSERT_TRUE(runUntil([&] { return rearmedTicks >= 3; }));

  Timer reference(loop, 25ms);
  int referenceTicks = 0;
  reference.onTimer = [&] { ++referenceTicks; };
  reference.setEnabled(true);
  ASSERT_TRUE(runUntil([&] { return referenceTicks >= 3; }));
  EXPECT_EQ(oneShotTicks, 1);
  EXPECT_EQ(rearmedTicks, 3);
}

TEST_F(Win32EventLoopTest, DestroyedDisabledAndIdleTimersNeverFire) {
  int ticks = 0;
  {
    Timer doomed(loop, 10ms);
    doomed.onTimer = [&] { ++ticks; };
    doomed.setEnabled(true);
  }
  Timer off(loop, 10ms);
  off.onTimer = [&] { ++ticks; };
  off.setEnabled(true);
  off.setEnabled(false);
  Timer zero(loop, 0ms);  // no interval: never fires, as an idle window timer
  zero.onTimer = [&] { ++ticks; };
  zero.setEnabled(true);
  // Re-armed with a long period just after a short one: the short one's tick is gone.
  Timer stretched(loop, 10ms);
  stretched.onTimer = [&] { ++ticks; };
  stretched.setEnabled(true);
  stretched.setInterval(60s);

  Timer reference(loop, 30ms);
  int referenceTicks = 0;
  reference.onTimer = [&] { ++referenceTicks; };
  reference.setEnabled(true);
  ASSERT_TRUE(runUntil([&] { return referenceTicks >= 3; }));
  EXPECT_EQ(ticks, 0);
}

TEST_F(Win32EventLoopTest, ANestedLoopRunsTimersAndHandOffsAsTheWarningDialogNeedsThem) {
  // A handler that runs a loop of its own (the modal warning dialog) still gets the reader's
  // hand-offs and the timers' ticks while it waits for its answer.
  Timer timer(loop, 20ms);
  int ticks = 0;
  timer.onTimer = [&] { ++ticks; };
  bool handedOff = false;
  bool nestedDone = false;
  loop.post([&] {
    timer.setEnabled(true);
    auto reader =
        std::async(std::launch::async, [&] { return loop.invoke([&] { handedOff = true; }); });
    nestedDone = loop.runUntil([&] { return ticks >= 2 && handedOff; }, kDeadline);
    EXPECT_TRUE(reader.get());
  });
  ASSERT_TRUE(runUntil([&] { return nestedDone; }));
}

TEST_F(Win32EventLoopTest, AQuitMetInANestedLoopEndsItAndStillEndsTheOuterRun) {
  bool nestedReturned = false;
  loop.post([&] {
    Win32EventLoop::quit(3);
    // Waits for something that never comes: only the quit can end it.
    const bool done = loop.runUntil([] { return false; }, kDeadline);
    EXPECT_FALSE(done);
    nestedReturned = true;
  });
  const Milliseconds started = loop.now();
  EXPECT_EQ(loop.run(), 3);
  EXPECT_TRUE(nestedReturned);
  EXPECT_LT(loop.now() - started, kDeadline / 2);
}

}  // namespace
}  // namespace movrand::win32

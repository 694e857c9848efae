#include "gui/qt_event_loop.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>
#include <atomic>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

#include "qt_app_environment.h"

namespace movrand {
namespace {

using namespace std::chrono_literals;
using testing::reportedErrors;
using testing::waitUntil;

TEST(QtEventLoop, WorkPostedFromAnotherThreadRunsOnTheMainThreadInOrder) {
  QtEventLoop loop;
  const auto mainThread = std::this_thread::get_id();
  std::vector<int> order;
  bool allOnMain = true;
  std::thread poster([&] {
    for (int i = 0; i < 50; ++i) {
      loop.post([&, i] {
        allOnMain = allOnMain && std::this_thread::get_id() == mainThread;
        order.push_back(i);
      });
    }
  });
  poster.join();
  ASSERT_TRUE(waitUntil([&] { return order.size() == 50; }));
  EXPECT_TRUE(allOnMain);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
}

TEST(QtEventLoop, InvokeFromAnotherThreadReturnsOnlyAfterTheWorkRan) {
  QtEventLoop loop;
  const auto mainThread = std::this_thread::get_id();
  int value = 0;  // written on the main thread, read by the caller after invoke returns
  std::thread::id ranOn;
  auto caller = std::async(std::launch::async, [&] {
    const bool ran = loop.invoke([&] {
      ranOn = std::this_thread::get_id();
      value = 42;
    });
    return std::make_pair(ran, value);  // must see the main thread's write
  });
  ASSERT_TRUE(waitUntil([&] { return caller.wait_for(0s) == std::future_status::ready; }));
  const auto [ran, seen] = caller.get();
  EXPECT_TRUE(ran);
  EXPECT_EQ(seen, 42);
  EXPECT_EQ(ranOn, mainThread);
}

TEST(QtEventLoop, InvokeOnTheMainThreadRunsAtOnce) {
  QtEventLoop loop;
  bool ran = false;
  EXPECT_TRUE(loop.invoke([&] { ran = true; }));
  EXPECT_TRUE(ran);
}

TEST(QtEventLoop, StopReleasesAWaitingCallerAndTheWorkNeverRuns) {
  QtEventLoop loop;
  std::atomic<bool> ran = false;
  std::atomic<bool> posting = false;
  auto caller = std::async(std::launch::async, [&] {
    posting = true;
    return loop.invoke([&] { ran = true; });
  });
  // The main thread runs no events here, so the caller stays blocked until the stop.
  while (!posting) std::this_thread::yield();
  EXPECT_EQ(caller.wait_for(50ms), std::future_status::timeout);
  loop.stop();
  ASSERT_EQ(caller.wait_for(5s), std::future_status::ready);
  EXPECT_FALSE(caller.get());
  QCoreApplication::processEvents();
  EXPECT_FALSE(ran);
  // Refused from now on, from any thread, and posts are dropped.
  EXPECT_FALSE(std::async(std::launch::async, [&] { return loop.invoke([] {}); }).get());
  bool posted = false;
  loop.post([&] { posted = true; });
  QCoreApplication::processEvents();
  EXPECT_FALSE(posted);
}

TEST(QtEventLoop, TheApplicationQuittingStopsTheLoop) {
  QtEventLoop loop;
  QTimer::singleShot(0, qApp, &QCoreApplication::quit);
  QCoreApplication::exec();
  EXPECT_TRUE(loop.stopped());
  EXPECT_FALSE(std::async(std::launch::async, [&] { return loop.invoke([] {}); }).get());
}

TEST(QtEventLoop, AThrowingHandOffReachesTheErrorBoxAndStillReleasesTheCaller) {
  QtEventLoop loop;
  reportedErrors().clear();
  auto caller = std::async(std::launch::async, [&] {
    return loop.invoke([] { throw std::runtime_error("Invalid data type for 'Serial0'"); });
  });
  ASSERT_TRUE(waitUntil([&] { return caller.wait_for(0s) == std::future_status::ready; }));
  EXPECT_TRUE(caller.get());
  ASSERT_EQ(reportedErrors().size(), 1u);
  EXPECT_EQ(reportedErrors()[0], QStringLiteral("Invalid data type for 'Serial0'"));

  // A non-standard exception shows an empty message, and the loop goes on.
  bool after = false;
  loop.post([] { throw 7; });
  loop.post([&] { after = true; });
  ASSERT_TRUE(waitUntil([&] { return after; }));
  ASSERT_EQ(reportedErrors().size(), 2u);
  EXPECT_TRUE(reportedErrors()[1].isEmpty());
}

// Timers run in real time here, with short intervals; every wait is bounded by a deadline and
// ends as soon as the expected tick arrives.
TEST(QtEventLoop, ATimerFiresRepeatedlyWhileEnabledAndStopsWhenDisabled) {
  QtEventLoop loop;
  Timer timer(loop, 20ms);
  std::vector<Milliseconds> ticks;
  timer.onTimer = [&] { ticks.push_back(loop.now()); };
  const Milliseconds started = loop.now();
  timer.setEnabled(true);
  ASSERT_TRUE(waitUntil([&] { return ticks.size() >= 3; }));
  EXPECT_GE(ticks[0] - started, 19ms);  // a precise timer does not fire early
  EXPECT_GE(ticks[2] - started, 59ms);
  timer.setEnabled(false);

  // A slower reference timer marks the time; the disabled one stays silent meanwhile.
  const auto count = ticks.size();
  Timer reference(loop, 30ms);
  int referenceTicks = 0;
  reference.onTimer = [&] { ++referenceTicks; };
  reference.setEnabled(true);
  ASSERT_TRUE(waitUntil([&] { return referenceTicks >= 3; }));
  EXPECT_EQ(ticks.size(), count);
}

TEST(QtEventLoop, AHandlerMayDisableAndReEnableItsOwnTimer) {
  QtEventLoop loop;
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
  ASSERT_TRUE(waitUntil([&] { return rearmedTicks >= 3; }));

  Timer reference(loop, 25ms);
  int referenceTicks = 0;
  reference.onTimer = [&] { ++referenceTicks; };
  reference.setEnabled(true);
  ASSERT_TRUE(waitUntil([&] { return referenceTicks >= 2; }));
  EXPECT_EQ(oneShotTicks, 1);
  EXPECT_EQ(rearmedTicks, 3);
}

TEST(QtEventLoop, ADestroyedTimerNeverFires) {
  QtEventLoop loop;
  int ticks = 0;
  {
    Timer doomed(loop, 10ms);
    doomed.onTimer = [&] { ++ticks; };
    doomed.setEnabled(true);
  }
  Timer reference(loop, 30ms);
  int referenceTicks = 0;
  reference.onTimer = [&] { ++referenceTicks; };
  reference.setEnabled(true);
  ASSERT_TRUE(waitUntil([&] { return referenceTicks >= 2; }));
  EXPECT_EQ(ticks, 0);
}

}  // namespace
}  // namespace movrand

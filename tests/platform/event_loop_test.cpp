#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/std_event_loop.h"
#include "platform/virtual_event_loop.h"

namespace movrand {
namespace {

using namespace std::chrono_literals;

// Records "<name>@<time>" for every tick, so a test reads like a timeline.
struct Recorder {
  VirtualEventLoop& loop;
  std::vector<std::string> ticks;
  void attach(Timer& timer, const std::string& name) {
    timer.onTimer = [this, name] {
      ticks.push_back(name + "@" + std::to_string(loop.now().count()));
    };
  }
};

TEST(VirtualEventLoop, FiresDueTimersInTimeOrderAndKeepsThePeriod) {
  VirtualEventLoop loop;
  Recorder rec{loop, {}};
  Timer slow(loop, 1000ms), fast(loop, 300ms), never(loop, 500ms);
  rec.attach(slow, "slow");
  rec.attach(fast, "fast");
  rec.attach(never, "never");
  slow.setEnabled(true);
  fast.setEnabled(true);
  loop.advance(1000ms);
  EXPECT_EQ(rec.ticks, (std::vector<std::string>{"fast@300", "fast@600", "fast@900", "slow@1000"}));
  EXPECT_EQ(loop.now(), 1000ms);
}

TEST(VirtualEventLoop, EqualDueTimesFireInTheOrderTheTimersWereStarted) {
  VirtualEventLoop loop;
  Recorder rec{loop, {}};
  Timer a(loop, 500ms), b(loop, 500ms);
  rec.attach(a, "a");
  rec.attach(b, "b");
  b.setEnabled(true);
  a.setEnabled(true);
  loop.advance(500ms);
  EXPECT_EQ(rec.ticks, (std::vector<std::string>{"b@500", "a@500"}));
}

TEST(VirtualEventLoop, EnablingARunningTimerDoesNotRestartIt) {
  VirtualEventLoop loop;
  Recorder rec{loop, {}};
  Timer t(loop, 100ms);
  rec.attach(t, "t");
  t.setEnabled(true);
  loop.advance(60ms);
  t.setEnabled(true);
  loop.advance(40ms);
  EXPECT_EQ(rec.ticks, (std::vector<std::string>{"t@100"}));
}

TEST(VirtualEventLoop, ChangingTheIntervalOfARunningTimerStartsItsPeriodAgain) {
  VirtualEventLoop loop;
  Recorder rec{loop, {}};
  Timer t(loop, 500ms);
  rec.attach(t, "t");
  t.setEnabled(true);
  loop.advance(400ms);
  t.setInterval(1000ms);
  loop.advance(999ms);
  EXPECT_TRUE(rec.ticks.empty());
  loop.advance(1ms);
  EXPECT_EQ(rec.ticks, (std::vector<std::string>{"t@1400"}));
  // The same interval again is no change and keeps the period.
  loop.advance(500ms);
  t.setInterval(1000ms);
  loop.advance(500ms);
  EXPECT_EQ(rec.ticks, (std::vector<std::string>{"t@1400", "t@2400"}));
}

TEST(VirtualEventLoop, HandlersMayStopOrRetuneTheirOwnTimer) {
  VirtualEventLoop loop;
  std::vector<long> at;
  Timer oneShot(loop, 100ms);
  oneShot.onTimer = [&] {
    at.push_back(loop.now().count());
    oneShot.setEnabled(false);
  };
  Timer stretching(loop, 500ms);
  stretching.onTimer = [&] {
    at.push_back(loop.now().count());
    stretching.setInterval(1000ms);  // as the scan does when it reaches its slowest rate
  };
  oneShot.setEnabled(true);
  stretching.setEnabled(true);
  loop.advance(2600ms);
  EXPECT_EQ(at, (std::vector<long>{100, 500, 1500, 2500}));
  // A stopped timer and then a restarted one count from the moment of the restart.
  oneShot.setEnabled(true);
  loop.advance(99ms);
  EXPECT_EQ(at.size(), 4u);
  loop.advance(1ms);
  EXPECT_EQ(at.back(), 2700);
}

TEST(VirtualEventLoop, DisabledAndDestroyedTimersNeverFire) {
  VirtualEventLoop loop;
  int ticks = 0;
  {
    Timer gone(loop, 10ms);
    gone.onTimer = [&] { ++ticks; };
    gone.setEnabled(true);
  }
  Timer off(loop, 10ms);
  off.onTimer = [&] { ++ticks; };
  off.setEnabled(true);
  off.setEnabled(false);
  Timer zero(loop, 0ms);
  zero.onTimer = [&] { ++ticks; };
  zero.setEnabled(true);
  loop.advance(1000ms);
  EXPECT_EQ(ticks, 0);
}

TEST(VirtualEventLoop, PostedWorkRunsBeforeTimeMovesAndWorkFromOtherThreadsArrives) {
  VirtualEventLoop loop;
  std::vector<std::string> order;
  Timer t(loop, 10ms);
  t.onTimer = [&] {
    order.push_back("tick");
    loop.post([&] { order.push_back("posted by tick"); });
  };
  t.setEnabled(true);
  loop.post([&] { order.push_back("posted"); });
  std::thread other([&] { loop.post([&] { order.push_back("from thread"); }); });
  other.join();
  loop.advance(10ms);
  EXPECT_EQ(order, (std::vector<std::string>{"posted", "from thread", "tick", "posted by tick"}));
}

TEST(VirtualEventLoop, InvokeFromAnotherThreadWaitsUntilTheMainThreadRanIt) {
  VirtualEventLoop loop;
  std::atomic<bool> returned{false};
  int value = 0;
  std::thread other([&] {
    EXPECT_TRUE(loop.invoke([&] { value = 42; }));
    returned = true;
  });
  // Nothing runs until the main thread turns the loop.
  while (!returned) {
    loop.runPending();
    std::this_thread::yield();
  }
  other.join();
  EXPECT_EQ(value, 42);
  // On the main thread itself the work runs at once.
  EXPECT_TRUE(loop.invoke([&] { value = 7; }));
  EXPECT_EQ(value, 7);
}

TEST(EventLoop, AStoppedLoopReleasesAWaitingInvoke) {
  VirtualEventLoop loop;
  std::atomic<int> result{-1};
  std::thread other([&] { result = loop.invoke([] {}) ? 1 : 0; });
  loop.stop();
  other.join();
  EXPECT_EQ(result, 0);
}

TEST(StdEventLoop, RunsTimersPostedWorkAndQuitsFromAnotherThread) {
  StdEventLoop loop;
  int ticks = 0;
  Timer t(loop, 5ms);
  t.onTimer = [&] {
    if (++ticks == 3) t.setEnabled(false);
  };
  t.setEnabled(true);
  EXPECT_TRUE(loop.runUntil([&] { return ticks == 3; }, 5000ms));
  std::thread quitter([&] { loop.post([&] { loop.quit(); }); });
  loop.run();  // returns once the posted quit ran
  quitter.join();
  int handed = 0;
  std::thread other([&] { loop.invoke([&] { handed = 1; }); });
  EXPECT_TRUE(loop.runUntil([&] { return handed == 1; }, 5000ms));
  other.join();
}

}  // namespace
}  // namespace movrand

// Child processes on Linux: lines come back whole and in order, a Ctrl-C reaches the child
// alone, a child that ignores it is ended by `kill`, and neither reaches anything once the
// child has ended and been reaped (its process id may belong to another process by then).
#include "platform/child_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support/error_text.h"

namespace movrand {
namespace {

using namespace std::chrono_literals;

// What a child said and how it ended, as its thread hands them over.
struct Seen {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> lines;
  std::optional<int> code;

  ChildProcess::LineHandler onLine() {
    return [this](bool, std::string line) {
      std::lock_guard lock(mutex);
      lines.push_back(std::move(line));
      changed.notify_all();
    };
  }
  ChildProcess::EndHandler onEnd() {
    return [this](int exitCode) {
      std::lock_guard lock(mutex);
      code = exitCode;
      changed.notify_all();
    };
  }
  // Waits (bounded) until `ready` holds.
  template <typename Ready>
  bool waitFor(Ready ready) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, 20s, [&] { return ready(); });
  }
};

TEST(ChildProcess, AChildThatTakesCtrlCItsOwnWayIsEndedByKill) {
  Seen seen;
  ChildProcess child;
  // Says when it has set up its trap, and each Ctrl-C it got; otherwise waits.
  ASSERT_EQ(test::ErrorText(child.start(
                "/bin/sh", {"-c", "trap 'echo got' INT; echo ready; while :; do sleep 1; done"},
                seen.onLine(), seen.onEnd())),
            "");
  ASSERT_TRUE(seen.waitFor([&] { return !seen.lines.empty(); }));
  child.interrupt();
  ASSERT_TRUE(seen.waitFor([&] { return seen.lines.size() == 2; }));
  {
    std::lock_guard lock(seen.mutex);
    EXPECT_EQ(seen.lines[1], "got");
    EXPECT_FALSE(seen.code) << "the child took the Ctrl-C and goes on";
  }
  child.kill();
  ASSERT_TRUE(seen.waitFor([&] { return seen.code.has_value(); }));
  EXPECT_EQ(*seen.code, 128 + 9);
  // Once it has ended and been reaped, neither reaches anything.
  child.interrupt();
  child.kill();
}

TEST(ChildProcess, ACtrlCEndsAChildThatTakesIt) {
  Seen seen;
  ChildProcess child;
  ASSERT_EQ(test::ErrorText(child.start("/bin/sh", {"-c", "echo one; echo two; exec sleep 600"},
                                        seen.onLine(), seen.onEnd())),
            "");
  ASSERT_TRUE(seen.waitFor([&] { return seen.lines.size() == 2; }));
  child.interrupt();
  ASSERT_TRUE(seen.waitFor([&] { return seen.code.has_value(); }));
  EXPECT_EQ(*seen.code, 128 + 2);
  EXPECT_EQ(seen.lines, (std::vector<std::string>{"one", "two"}));
}

}  // namespace
}  // namespace movrand

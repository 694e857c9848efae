// The program's real event loop on Windows: the thread's message loop seen through
// `movrand::EventLoop`.
//
// A message-only window receives the loop's own messages. Work posted from any thread goes
// into a queue and a message to that window wakes the main thread, which runs the queue in
// posting order, interleaved with the windows' own messages (also inside the modal loops of
// dialogs and message boxes, which dispatch every message of the thread). `invoke` from
// another thread posts the same way and waits until the work has run; once the loop is stopped
// (the main window is closing, or the loop is being destroyed) it refuses new work and
// releases every waiting thread with false, so the port's reader never hangs on a window that
// is gone. A hand-off already running is waited for even across a stop: its data is in use.
//
// Each armed `Timer` gets a system timer (SetTimer) of its own with a fresh identifier, used
// once: the tick kills it and `EventLoop::fire` arms the next period before the handler runs,
// so a tick of an earlier arming can never fire a timer that was disarmed or re-armed since.
// As with every window timer, ticks come only when no other message is waiting.
//
// What posted work, a hand-off or a timer handler throws is shown in the error box and the
// loop goes on. Create, arm, disarm, stop and run on the main thread; `post` and `invoke` are
// safe from any thread.
#pragma once

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/event_loop.h"

namespace movrand::win32 {

class Win32EventLoop final : public EventLoop {
 public:
  // Creates the loop's message window on the calling thread, which becomes the main thread.
  Win32EventLoop();
  ~Win32EventLoop() override;
  Win32EventLoop(const Win32EventLoop&) = delete;
  Win32EventLoop& operator=(const Win32EventLoop&) = delete;

  void post(std::function<void()> work) override;
  bool invoke(std::function<void()> work) override;
  Milliseconds now() const override;

  // Refuses all further work, drops what is queued and releases the threads waiting in
  // `invoke`. Main thread.
  void stop();
  bool stopped() const;

  // Runs the thread's message loop until WM_QUIT and returns its exit code. Keyboard
  // navigation (Tab, Enter, Escape) goes to the windows given to `addDialogWindow`.
  int run();
  // Runs the messages waiting now and those that arrive until `done()` holds or `limit` has
  // passed, sleeping while there are none (and looking at `done()` at least every 50 ms, for
  // a condition another thread changes); returns the final value of `done()`. A WM_QUIT met
  // on the way is put back for `run`. For tests and for a program that waits for its windows.
  bool runUntil(const std::function<bool()>& done, Milliseconds limit);
  // Ends `run` (posts WM_QUIT).
  static void quit(int exitCode = 0);

  // Windows whose keyboard navigation the loop handles (IsDialogMessage); removed again with
  // `removeDialogWindow` before they are destroyed.
  void addDialogWindow(HWND window);
  void removeDialogWindow(HWND window);

 protected:
  void arm(Timer& timer, Milliseconds after) override;
  void disarm(Timer& timer) override;

 private:
  struct Hand;  // one synchronous hand-off: its state, under mutex_
  struct Item {
    std::function<void()> work;
    std::shared_ptr<Hand> hand;  // null for posted work
  };

  static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void runQueued();
  void timerTick(UINT_PTR id);
  void dispatch(MSG& message);
  bool queue(Item item);  // false when stopped; under no lock

  HWND window_ = nullptr;
  DWORD mainThread_ = 0;
  std::chrono::steady_clock::time_point start_;

  mutable std::mutex mutex_;
  std::condition_variable handDone_;
  std::deque<Item> queued_;  // under mutex_
  bool stopped_ = false;     // under mutex_

  // Main thread only.
  std::map<Timer*, UINT_PTR> timerIds_;
  std::map<UINT_PTR, Timer*> timers_;
  UINT_PTR nextTimerId_ = 1;
  std::vector<HWND> dialogWindows_;
};

}  // namespace movrand::win32

#include "win32gui/win32_event_loop.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "win32gui/error_box.h"

namespace movrand::win32 {
namespace {

constexpr const char* kWindowClass = "MovrandEventLoop";
// The message that tells the main thread that work is queued.
constexpr UINT kWorkQueued = WM_APP + 1;
// How often `runUntil` looks at its condition when no message wakes it: a condition that
// another thread changes is seen this late at most.
constexpr Milliseconds kRecheck{50};

}  // namespace

enum class HandState { Queued, Running, Done };

struct Win32EventLoop::Hand {
  HandState state = HandState::Queued;
};

Win32EventLoop::Win32EventLoop()
    : mainThread_(GetCurrentThreadId()), start_(std::chrono::steady_clock::now()) {
  const HINSTANCE instance = GetModuleHandleA(nullptr);
  WNDCLASSEXA windowClass{};
  windowClass.cbSize = sizeof windowClass;
  if (!GetClassInfoExA(instance, kWindowClass, &windowClass)) {
    windowClass = WNDCLASSEXA{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = &Win32EventLoop::windowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kWindowClass;
    if (!RegisterClassExA(&windowClass)) throw std::runtime_error("Can't register a window class");
  }
  window_ =
      CreateWindowExA(0, kWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, this);
  if (!window_) throw std::runtime_error("Can't create the message window");
}

Win32EventLoop::~Win32EventLoop() {
  stop();
  for (const auto& [id, timer] : timers_) KillTimer(window_, id);
  timers_.clear();
  timerIds_.clear();
  SetWindowLongPtrA(window_, GWLP_USERDATA, 0);
  DestroyWindow(window_);
}

LRESULT CALLBACK Win32EventLoop::windowProc(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* loop = reinterpret_cast<Win32EventLoop*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  if (loop) {
    if (message == kWorkQueued) {
      loop->runQueued();
      return 0;
    }
    if (message == WM_TIMER) {
      loop->timerTick(static_cast<UINT_PTR>(wParam));
      return 0;
    }
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

bool Win32EventLoop::queue(Item item) {
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return false;
    queued_.push_back(std::move(item));
  }
  // Should the thread's message queue be full, the work still runs with the next message
  // that reaches the loop's window (every tick and every later post runs the whole queue).
  PostMessageA(window_, kWorkQueued, 0, 0);
  return true;
}

void Win32EventLoop::post(std::function<void()> work) {
  queue(Item{std::move(work), nullptr});
}

bool Win32EventLoop::invoke(std::function<void()> work) {
  if (GetCurrentThreadId() == mainThread_) {
    work();
    return true;
  }
  auto hand = std::make_shared<Hand>();
  if (!queue(Item{std::move(work), hand})) return false;
  std::unique_lock lock(mutex_);
  handDone_.wait(lock, [&] {
    return hand->state == HandState::Done || (stopped_ && hand->state == HandState::Queued);
  });
  return hand->state == HandState::Done;
}

Milliseconds Win32EventLoop::now() const {
  return std::chrono::duration_cast<Milliseconds>(std::chrono::steady_clock::now() - start_);
}

void Win32EventLoop::stop() {
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    // The hand-offs among these stay Queued, which tells their callers "not run".
    queued_.clear();
  }
  handDone_.notify_all();
}

bool Win32EventLoop::stopped() const {
  std::lock_guard lock(mutex_);
  return stopped_;
}

void Win32EventLoop::runQueued() {
  for (;;) {
    Item item;
    {
      std::lock_guard lock(mutex_);
      if (queued_.empty()) return;
      item = std::move(queued_.front());
      queued_.pop_front();
      if (item.hand) item.hand->state = HandState::Running;
    }
    if (!item.hand) {
      runGuarded(item.work);
      continue;
    }
    // The caller waits on this hand-off: release it whatever the work does.
    struct Release {
      Win32EventLoop& loop;
      Hand& hand;
      ~Release() {
        {
          std::lock_guard lock(loop.mutex_);
          hand.state = HandState::Done;
        }
        loop.handDone_.notify_all();
      }
    } release{*this, *item.hand};
    runGuarded(item.work);
  }
}

void Win32EventLoop::arm(Timer& timer, Milliseconds after) {
  disarm(timer);
  const UINT_PTR id = nextTimerId_++;
  const auto elapse =
      std::clamp<Milliseconds::rep>(after.count(), USER_TIMER_MINIMUM, USER_TIMER_MAXIMUM);
  if (SetTimer(window_, id, static_cast<UINT>(elapse), nullptr) == 0) return;
  timerIds_[&timer] = id;
  timers_[id] = &timer;
}

void Win32EventLoop::disarm(Timer& timer) {
  const auto it = timerIds_.find(&timer);
  if (it == timerIds_.end()) return;
  KillTimer(window_, it->second);
  timers_.erase(it->second);
  timerIds_.erase(it);
}

void Win32EventLoop::timerTick(UINT_PTR id) {
  KillTimer(window_, id);  // each system timer serves one period
  runQueued();             // work whose wake-up message could not be posted
  const auto it = timers_.find(id);
  if (it == timers_.end()) return;  // a tick of an arming that has been replaced
  Timer& timer = *it->second;
  timers_.erase(it);
  timerIds_.erase(&timer);
  runGuarded([&] { fire(timer); });
}

void Win32EventLoop::addDialogWindow(HWND window) {
  if (window &&
      std::find(dialogWindows_.begin(), dialogWindows_.end(), window) == dialogWindows_.end()) {
    dialogWindows_.push_back(window);
  }
}

void Win32EventLoop::removeDialogWindow(HWND window) {
  dialogWindows_.erase(std::remove(dialogWindows_.begin(), dialogWindows_.end(), window),
                       dialogWindows_.end());
}

void Win32EventLoop::dispatch(MSG& message) {
  for (HWND window : dialogWindows_) {
    if ((message.hwnd == window || IsChild(window, message.hwnd)) &&
        IsDialogMessageA(window, &message)) {
      return;
    }
  }
  TranslateMessage(&message);
  DispatchMessageA(&message);
}

int Win32EventLoop::run() {
  MSG message{};
  for (;;) {
    const BOOL got = GetMessageA(&message, nullptr, 0, 0);
    if (got == 0) return static_cast<int>(message.wParam);  // WM_QUIT
    if (got == -1) return 0;
    dispatch(message);
  }
}

bool Win32EventLoop::runUntil(const std::function<bool()>& done, Milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  MSG message{};
  while (!done()) {
    if (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) {
        PostQuitMessage(static_cast<int>(message.wParam));  // for `run`
        return done();
      }
      dispatch(message);
      continue;
    }
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= Milliseconds{0}) return done();
    const auto wait = std::chrono::duration_cast<Milliseconds>(left).count() + 1;
    MsgWaitForMultipleObjectsEx(0, nullptr,
                                static_cast<DWORD>(std::min<long long>(wait, kRecheck.count())),
                                QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
  return true;
}

void Win32EventLoop::quit(int exitCode) {
  PostQuitMessage(exitCode);
}

}  // namespace movrand::win32

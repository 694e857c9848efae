#include "gui/qt_event_loop.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QTimer>
#include <algorithm>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <utility>

#include "gui/application.h"

namespace movrand {

struct QtEventLoop::Shared {
  std::mutex mutex;
  std::condition_variable handDone;
  bool stopped = false;  // under mutex
};

namespace {

// One synchronous hand-off as the waiting thread sees it. Under Shared::mutex.
enum class HandState { Queued, Running, Done };

}  // namespace

QtEventLoop::QtEventLoop()
    : shared_(std::make_shared<Shared>()),
      context_(std::make_unique<QObject>()),
      start_(std::chrono::steady_clock::now()),
      mainThread_(std::this_thread::get_id()) {
  if (auto* app = QCoreApplication::instance()) {
    QObject::connect(app, &QCoreApplication::aboutToQuit, context_.get(), [this] { stop(); });
  }
}

QtEventLoop::~QtEventLoop() {
  stop();
  // Deleting the context drops the queued calls that never ran and the timers with it.
  timers_.clear();
  context_.reset();
}

void QtEventLoop::post(std::function<void()> work) {
  std::lock_guard lock(shared_->mutex);
  if (shared_->stopped) return;
  QMetaObject::invokeMethod(
      context_.get(), [work = std::move(work)] { gui::runGuarded(work); }, Qt::QueuedConnection);
}

bool QtEventLoop::invoke(std::function<void()> work) {
  if (std::this_thread::get_id() == mainThread_) {
    work();
    return true;
  }
  auto hand = std::make_shared<HandState>(HandState::Queued);
  std::unique_lock lock(shared_->mutex);
  if (shared_->stopped) return false;
  // Posted under the lock, so a stop on the main thread either comes first (and the work is
  // refused here) or finds the call queued (and the wait below ends with false).
  QMetaObject::invokeMethod(
      context_.get(),
      [shared = shared_, hand, work = std::move(work)] {
        {
          std::lock_guard l(shared->mutex);
          if (shared->stopped) return;  // its caller has already been told "not run"
          *hand = HandState::Running;
        }
        // The caller waits on this hand-off: release it whatever the work does.
        struct Release {
          Shared& shared;
          HandState& hand;
          ~Release() {
            {
              std::lock_guard l(shared.mutex);
              hand = HandState::Done;
            }
            shared.handDone.notify_all();
          }
        } release{*shared, *hand};
        gui::runGuarded(work);
      },
      Qt::QueuedConnection);
  // A hand-off already running is waited for even across a stop: the caller's data is in use.
  shared_->handDone.wait(lock, [&] {
    return *hand == HandState::Done || (shared_->stopped && *hand == HandState::Queued);
  });
  return *hand == HandState::Done;
}

Milliseconds QtEventLoop::now() const {
  return std::chrono::duration_cast<Milliseconds>(std::chrono::steady_clock::now() - start_);
}

void QtEventLoop::stop() {
  {
    std::lock_guard lock(shared_->mutex);
    shared_->stopped = true;
  }
  shared_->handDone.notify_all();
}

bool QtEventLoop::stopped() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->stopped;
}

void QtEventLoop::arm(Timer& timer, Milliseconds after) {
  QTimer*& qtimer = timers_[&timer];
  if (!qtimer) {
    qtimer = new QTimer(context_.get());
    qtimer->setSingleShot(true);  // fire() arms the next period before the handler runs
    qtimer->setTimerType(Qt::PreciseTimer);
    Timer* target = &timer;
    QObject::connect(qtimer, &QTimer::timeout, context_.get(),
                     [target] { gui::runGuarded([target] { fire(*target); }); });
  }
  const auto limit = Milliseconds{std::numeric_limits<int>::max()};
  qtimer->start(std::clamp(after, Milliseconds{0}, limit));
}

void QtEventLoop::disarm(Timer& timer) {
  auto it = timers_.find(&timer);
  if (it == timers_.end()) return;
  it->second->stop();
  // The handler that disarms its timer runs inside that QTimer's own signal.
  it->second->deleteLater();
  timers_.erase(it);
}

}  // namespace movrand

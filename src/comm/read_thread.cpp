#include "comm/read_thread.h"

#include <algorithm>
#include <span>

namespace movrand {

struct ReadThread::Shared {
  Shared(EventLoop& l, std::shared_ptr<SerialDevice> d, const CommHandlers& h)
      : loop(l), device(std::move(d)), handlers(h) {}
  EventLoop& loop;
  std::shared_ptr<SerialDevice> device;
  const CommHandlers& handlers;
  std::array<std::uint8_t, kRxBufferSize> RxBuffer{};
  std::atomic<bool> terminated{false};
  std::atomic<bool> finished{false};
  std::mutex mutex;
  std::condition_variable handled;
  std::uint64_t handedOut = 0;  // hand-offs posted, under mutex
  std::uint64_t handedIn = 0;   // hand-offs run or dropped, under mutex
};

ReadThread::ReadThread(EventLoop& loop, std::shared_ptr<SerialDevice> device,
                       const CommHandlers& handlers)
    : shared_(std::make_shared<Shared>(loop, std::move(device), handlers)),
      thread_([this] { Execute(); }) {}

ReadThread::~ReadThread() {
  Terminate();
  if (thread_.joinable()) thread_.join();
}

void ReadThread::Terminate() {
  {
    std::lock_guard lock(shared_->mutex);
    shared_->terminated = true;
  }
  shared_->handled.notify_all();
}

bool ReadThread::Finished() const {
  return shared_->finished;
}

void ReadThread::handOff(void (*work)(Shared&, int), int length) {
  std::uint64_t ticket;
  {
    std::lock_guard lock(shared_->mutex);
    ticket = ++shared_->handedOut;
  }
  // The closure keeps the shared state (and with it the buffer) alive even if this thread
  // has ended by the time the main thread gets to it.
  shared_->loop.post([shared = shared_, work, length, ticket] {
    // Releases the reader however the handler ends: an error raised while a chunk is handled
    // goes on to the loop's error report, and the reader keeps receiving.
    struct Release {
      Shared& s;
      std::uint64_t ticket;
      ~Release() {
        {
          std::lock_guard lock(s.mutex);
          s.handedIn = ticket;
        }
        s.handled.notify_all();
      }
    } release{*shared, ticket};
    // The terminated flag is only set on the main thread, so this test cannot race.
    if (!shared->terminated) work(*shared, length);
  });
  std::unique_lock lock(shared_->mutex);
  shared_->handled.wait(lock, [&] { return shared_->handedIn >= ticket || shared_->terminated; });
}

void ReadThread::Execute() {
  Shared& s = *shared_;
  bool lossReported = false;
  std::size_t used = s.RxBuffer.size();  // bytes of RxBuffer that may not be zero
  while (!s.terminated) {
    const WaitResult event = s.device->wait();
    if (s.terminated || event == WaitResult::Closed) break;
    switch (event) {
      case WaitResult::Data: {
        // The buffer is all zeros before each read, so that a chunk shorter than the buffer is
        // followed by a zero byte; only what the last read wrote needs clearing again.
        std::fill_n(s.RxBuffer.begin(), used, std::uint8_t{0});
        // Reads at most the buffer's size; anything beyond stays queued for the next pass.
        const std::size_t length = s.device->read(s.RxBuffer);
        used = length;
        if (length == 0) break;  // nothing after all: no empty chunk is ever delivered
        handOff(
            [](Shared& sh, int n) {
              if (sh.handlers.dataReceived) sh.handlers.dataReceived(sh.RxBuffer.data(), n);
            },
            static_cast<int>(length));
        break;
      }
      case WaitResult::LineError:
        handOff(
            [](Shared& sh, int) {
              if (sh.handlers.errorReceived) sh.handlers.errorReceived();
            },
            0);
        break;
      case WaitResult::Failed:
        // The device's next wait sleeps until the close, so the loss is told once and the
        // thread then waits quietly.
        if (!lossReported) {
          lossReported = true;
          handOff(
              [](Shared& sh, int) {
                if (sh.handlers.portLost) sh.handlers.portLost();
              },
              0);
        }
        break;
      case WaitResult::Closed:
        break;
    }
  }
  // Let the port go now: a hand-off still queued on the main thread keeps only the buffer.
  s.device.reset();
  s.finished = true;
}

}  // namespace movrand

// The reader of one open port: a thread that waits for input, reads what is queued and hands
// each chunk to the main thread, blocking until the main thread has handled it.
//
// Each reader owns its device reference and its receive buffer, so a reader still winding
// down after its port was closed never touches a port opened after it. Once terminated it
// delivers nothing more: a chunk it read just before the close is dropped, not handed to a
// program that has moved on to another port or rate.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "comm/comm.h"

namespace movrand {

inline constexpr std::size_t kRxBufferSize = 10240;

class ReadThread {
 public:
  ReadThread(EventLoop& loop, std::shared_ptr<SerialDevice> device, const CommHandlers& handlers);
  ~ReadThread();  // joins; call only after Terminate, never from inside a delivery
  ReadThread(const ReadThread&) = delete;
  ReadThread& operator=(const ReadThread&) = delete;

  // Sets the terminated flag and releases a hand-off the thread may be waiting on. Main thread.
  void Terminate();
  bool Finished() const;

 private:
  struct Shared;
  void Execute();
  // Runs `work` on the main thread unless terminated; waits until it ran or was dropped.
  void handOff(void (*work)(Shared&, int), int length);

  std::shared_ptr<Shared> shared_;
  std::thread thread_;
};

}  // namespace movrand

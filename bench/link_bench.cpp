// The serial link over a pseudo-terminal: how long a stream of bytes takes from the far end
// to the main thread's receive handler, through the reader thread and its hand-off, and what
// an open/close cycle costs (the automatic search makes two of them per rate).
#include <benchmark/benchmark.h>

#include <thread>
#include <vector>

#include "comm/comm.h"
#include "platform/std_event_loop.h"
#include "support/pty_pair.h"

namespace movrand {
namespace {

using namespace std::chrono_literals;

void LinkReceivesStream(benchmark::State& state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0));
  StdEventLoop loop;
  test::PtyPair pty;
  std::size_t received = 0;
  std::size_t chunks = 0;
  CommHandlers handlers;
  handlers.dataReceived = [&](const std::uint8_t*, int length) {
    received += static_cast<std::size_t>(length);
    ++chunks;
  };
  CommAttach(loop, systemSerialDriver(), handlers);
  if (!OpenPort(pty.portName(), 230400, 0)) {
    state.SkipWithError("cannot open the pseudo-terminal");
    return;
  }
  const std::vector<std::uint8_t> stream(size, 0x5A);
  for (auto _ : state) {
    received = 0;
    chunks = 0;
    std::thread module([&] { pty.writeAll(stream); });
    loop.runUntil([&] { return received >= size; }, 60s);
    module.join();
  }
  state.counters["bytes_per_chunk"] =
      chunks ? static_cast<double>(size) / static_cast<double>(chunks) : 0.0;
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
  CommDetach();
}
BENCHMARK(LinkReceivesStream)->Arg(133)->Arg(1 << 20)->UseRealTime()->Unit(benchmark::kMillisecond);

void LinkOpenCloseCycle(benchmark::State& state) {
  StdEventLoop loop;
  test::PtyPair pty;
  CommAttach(loop, systemSerialDriver(), {});
  for (auto _ : state) {
    if (!OpenPort(pty.portName(), 115200, 0)) {
      state.SkipWithError("open failed");
      break;
    }
    ClosePort();
  }
  CommDetach();
}
BENCHMARK(LinkOpenCloseCycle)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace movrand

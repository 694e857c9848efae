// How fast the receive side turns bytes into frames, and what the two CRC-16 forms cost.
// The receive handler runs on the main thread, so its speed bounds how long a chunk keeps
// the reader waiting.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "comm/collectors.h"
#include "protocol/binr_output.h"
#include "protocol/crc16.h"
#include "protocol/nmea_output.h"

namespace movrand {
namespace {

std::vector<std::uint8_t> randomBytes(std::size_t count) {
  std::mt19937 random(1);
  std::vector<std::uint8_t> bytes(count);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
  return bytes;
}

// Version replies as the module sends them, back to back.
void NmeaCollectorVersionReplies(benchmark::State& state) {
  std::vector<std::uint8_t> stream;
  for (int i = 0; i < 1000; ++i) {
    const auto frame = FrameNmeaSentence("$POVER,A1,KAP41,0102,RTK,B2");
    stream.insert(stream.end(), frame.begin(), frame.end());
  }
  NmeaCollector rx;
  NmeaSentence sentence{};
  for (auto _ : state) {
    int complete = 0;
    for (std::uint8_t b : stream) complete += rx.Push(static_cast<char>(b), sentence) == 1;
    benchmark::DoNotOptimize(complete);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(NmeaCollectorVersionReplies);

// 76-byte version frames with stuffing and the CRC trailer, back to back.
void BinrCollectorVersionFrames(benchmark::State& state) {
  std::vector<std::uint8_t> message = {0x10, 0x70};
  const auto data = randomBytes(76);
  message.insert(message.end(), data.begin(), data.end());
  message.insert(message.end(), {0x10, 0x03});
  std::vector<std::uint8_t> stream;
  for (int i = 0; i < 1000; ++i) {
    const auto frame = FrameBinrMessage(message);
    stream.insert(stream.end(), frame.begin(), frame.end());
  }
  BinrCollector rx;
  for (auto _ : state) {
    int frames = 0;
    for (std::uint8_t b : stream) frames += rx.Push(b) == 0x70;
    benchmark::DoNotOptimize(frames);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(BinrCollectorVersionFrames);

// One firmware block's CRC, bitwise as the transfer computes it, and by table.
void Crc16BlockBitwise(benchmark::State& state) {
  const auto block = randomBytes(128);
  for (auto _ : state) {
    benchmark::DoNotOptimize(Crc16Block(block.data(), static_cast<int>(block.size())));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * block.size()));
}
BENCHMARK(Crc16BlockBitwise);

void Crc16UpdateTable(benchmark::State& state) {
  const auto block = randomBytes(128);
  for (auto _ : state) {
    std::uint16_t crc = 0;
    for (std::uint8_t b : block) crc = Crc16Update(crc, b);
    benchmark::DoNotOptimize(crc);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * block.size()));
}
BENCHMARK(Crc16UpdateTable);

}  // namespace
}  // namespace movrand

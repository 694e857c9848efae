// What programming costs on the program's side: the checks that run inside the Programming
// button's handler before the confirmation (the window does not answer meanwhile), and a
// whole 1 MiB transfer against the simulated module, whose line time tells how long a
// technician waits at 115200 and 230400.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "programming/image.h"
#include "support/sim_form.h"

namespace movrand {
namespace {

std::vector<std::uint8_t> Image(std::size_t size) {
  std::vector<std::uint8_t> image(size);
  for (std::size_t i = 0; i < size; ++i) image[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8));
  const std::string model = "KAP41";
  std::copy(model.begin(), model.end(), image.end() - 16);  // found only at the very end
  if (size >= static_cast<std::size_t>(kLargeImageSize)) {
    const std::uint32_t length = static_cast<std::uint32_t>(size - 8);
    const std::uint32_t crc = Crc32(image.data() + 8, size - 8);
    for (int b = 0; b < 4; ++b) {
      image[b] = static_cast<std::uint8_t>(length >> (8 * b));
      image[4 + b] = static_cast<std::uint8_t>(crc >> (8 * b));
    }
  }
  return image;
}

std::filesystem::path WriteImage(const std::vector<std::uint8_t>& image) {
  const auto path = std::filesystem::temp_directory_path() / "movrand-bench-image.bin";
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()), static_cast<long>(image.size()));
  return path;
}

void Crc32OneMiB(benchmark::State& state) {
  const auto image = Image(kFirmwareBufferSize);
  for (auto _ : state) benchmark::DoNotOptimize(Crc32(image.data(), image.size()));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * image.size()));
}
BENCHMARK(Crc32OneMiB)->Unit(benchmark::kMillisecond);

// The model-name search when the name stands at the very end of a full buffer.
void ModelNameSearchOneMiB(benchmark::State& state) {
  const auto image = Image(kFirmwareBufferSize);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        IsImageCompatible(image.data(), static_cast<std::int32_t>(image.size()), "KAP41"));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * image.size()));
}
BENCHMARK(ModelNameSearchOneMiB)->Unit(benchmark::kMillisecond);

// Everything the button handler does before the confirmation: fill the buffer, read the
// file, check its header and CRC-32, search the model name.
void ReadAndCheckOneMiBFile(benchmark::State& state) {
  const auto path = WriteImage(Image(kFirmwareBufferSize));
  std::vector<std::uint8_t> buffer(kFirmwareBufferSize);
  for (auto _ : state) {
    const ImageRead read = ReadImageFile(
        path.string(), std::span<std::uint8_t, kFirmwareBufferSize>(buffer.data(), buffer.size()));
    benchmark::DoNotOptimize(IsImageCompatible(buffer.data(), read.length, "KAP41"));
  }
  std::filesystem::remove(path);
}
BENCHMARK(ReadAndCheckOneMiBFile)->Unit(benchmark::kMillisecond);

// A whole 1 MiB transfer through the window model and the serial link to the simulated
// module on the virtual clock: the time is the program's and the module's processing; the
// counter line_s is the transfer's time on a real line at that rate (no rejected block).
void TransferOneMiB(benchmark::State& state) {
  const auto rate = static_cast<std::uint32_t>(state.range(0));
  const auto path = WriteImage(Image(kFirmwareBufferSize));
  double lineSeconds = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto sim = std::make_unique<testing::SimForm>(testing::ModuleAt(sim::Protocol::Nmea, rate));
    sim->form.FastProgramming = rate > 115200;
    sim->Select("NMEA", std::to_string(rate));
    sim->Connect();
    sim->RunUntil([&] { return sim->form.DeviceIdentified; }, Milliseconds{5000});
    sim->form.OpenDialog1.FileName = path.string();
    sim->form.Edit1.setText("image.bin");
    sim->form.UpdateProgramButton();
    state.ResumeTiming();

    sim->form.SpeedButtonProgram.click();
    const Milliseconds start = sim->loop.now();
    const bool done = sim->RunUntil(
        [&] {
          return !sim->Lines().empty() && sim->Lines().back().ends_with(">>Loading completed");
        },
        Milliseconds{600000});
    if (!done) state.SkipWithError("the transfer did not complete");
    lineSeconds = std::chrono::duration<double>(sim->loop.now() - start).count();

    state.PauseTiming();
    sim.reset();
    state.ResumeTiming();
  }
  state.counters["line_s"] = lineSeconds;
  std::filesystem::remove(path);
}
BENCHMARK(TransferOneMiB)->Arg(115200)->Arg(230400)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace movrand

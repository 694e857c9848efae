// The full fault soak: a thousand seeded programming runs (or as many as the first argument
// says) against the simulated module with random faults, on the virtual clock. Prints how
// many ended in each way and every failure with its seed; exits 1 when there was one.
// See tests/support/fault_soak.h for the faults and the endings.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "support/fault_soak.h"

int main(int argc, char** argv) {
  using namespace movrand::testing;
  const long runs = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 1000;
  if (runs <= 0 || runs > 1'000'000) {
    std::fprintf(stderr, "usage: %s [RUNS]   (1 to 1000000, default 1000)\n", argv[0]);
    return 2;
  }
  std::map<SoakEnding, long> counts;
  long long virtualMs = 0;
  const auto start = std::chrono::steady_clock::now();
  for (long seed = 1; seed <= runs; ++seed) {
    const SoakResult result = RunSoakTransfer(static_cast<std::uint32_t>(seed));
    ++counts[result.ending];
    virtualMs += result.took.count();
    if (result.ending == SoakEnding::Failure) {
      std::printf("seed %ld: FAILURE: %s\n", seed, result.why.c_str());
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%ld seeded transfers with faults, %.1f h of virtual time in %.1f s:\n", runs,
              static_cast<double>(virtualMs) / 3.6e6, seconds);
  for (const SoakEnding ending : {SoakEnding::Success, SoakEnding::Abort, SoakEnding::Lost,
                                  SoakEnding::Cancel, SoakEnding::Failure}) {
    std::printf("  %-28s %ld\n", SoakEndingName(ending), counts[ending]);
  }
  return counts[SoakEnding::Failure] == 0 ? 0 : 1;
}

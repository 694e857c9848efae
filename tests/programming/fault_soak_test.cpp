// The short fault soak: a few dozen seeded programming runs against the simulated module with
// random faults, each of which must end byte-exact or as an abort, a loss or a cancel with its
// line (see support/fault_soak.h). The full thousand runs are the benchmark movrand_soak.
#include <gtest/gtest.h>

#include <map>

#include "support/fault_soak.h"

namespace movrand::testing {
namespace {

constexpr std::uint32_t kSeeds = 40;

TEST(FaultSoak, EverySeededRunEndsByteExactOrAsAnAbortALossOrACancel) {
  std::map<SoakEnding, int> counts;
  for (std::uint32_t seed = 1; seed <= kSeeds; ++seed) {
    const SoakResult result = RunSoakTransfer(seed);
    ++counts[result.ending];
    EXPECT_NE(result.ending, SoakEnding::Failure) << "seed " << seed << ": " << result.why;
  }
  for (const auto& [ending, count] : counts) {
    std::printf("%-28s %d\n", SoakEndingName(ending), count);
  }
  EXPECT_GE(counts[SoakEnding::Success], static_cast<int>(kSeeds) / 2);
}

// Success, abort, loss and cancel all occur: the faults the soak draws reach every ending.
TEST(FaultSoak, EveryEndingIsMetWithinAFewHundredSeeds) {
  std::map<SoakEnding, int> seen;
  for (std::uint32_t seed = 1; seed <= 400 && seen.size() < 4; ++seed) {
    const SoakResult result = RunSoakTransfer(seed);
    ASSERT_NE(result.ending, SoakEnding::Failure) << "seed " << seed << ": " << result.why;
    if (!seen.contains(result.ending)) {
      seen[result.ending] = static_cast<int>(seed);
      std::printf("seed %u: %s (%s)\n", seed, SoakEndingName(result.ending), result.why.c_str());
    }
  }
  EXPECT_EQ(seen.size(), 4u) << "success, abort, loss and cancel each met within 400 seeds";
}

}  // namespace
}  // namespace movrand::testing

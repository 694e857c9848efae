// The short fuzz run of a test build: every file of the corpus folder, then a fixed number
// of mutations of them (bytes flipped, inserted, removed, inputs spliced), from a fixed seed
// so that a failure repeats. Usage: <target>_replay CORPUS_DIR [MUTATIONS]
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

using Input = std::vector<std::uint8_t>;
constexpr std::size_t kMaxInput = 4096;

Input Mutate(const std::vector<Input>& corpus, std::mt19937& random) {
  Input input = corpus[random() % corpus.size()];
  const int edits = 1 + static_cast<int>(random() % 8);
  for (int e = 0; e < edits; ++e) {
    const auto at = [&] { return input.empty() ? 0 : random() % input.size(); };
    switch (random() % 5) {
      case 0:
        if (!input.empty()) input[at()] ^= static_cast<std::uint8_t>(1u << (random() % 8));
        break;
      case 1:
        if (!input.empty()) input[at()] = static_cast<std::uint8_t>(random());
        break;
      case 2:
        if (input.size() < kMaxInput) {
          input.insert(input.begin() + static_cast<long>(at()),
                       static_cast<std::uint8_t>(random()));
        }
        break;
      case 3:
        if (!input.empty()) input.erase(input.begin() + static_cast<long>(at()));
        break;
      default: {
        const Input& other = corpus[random() % corpus.size()];
        if (!other.empty() && input.size() + other.size() <= kMaxInput) {
          const auto from = random() % other.size();
          input.insert(input.begin() + static_cast<long>(at()),
                       other.begin() + static_cast<long>(from), other.end());
        }
      }
    }
  }
  return input;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR [MUTATIONS]\n", argv[0]);
    return 2;
  }
  const long mutations = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 10000;
  std::vector<Input> corpus;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(argv[1], error)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream file(entry.path(), std::ios::binary);
    corpus.emplace_back(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }
  if (corpus.empty()) corpus.emplace_back();
  for (const Input& input : corpus) LLVMFuzzerTestOneInput(input.data(), input.size());
  std::mt19937 random(20261208);
  for (long i = 0; i < mutations; ++i) {
    const Input input = Mutate(corpus, random);
    LLVMFuzzerTestOneInput(input.data(), input.size());
  }
  std::printf("%zu corpus inputs and %ld mutations ran clean\n", corpus.size(), mutations);
  return 0;
}

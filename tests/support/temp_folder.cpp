#include "support/temp_folder.h"

#include <random>
#include <stdexcept>
#include <string>
#include <system_error>

namespace movrand::test {

std::filesystem::path MakeTempFolder(std::string_view stem) {
  namespace fs = std::filesystem;
  constexpr int kAttempts = 100;
  static std::mt19937_64 names{std::random_device{}()};
  const fs::path base = fs::temp_directory_path();
  for (int i = 0; i < kAttempts; ++i) {
    const fs::path folder = base / (std::string(stem) + "-" + std::to_string(names() % 1000000000));
    std::error_code error;
    // create_directory is false for a folder that already existed: then try another name.
    if (fs::create_directory(folder, error)) return folder;
  }
  throw std::runtime_error("no temporary folder for " + std::string(stem));
}

}  // namespace movrand::test

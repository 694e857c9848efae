#include "app/services.h"

#include <cstdlib>
#include <system_error>

#include "platform/local_time.h"

namespace movrand {

std::string SystemLocalClock::LongTime() {
  return LocalLongTime();
}

std::filesystem::path InstalledProgramFolder() {
#if defined(MOVRAND_INSTALLED_BINDIR) && !defined(_WIN32)
  return std::filesystem::path(MOVRAND_INSTALLED_BINDIR);
#else
  return {};
#endif
}

std::filesystem::path ProgramDataFolder(const std::filesystem::path& programFile) {
  std::filesystem::path folder = programFile.parent_path();
  const std::filesystem::path installed = InstalledProgramFolder();
  if (installed.empty() || folder.empty()) return folder;
  std::error_code error;
  const bool inInstalledFolder = std::filesystem::equivalent(folder, installed, error);
  if (error || !inInstalledFolder) return folder;

  std::filesystem::path config;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/') {
    config = xdg;
  } else if (const char* home = std::getenv("HOME"); home && *home == '/') {
    config = std::filesystem::path(home) / ".config";
  } else {
    return folder;  // no home to keep them in: the program's folder, as everywhere else
  }
  config /= "movrand";
  std::filesystem::create_directories(config, error);
  return config;
}

}  // namespace movrand

#include "app/services.h"

#include <system_error>

#include "platform/config_folder.h"

namespace movrand {

std::filesystem::path ProgramDataFolder(const std::filesystem::path& programFile) {
  std::filesystem::path folder = programFile.parent_path();
  const std::filesystem::path installed = InstalledProgramFolder();
  if (installed.empty() || folder.empty()) return folder;
  std::error_code error;
  const bool inInstalledFolder = std::filesystem::equivalent(folder, installed, error);
  if (error || !inInstalledFolder) return folder;
  const std::filesystem::path config = UserConfigFolder();
  // No home to keep them in: the program's folder, as everywhere else.
  return config.empty() ? folder : config;
}

}  // namespace movrand

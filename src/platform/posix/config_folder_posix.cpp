#include <cstdlib>
#include <system_error>

#include "platform/config_folder.h"

namespace movrand {

std::filesystem::path InstalledProgramFolder() {
  return std::filesystem::path(MOVRAND_INSTALLED_BINDIR);  // set by the build
}

std::filesystem::path UserConfigFolder() {
  std::filesystem::path config;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/') {
    config = xdg;
  } else if (const char* home = std::getenv("HOME"); home && *home == '/') {
    config = std::filesystem::path(home) / ".config";
  } else {
    return {};
  }
  config /= "movrand";
  std::error_code error;  // a folder that cannot be made shows when a file in it is written
  std::filesystem::create_directories(config, error);
  return config;
}

}  // namespace movrand

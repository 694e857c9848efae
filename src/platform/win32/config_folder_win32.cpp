#include "platform/config_folder.h"

namespace movrand {

// A Windows copy of the program is unpacked into a folder of its own and keeps its settings
// there, whatever folder that is.
std::filesystem::path InstalledProgramFolder() {
  return {};
}

std::filesystem::path UserConfigFolder() {
  return {};
}

}  // namespace movrand

// What the main window needs from its surroundings, as small interfaces a test can fake: the
// file-open dialog, and where the program keeps its settings and traffic log. (The local time
// comes from platform/local_time.h, the port list from platform/port_source.h, the dialogs
// from app/dialogs.h.)
#pragma once

#include <filesystem>
#include <string>

#include "platform/controls.h"
#include "platform/local_time.h"

namespace movrand {

// Where the program keeps its settings file and traffic log. Beside the program file, as a
// copy unpacked into a folder of its own expects; but a program installed into the system's
// program folder, which its users cannot write, keeps them in the user's configuration
// folder (platform/config_folder.h), made when missing.
std::filesystem::path ProgramDataFolder(const std::filesystem::path& programFile);

class FileDialog {
 public:
  virtual ~FileDialog() = default;
  // Runs the dialog modally with `dialog`'s folder, filter and pre-set file. Returns true and
  // stores the chosen full path in `dialog.FileName` when the user accepts; returns false and
  // leaves `dialog` as it was when the user cancels.
  virtual bool Execute(OpenDialog& dialog) = 0;
};

}  // namespace movrand

// What the main window needs from its surroundings, as small interfaces a test can fake:
// the local time for time-stamped log lines and the file-open dialog. (The port list comes
// from platform/port_source.h, the dialogs from app/dialogs.h.)
#pragma once

#include <filesystem>
#include <string>

namespace movrand {

// Local time in the user's long time format (14:03:12 in most places): the stamp in front
// of the log pane's timed lines.
class LocalClock {
 public:
  virtual ~LocalClock() = default;
  virtual std::string LongTime() = 0;
};

// The system's clock in the user's long time format.
class SystemLocalClock final : public LocalClock {
 public:
  std::string LongTime() override;
};

// The window's file-open dialog: what it starts with and, after the user accepted, the
// chosen file. The chosen path stays here between runs of the dialog; it is what the settings
// store and what programming opens.
struct OpenDialog {
  std::string FileName;    // full path of the chosen file; empty when none was chosen
  std::string InitialDir;  // folder the dialog opens in
  std::string Filter = "binary (*.bin)|*.bin";  // "description|pattern" pairs
};

// Where the program keeps its settings file and traffic log. Beside the program file, as a
// copy unpacked into a folder of its own expects; but a program installed into the system's
// program folder, which its users cannot write, keeps them in the user's configuration
// folder ("$XDG_CONFIG_HOME/movrand", else "~/.config/movrand"), made when missing.
std::filesystem::path ProgramDataFolder(const std::filesystem::path& programFile);
// The system's program folder of this build's installation; empty where there is none.
std::filesystem::path InstalledProgramFolder();

class FileDialog {
 public:
  virtual ~FileDialog() = default;
  // Runs the dialog modally with `dialog`'s folder, filter and pre-set file. Returns true and
  // stores the chosen full path in `dialog.FileName` when the user accepts; returns false and
  // leaves `dialog` as it was when the user cancels.
  virtual bool Execute(OpenDialog& dialog) = 0;
};

}  // namespace movrand

// What the main window needs from its surroundings, as small interfaces a test can fake:
// the local time for time-stamped log lines and the file-open dialog. (The port list comes
// from platform/port_source.h, the dialogs from app/dialogs.h.)
#pragma once

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

class FileDialog {
 public:
  virtual ~FileDialog() = default;
  // Runs the dialog modally with `dialog`'s folder, filter and pre-set file. Returns true and
  // stores the chosen full path in `dialog.FileName` when the user accepts; returns false and
  // leaves `dialog` as it was when the user cancels.
  virtual bool Execute(OpenDialog& dialog) = 0;
};

}  // namespace movrand

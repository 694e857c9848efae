// The settings file: the technician's choices of port, protocol, rate, firmware file and
// window position, kept next to the program from one run to the next. The controls
// themselves are the state; the file is read once while the window is built and written
// once when it closes.
#include <string>
#include <system_error>

#include "app/main_form.h"
#include "platform/profile.h"

namespace movrand {
namespace {

constexpr std::string_view kSection = "Settings";
constexpr std::string_view kPortKey = "Port";          // PortComboBox item index, -1 for none
constexpr std::string_view kProtocolKey = "Protocol";  // 0 Auto, 1 BINR, 2 NMEA
constexpr std::string_view kBaudKey = "Baud";          // BaudComboBox item index, 0 Auto
constexpr std::string_view kFileNameKey = "FileName";  // full path of the firmware file
constexpr std::string_view kLeftKey = "Left";          // window position, screen pixels
constexpr std::string_view kTopKey = "Top";

}  // namespace

std::filesystem::path TMainForm::SettingsPath() const {
  std::filesystem::path name = programFile().filename();
  name.replace_extension(".ini");
  return ProgramDataFolder(programFile()) / name;
}

void TMainForm::LoadSettings() {
  const ProfileFile settings(SettingsPath());
  if (!settings.Exists()) {
    // A first start: Auto for protocol and rate, so the rate selector has nothing to say.
    PortComboBox.setItemIndex(0);
    ProtocolComboBox.setItemIndex(0);
    BaudComboBox.setItemIndex(0);
    BaudComboBox.setEnabled(false);
    OpenDialog1.FileName.clear();
    return;
  }

  // A key that is missing or unreadable leaves its control as it is.
  int port = settings.ReadInteger(kSection, kPortKey, PortComboBox.itemIndex());
  // Ports come and go between runs; a stored position past the end means the first port.
  if (port >= static_cast<int>(PortComboBox.items().size())) port = 0;
  PortComboBox.setItemIndex(port);
  ProtocolComboBox.setItemIndex(
      settings.ReadInteger(kSection, kProtocolKey, ProtocolComboBox.itemIndex()));
  BaudComboBox.setItemIndex(settings.ReadInteger(kSection, kBaudKey, BaudComboBox.itemIndex()));
  if (ProtocolComboBox.itemIndex() == 0) {
    BaudComboBox.setEnabled(false);
    BaudComboBox.setItemIndex(0);
  }
  // The view centres the window on its first showing; this only matters until then.
  Left = settings.ReadInteger(kSection, kLeftKey, Left);
  Top = settings.ReadInteger(kSection, kTopKey, Top);
  OpenDialog1.FileName = settings.ReadString(kSection, kFileNameKey, OpenDialog1.FileName);

  if (!OpenDialog1.FileName.empty()) {
    // The file is not opened here: a file that has gone shows only when programming opens it.
    const std::filesystem::path file(OpenDialog1.FileName);
    std::error_code ignored;  // a folder that has gone leaves the current directory as it is
    if (file.has_parent_path()) std::filesystem::current_path(file.parent_path(), ignored);
    Edit1.setText("");
    Edit1.setText(file.filename().string());
    Edit1.setHint(OpenDialog1.FileName);
    UpdateProgramButton();
  }
}

Result<void> TMainForm::SaveSettings() {
  ProfileFile settings(SettingsPath());
  // A name the next start could not read back whole (a line break in it, or longer than a
  // profile string) is not stored at all rather than stored as another file's name.
  const std::string_view fileName =
      IsStorableProfileString(OpenDialog1.FileName) ? std::string_view(OpenDialog1.FileName) : "";
  // In this order, each straight to the file; the first failure stops the rest.
  const bool written =
      settings.WriteInteger(kSection, kPortKey, PortComboBox.itemIndex()) &&
      settings.WriteInteger(kSection, kProtocolKey, ProtocolComboBox.itemIndex()) &&
      settings.WriteInteger(kSection, kBaudKey, BaudComboBox.itemIndex()) &&
      settings.WriteString(kSection, kFileNameKey, fileName) &&
      settings.WriteInteger(kSection, kLeftKey, Left) &&
      settings.WriteInteger(kSection, kTopKey, Top);
  if (!written) return Failure("Unable to write to " + settings.path().string());
  return Done();
}

}  // namespace movrand

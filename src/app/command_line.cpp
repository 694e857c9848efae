#include "app/command_line.h"

#include "app/main_form.h"

namespace movrand {
namespace {

constexpr std::string_view kSwitchLog = "/l";
constexpr std::string_view kSwitchTest = "/t";
constexpr std::string_view kSwitchFast = "/b";
constexpr const char* kTestRate = "148874";  // the rate only test mode offers

}  // namespace

std::string ArgumentText(int argc, const char* const* argv) {
  std::string text;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) text += ' ';
    if (argv[i] != nullptr) text += argv[i];
  }
  return text;
}

Switches ParseSwitches(std::string_view argumentText) {
  const std::size_t start = argumentText.find_first_not_of(" \t");
  const std::string_view head =
      start == std::string_view::npos ? std::string_view() : argumentText.substr(start, 2);
  return Switches{
      .log = head == kSwitchLog, .test = head == kSwitchTest, .fast = head == kSwitchFast};
}

Switches ApplyCommandLine(TMainForm& form, std::string_view argumentText) {
  const Switches switches = ParseSwitches(argumentText);
  form.LogEnabled = switches.log;
  form.TestMode = switches.test;
  if (switches.test) {
    form.CheckBox1.setVisible(true);
    form.BaudComboBox.addItem(kTestRate);
  } else {
    form.CheckBox1.setVisible(false);
  }
  form.FastProgramming = switches.fast;
  return switches;
}

}  // namespace movrand

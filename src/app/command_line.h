// The program's one command-line switch: "/l" traffic log, "/t" test mode, "/b" programming
// at 230400.
//
// Only the first two characters of the argument text count, compared case-sensitively in
// three independent tests; so at most one switch takes effect and anything after the two
// characters is ignored ("/tx" is "/t", "/lt" is only "/l").
#pragma once

#include <string>
#include <string_view>

namespace movrand {

class TMainForm;

struct Switches {
  bool log = false;   // "/l"
  bool test = false;  // "/t"
  bool fast = false;  // "/b"

  bool operator==(const Switches&) const = default;
};

// The argument text: what follows the program's name, its arguments joined by blanks.
// `argv[0]` (the program's name) is skipped; a null entry counts as empty.
std::string ArgumentText(int argc, const char* const* argv);

// Reads the switch from the argument text; leading blanks and tabs are skipped.
Switches ParseSwitches(std::string_view argumentText);

// Applies the switches to a built main window: LogEnabled, TestMode (CheckBox1 shown and
// "148874" appended to the rate list, or CheckBox1 hidden) and FastProgramming. The caller
// also clears the terminal window's monitoring when test mode is off.
Switches ApplyCommandLine(TMainForm& form, std::string_view argumentText);

}  // namespace movrand

// A production line: several ports in one command, one station per port, each station a
// process of its own running the single-port run (the serial link is one port per process).
// The line starts them together, shows them (line_view.h), forwards Ctrl-C to every one of
// them (each presses its window's Cancel; a second Ctrl-C ends them at once), waits for all,
// and ends with the worst station's exit code.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "cli/options.h"
#include "platform/error.h"
#include "platform/port_source.h"

namespace movrand::cli {

// Whether `name` matches `pattern`: "*" any text (also none), "?" one character, "[abc]" or
// "[a-z]" one character of the set ("[!abc]" one not in it); anything else stands for itself.
bool GlobMatch(std::string_view pattern, std::string_view name);

// The stations of `options`: the ports given, or those of the port list `ports` that match
// the pattern, in the list's order. Fails, with the reason, when there are none.
Result<std::vector<std::string>> LinePorts(const FlashOptions& options, PortSource& ports);

// Runs the line; the exit code.
int RunLine(const FlashOptions& options);

}  // namespace movrand::cli

// The command line of the simulated module program, read into a module configuration.
//
// Every value is checked and bounded here; a bad command line is refused with a message that
// names the option, before any port is created.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "sim/module.h"

namespace movrand::sim {

struct ProgramOptions {
  SimConfig config;
  std::string link;    // symbolic link to the port, removed at exit; empty for none
  std::string events;  // events file; empty for none
  std::optional<Milliseconds> timeout;
  // The pseudo-terminal behaves like a line: every byte takes its wire time both ways.
  bool pace = false;
  std::optional<Milliseconds> ackDelay;  // sets config.blockAnswerDelay
  bool help = false;
};

struct ParsedOptions {
  ProgramOptions options;
  std::string error;  // empty when the command line was good
};

// `args` without the program name.
ParsedOptions ParseOptions(std::span<const char* const> args);

std::string HelpText();

}  // namespace movrand::sim

// The command line of the simulated module program, read into a module configuration.
//
// Every value is checked and bounded here; a bad command line is refused with a message that
// names the option, before any port is created.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "sim/module.h"

namespace movrand::sim {

struct ProgramOptions {
  // Alone: the one module. With a fixture: what every module of it shares (its timing, its
  // BINR ending, where its images go).
  SimConfig config;
  std::string fixture;  // fixture file: a sequence of modules on the port; empty for one module
  // The first option given that describes a single module; such options do not go with a
  // fixture, whose lines describe the modules.
  std::string moduleOption;
  std::string link;  // symbolic link to the port, removed at exit; empty for none
  // The port goes at each restart with a new image and comes back on a new terminal once the
  // module is up, under `returnAs` when given, otherwise under `link`.
  bool vanishOnRestart = false;
  std::string returnAs;
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

// Plain decimal seconds from 0 to 86400 ("3", "0.5"), to the millisecond.
bool ParseSeconds(std::string_view text, Milliseconds& value);

}  // namespace movrand::sim

// Long options read against a table, for the programs that take them (the headless front
// end, the simulated module): "--name VALUE", "--name=VALUE", or "--name" for a switch.
// Each option may be given once unless its entry says it repeats; a value longer than
// `kMaxOptionValueLength` is refused, never cut. The help listing is made from the same table, so
// the two never disagree.
#pragma once

#include <cstddef>
#include <functional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"

namespace movrand {

inline constexpr std::size_t kMaxOptionValueLength = 4096;

template <typename Options>
struct OptionSpec {
  const char* name;
  const char* argument;  // what the value is, for the help; nullptr for a switch
  const char* help;      // lines separated by "\n"; nullptr to leave it out of the help
  // Applies the value; returns an error text, or empty when the value was taken.
  std::function<std::string(Options&, std::string_view)> apply;
  bool repeats = false;  // may be given more than once; each value is applied
};

// Applies every argument of `args` (without the program's name) to `options`; returns the
// first error, naming the option, when one was not taken.
template <typename Options>
Result<void> ApplyOptions(std::span<const char* const> args,
                          const std::vector<OptionSpec<Options>>& table, Options& options) {
  constexpr std::size_t kShownLength = 64;  // of an unknown argument, in the message
  std::set<std::string_view> given;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view arg = args[i] ? args[i] : "";
    std::string_view value;
    bool hasInlineValue = false;
    if (const std::size_t eq = arg.find('='); arg.starts_with("--") && eq != arg.npos) {
      value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
      hasInlineValue = true;
    }
    const OptionSpec<Options>* option = nullptr;
    for (const OptionSpec<Options>& candidate : table) {
      if (arg == candidate.name) option = &candidate;
    }
    if (!option) {
      const std::string shown(arg.substr(0, kShownLength));
      return Failure(arg.starts_with("-")
                         ? "unknown option " + shown + " (see --help)"
                         : "unexpected argument " + shown + " (options start with --; see --help)");
    }
    const std::string name = option->name;
    if (!given.insert(option->name).second && !option->repeats)
      return Failure(name + " is given twice");
    if (option->argument && !hasInlineValue) {
      if (i + 1 >= args.size() || !args[i + 1]) {
        return Failure(name + " needs a value: " + option->argument);
      }
      value = args[++i];
    } else if (!option->argument && hasInlineValue) {
      return Failure(name + " takes no value");
    }
    if (value.size() > kMaxOptionValueLength) return Failure(name + ": value too long");
    if (std::string error = option->apply(options, value); !error.empty()) {
      return Failure(name + " " + error);
    }
  }
  return Done();
}

// The options as the help lists them: "  --name ARG", then each help line indented.
template <typename Options>
std::string OptionHelp(const std::vector<OptionSpec<Options>>& table) {
  std::string text;
  for (const OptionSpec<Options>& option : table) {
    if (!option.help) continue;
    text.append("  ").append(option.name);
    if (option.argument) text.append(" ").append(option.argument);
    text += "\n";
    std::string_view help = option.help;
    while (!help.empty()) {
      const std::size_t nl = help.find('\n');
      text.append("      ").append(help.substr(0, nl)).append("\n");
      if (nl == std::string_view::npos) break;
      help.remove_prefix(nl + 1);
    }
  }
  return text;
}

}  // namespace movrand

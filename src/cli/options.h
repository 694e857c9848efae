// The command line of movrand-flash, the headless front end, and the exit codes it ends with.
//
// Every argument is checked and bounded here, before any port or window model exists; a bad
// command line is refused with a message that names the option (exit code 2). What needs the
// system (does the port exist, is the rate offered) is checked later, against the window model.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"

namespace movrand::cli {

// How a run ended. The numbers are the process's exit codes, documented in --help and the
// README; scripts on a production line rely on them. What each code means, its word for
// scripts and how bad it is are one row each of the table in options.cpp.
enum class ExitCode : int {
  Success = 0,
  Internal = 1,
  Usage = 2,
  PortUnavailable = 3,
  DeviceNotFound = 4,
  ImageRejected = 5,
  Cancelled = 6,
  ReconnectFailed = 7,
  TimedOut = 8,
  WrongVersion = 9,
  RecordFailed = 10,
};
inline constexpr ExitCode kLastExitCode = ExitCode::RecordFailed;

// How much a code needs the technician, for the one code of several stations: the larger,
// the worse (a code outside the table counts as the worst).
int ExitCodeSeverity(ExitCode code);
ExitCode WorseOf(ExitCode a, ExitCode b);
// Every code, the worst first: the order --help and the README give.
std::vector<ExitCode> ExitCodesWorstFirst();

// One line saying what the code means, for --help, the README and the closing message.
std::string_view ExitCodeMeaning(ExitCode code);
// A short word for scripts (the "outcome" of the JSON result): "success", "usage", ...
std::string_view ExitCodeName(ExitCode code);

enum class ProtocolChoice { Auto, Nmea, Binr };

// The longest model name a module reports (its 11-byte version field), and the longest
// expected version text.
inline constexpr std::size_t kModelNameMax = 10;
inline constexpr std::size_t kExpectedVersionMax = 64;
// The longest --timeout, in seconds: a day.
inline constexpr int kMaxTimeoutSeconds = 86400;
// The most modules --count may ask of one station.
inline constexpr int kMaxCount = 1'000'000;
// Ports in one command, with --port repeated or --ports.
inline constexpr std::size_t kMaxStations = 64;

struct FlashOptions {
  std::string port;                // a port-list name (ttyUSB0, COM3) or a device path
  std::vector<std::string> ports;  // every --port, in order (`port` is the first)
  std::string portsGlob;           // --ports: a pattern over the port list
  ProtocolChoice protocol = ProtocolChoice::Auto;
  std::optional<std::uint32_t> baud;  // nothing: "Auto"
  std::string file;                   // the firmware image as given; empty: connect only
  bool yes = false;                   // confirm programming without asking
  bool fast = false;                  // program at 230400
  bool log = false;                   // the traffic log "log.dat"
  bool test = false;                  // test mode
  bool json = false;                  // one JSON object per event
  std::optional<int> timeoutSeconds;  // bounds the whole run of one station
  std::optional<std::string> expectVersion;
  bool recover = false;       // the module waits in its loader: send the image straight away
  std::string model;          // --recover: the model the image must name
  bool noModelCheck = false;  // --recover: no model to check the image against
  std::string record;         // the file a line per station and run is appended to
  // An unattended station: module after module on each port until --count or Ctrl-C.
  bool continuous = false;
  std::optional<int> count;  // --continuous: modules per station before it ends
  bool bell = false;         // --continuous: the terminal bell on each PASS and FAIL
  // A station of a line: the line "interrupt" on standard input is a press of Ctrl-C (how
  // the line passes Ctrl-C on where no signal reaches a child alone).
  bool station = false;
  bool list = false;
  bool help = false;
  bool version = false;
};

// The rates the rate selector can hold are below this; anything above is a typing error.
inline constexpr std::uint32_t kMaxBaud = 4'000'000;

// `args` without the program's name. Options take their value as the next argument or after
// "=" ("--port ttyUSB0", "--port=ttyUSB0"); each may be given once.
// Fails, with the reason, for a command line that is refused (code 2).
Result<FlashOptions> ParseFlashOptions(std::span<const char* const> args);

// Several ports: one station per port, each in a process of its own.
bool IsLine(const FlashOptions& options);
// The arguments a station's process gets: those of `options` for one port, without the
// line's own (--port, --ports), with --json and --station.
std::vector<std::string> StationArguments(const FlashOptions& options, const std::string& port);

std::string FlashHelpText();
std::string FlashVersionText();

}  // namespace movrand::cli

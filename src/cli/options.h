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

namespace movrand::cli {

// How a run ended. The numbers are the process's exit codes, documented in --help and the
// README; scripts on a production line rely on them.
enum class ExitCode : int {
  Success = 0,
  Internal = 1,         // the program itself failed (its window model could not be built)
  Usage = 2,            // bad command line, or an image file that cannot be read
  PortUnavailable = 3,  // the port does not exist, is busy or cannot be opened
  DeviceNotFound = 4,   // no module answered, or it stopped answering
  ImageRejected = 5,    // the image does not suit the module (size, CRC, model)
  Cancelled = 6,        // transfer aborted after repeated rejections, or cancelled (Ctrl-C, "n")
  ReconnectFailed = 7,  // the module did not come back after programming
};

// One line saying what the code means, for --help, the README and the closing message.
std::string_view ExitCodeMeaning(ExitCode code);
// A short word for scripts (the "outcome" of the JSON result): "success", "usage", ...
std::string_view ExitCodeName(ExitCode code);

enum class ProtocolChoice { Auto, Nmea, Binr };

struct FlashOptions {
  std::string port;  // a port-list name (ttyUSB0, COM3) or a device path
  ProtocolChoice protocol = ProtocolChoice::Auto;
  std::optional<std::uint32_t> baud;  // nothing: "Auto"
  std::string file;                   // the firmware image as given; empty: connect only
  bool yes = false;                   // confirm programming without asking
  bool fast = false;                  // program at 230400
  bool log = false;                   // the traffic log "log.dat"
  bool test = false;                  // test mode
  bool json = false;                  // one JSON object per event
  bool list = false;
  bool help = false;
  bool version = false;
};

struct ParsedFlashOptions {
  FlashOptions options;
  std::string error;  // empty when the command line is good
};

// The rates the rate selector can hold are below this; anything above is a typing error.
inline constexpr std::uint32_t kMaxBaud = 4'000'000;

// `args` without the program's name. Options take their value as the next argument or after
// "=" ("--port ttyUSB0", "--port=ttyUSB0"); each may be given once.
ParsedFlashOptions ParseFlashOptions(std::span<const char* const> args);

std::string FlashHelpText();
std::string FlashVersionText();

}  // namespace movrand::cli

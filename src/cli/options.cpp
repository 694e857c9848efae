#include "cli/options.h"

#include "platform/option_table.h"

#include <charconv>
#include <functional>
#include <set>
#include <vector>

#ifndef MOVRAND_VERSION
#define MOVRAND_VERSION "unknown"
#endif

namespace movrand::cli {
namespace {

using Option = OptionSpec<FlashOptions>;

std::string SetFlag(bool& flag) {
  flag = true;
  return {};
}

const std::vector<Option>& Table() {
  static const std::vector<Option> table = {
      {"--port", "NAME", "the serial port: a name from --list (ttyUSB0, COM3) or a device path",
       [](FlashOptions& o, std::string_view v) {
         if (v.empty()) return std::string("needs a port name");
         if (v.find_first_of(" \t") != std::string_view::npos) {
           return std::string("takes a name without blanks");
         }
         o.port = v;
         return std::string();
       }},
      {"--protocol", "auto|nmea|binr", "the protocol to connect with (default auto)",
       [](FlashOptions& o, std::string_view v) {
         if (v == "auto") {
           o.protocol = ProtocolChoice::Auto;
         } else if (v == "nmea") {
           o.protocol = ProtocolChoice::Nmea;
         } else if (v == "binr") {
           o.protocol = ProtocolChoice::Binr;
         } else {
           return std::string("must be auto, nmea or binr");
         }
         return std::string();
       }},
      {"--baud", "auto|RATE",
       "the rate to connect at (default auto: search); a fixed rate needs --protocol\n"
       "nmea or binr",
       [](FlashOptions& o, std::string_view v) {
         if (v == "auto") {
           o.baud.reset();
           return std::string();
         }
         std::uint32_t rate = 0;
         const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), rate);
         if (ec != std::errc() || end != v.data() + v.size() || rate == 0 || rate > kMaxBaud) {
           return std::string("must be auto or a rate such as 115200");
         }
         o.baud = rate;
         return std::string();
       }},
      {"--file", "IMAGE",
       "the firmware image to program; without it: connect, report the version,\n"
       "disconnect",
       [](FlashOptions& o, std::string_view v) {
         if (v.empty()) return std::string("needs a file name");
         o.file = v;
         return std::string();
       }},
      {"--yes", nullptr, "confirm programming without asking (otherwise: asked on the terminal)",
       [](FlashOptions& o, std::string_view) { return SetFlag(o.yes); }},
      {"--fast", nullptr, "program at 230400 instead of 115200",
       [](FlashOptions& o, std::string_view) { return SetFlag(o.fast); }},
      {"--log", nullptr, "write the traffic log log.dat in the current folder",
       [](FlashOptions& o, std::string_view) { return SetFlag(o.log); }},
      {"--test", nullptr,
       "test mode: no confirmation, no model check, no rate change; the rate 148874\n"
       "is offered; after loading, the port stays open until the program disconnects",
       [](FlashOptions& o, std::string_view) { return SetFlag(o.test); }},
      {"--json", nullptr, "print one JSON object per event (line, progress, message, result)",
       [](FlashOptions& o, std::string_view) { return SetFlag(o.json); }},
      {"--list", nullptr, "print the port list, one item per line, and end",
       [](FlashOptions& o, std::string_view) { return SetFlag(o.list); }},
      {"--help", nullptr, "show this text and end",
       [](FlashOptions& o, std::string_view) { return SetFlag(o.help); }},
      {"--version", nullptr, "show the program's version and end",
       [](FlashOptions& o, std::string_view) { return SetFlag(o.version); }},
  };
  return table;
}

}  // namespace

std::string_view ExitCodeMeaning(ExitCode code) {
  switch (code) {
    case ExitCode::Success:
      return "success";
    case ExitCode::Internal:
      return "the program itself failed";
    case ExitCode::Usage:
      return "usage error (bad option, or an image file that cannot be read)";
    case ExitCode::PortUnavailable:
      return "the port is busy or not available";
    case ExitCode::DeviceNotFound:
      return "the device was not found or is not responding";
    case ExitCode::ImageRejected:
      return "the image was rejected (size, CRC or model)";
    case ExitCode::Cancelled:
      return "aborted or cancelled (block rejected four times, Ctrl-C, or not confirmed)";
    case ExitCode::ReconnectFailed:
      return "the reconnect after programming failed";
  }
  return "unknown";
}

std::string_view ExitCodeName(ExitCode code) {
  switch (code) {
    case ExitCode::Success:
      return "success";
    case ExitCode::Internal:
      return "internal";
    case ExitCode::Usage:
      return "usage";
    case ExitCode::PortUnavailable:
      return "port";
    case ExitCode::DeviceNotFound:
      return "device";
    case ExitCode::ImageRejected:
      return "image";
    case ExitCode::Cancelled:
      return "cancelled";
    case ExitCode::ReconnectFailed:
      return "reconnect";
  }
  return "unknown";
}

ParsedFlashOptions ParseFlashOptions(std::span<const char* const> args) {
  ParsedFlashOptions result;
  FlashOptions& o = result.options;
  result.error = ApplyOptions(args, Table(), o);
  if (!result.error.empty()) return result;
  if (o.help || o.version || o.list) return result;
  if (o.port.empty()) {
    result.error = "--port is needed (movrand-flash --list shows the ports)";
  } else if (o.baud && o.protocol == ProtocolChoice::Auto) {
    // The window's rule: with the protocol "Auto" the search finds the rate too.
    result.error = "--baud with a fixed rate needs --protocol nmea or binr";
  }
  return result;
}

std::string FlashHelpText() {
  std::string text =
      "Usage: movrand-flash --port NAME [--protocol auto|nmea|binr] [--baud auto|RATE]\n"
      "                     [--file IMAGE [--yes] [--fast]] [--log] [--test] [--json]\n"
      "       movrand-flash --list | --help | --version\n"
      "\n"
      "Writes firmware into a GNSS receiver module over a serial port, exactly as the\n"
      "Movrand window does: connect (searching the rate and protocol when they are\n"
      "auto), report the firmware version, and with --file check the image, confirm,\n"
      "send it and reconnect once the module has restarted. The window's log lines are\n"
      "printed one per line; on a terminal the transfer shows as a progress bar.\n"
      "Ctrl-C runs the window's Cancel action.\n"
      "\n";
  text += OptionHelp(Table());
  text += "\nExit codes:\n";
  for (int code = 0; code <= static_cast<int>(ExitCode::ReconnectFailed); ++code) {
    text += "  " + std::to_string(code) + "  " +
            std::string(ExitCodeMeaning(static_cast<ExitCode>(code))) + "\n";
  }
  text +=
      "\n"
      "Examples:\n"
      "  movrand-flash --port ttyUSB0                       (connect, show the version)\n"
      "  movrand-flash --port ttyUSB0 --file fw.bin --yes   (program without asking)\n"
      "  movrand-flash --port /dev/ttyS1 --protocol binr --baud 57600 --file fw.bin\n";
  return text;
}

std::string FlashVersionText() {
  return std::string("movrand-flash ") + MOVRAND_VERSION + "\n";
}

}  // namespace movrand::cli

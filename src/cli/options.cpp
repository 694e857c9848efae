#include "cli/options.h"

#include "platform/option_table.h"

#include <algorithm>
#include <charconv>
#include <functional>
#include <iterator>
#include <optional>
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
      {"--port", "NAME",
       "the serial port: a name from --list (ttyUSB0, COM3), a device path, or what\n"
       "names it whatever the system calls it: usb-serial:SERIAL (its adapter) or\n"
       "usb-location:LOCATION (its socket), as --list prints them; given again for\n"
       "each further port, all flashed at the same time",
       [](FlashOptions& o, std::string_view v) {
         if (v.empty()) return std::string("needs a port name");
         if (v.find_first_of(" \t") != std::string_view::npos) {
           return std::string("takes a name without blanks");
         }
         if (std::find(o.ports.begin(), o.ports.end(), v) != o.ports.end()) {
           return "is given twice: " + std::string(v);
         }
         if (o.ports.size() >= kMaxStations) {
           return "is given more than " + std::to_string(kMaxStations) + " times";
         }
         if (o.ports.empty()) o.port = v;
         o.ports.emplace_back(v);
         return std::string();
       },
       true},
      {"--ports", "PATTERN",
       "every port of the list whose name matches PATTERN (* any text, ? one\n"
       "character, [abc] one of them), e.g. 'ttyUSB*', all flashed at the same time",
       [](FlashOptions& o, std::string_view v) {
         if (v.empty()) return std::string("needs a pattern such as 'ttyUSB*'");
         o.portsGlob = v;
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
      {"--timeout", "SECONDS",
       "end the run of a station after this long, pressing Cancel as a technician\n"
       "would, and say what it was waiting for (exit code 8); with --continuous, each\n"
       "module's, from its answer to the connect",
       [](FlashOptions& o, std::string_view v) {
         int seconds = 0;
         const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), seconds);
         if (ec != std::errc() || end != v.data() + v.size() || seconds < 1 ||
             seconds > kMaxTimeoutSeconds) {
           return "must be whole seconds from 1 to " + std::to_string(kMaxTimeoutSeconds);
         }
         o.timeoutSeconds = seconds;
         return std::string();
       }},
      {"--expect-version", "TEXT",
       "the version the module must report after programming (as the result shows\n"
       "it, e.g. 'A1 KAP41 0103'); without --file, the version it reports; exit code 9",
       [](FlashOptions& o, std::string_view v) {
         if (v.empty() || v.size() > kExpectedVersionMax) {
           return "needs a version text of 1 to " + std::to_string(kExpectedVersionMax) +
                  " characters";
         }
         o.expectVersion = std::string(v);
         return std::string();
       }},
      {"--recover", nullptr,
       "the module waits in its loader (after a cancel, an abort or a power cut):\n"
       "open the port at the programming rate with the parity of --protocol (nmea or\n"
       "binr, required), wait for the loader's start requests, send --file, then wait\n"
       "for the restart and reconnect; needs --model NAME or --no-model-check",
       [](FlashOptions& o, std::string_view) { return SetFlag(o.recover); }},
      {"--continuous", nullptr,
       "an unattended station: program module after module on each port (needs\n"
       "--file and --yes): wait for a module, skip it when it already reports\n"
       "--expect-version, program it, record it, wait for it to be taken off;\n"
       "--timeout bounds each module; the first Ctrl-C lets a module being\n"
       "programmed finish, then ends",
       [](FlashOptions& o, std::string_view) { return SetFlag(o.continuous); }},
      {"--count", "N", "--continuous: end each station after N modules (passed, failed or current)",
       [](FlashOptions& o, std::string_view v) {
         int count = 0;
         const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), count);
         if (ec != std::errc() || end != v.data() + v.size() || count < 1 || count > kMaxCount) {
           return "must be a number of modules from 1 to " + std::to_string(kMaxCount);
         }
         o.count = count;
         return std::string();
       }},
      {"--bell", nullptr, "--continuous: ring the terminal bell once on PASS, three times on FAIL",
       [](FlashOptions& o, std::string_view) { return SetFlag(o.bell); }},
      {"--model", "NAME",
       "--recover, --continuous: the model of a module in its loader; the image must\n"
       "contain the name",
       [](FlashOptions& o, std::string_view v) {
         if (v.empty() || v.size() > kModelNameMax) {
           return "needs a model name of 1 to " + std::to_string(kModelNameMax) + " characters";
         }
         for (const char c : v) {
           if (c <= ' ' || c > '~') return std::string("takes printable characters without blanks");
         }
         o.model = v;
         return std::string();
       }},
      {"--no-model-check", nullptr, "--recover: send the image without checking its model",
       [](FlashOptions& o, std::string_view) { return SetFlag(o.noModelCheck); }},
      {"--record", "FILE",
       "append one JSON line per station and run to FILE: port, versions, image and\n"
       "its SHA-256, bytes sent, outcome (a failed write: exit code 10)",
       [](FlashOptions& o, std::string_view v) {
         if (v.empty()) return std::string("needs a file name");
         o.record = v;
         return std::string();
       }},

      // How a line starts its stations; not for people.
      {"--station", nullptr, nullptr,
       [](FlashOptions& o, std::string_view) { return SetFlag(o.station); }},
      {"--list", nullptr,
       "print the port list, one port per line with its USB serial number,\n"
       "location and ids where it has them (one JSON object per port with --json), and end",
       [](FlashOptions& o, std::string_view) { return SetFlag(o.list); }},
      {"--help", nullptr, "show this text and end",
       [](FlashOptions& o, std::string_view) { return SetFlag(o.help); }},
      {"--version", nullptr, "show the program's version and end",
       [](FlashOptions& o, std::string_view) { return SetFlag(o.version); }},
  };
  return table;
}

// The exit codes, one row each in the order of their numbers. The severity ranks how much a
// code needs the technician (the larger, the worse): the program failed; the module may hold
// half an image and did not come back; it was left in its loader by an abort or a cancel, or
// by a time-out; it runs, but not the version expected; it was flashed but not recorded;
// nothing was written to it: the image, no module, no port, the command line; success.
struct ExitCodeRow {
  ExitCode code;
  std::string_view name;  // the "outcome" word of the JSON result
  int severity;
  std::string_view meaning;  // the line of --help and the README
};

constexpr ExitCodeRow kExitCodes[] = {
    {ExitCode::Success, "success", 0, "success"},
    {ExitCode::Internal, "internal", 10, "the program itself failed"},
    {ExitCode::Usage, "usage", 1, "usage error (bad option, or an image file that cannot be read)"},
    {ExitCode::PortUnavailable, "port", 2, "the port is busy or not available"},
    {ExitCode::DeviceNotFound, "device", 3, "the device was not found or is not responding"},
    {ExitCode::ImageRejected, "image", 4, "the image was rejected (size, CRC or model)"},
    {ExitCode::Cancelled, "cancelled", 8,
     "aborted or cancelled (block rejected four times, Ctrl-C, or not confirmed)"},
    {ExitCode::ReconnectFailed, "reconnect", 9, "the reconnect after programming failed"},
    {ExitCode::TimedOut, "timeout", 7, "timed out (--timeout): the run pressed Cancel"},
    {ExitCode::WrongVersion, "version", 6,
     "the module reports another version than --expect-version"},
    {ExitCode::RecordFailed, "record", 5, "the record (--record) could not be written"},
};
constexpr int kWorstSeverity = static_cast<int>(std::size(kExitCodes)) - 1;

constexpr bool RowsFollowTheCodes() {
  for (std::size_t i = 0; i < std::size(kExitCodes); ++i) {
    if (static_cast<std::size_t>(kExitCodes[i].code) != i) return false;
  }
  return std::size(kExitCodes) == static_cast<std::size_t>(kLastExitCode) + 1;
}
static_assert(RowsFollowTheCodes(), "one row per exit code, in the order of the numbers");

// Each rank once, so that the worst of several codes is always one code.
constexpr bool EachSeverityOnce() {
  for (const ExitCodeRow& row : kExitCodes) {
    int same = 0;
    for (const ExitCodeRow& other : kExitCodes) same += other.severity == row.severity ? 1 : 0;
    if (same != 1 || row.severity < 0 || row.severity > kWorstSeverity) return false;
  }
  return true;
}
static_assert(EachSeverityOnce(), "the severities rank the codes from 0 to the worst");
static_assert(kExitCodes[static_cast<int>(ExitCode::Internal)].severity == kWorstSeverity);

const ExitCodeRow* RowOf(ExitCode code) {
  const auto index = static_cast<std::size_t>(code);
  return index < std::size(kExitCodes) ? &kExitCodes[index] : nullptr;
}

}  // namespace

std::string_view ExitCodeMeaning(ExitCode code) {
  const ExitCodeRow* row = RowOf(code);
  return row ? row->meaning : "unknown";
}

std::string_view ExitCodeName(ExitCode code) {
  const ExitCodeRow* row = RowOf(code);
  return row ? row->name : "unknown";
}

int ExitCodeSeverity(ExitCode code) {
  const ExitCodeRow* row = RowOf(code);
  return row ? row->severity : kWorstSeverity;
}

ExitCode WorseOf(ExitCode a, ExitCode b) {
  return ExitCodeSeverity(b) > ExitCodeSeverity(a) ? b : a;
}

std::vector<ExitCode> ExitCodesWorstFirst() {
  std::vector<ExitCode> codes;
  for (const ExitCodeRow& row : kExitCodes) codes.push_back(row.code);
  std::sort(codes.begin(), codes.end(),
            [](ExitCode a, ExitCode b) { return ExitCodeSeverity(a) > ExitCodeSeverity(b); });
  return codes;
}

bool IsLine(const FlashOptions& options) {
  return options.ports.size() > 1 || !options.portsGlob.empty();
}

std::vector<std::string> StationArguments(const FlashOptions& o, const std::string& port) {
  std::vector<std::string> args = {"--port", port};
  if (o.protocol != ProtocolChoice::Auto) {
    args.insert(args.end(), {"--protocol", o.protocol == ProtocolChoice::Nmea ? "nmea" : "binr"});
  }
  if (o.baud) args.insert(args.end(), {"--baud", std::to_string(*o.baud)});
  if (!o.file.empty()) args.insert(args.end(), {"--file", o.file});
  if (o.yes) args.emplace_back("--yes");
  if (o.fast) args.emplace_back("--fast");
  if (o.test) args.emplace_back("--test");
  if (o.timeoutSeconds) args.insert(args.end(), {"--timeout", std::to_string(*o.timeoutSeconds)});
  if (o.expectVersion) args.insert(args.end(), {"--expect-version", *o.expectVersion});
  if (o.recover) args.emplace_back("--recover");
  if (!o.model.empty()) args.insert(args.end(), {"--model", o.model});
  if (o.noModelCheck) args.emplace_back("--no-model-check");
  if (!o.record.empty()) args.insert(args.end(), {"--record", o.record});
  if (o.continuous) args.emplace_back("--continuous");
  if (o.count) args.insert(args.end(), {"--count", std::to_string(*o.count)});
  args.insert(args.end(), {"--json", "--station"});
  return args;
}

namespace {

// Why the options taken from the command line do not go together; nothing when they do.
std::optional<std::string> Conflict(const FlashOptions& o) {
  if (o.help || o.version || o.list) return std::nullopt;
  if (o.port.empty() && o.portsGlob.empty()) {
    return "--port is needed (movrand-flash --list shows the ports)";
  }
  if (!o.port.empty() && !o.portsGlob.empty()) {
    return "--port and --ports do not go together: name the ports, or give a pattern";
  }
  if (o.baud && o.protocol == ProtocolChoice::Auto) {
    // The window's rule: with the protocol "Auto" the search finds the rate too.
    return "--baud with a fixed rate needs --protocol nmea or binr";
  }
  if (o.recover && o.file.empty()) {
    return "--recover needs --file IMAGE: the image to send to the loader";
  }
  if (o.recover && o.protocol == ProtocolChoice::Auto) {
    // The loader keeps the parity of the link it was entered from; nothing can be probed.
    return "--recover needs --protocol nmea or binr: the parity the loader listens with";
  }
  if (o.recover && o.model.empty() == !o.noModelCheck) {
    return o.noModelCheck
               ? "--model and --no-model-check do not go together"
               : "--recover needs --model NAME (the image must name it) or --no-model-check: "
                 "a module in its loader reports no model";
  }
  if (o.continuous && (o.file.empty() || !o.yes)) {
    return "--continuous needs --file IMAGE and --yes: nobody is there to confirm";
  }
  if (o.continuous && o.recover) {
    return "--continuous recovers a module found in its loader by itself, with --model NAME";
  }
  if (o.continuous && o.test) {
    return "--continuous and --test do not go together";
  }
  if (o.continuous && o.noModelCheck) {
    return "--continuous recovers a module in its loader only with --model NAME";
  }
  if (!o.continuous && (o.count || o.bell)) {
    return std::string(o.count ? "--count" : "--bell") + " is for --continuous";
  }
  if (!o.recover && !o.continuous && (!o.model.empty() || o.noModelCheck)) {
    return std::string(o.noModelCheck ? "--no-model-check" : "--model") +
           " is for --recover; otherwise the module reports its model";
  }
  if (o.recover && o.test) {
    return "--recover and --test do not go together";
  }
  if (IsLine(o) && !o.file.empty() && !o.yes) {
    return "several ports need --yes: no one can answer several confirmations at once";
  }
  if (IsLine(o) && o.log) {
    return "--log writes one log.dat in the current folder: use it with one port";
  }
  return std::nullopt;
}

}  // namespace

Result<FlashOptions> ParseFlashOptions(std::span<const char* const> args) {
  FlashOptions options;
  if (const Result<void> applied = ApplyOptions(args, Table(), options); !applied)
    return applied.error();
  if (std::optional<std::string> conflict = Conflict(options)) return Failure(std::move(*conflict));
  return options;
}

std::string FlashHelpText() {
  std::string text =
      "Usage: movrand-flash --port NAME [--protocol auto|nmea|binr] [--baud auto|RATE]\n"
      "                     [--file IMAGE [--yes] [--fast]] [--log] [--test] [--json]\n"
      "                     [--timeout SECONDS] [--expect-version TEXT] [--record FILE]\n"
      "       movrand-flash --port NAME --port NAME ... | --ports PATTERN  (a line of stations)\n"
      "       movrand-flash --port NAME... --continuous --file IMAGE --yes [--count N]\n"
      "                     [--expect-version TEXT] [--model NAME] [--bell]  (module after "
      "module)\n"
      "       movrand-flash --port NAME --recover --protocol nmea|binr --file IMAGE\n"
      "                     (--model NAME | --no-model-check)\n"
      "       movrand-flash --list [--json] | --help | --version\n"
      "\n"
      "Writes firmware into a GNSS receiver module over a serial port, exactly as the\n"
      "Movrand window does: connect (searching the rate and protocol when they are\n"
      "auto), report the firmware version, and with --file check the image, confirm,\n"
      "send it and reconnect once the module has restarted. The window's log lines are\n"
      "printed one per line; on a terminal the transfer shows as a progress bar.\n"
      "Ctrl-C (or SIGTERM) runs the window's Cancel action; whatever the run is doing,\n"
      "it ends within 2 s of Ctrl-C or of its --timeout.\n"
      "\n";
  text += OptionHelp(Table());
  text += "\nExit codes:\n";
  for (const ExitCodeRow& row : kExitCodes) {
    const int code = static_cast<int>(row.code);
    text +=
        (code < 10 ? "  " : " ") + std::to_string(code) + "  " + std::string(row.meaning) + "\n";
  }
  text +=
      "\n"
      "Examples:\n"
      "  movrand-flash --port ttyUSB0                       (connect, show the version)\n"
      "  movrand-flash --port ttyUSB0 --file fw.bin --yes   (program without asking)\n"
      "  movrand-flash --port /dev/ttyS1 --protocol binr --baud 57600 --file fw.bin\n"
      "  movrand-flash --ports 'ttyUSB*' --file fw.bin --yes --timeout 120 --record line.jsonl\n"
      "  movrand-flash --port ttyUSB0 --recover --protocol nmea --model KAP41 --file fw.bin --yes\n"
      "  movrand-flash --ports 'ttyUSB*' --continuous --file fw.bin --yes \\\n"
      "                --expect-version 'A1 KAP41 0103' --model KAP41 --record shift.jsonl --bell\n"
      "\n"
      "With several ports each gets a station of its own; the exit code is the worst\n"
      "station's, from the worst: ";
  const std::vector<ExitCode> worstFirst = ExitCodesWorstFirst();
  for (std::size_t i = 0; i < worstFirst.size(); ++i) {
    text += (i > 0 ? ", " : "") + std::to_string(static_cast<int>(worstFirst[i]));
  }
  text += ".\n";
  return text;
}

std::string FlashVersionText() {
  return std::string("movrand-flash ") + MOVRAND_VERSION + "\n";
}

}  // namespace movrand::cli

#include "sim/options.h"

#include "platform/option_table.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

namespace movrand::sim {
namespace {

constexpr std::uint32_t kMaxBaud = 4'000'000;
constexpr double kMaxSeconds = 86'400.0;  // one day, for --restart-s and --timeout-s
constexpr std::int64_t kMaxAnswerDelayMs = 10'000;
constexpr std::int64_t kMaxBlockPosition = 1'000'000;
constexpr std::size_t kMaxNakBlocks = 1000;

bool ParseInteger(std::string_view text, std::int64_t low, std::int64_t high, std::int64_t& value) {
  std::int64_t result = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), result);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return false;
  if (result < low || result > high) return false;
  value = result;
  return true;
}

std::vector<std::string> Words(std::string_view text) {
  std::vector<std::string> words;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t start = text.find_first_not_of(' ', at);
    if (start == std::string_view::npos) break;
    std::size_t stop = text.find(' ', start);
    if (stop == std::string_view::npos) stop = text.size();
    words.emplace_back(text.substr(start, stop - start));
    at = stop;
  }
  return words;
}

using Option = OptionSpec<ProgramOptions>;

// The options that describe the one module of a run: a fixture's lines describe its modules
// instead.
constexpr std::string_view kOneModuleOptions[] = {
    "--protocol",        "--baud",       "--model",       "--version-words",  "--new-version-words",
    "--new-version",     "--binr-text1", "--binr-text2",  "--new-binr-text1", "--new-binr-text2",
    "--start-in-loader", "--nak-blocks", "--nak-forever", "--stall-after",    "--silent"};

// Makes each of those options note that it was given.
std::vector<Option> NoteOneModuleOptions(std::vector<Option> table) {
  for (Option& option : table) {
    if (std::find(std::begin(kOneModuleOptions), std::end(kOneModuleOptions), option.name) ==
        std::end(kOneModuleOptions)) {
      continue;
    }
    option.apply = [name = option.name, apply = std::move(option.apply)](ProgramOptions& o,
                                                                         std::string_view v) {
      if (o.moduleOption.empty()) o.moduleOption = name;
      return apply(o, v);
    };
  }
  return table;
}

const std::vector<Option>& Table() {
  static const std::vector<Option> table = NoteOneModuleOptions({
      {"--link", "PATH", "also publish the port as a symbolic link PATH, removed at exit",
       [](ProgramOptions& o, std::string_view v) {
         if (v.empty()) return std::string("needs a path");
         o.link = v;
         return std::string();
       }},
      {"--vanish-on-restart", nullptr,
       "the port goes at each restart after a firmware load, as a module's own USB port\n"
       "does: 0.2 s after the ACK of EOT (at the latest when the module is up again) the\n"
       "link is removed, then the terminal closed (the host's open port hangs up); once\n"
       "the module is up it is on a new terminal published under the same link, printed\n"
       "as another PORT line; needs --link",
       [](ProgramOptions& o, std::string_view) {
         o.vanishOnRestart = true;
         return std::string();
       }},
      {"--return-as", "PATH",
       "with --vanish-on-restart: the module comes back under the link PATH instead of\n"
       "--link (the system named the port anew); the --link one stays removed",
       [](ProgramOptions& o, std::string_view v) {
         if (v.empty()) return std::string("needs a path");
         o.returnAs = v;
         return std::string();
       }},
      {"--protocol", "nmea|binr",
       "what the module talks at power-on and after each restart (default nmea)",
       [](ProgramOptions& o, std::string_view v) {
         if (v == "nmea") {
           o.config.protocol = Protocol::Nmea;
         } else if (v == "binr") {
           o.config.protocol = Protocol::Binr;
         } else {
           return std::string("must be nmea or binr");
         }
         return std::string();
       }},
      {"--baud", "RATE", "its rate at power-on and after each restart (default 115200)",
       [](ProgramOptions& o, std::string_view v) {
         std::int64_t rate = 0;
         if (!ParseInteger(v, 1, kMaxBaud, rate)) {
           return std::string("must be a rate from 1 to 4000000");
         }
         o.config.baud = static_cast<std::uint32_t>(rate);
         return std::string();
       }},
      {"--model", "NAME", "the model word it reports (default KAP41)",
       [](ProgramOptions& o, std::string_view v) {
         o.config.model = v;
         return std::string();
       }},
      {"--version-words", "\"W1 W2 W3 ...\"",
       "fields of the NMEA version reply (default \"A1 MODEL 0102\", five words for\n"
       "models beginning RTK, RTA or RTM)",
       [](ProgramOptions& o, std::string_view v) {
         o.config.versionWords = Words(v);
         return std::string();
       }},
      {"--new-version-words", "\"W1 W2 W3 ...\"",
       "fields of the NMEA version reply after a firmware load (default as above with\n"
       "0103); --new-version is the same option",
       [](ProgramOptions& o, std::string_view v) {
         o.config.newVersionWords = Words(v);
         return std::string();
       }},
      {"--new-version", "\"W1 W2 W3 ...\"", nullptr,
       [](ProgramOptions& o, std::string_view v) {
         o.config.newVersionWords = Words(v);
         return std::string();
       }},
      {"--binr-text1", "TEXT",
       "BINR version text at data byte 1, at most 24 bytes, any but zero (default \"MODEL 0102\";\n"
       "\"01MODEL 0102\" for RTK-type models)",
       [](ProgramOptions& o, std::string_view v) {
         o.config.binrText1 = v;
         return std::string();
       }},
      {"--binr-text2", "TEXT",
       "BINR version text at data byte 26, at most 49 bytes, any but zero (default \"B1 0001\")",
       [](ProgramOptions& o, std::string_view v) {
         o.config.binrText2 = v;
         return std::string();
       }},
      {"--new-binr-text1", "TEXT", "BINR text at data byte 1 after a firmware load",
       [](ProgramOptions& o, std::string_view v) {
         o.config.newBinrText1 = v;
         return std::string();
       }},
      {"--new-binr-text2", "TEXT", "BINR text at data byte 26 after a firmware load",
       [](ProgramOptions& o, std::string_view v) {
         o.config.newBinrText2 = v;
         return std::string();
       }},
      {"--image-out", "FILE",
       "write the firmware image received to FILE when EOT arrives; with --fixture,\n"
       "module N writes to FILE.N",
       [](ProgramOptions& o, std::string_view v) {
         if (v.empty()) return std::string("needs a file name");
         o.config.imageOut = v;
         return std::string();
       }},
      {"--start-in-loader", nullptr,
       "power on in the loader (at --baud, parity of --protocol), asking for a transfer",
       [](ProgramOptions& o, std::string_view) {
         o.config.startInLoader = true;
         return std::string();
       }},
      {"--nak-blocks", "LIST",
       "reject the first arrival of the blocks at these positions (1-based across the\n"
       "transfer, comma-separated, e.g. 1,5,300)",
       [](ProgramOptions& o, std::string_view v) {
         o.config.nakBlocks.clear();
         while (!v.empty()) {
           const std::size_t comma = v.find(',');
           std::int64_t position = 0;
           if (!ParseInteger(v.substr(0, comma), 1, kMaxBlockPosition, position)) {
             return std::string("must be positions from 1 to 1000000, separated by commas");
           }
           o.config.nakBlocks.insert(position);
           if (o.config.nakBlocks.size() > kMaxNakBlocks) {
             return std::string("takes at most 1000 positions");
           }
           if (comma == std::string_view::npos) break;
           v.remove_prefix(comma + 1);
           if (v.empty()) return std::string("ends with a comma");
         }
         if (o.config.nakBlocks.empty()) return std::string("needs at least one position");
         return std::string();
       }},
      {"--nak-forever", "N", "always reject the block at position N",
       [](ProgramOptions& o, std::string_view v) {
         if (!ParseInteger(v, 1, kMaxBlockPosition, o.config.nakForever)) {
           return std::string("must be a position from 1 to 1000000");
         }
         return std::string();
       }},
      {"--stall-after", "N",
       "answer the block at position N with a burst of ACKs, then read nothing more (a\n"
       "device that stopped taking data: the host's writes fill the line and stop)",
       [](ProgramOptions& o, std::string_view v) {
         if (!ParseInteger(v, 1, kMaxBlockPosition, o.config.faults.stallAfter)) {
           return std::string("must be a position from 1 to 1000000");
         }
         return std::string();
       }},
      {"--restart-s", "S",
       "seconds of silence after acknowledging EOT before it answers again with the\n"
       "new version (default 3)",
       [](ProgramOptions& o, std::string_view v) {
         if (!ParseSeconds(v, o.config.restartTime)) {
           return std::string("must be seconds from 0 to 86400");
         }
         return std::string();
       }},
      {"--answer-delay-ms", "MS", "time from the end of a query to its reply (default 20)",
       [](ProgramOptions& o, std::string_view v) {
         std::int64_t ms = 0;
         if (!ParseInteger(v, 0, kMaxAnswerDelayMs, ms)) {
           return std::string("must be 0 to 10000 milliseconds");
         }
         o.config.answerDelay = Milliseconds{ms};
         return std::string();
       }},
      {"--ack-delay-ms", "MS",
       "time from the end of a block to its ACK or NAK (default 5, 0 with --pace)",
       [](ProgramOptions& o, std::string_view v) {
         std::int64_t ms = 0;
         if (!ParseInteger(v, 0, kMaxAnswerDelayMs, ms)) {
           return std::string("must be 0 to 10000 milliseconds");
         }
         o.ackDelay = Milliseconds{ms};
         return std::string();
       }},
      {"--pace", nullptr,
       "behave like a line: take each byte from the host only after its wire time at\n"
       "the host's rate, deliver each reply after its own; the summary gives the host's\n"
       "turnaround per block (from an ACK or NAK to the next block's first byte)",
       [](ProgramOptions& o, std::string_view) {
         o.pace = true;
         return std::string();
       }},
      {"--silent", nullptr, "never answer anything (the messages are still logged)",
       [](ProgramOptions& o, std::string_view) {
         o.config.silent = true;
         return std::string();
       }},
      {"--events", "FILE",
       "write one JSON line per message seen or sent, with the host's line settings,\n"
       "the module's, and any violation",
       [](ProgramOptions& o, std::string_view v) {
         if (v.empty()) return std::string("needs a file name");
         o.events = v;
         return std::string();
       }},
      {"--binr-ending", "dle-etx|crc",
       "how its BINR replies end: DLE ETX, or DLE 0xFF CRC-lo CRC-hi DLE ETX (default crc)",
       [](ProgramOptions& o, std::string_view v) {
         if (v == "dle-etx") {
           o.config.binrEnding = BinrEnding::DleEtx;
         } else if (v == "crc") {
           o.config.binrEnding = BinrEnding::Crc;
         } else {
           return std::string("must be dle-etx or crc");
         }
         return std::string();
       }},
      {"--timeout-s", "S", "end after S seconds",
       [](ProgramOptions& o, std::string_view v) {
         Milliseconds span{0};
         if (!ParseSeconds(v, span) || span.count() == 0) {
           return std::string("must be seconds above 0, at most 86400");
         }
         o.timeout = span;
         return std::string();
       }},
      {"--fixture", "FILE",
       "a fixture of a production line: the modules of FILE one after the other on the\n"
       "port, each arriving, staying a while after its outcome and taken off (see below);\n"
       "the options that describe a single module do not go with it",
       [](ProgramOptions& o, std::string_view v) {
         if (v.empty()) return std::string("needs a file name");
         o.fixture = v;
         return std::string();
       }},
      {"--help", nullptr, "show this text and end",
       [](ProgramOptions& o, std::string_view) {
         o.help = true;
         return std::string();
       }},
  });
  return table;
}

}  // namespace

bool ParseSeconds(std::string_view text, Milliseconds& value) {
  if (text.empty() || text.find_first_not_of("0123456789.") != std::string_view::npos) {
    return false;
  }
  double seconds = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds);
  if (ec != std::errc() || end != text.data() + text.size()) return false;
  if (!std::isfinite(seconds) || seconds < 0 || seconds > kMaxSeconds) return false;
  value = Milliseconds{static_cast<std::int64_t>(std::llround(seconds * 1000.0))};
  return true;
}

ParsedOptions ParseOptions(std::span<const char* const> args) {
  ParsedOptions result;
  ProgramOptions& o = result.options;
  if (const Result<void> applied = ApplyOptions(args, Table(), o); !applied) {
    result.error = applied.error().text;
    return result;
  }
  if (o.help) return result;
  if (!o.fixture.empty() && !o.moduleOption.empty()) {
    result.error = o.moduleOption +
                   " describes a single module and does not go with --fixture: the fixture "
                   "file's lines describe its modules";
    return result;
  }
  if (!o.fixture.empty() && (o.vanishOnRestart || !o.returnAs.empty())) {
    result.error = std::string(o.vanishOnRestart ? "--vanish-on-restart" : "--return-as") +
                   " does not go with --fixture: a fixture's module leaves with its port when "
                   "it is taken off (off=vanish in the fixture file)";
    return result;
  }
  if (!o.returnAs.empty() && !o.vanishOnRestart) {
    result.error =
        "--return-as needs --vanish-on-restart: only a port that went comes back "
        "under another name";
    return result;
  }
  if (o.vanishOnRestart && o.link.empty()) {
    result.error =
        "--vanish-on-restart needs --link: the port that comes back on a new "
        "terminal is found by its link";
    return result;
  }
  // Paced, the line alone sets the pace unless a delay is asked for.
  o.config.blockAnswerDelay = o.ackDelay.value_or(o.pace ? Milliseconds{0} : kBlockAnswerDelay);
  CompleteVersionTexts(o.config);
  if (std::string error = CheckConfig(o.config); !error.empty()) result.error = error;
  return result;
}

std::string HelpText() {
  std::string text =
      "Usage: movrand-sim [OPTION]...\n"
      "A simulated GNSS receiver module on a pseudo-terminal. Prints \"PORT <path>\" first;\n"
      "at exit (SIGTERM, SIGINT or --timeout-s) prints a one-line JSON summary.\n"
      "\n";
  text += OptionHelp(Table());
  text +=
      "\n"
      "The module answers \"$POVER\", \"$PORZA,0,RATE,1\", \"$POPRL,B|C|R\" in NMEA (8N1) and\n"
      "the probe 0x26, version request 0x1B, port setting 0x0B and loader entry 0x01 in\n"
      "BINR (8O1). Bytes sent at another rate or parity are noise. The loader keeps the\n"
      "rate and parity the link had when it was entered and takes XMODEM-CRC 128-byte\n"
      "blocks; when the host falls silent for 3 s in the middle of a transfer, it drops\n"
      "the blocks and asks for a new transfer with \"C\". After EOT (new firmware), or\n"
      "after 60 s in the loader without a block (old firmware), it restarts at its\n"
      "power-on protocol and rate.\n"
      "\n"
      "Besides the module's lines, the events file has one (\"dir\":\"port\") for each port\n"
      "the module is put on (\"kind\":\"port\", the terminal) and, with --vanish-on-restart,\n"
      "for each that goes (\"kind\":\"port-gone\", its link).\n"
      "\n"
      "With --fixture FILE the port holds one module after another, as the fixture of an\n"
      "unattended flashing station. Each line of FILE is a module, in order (blank lines\n"
      "and lines beginning with # are left out; at most 1000 lines of 1024 characters),\n"
      "made of key=value words, every one optional:\n"
      "  model=NAME        the model word (KAP41)\n"
      "  protocol=P        nmea or binr (nmea)\n"
      "  baud=RATE         one of 4800 9600 14400 19200 38400 57600 115200 230400 (115200)\n"
      "  behaviour=B       normal: the old version, takes an image, restarts with the new\n"
      "                    one; current: reports the new version from the start;\n"
      "                    nak-forever: rejects the block at position nak=N (1) every time;\n"
      "                    silent: answers nothing; loader: powers on in its loader (normal)\n"
      "  stay=S            seconds it stays after its outcome (1)\n"
      "  empty=S           seconds the fixture stays empty after it is taken off (1)\n"
      "  first=S           first module only: seconds before it arrives (0)\n"
      "  off=silent|vanish taken off: the port stays and nothing answers on it; or the port\n"
      "                    goes (link removed, terminal closed) and the next module comes on\n"
      "                    a new one under the same link, printed as another PORT line;\n"
      "                    vanish needs --link (silent)\n"
      "  max=S             taken off at the latest S seconds after it arrived (none)\n"
      "Seconds go from 0 to 86400, decimals allowed. Its outcome: normal and loader, the new\n"
      "version reported after a load; current, its first version reply; nak-forever, the\n"
      "fourth rejection in a row; silent, its arrival. After the last module the fixture\n"
      "stays empty. The port is there from the start. --restart-s, --answer-delay-ms,\n"
      "--ack-delay-ms and --binr-ending hold for every module; --protocol, --baud, --model,\n"
      "--silent, --start-in-loader, the version texts, the faults, --vanish-on-restart and\n"
      "--return-as are refused with --fixture. The summary's counts are those of all modules "
      "together, and its \"modules\"\n"
      "lists each module that arrived (times in ms since the start); events lines carry\n"
      "\"module_number\", and the fixture's own lines (\"dir\":\"fixture\") its moments.\n"
      "Example:  model=KAP41 stay=2 off=vanish\n"
      "          behaviour=current protocol=binr empty=0.5\n";
  return text;
}

}  // namespace movrand::sim

// The events of --json: one JSON object per line on standard output, each with an "event"
// member saying what it is, so that a script can follow a run without parsing log text.
//
//   {"event":"line","index":3,"text":"10:15:02>>Port: ttyUSB0 115200 NMEA"}
//   {"event":"line","index":1,"text":"10:15:03>>Scanning...57600","rewrite":true}
//   {"event":"progress","index":6,"text":"...","percent":37,"sentBytes":...,"totalBytes":...,
//    "bytesPerSecond":11264.0,"secondsLeft":28.1}      (rate and time left: null until known)
//   {"event":"message","kind":"box","title":"Warning","text":"..."}
//   {"event":"message","kind":"question","title":"Attention!!!","text":"Program the module ..."}
//   {"event":"result","exitCode":0,"outcome":"success","meaning":"success","version":"...",
//    "port":"ttyUSB0","portSerial":"A50285BI","portLocation":"1-1.2:1.0","portUsbId":"0403:6001"}
//
// Texts are passed as the program has them (what came from the module is already shown as
// text, protocol/visible_text.h); the output is plain ASCII with anything else escaped, and
// bytes that are not UTF-8 become U+FFFD, so every line parses and each event is one line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "cli/options.h"
#include "cli/progress.h"
#include "platform/port_source.h"
#include "platform/serial_device.h"

namespace movrand::cli {

std::string JsonLineEvent(std::size_t index, std::string_view text, bool rewrite);
std::string JsonProgressEvent(std::size_t index, std::string_view text, const ProgressInfo& info);
// `kind`: "box" for a message box, "notice" for the programming notice, "confirm" for the
// confirmation's warning and its answer, "question" for the question put to the technician
// (answered on standard input).
std::string JsonMessageEvent(std::string_view kind, std::string_view title, std::string_view text);

struct RunSummary {
  ExitCode code = ExitCode::Success;
  std::string detail;                          // what went wrong, in words; empty on success
  std::optional<std::string> version;          // the last version the module reported
  std::optional<std::string> previousVersion;  // after an upgrade: the version before it
  // Port, rate and protocol of the last identification; nothing when none happened.
  std::optional<std::string> port;
  // The identity of the port the run was given, when it is on USB: where the module was.
  std::optional<UsbIdentity> portUsb;
  std::optional<long long> baud;
  std::optional<std::string> protocol;
  // Why the port could not be opened: a short name ("busy", "access-denied", ...), the same
  // in words, and what the technician can do about it on this system.
  std::optional<std::string> reason;
  std::optional<std::string> reasonText;
  std::optional<std::string> hint;
  // For the record and a line's summary: the version found before programming, the one after
  // the upgrade, image bytes sent (up to the last block) and blocks sent again.
  std::optional<std::string> oldVersion;
  std::optional<std::string> newVersion;
  std::int64_t sentBytes = 0;
  int blocksRepeated = 0;
  // The image as the programming procedure loaded it, the bytes it sends: its size and
  // SHA-256; nothing when no image was loaded.
  std::optional<std::int64_t> imageBytes;
  std::optional<std::string> imageSha256;
};
// Why the port could not be opened, in the three forms of the result: name, words, hint.
void SetOpenError(RunSummary& summary, OpenError reason);
std::string JsonResultEvent(const RunSummary& summary);
// Where the module was, beside the port's name: "portSerial", "portLocation" and "portUsbId"
// ("0403:6001"), each null when the port has no USB identity or lacks that part of it.
void AddPortIdentity(nlohmann::ordered_json& json, const std::optional<UsbIdentity>& usb);
// Where the run stands: {"event":"stage","stage":"loader"}.
std::string JsonStageEvent(std::string_view stage);
// Something an unattended station tells the operator: {"event":"say","text":"..."}.
std::string JsonSayEvent(std::string_view text);

// An unattended station's counts at its end.
struct StationCounts {
  std::string port;
  int passed = 0;
  int failed = 0;
  int current = 0;
  double moduleSeconds = 0;  // from each module's connect to its outcome, summed
  double seconds = 0;        // the station's whole run
  ExitCode code = ExitCode::Success;
};
// A line that ended before any station started: {"event":"summary","exitCode":..,
// "outcome":..,"stations":[]}.
std::string JsonNoStationsSummaryEvent(ExitCode code);
// {"event":"summary","exitCode":..,"outcome":..,"stations":[{"port","passed","failed",
// "current","meanSeconds","modulesPerHour","exitCode"}]}
std::string JsonStationSummaryEvent(const StationCounts& station);

}  // namespace movrand::cli

// The record of a production line: one JSON object per line, appended per station and run,
// so that what went into which module can be looked up afterwards.
//
//   {"time":"2026-12-09T10:15:02Z","port":"ttyUSB0","protocol":"NMEA","baud":115200,
//    "oldVersion":"A1 KAP41 0102","newVersion":"A1 KAP41 0103","image":"fw.bin",
//    "imageBytes":20000,"sha256":"…","bytesSent":20096,"blocksRepeated":0,"seconds":23.4,
//    "outcome":"success","exitCode":0,"detail":null}
//
// The image's size and SHA-256 are those of the bytes the programming procedure loaded and
// sent, taken from its image buffer, never from another read of the file (which may have
// changed meanwhile); they are null when no image was loaded. Earlier lines are never
// touched: the file is only appended to, each line goes out in one write under the file's
// lock, and a line torn before (a full disk) is ended first, so every whole line parses.
// Values the run does not know are null.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "cli/json_events.h"
#include "platform/output_file.h"

namespace movrand::cli {

// The longest line written: the texts in it are bounded well below this.
inline constexpr std::size_t kMaxRecordLine = 32 * 1024;

// What is known of the image: its name from the command line, its size and hash from what
// was loaded for programming.
struct ImageFacts {
  std::string name;  // the file's name without its folder
  std::optional<std::int64_t> bytes;
  std::optional<std::string> sha256;  // 64 hexadecimal digits
};
// The SHA-256 of `bytes` as 64 lower-case hexadecimal digits.
std::string Sha256Hex(std::span<const std::uint8_t> bytes);

// How an unattended station judged a module: programmed and verified, failed, or already
// at the expected version (not programmed).
enum class Verdict { Pass, Fail, Current };
// "PASS", "FAIL", "CURRENT".
std::string_view VerdictName(Verdict verdict);

// What an unattended station adds to a module's record: its number at this station (1, 2,
// ...), when its outcome came, and the verdict.
struct ModuleFacts {
  int sequence = 0;
  std::chrono::system_clock::time_point end;
  Verdict verdict = Verdict::Pass;
};

struct StationRecord {
  std::chrono::system_clock::time_point time;  // when the station's run (or module) started
  std::string port;
  RunSummary summary;
  std::optional<ImageFacts> image;  // nothing when no image was given
  double seconds = 0;
  std::optional<ModuleFacts> module = std::nullopt;  // a module of an unattended station
};

// "2026-12-09T10:15:02Z".
std::string UtcTimeText(std::chrono::system_clock::time_point time);
// The record's line, with its line end. A module's line carries "end", "sequence" and
// "verdict" after "time", and the outcome "current" for a module that was not programmed.
std::string RecordLine(const StationRecord& record);
// The same facts as the --json event of a module: {"event":"module","sequence":..,...}.
std::string ModuleEvent(const StationRecord& record);

class RecordFile {
 public:
  // Opens `path` for appending (creating it); a pipe, a device or anything else but a plain
  // file is refused at once.
  Result<void> open(const std::filesystem::path& path);
  // Appends `line` whole.
  Result<void> append(const std::string& line);

 private:
  AppendFile file_;
  std::string path_;
};

}  // namespace movrand::cli

// The record of a production line: one JSON object per line, appended per station and run,
// so that what went into which module can be looked up afterwards.
//
//   {"time":"2026-12-09T10:15:02Z","port":"ttyUSB0","protocol":"NMEA","baud":115200,
//    "oldVersion":"A1 KAP41 0102","newVersion":"A1 KAP41 0103","image":"fw.bin",
//    "imageBytes":20000,"sha256":"…","bytesSent":20096,"blocksRepeated":0,"seconds":23.4,
//    "outcome":"success","exitCode":0}
//
// Earlier lines are never touched: the file is opened for appending only and each line goes
// out in one write, so stations of one line that finish at the same time do not mix their
// lines. Values the run does not know are null.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "cli/json_events.h"

namespace movrand::cli {

// The longest line written: the texts in it are bounded well below this.
inline constexpr std::size_t kMaxRecordLine = 32 * 1024;

// What is known of the image named on the command line.
struct ImageFacts {
  std::string name;  // the file's name without its folder
  std::optional<std::int64_t> bytes;
  std::optional<std::string> sha256;  // 64 hexadecimal digits
};
// Reads the whole file for its size and hash; both stay empty when it cannot be read.
ImageFacts ReadImageFacts(const std::filesystem::path& path);

struct StationRecord {
  std::chrono::system_clock::time_point time;  // when the station's run started
  std::string port;
  RunSummary summary;
  std::optional<ImageFacts> image;  // nothing when no image was given
  double seconds = 0;
};

// "2026-12-09T10:15:02Z".
std::string UtcTimeText(std::chrono::system_clock::time_point time);
// The record's line, with its line end.
std::string RecordLine(const StationRecord& record);

class RecordFile {
 public:
  // Opens `path` for appending (creating it); the error in words, or empty.
  std::string open(const std::filesystem::path& path);
  // Appends `line` in one write and flushes it; the error in words, or empty.
  std::string append(const std::string& line);

 private:
  struct Closer {
    void operator()(std::FILE* file) const {
      if (file) std::fclose(file);
    }
  };
  std::unique_ptr<std::FILE, Closer> file_;
  std::string path_;
};

}  // namespace movrand::cli

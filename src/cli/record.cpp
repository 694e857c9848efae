#include "cli/record.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <vector>

#include "cli/sha256.h"

namespace movrand::cli {
namespace {

using Json = nlohmann::ordered_json;

template <typename T>
Json OrNull(const std::optional<T>& value) {
  if (!value) return nullptr;
  return *value;
}

}  // namespace

ImageFacts ReadImageFacts(const std::filesystem::path& path) {
  ImageFacts facts;
  facts.name = path.filename().string();
  std::ifstream in(path, std::ios::binary);
  if (!in) return facts;
  Sha256 hash;
  std::vector<char> chunk(64 * 1024);
  std::int64_t bytes = 0;
  while (in) {
    in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    const std::streamsize got = in.gcount();
    if (got <= 0) break;
    hash.update(std::span(reinterpret_cast<const std::uint8_t*>(chunk.data()),
                          static_cast<std::size_t>(got)));
    bytes += got;
  }
  if (in.bad()) return facts;
  facts.bytes = bytes;
  facts.sha256 = hash.finishHex();
  return facts;
}

std::string UtcTimeText(std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  const auto seconds = floor<std::chrono::seconds>(time);
  const auto days = floor<std::chrono::days>(seconds);
  const year_month_day date{days};
  const hh_mm_ss clock{seconds - days};
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()));
  return text;
}

std::string RecordLine(const StationRecord& record) {
  const RunSummary& s = record.summary;
  Json json{{"time", UtcTimeText(record.time)},
            {"port", record.port},
            {"protocol", OrNull(s.protocol)},
            {"baud", OrNull(s.baud)},
            {"oldVersion", OrNull(s.oldVersion)},
            {"newVersion", OrNull(s.newVersion)},
            {"image", record.image ? Json(record.image->name) : Json(nullptr)},
            {"imageBytes", record.image ? OrNull(record.image->bytes) : Json(nullptr)},
            {"sha256", record.image ? OrNull(record.image->sha256) : Json(nullptr)},
            {"bytesSent", s.sentBytes},
            {"blocksRepeated", s.blocksRepeated},
            {"seconds", std::round(record.seconds * 10.0) / 10.0},
            {"outcome", ExitCodeName(s.code)},
            {"exitCode", static_cast<int>(s.code)}};
  return json.dump(-1, ' ', true, Json::error_handler_t::replace) + "\n";
}

std::string RecordFile::open(const std::filesystem::path& path) {
  path_ = path.string();
  errno = 0;
  file_.reset(std::fopen(path_.c_str(), "ab"));
  if (!file_) {
    return "cannot open " + path_ + " for appending" +
           (errno ? std::string(": ") + std::strerror(errno) : std::string());
  }
  // One buffer larger than any line: the flush hands the whole line to the system at once.
  if (std::setvbuf(file_.get(), nullptr, _IOFBF, 2 * kMaxRecordLine) != 0) {
    return "cannot set up writing to " + path_;
  }
  return {};
}

std::string RecordFile::append(const std::string& line) {
  if (!file_) return "the record file " + path_ + " is not open";
  if (line.size() > kMaxRecordLine) return "the record line is too long";
  errno = 0;
  const bool written = std::fwrite(line.data(), 1, line.size(), file_.get()) == line.size() &&
                       std::fflush(file_.get()) == 0;
  if (!written) {
    return "cannot write to " + path_ +
           (errno ? std::string(": ") + std::strerror(errno) : std::string());
  }
  return {};
}

}  // namespace movrand::cli

#include "cli/record.h"

#include <cmath>
#include <nlohmann/json.hpp>

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

std::string Sha256Hex(std::span<const std::uint8_t> bytes) {
  Sha256 hash;
  hash.update(bytes);
  return hash.finishHex();
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

std::string_view VerdictName(Verdict verdict) {
  switch (verdict) {
    case Verdict::Pass:
      return "PASS";
    case Verdict::Fail:
      return "FAIL";
    case Verdict::Current:
      return "CURRENT";
  }
  return "FAIL";
}

namespace {

Json RecordJson(const StationRecord& record) {
  const RunSummary& s = record.summary;
  Json json{{"time", UtcTimeText(record.time)}};
  if (record.module) {
    json["end"] = UtcTimeText(record.module->end);
    json["sequence"] = record.module->sequence;
    json["verdict"] = VerdictName(record.module->verdict);
  }
  const bool current = record.module && record.module->verdict == Verdict::Current;
  json["port"] = record.port;
  AddPortIdentity(json, s.portUsb);
  json.update(Json{{"protocol", OrNull(s.protocol)},
                   {"baud", OrNull(s.baud)},
                   {"oldVersion", OrNull(s.oldVersion)},
                   {"newVersion", OrNull(s.newVersion)},
                   {"image", record.image ? Json(record.image->name) : Json(nullptr)},
                   {"imageBytes", record.image ? OrNull(record.image->bytes) : Json(nullptr)},
                   {"sha256", record.image ? OrNull(record.image->sha256) : Json(nullptr)},
                   {"bytesSent", s.sentBytes},
                   {"blocksRepeated", s.blocksRepeated},
                   {"seconds", std::round(record.seconds * 10.0) / 10.0},
                   {"outcome", current ? std::string_view("current") : ExitCodeName(s.code)},
                   {"exitCode", static_cast<int>(s.code)},
                   {"detail", s.detail.empty() ? Json(nullptr) : Json(s.detail)}});
  return json;
}

std::string Dump(const Json& json) {
  return json.dump(-1, ' ', true, Json::error_handler_t::replace);
}

}  // namespace

std::string RecordLine(const StationRecord& record) {
  return Dump(RecordJson(record)) + "\n";
}

std::string ModuleEvent(const StationRecord& record) {
  Json json{{"event", "module"}};
  json.update(RecordJson(record));
  return Dump(json);
}

Result<void> RecordFile::open(const std::filesystem::path& path) {
  path_ = path.string();
  return file_.open(path);
}

Result<void> RecordFile::append(const std::string& line) {
  if (!file_.isOpen()) return Failure("the record file " + path_ + " is not open");
  if (line.size() > kMaxRecordLine) return Failure("the record line is too long");
  if (const Result<void> written = file_.appendLine(line); !written) {
    return Failure("cannot write to " + path_ + ": " + written.error().text);
  }
  return Done();
}

}  // namespace movrand::cli

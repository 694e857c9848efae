#include "cli/json_events.h"

#include <cmath>
#include <nlohmann/json.hpp>

#include "platform/port_identity.h"

namespace movrand::cli {
namespace {

using Json = nlohmann::ordered_json;  // keeps "event" first, as a reader expects

std::string Dump(const Json& json) {
  // ASCII only; text that is not UTF-8 (the module's bytes) is replaced, never thrown on.
  return json.dump(-1, ' ', true, Json::error_handler_t::replace);
}

Json Number(std::optional<double> value) {
  if (!value || !std::isfinite(*value)) return nullptr;
  return std::round(*value * 10.0) / 10.0;
}

}  // namespace

std::string JsonLineEvent(std::size_t index, std::string_view text, bool rewrite) {
  Json json{{"event", "line"}, {"index", index}, {"text", text}};
  if (rewrite) json["rewrite"] = true;
  return Dump(json);
}

std::string JsonProgressEvent(std::size_t index, std::string_view text, const ProgressInfo& info) {
  return Dump(Json{{"event", "progress"},
                   {"index", index},
                   {"text", text},
                   {"percent", info.percent()},
                   {"sentBytes", info.counts.sent},
                   {"totalBytes", info.counts.total},
                   {"bytesPerSecond", Number(info.bytesPerSecond)},
                   {"secondsLeft", Number(info.secondsLeft)}});
}

std::string JsonMessageEvent(std::string_view kind, std::string_view title, std::string_view text) {
  return Dump(Json{{"event", "message"}, {"kind", kind}, {"title", title}, {"text", text}});
}

void AddPortIdentity(Json& json, const std::optional<UsbIdentity>& usb) {
  const auto text = [](const std::string& value) {
    return value.empty() ? Json(nullptr) : Json(value);
  };
  json["portSerial"] = usb ? text(usb->serial) : Json(nullptr);
  json["portLocation"] = usb ? text(usb->location) : Json(nullptr);
  json["portUsbId"] = usb ? Json(UsbIdText(*usb)) : Json(nullptr);
}

void SetOpenError(RunSummary& summary, OpenError reason) {
  if (reason == OpenError::None) return;
  summary.reason = std::string(OpenErrorName(reason));
  summary.reasonText = std::string(OpenErrorText(reason));
  if (const std::string_view hint = OpenErrorHint(reason); !hint.empty()) {
    summary.hint = std::string(hint);
  }
}

std::string JsonResultEvent(const RunSummary& summary) {
  Json json{{"event", "result"},
            {"exitCode", static_cast<int>(summary.code)},
            {"outcome", ExitCodeName(summary.code)},
            {"meaning", ExitCodeMeaning(summary.code)}};
  if (!summary.detail.empty()) json["detail"] = summary.detail;
  if (summary.version) json["version"] = *summary.version;
  if (summary.previousVersion) json["previousVersion"] = *summary.previousVersion;
  if (summary.port) json["port"] = *summary.port;
  AddPortIdentity(json, summary.portUsb);
  if (summary.baud) json["baud"] = *summary.baud;
  if (summary.protocol) json["protocol"] = *summary.protocol;
  if (summary.reason) json["reason"] = *summary.reason;
  if (summary.reasonText) json["reasonText"] = *summary.reasonText;
  if (summary.hint) json["hint"] = *summary.hint;
  if (summary.oldVersion) json["oldVersion"] = *summary.oldVersion;
  if (summary.newVersion) json["newVersion"] = *summary.newVersion;
  json["sentBytes"] = summary.sentBytes;
  json["blocksRepeated"] = summary.blocksRepeated;
  return Dump(json);
}

std::string JsonStageEvent(std::string_view stage) {
  return Dump(Json{{"event", "stage"}, {"stage", stage}});
}

std::string JsonSayEvent(std::string_view text) {
  return Dump(Json{{"event", "say"}, {"text", text}});
}

std::string JsonNoStationsSummaryEvent(ExitCode code) {
  return Dump(Json{{"event", "summary"},
                   {"exitCode", static_cast<int>(code)},
                   {"outcome", ExitCodeName(code)},
                   {"stations", Json::array()}});
}

std::string JsonStationSummaryEvent(const StationCounts& station) {
  const int modules = station.passed + station.failed + station.current;
  const double hours = station.seconds / 3600.0;
  Json json{{"event", "summary"},
            {"exitCode", static_cast<int>(station.code)},
            {"outcome", ExitCodeName(station.code)}};
  json["stations"] = Json::array(
      {Json{{"port", station.port},
            {"passed", station.passed},
            {"failed", station.failed},
            {"current", station.current},
            {"meanSeconds", modules > 0 ? Number(station.moduleSeconds / modules) : Json(nullptr)},
            {"modulesPerHour", modules > 0 && hours > 0 ? Number(modules / hours) : Json(nullptr)},
            {"exitCode", static_cast<int>(station.code)}}});
  return Dump(json);
}

}  // namespace movrand::cli

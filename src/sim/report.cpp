#include "sim/report.h"

namespace movrand::sim {
namespace {

std::string CountsJson(const std::map<std::string, std::int64_t>& counts) {
  JsonObject object;
  for (const auto& [name, count] : counts) object.add(name, count);
  return object.text();
}

}  // namespace

std::string JsonString(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (b < 0x20 || b >= 0x7F) {  // keeps the file plain ASCII whatever the host sent
          out += "\\u00";
          out += kHex[b >> 4];
          out += kHex[b & 0x0F];
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

void JsonObject::key(std::string_view name) {
  if (body_.size() > 1) body_ += ',';
  body_ += JsonString(name);
  body_ += ':';
}

JsonObject& JsonObject::add(std::string_view name, std::string_view value) {
  key(name);
  body_ += JsonString(value);
  return *this;
}

JsonObject& JsonObject::add(std::string_view name, std::int64_t value) {
  key(name);
  body_ += std::to_string(value);
  return *this;
}

JsonObject& JsonObject::add(std::string_view name, bool value) {
  key(name);
  body_ += value ? "true" : "false";
  return *this;
}

JsonObject& JsonObject::addRaw(std::string_view name, std::string_view json) {
  key(name);
  body_ += json;
  return *this;
}

std::int64_t SimStats::violationTotal() const {
  std::int64_t total = 0;
  for (const auto& [name, count] : violations) total += count;
  return total;
}

SimStats& SimStats::operator+=(const SimStats& other) {
  for (const auto& [name, count] : other.seen) seen[name] += count;
  for (const auto& [name, count] : other.sent) sent[name] += count;
  for (const auto& [name, count] : other.violations) violations[name] += count;
  noiseChunks += other.noiseChunks;
  noiseBytes += other.noiseBytes;
  ignoredChunks += other.ignoredChunks;
  lost += other.lost;
  blocksAccepted += other.blocksAccepted;
  transfersStarted += other.transfersStarted;
  blocksRepeated += other.blocksRepeated;
  acksSent += other.acksSent;
  naksSent += other.naksSent;
  injectedNaks += other.injectedNaks;
  if (other.imagesWritten > 0) imageBytes = other.imageBytes;
  imagesWritten += other.imagesWritten;
  restarts += other.restarts;
  if (other.transferMicros > 0) transferMicros = other.transferMicros;
  return *this;
}

std::int64_t SimStats::versionQueries() const {
  std::int64_t total = 0;
  for (const char* kind : {"nmea POVER", "binr 0x1B"}) {
    if (const auto it = seen.find(kind); it != seen.end()) total += it->second;
  }
  return total;
}

std::string SimStats::summaryJson() const {
  return JsonObject()
      .addRaw("seen", CountsJson(seen))
      .addRaw("sent", CountsJson(sent))
      .add("blocks_accepted", blocksAccepted)
      .add("transfers_started", transfersStarted)
      .add("blocks_repeated", blocksRepeated)
      .add("acks_sent", acksSent)
      .add("naks_sent", naksSent)
      .add("injected_naks", injectedNaks)
      .addRaw("violations", CountsJson(violations))
      .add("violation_total", violationTotal())
      .add("noise_chunks", noiseChunks)
      .add("noise_bytes", noiseBytes)
      .add("ignored_chunks", ignoredChunks)
      .add("lost", lost)
      .add("image_bytes", imageBytes)
      .add("images_written", imagesWritten)
      .add("restarts", restarts)
      .add("transfer_us", transferMicros)
      .text();
}

}  // namespace movrand::sim

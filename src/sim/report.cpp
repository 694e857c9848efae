#include "sim/report.h"

namespace movrand::sim {
namespace {

JsonObject Counts(const std::map<std::string, std::int64_t>& counts) {
  JsonObject object;
  for (const auto& [name, count] : counts) object.add(name, count);
  return object;
}

// JSON strings are Unicode, the bytes the simulator logs are not: each byte becomes the
// character of the same number (as in Latin-1), so that no byte is lost to a replacement
// character and the ASCII output shows it as \u00XX.
std::string ByteCharacters(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x80) {
      out += c;
    } else {
      out += static_cast<char>(0xC0 | b >> 6);
      out += static_cast<char>(0x80 | (b & 0x3F));
    }
  }
  return out;
}

}  // namespace

std::string JsonText(const Json& value) {
  return value.dump(-1, ' ', true, Json::error_handler_t::replace);
}

std::string JsonString(std::string_view text) {
  return JsonText(ByteCharacters(text));
}

JsonObject& JsonObject::add(std::string_view key, std::string_view value) {
  body_[ByteCharacters(key)] = ByteCharacters(value);
  return *this;
}

JsonObject& JsonObject::add(std::string_view key, std::int64_t value) {
  body_[ByteCharacters(key)] = value;
  return *this;
}

JsonObject& JsonObject::add(std::string_view key, bool value) {
  body_[ByteCharacters(key)] = value;
  return *this;
}

JsonObject& JsonObject::add(std::string_view key, const JsonObject& object) {
  body_[ByteCharacters(key)] = object.body_;
  return *this;
}

JsonObject& JsonObject::addRaw(std::string_view key, std::string_view json) {
  body_[ByteCharacters(key)] = Json::parse(json);
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

JsonObject SimStats::summary() const {
  return JsonObject()
      .add("seen", Counts(seen))
      .add("sent", Counts(sent))
      .add("blocks_accepted", blocksAccepted)
      .add("transfers_started", transfersStarted)
      .add("blocks_repeated", blocksRepeated)
      .add("acks_sent", acksSent)
      .add("naks_sent", naksSent)
      .add("injected_naks", injectedNaks)
      .add("violations", Counts(violations))
      .add("violation_total", violationTotal())
      .add("noise_chunks", noiseChunks)
      .add("noise_bytes", noiseBytes)
      .add("ignored_chunks", ignoredChunks)
      .add("lost", lost)
      .add("image_bytes", imageBytes)
      .add("images_written", imagesWritten)
      .add("restarts", restarts)
      .add("transfer_us", transferMicros);
}

}  // namespace movrand::sim

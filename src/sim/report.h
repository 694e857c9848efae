// What the simulated module tells its operator: one JSON line per message it saw or sent
// (the events file) and the counts of a whole run (the summary printed at exit).
//
// Each events line is a flat JSON object; tests read them back to see what the host did,
// at which line settings, and which rules it broke.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace movrand::sim {

// The JSON of the simulator's files: keys in the order they are added, plain ASCII.
using Json = nlohmann::ordered_json;

// `value` as one line of plain ASCII JSON, everything outside printable ASCII as \u escapes.
std::string JsonText(const Json& value);
// Quotes and escapes `text` as a JSON string. Each byte is one character: bytes above 0x7F
// (a host's or an operator's, in whatever encoding) keep their value as \u00XX.
std::string JsonString(std::string_view text);

// Builds one JSON object, key by key, in the order the keys are added.
class JsonObject {
 public:
  JsonObject& add(std::string_view key, std::string_view value);
  JsonObject& add(std::string_view key, const char* value) {
    return add(key, std::string_view(value));
  }
  JsonObject& add(std::string_view key, std::int64_t value);
  JsonObject& add(std::string_view key, bool value);
  JsonObject& add(std::string_view key, const JsonObject& object);
  // `json` must be valid JSON (a nested object or null, for example).
  JsonObject& addRaw(std::string_view key, std::string_view json);
  const Json& value() const { return body_; }
  std::string text() const { return JsonText(body_); }

 private:
  Json body_ = Json::object();
};

// The run's counts, kept up to date as the module works.
struct SimStats {
  std::map<std::string, std::int64_t> seen;        // messages received, by kind
  std::map<std::string, std::int64_t> sent;        // messages sent, by kind
  std::map<std::string, std::int64_t> violations;  // rules the host broke, by kind
  std::int64_t noiseChunks = 0;                    // chunks received at the wrong rate or parity
  std::int64_t noiseBytes = 0;
  std::int64_t ignoredChunks = 0;  // chunks that arrived while the module restarted
  std::int64_t lost = 0;           // messages sent that the host could not receive
  std::int64_t blocksAccepted = 0;
  std::int64_t transfersStarted = 0;  // block 1 accepted after a start request "C"
  std::int64_t blocksRepeated = 0;    // a block accepted before, acknowledged again
  std::int64_t acksSent = 0;
  std::int64_t naksSent = 0;
  std::int64_t injectedNaks = 0;  // rejections of good blocks, ordered on the command line
  std::int64_t imageBytes = 0;    // size of the last complete image
  std::int64_t imagesWritten = 0;
  std::int64_t restarts = 0;
  // From the first byte of the last complete transfer's first block to its EOT, in µs.
  std::int64_t transferMicros = 0;

  std::int64_t violationTotal() const;
  // Adds the counts of `other`, a later module on the same port: its image and transfer time
  // stand for the run's when it has them.
  SimStats& operator+=(const SimStats& other);
  // Version queries heard, NMEA and BINR, answered or not.
  std::int64_t versionQueries() const;
  // The one-line JSON summary.
  std::string summaryJson() const { return summary().text(); }
  JsonObject summary() const;
};

}  // namespace movrand::sim

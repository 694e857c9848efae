#include "sim/fixture.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "sim/options.h"
#include "sim/wire.h"

namespace movrand::sim {
namespace {

constexpr std::int64_t kMaxBlockPosition = 1'000'000;
// How much of a value a message shows.
constexpr std::size_t kShownValue = 40;
// The most a fixture file within its bounds can hold: every line at its longest, with CR LF.
constexpr std::size_t kMaxFixtureBytes = kMaxFixtureLines * (kMaxFixtureLineLength + 2);

constexpr const char* kKeys[] = {"model", "protocol", "baud",  "behaviour", "nak",
                                 "stay",  "empty",    "first", "off",       "max"};

struct Named {
  const char* name;
  Behaviour behaviour;
};
constexpr Named kBehaviours[] = {{"normal", Behaviour::Normal},
                                 {"current", Behaviour::Current},
                                 {"nak-forever", Behaviour::NakForever},
                                 {"silent", Behaviour::Silent},
                                 {"loader", Behaviour::Loader}};

std::string Shown(std::string_view text) {
  return Printable(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()),
                   kShownValue);
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  std::size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && IsBlank(line[at])) ++at;
    const std::size_t start = at;
    while (at < line.size() && !IsBlank(line[at])) ++at;
    if (at > start) words.push_back(line.substr(start, at - start));
  }
  return words;
}

bool ParseInteger(std::string_view text, std::int64_t low, std::int64_t high, std::int64_t& value) {
  std::int64_t result = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), result);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return false;
  if (result < low || result > high) return false;
  value = result;
  return true;
}

std::string SupportedRates() {
  std::string list;
  for (const std::uint32_t rate : kSupportedRates) {
    if (!list.empty()) list += ", ";
    list += std::to_string(rate);
  }
  return list;
}

// Applies one key's value to `m`; the problem with the value, or empty when it was taken.
std::string ApplyKey(std::string_view key, std::string_view value, FixtureModule& m) {
  if (key == "model") {
    if (value.empty()) return "needs a model name";
    m.model = value;  // checked with the whole module's configuration
    return {};
  }
  if (key == "protocol") {
    if (value == "nmea") {
      m.protocol = Protocol::Nmea;
    } else if (value == "binr") {
      m.protocol = Protocol::Binr;
    } else {
      return "must be nmea or binr";
    }
    return {};
  }
  if (key == "baud") {
    std::int64_t rate = 0;
    if (!ParseInteger(value, 1, kSupportedRates[std::size(kSupportedRates) - 1], rate) ||
        std::find(std::begin(kSupportedRates), std::end(kSupportedRates), rate) ==
            std::end(kSupportedRates)) {
      return "must be one of " + SupportedRates();
    }
    m.baud = static_cast<std::uint32_t>(rate);
    return {};
  }
  if (key == "behaviour") {
    for (const Named& b : kBehaviours) {
      if (value == b.name) {
        m.behaviour = b.behaviour;
        return {};
      }
    }
    return "must be normal, current, nak-forever, silent or loader";
  }
  if (key == "nak") {
    if (!ParseInteger(value, 1, kMaxBlockPosition, m.nak)) {
      return "must be a block position from 1 to 1000000";
    }
    return {};
  }
  if (key == "off") {
    if (value == "silent") {
      m.off = TakeOff::Silent;
    } else if (value == "vanish") {
      m.off = TakeOff::Vanish;
    } else {
      return "must be silent or vanish";
    }
    return {};
  }
  Milliseconds span{0};
  if (!ParseSeconds(value, span)) return "must be seconds from 0 to 86400";
  if (key == "stay") {
    m.stay = span;
  } else if (key == "empty") {
    m.empty = span;
  } else if (key == "first") {
    m.first = span;
  } else {
    m.max = span;
  }
  return {};
}

// Reads one module's line; the problem with it, or empty.
std::string ParseLine(std::string_view line, bool firstModule, bool linkGiven, FixtureModule& m) {
  std::map<std::string_view, std::string_view> given;
  for (const std::string_view word : Words(line)) {
    const std::size_t eq = word.find('=');
    if (eq == std::string_view::npos) return "\"" + Shown(word) + "\" is not key=value";
    const std::string_view key = word.substr(0, eq);
    const std::string_view value = word.substr(eq + 1);
    if (std::find(std::begin(kKeys), std::end(kKeys), key) == std::end(kKeys)) {
      return "unknown key \"" + Shown(key) +
             "\" (the keys: model, protocol, baud, behaviour, nak, stay, empty, first, off, max)";
    }
    if (!given.emplace(key, value).second) return std::string(key) + "= is given twice";
    if (std::string problem = ApplyKey(key, value, m); !problem.empty()) {
      return std::string(key) + "=" + Shown(value) + ": " + problem;
    }
  }
  if (given.contains("nak") && m.behaviour != Behaviour::NakForever) {
    return "nak= belongs to behaviour=nak-forever";
  }
  if (given.contains("first") && !firstModule) {
    return "first= belongs on the first module's line (later ones arrive after empty=)";
  }
  if (m.off == TakeOff::Vanish && !linkGiven) {
    return "off=vanish needs --link: the port comes back as a new terminal, found by its link";
  }
  if (std::string problem = CheckConfig(ModuleConfig(m, SimConfig{}, 1)); !problem.empty()) {
    return "model=" + Shown(m.model) + ": " + problem;
  }
  return {};
}

}  // namespace

const char* BehaviourName(Behaviour behaviour) {
  for (const Named& b : kBehaviours) {
    if (b.behaviour == behaviour) return b.name;
  }
  return "normal";
}

const char* TakeOffName(TakeOff how) {
  return how == TakeOff::Vanish ? "vanish" : "silent";
}

ParsedFixture ParseFixture(std::string_view text, std::string_view name, bool linkGiven) {
  ParsedFixture result;
  const auto fail = [&](std::size_t line, const std::string& problem) {
    result.modules.clear();
    result.error = std::string(name) + ":" + std::to_string(line) + ": " + problem;
    return result;
  };
  std::size_t number = 0;
  while (!text.empty()) {
    ++number;
    if (number > kMaxFixtureLines) return fail(number, "more than 1000 lines");
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (line.size() > kMaxFixtureLineLength) return fail(number, "longer than 1024 characters");
    const std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string_view::npos || line[start] == '#') continue;
    FixtureModule module;
    module.line = number;
    if (std::string problem = ParseLine(line, result.modules.empty(), linkGiven, module);
        !problem.empty()) {
      return fail(number, problem);
    }
    result.modules.push_back(std::move(module));
  }
  if (result.modules.empty()) {
    result.error = std::string(name) + ": no modules (every line is blank or a comment)";
  }
  return result;
}

ParsedFixture ReadFixture(const std::string& path, bool linkGiven) {
  ParsedFixture result;
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    result.error = path + ": is a folder, not a fixture file";
    return result;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    result.error = path + ": cannot read: " + std::strerror(errno);
    return result;
  }
  // One byte more than the bounds allow: a file that fills it breaks a bound somewhere.
  std::string text(kMaxFixtureBytes + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (in.bad()) {
    result.error = path + ": cannot read";
    return result;
  }
  text.resize(static_cast<std::size_t>(in.gcount()));
  result = ParseFixture(text, path, linkGiven);
  if (result.error.empty() && text.size() > kMaxFixtureBytes) {
    result.modules.clear();
    result.error = path + ": larger than 1000 lines of 1024 characters can be";
  }
  return result;
}

SimConfig ModuleConfig(const FixtureModule& line, const SimConfig& base, std::int64_t number) {
  SimConfig config;
  config.restartTime = base.restartTime;
  config.answerDelay = base.answerDelay;
  config.blockAnswerDelay = base.blockAnswerDelay;
  config.binrEnding = base.binrEnding;
  config.model = line.model;
  config.protocol = line.protocol;
  config.baud = line.baud;
  config.fixtureNumber = number;
  if (!base.imageOut.empty()) config.imageOut = base.imageOut + "." + std::to_string(number);
  CompleteVersionTexts(config);
  switch (line.behaviour) {
    case Behaviour::Normal:
      break;
    case Behaviour::Current:
      config.versionWords = config.newVersionWords;
      config.binrText1 = config.newBinrText1;
      config.binrText2 = config.newBinrText2;
      break;
    case Behaviour::NakForever:
      config.nakForever = line.nak;
      break;
    case Behaviour::Silent:
      config.silent = true;
      break;
    case Behaviour::Loader:
      config.startInLoader = true;
      break;
  }
  return config;
}

std::string FixtureEventLine(Milliseconds at, std::int64_t number, std::string_view kind,
                             std::string_view note) {
  JsonObject o;
  o.add("t_ms", static_cast<std::int64_t>(at.count()));
  if (number > 0) o.add("module_number", number);
  o.add("dir", "fixture");
  o.add("kind", kind);
  if (!note.empty()) o.add("note", note);
  return o.text();
}

// --- The fixture at work ------------------------------------------------------------------

Fixture::Fixture(EventLoop& loop, FixturePort& port, std::vector<FixtureModule> modules,
                 SimConfig base)
    : loop_(loop),
      port_(port),
      modules_(std::move(modules)),
      base_(std::move(base)),
      queue_(loop) {}

Fixture::~Fixture() {
  queue_.clear();
  if (module_) port_.detach(TakeOff::Silent);
}

void Fixture::start() {
  if (modules_.empty()) {
    done_ = true;
    return;
  }
  const Milliseconds first = modules_.front().first;
  if (first.count() == 0) {
    arrive(0);
  } else {
    event(0, "empty", "the first module arrives in " + std::to_string(first.count()) + " ms");
    queue_.after(first, [this] { arrive(0); });
  }
}

void Fixture::arrive(std::size_t index) {
  index_ = index;
  const FixtureModule& line = modules_[index];
  const auto number = static_cast<std::int64_t>(index + 1);
  module_ = std::make_unique<SimModule>(loop_, ModuleConfig(line, base_, number));
  if (sink_) module_->setEventSink(sink_);
  module_->setObserver([this](SimModule::Milestone m) { observe(m); });

  ModuleRecord record;
  record.number = number;
  record.line = line;
  record.arrived = loop_.now();
  records_.push_back(std::move(record));
  event(number, "arrived",
        line.model + " " + BehaviourName(line.behaviour) + ", " + ProtocolName(line.protocol) +
            " at " + std::to_string(line.baud) + " (line " + std::to_string(line.line) + ")");

  std::string error;
  if (!port_.attach(*module_, error)) {
    event(number, "port-failed", error);
    records_.back().stats = module_->stats();
    module_.reset();
    done_ = true;
    if (portFailed_) portFailed_(error);
    return;
  }
  module_->powerOn();
  if (line.max) queue_.after(*line.max, [this] { takeOff("max"); });
  // A silent module shows nothing more than its arrival: the station's wait starts there.
  if (line.behaviour == Behaviour::Silent) reachOutcome("on the fixture, answering nothing");
}

void Fixture::observe(SimModule::Milestone milestone) {
  if (!module_ || records_.back().outcome) return;
  switch (modules_[index_].behaviour) {
    case Behaviour::Normal:
    case Behaviour::Loader:
      if (milestone == SimModule::Milestone::VersionAnswered && module_->firmwareLoaded()) {
        reachOutcome("reported the new version after a load");
      }
      return;
    case Behaviour::Current:
      if (milestone == SimModule::Milestone::VersionAnswered) {
        reachOutcome("reported its version, already the new one");
      }
      return;
    case Behaviour::NakForever:
      if (milestone == SimModule::Milestone::ForcedRejection &&
          module_->rejectionsInRow() >= kRejectionsToAbort) {
        reachOutcome("rejected block position " + std::to_string(modules_[index_].nak) + " " +
                     std::to_string(kRejectionsToAbort) + " times in a row");
      }
      return;
    case Behaviour::Silent:
      return;
  }
}

void Fixture::reachOutcome(std::string what) {
  ModuleRecord& record = records_.back();
  record.outcome = loop_.now();
  event(record.number, "outcome", what);
  // Taken off from the queue, never inside the module's own call that told the outcome.
  queue_.after(modules_[index_].stay, [this] { takeOff("stay"); });
}

void Fixture::takeOff(const char* reason) {
  if (!module_) return;
  queue_.clear();  // whichever of stay and max comes second finds the module gone
  const FixtureModule& line = modules_[index_];
  ModuleRecord& record = records_.back();
  record.off = loop_.now();
  record.offReason = reason;
  record.stats = module_->stats();
  port_.detach(line.off);
  module_.reset();
  event(record.number, "taken-off",
        std::string(TakeOffName(line.off)) +
            (std::string_view(reason) == "max" ? ", its max reached" : ", after its stay"));
  if (index_ + 1 < modules_.size()) {
    event(0, "empty", "the next module arrives in " + std::to_string(line.empty.count()) + " ms");
    const std::size_t next = index_ + 1;
    queue_.after(line.empty, [this, next] { arrive(next); });
  } else {
    done_ = true;
    event(0, "empty", "no more modules: the fixture stays empty");
  }
}

void Fixture::event(std::int64_t number, std::string_view kind, std::string_view note) {
  if (sink_) sink_(FixtureEventLine(loop_.now(), number, kind, note));
}

std::vector<ModuleRecord> Fixture::records() const {
  std::vector<ModuleRecord> records = records_;
  if (module_ && !records.empty()) records.back().stats = module_->stats();
  return records;
}

SimStats Fixture::totals() const {
  SimStats total;
  for (const ModuleRecord& record : records()) total += record.stats;
  return total;
}

std::string Fixture::modulesJson() const {
  const auto time = [](const std::optional<Milliseconds>& t) {
    return t ? std::to_string(t->count()) : std::string("null");
  };
  std::string json = "[";
  for (const ModuleRecord& r : records()) {
    if (json.size() > 1) json += ',';
    const SimStats& s = r.stats;
    json += JsonObject()
                .add("number", r.number)
                .add("line", static_cast<std::int64_t>(r.line.line))
                .add("model", r.line.model)
                .add("protocol", ProtocolName(r.line.protocol))
                .add("baud", static_cast<std::int64_t>(r.line.baud))
                .add("behaviour", BehaviourName(r.line.behaviour))
                .add("off", TakeOffName(r.line.off))
                .add("arrived_ms", static_cast<std::int64_t>(r.arrived.count()))
                .addRaw("outcome_ms", time(r.outcome))
                .addRaw("off_ms", time(r.off))
                .addRaw("off_reason", r.off ? JsonString(r.offReason) : std::string("null"))
                .add("images_written", s.imagesWritten)
                .add("image_bytes", s.imageBytes)
                .add("transfers_started", s.transfersStarted)
                .add("blocks_accepted", s.blocksAccepted)
                .add("naks_sent", s.naksSent)
                .add("version_queries", s.versionQueries())
                .add("restarts", s.restarts)
                .add("lost", s.lost)
                .add("violation_total", s.violationTotal())
                .text();
  }
  return json + "]";
}

}  // namespace movrand::sim

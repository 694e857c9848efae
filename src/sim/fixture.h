// The fixture of an unattended flashing station, simulated: modules put on one port one after
// another, as an operator does on a production line.
//
// A fixture file describes the modules in order, one a line of key=value words (see
// ParseFixture). The Fixture runs that script on an event loop: a module arrives and is powered
// on; the fixture watches for its outcome (what the station does with it, as far as the module
// can tell: the new version reported after a load, the first version reply of a module already
// up to date, the fourth rejection of a block rejected forever); the module stays a while
// after it (the operator is not quick), or is taken off at the latest after its `max`; the
// fixture stays empty a while; the next module arrives. After the last one the fixture stays
// empty.
//
// The port is reached through FixturePort: the program puts the modules on a pseudo-terminal,
// the tests on a line of their own on the virtual clock. Main thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/event_loop.h"
#include "sim/delay_queue.h"
#include "sim/module.h"
#include "sim/report.h"

namespace movrand::sim {

// Bounds of a fixture file.
inline constexpr std::size_t kMaxFixtureLines = 1000;
inline constexpr std::size_t kMaxFixtureLineLength = 1024;  // without the line end
// The rejections in a row after which the host gives a transfer up.
inline constexpr std::int64_t kRejectionsToAbort = 4;

// What a module on the fixture is like.
enum class Behaviour {
  Normal,      // old version; takes an image, restarts, reports the new version
  Current,     // already reports the version a load would give
  NakForever,  // rejects one block position every time
  Silent,      // answers nothing
  Loader,      // powers on in its loader, asking for a transfer
};
// How a module leaves the fixture.
enum class TakeOff {
  Silent,  // the port stays; nothing answers on it any more
  Vanish,  // the port goes with the module (an adapter unplugged); a new one comes with the next
};

const char* BehaviourName(Behaviour behaviour);
const char* TakeOffName(TakeOff how);

// One line of a fixture file.
struct FixtureModule {
  std::size_t line = 0;  // in the file, for messages
  std::string model = "KAP41";
  Protocol protocol = Protocol::Nmea;
  std::uint32_t baud = 115200;
  Behaviour behaviour = Behaviour::Normal;
  std::int64_t nak = 1;      // position rejected forever (NakForever)
  Milliseconds stay{1000};   // on the fixture after its outcome
  Milliseconds empty{1000};  // the fixture empty after it was taken off
  Milliseconds first{0};     // before it arrives; the first module only
  TakeOff off = TakeOff::Silent;
  std::optional<Milliseconds> max;  // taken off at the latest this long after arriving
};

struct ParsedFixture {
  std::vector<FixtureModule> modules;
  std::string error;  // "NAME:LINE: what is wrong", or empty when the file was good
};

// Reads a fixture file's text, `name` standing for it in messages. One module a line; blank
// lines and lines beginning with '#' are left out; each line is whitespace-separated key=value
// words, every key optional and given at most once: model, protocol (nmea|binr), baud (a rate
// the modules support), behaviour (normal|current|nak-forever|silent|loader), nak (with
// nak-forever), stay, empty, first (first module only), max (seconds from 0 to 86400, decimals
// allowed), off (silent|vanish; vanish only when `linkGiven`, the port being found by its link
// after it comes back). At most 1000 lines of 1024 characters.
ParsedFixture ParseFixture(std::string_view text, std::string_view name, bool linkGiven);
// Reads the file at `path` (no more than its bounds allow) and parses it.
ParsedFixture ReadFixture(const std::string& path, bool linkGiven);

// The configuration of the module on `line`, number `number` (1-based) on the fixture: `base`
// gives what every module shares (timing, BINR ending, where images go: `imageOut`.N).
SimConfig ModuleConfig(const FixtureModule& line, const SimConfig& base, std::int64_t number);

// One events line of the fixture itself: `number` 0 for none.
std::string FixtureEventLine(Milliseconds at, std::int64_t number, std::string_view kind,
                             std::string_view note);

// The port the fixture's modules are put on.
class FixturePort {
 public:
  virtual ~FixturePort() = default;
  // Puts `module` (not yet powered on) on the port; a port that went with the module before is
  // made anew. False, with `error` set, when the system refuses a new port.
  virtual bool attach(SimModule& module, std::string& error) = 0;
  // Takes the module off the port, before it is destroyed.
  virtual void detach(TakeOff how) = 0;
};

// What became of one module that arrived.
struct ModuleRecord {
  std::int64_t number = 0;
  FixtureModule line;
  Milliseconds arrived{0};
  std::optional<Milliseconds> outcome;
  std::optional<Milliseconds> off;
  const char* offReason = "";  // "stay" (after its outcome) or "max"
  SimStats stats;
};

class Fixture {
 public:
  // `modules` must not be empty.
  Fixture(EventLoop& loop, FixturePort& port, std::vector<FixtureModule> modules, SimConfig base);
  ~Fixture();  // takes a module still on the port off it
  Fixture(const Fixture&) = delete;
  Fixture& operator=(const Fixture&) = delete;

  // Where the events lines of the fixture and of its modules go.
  void setEventSink(SimModule::EventSink sink) { sink_ = std::move(sink); }
  // Told when a port cannot be made; the fixture then stops where it is.
  void setPortFailed(std::function<void(const std::string&)> failed) {
    portFailed_ = std::move(failed);
  }

  // Starts the script: the first module arrives now, or after its `first`.
  void start();

  // The module on the fixture, null while it is empty.
  SimModule* current() { return module_.get(); }
  // True once the last module has been taken off.
  bool done() const { return done_; }
  // Every module that arrived, in order; the counts of one still on the fixture are those of
  // now.
  std::vector<ModuleRecord> records() const;
  // The counts of all modules together.
  SimStats totals() const;
  // The records as a JSON array, for the summary.
  std::string modulesJson() const;

 private:
  void arrive(std::size_t index);
  void observe(SimModule::Milestone milestone);
  void reachOutcome(std::string what);
  void takeOff(const char* reason);
  void event(std::int64_t number, std::string_view kind, std::string_view note);

  EventLoop& loop_;
  FixturePort& port_;
  const std::vector<FixtureModule> modules_;
  const SimConfig base_;
  SimModule::EventSink sink_;
  std::function<void(const std::string&)> portFailed_;

  std::vector<ModuleRecord> records_;
  std::size_t index_ = 0;  // of the module on the fixture or the next to come
  bool done_ = false;
  std::unique_ptr<SimModule> module_;
  DelayQueue queue_;  // the next arrival or taking off
};

}  // namespace movrand::sim

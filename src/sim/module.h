// The simulated GNSS receiver module: what the host meets at the other end of the line.
//
// The module talks NMEA (8N1) or BINR (8O1) at one rate. It answers the version query, the
// BINR probe and version request, confirms a rate command at the old rate and then switches,
// and enters its loader on any loader-entry command. The loader asks for an XMODEM-CRC
// transfer with "C", receives 128-byte blocks strictly (a host that falls silent in the middle
// of a transfer is taken as gone: the loader asks with "C" again), and after EOT writes the image,
// restarts and reports the new version at the protocol and rate it was powered on with (a
// rate command is not kept across a restart).
//
// The module is strict: bytes sent at another rate or parity than its own are noise; every
// checksum, CRC, stuffing and block number is checked; each breach is a violation in the
// events and the summary. It runs on any EventLoop (virtual clock in tests, real time in the
// pseudo-terminal program) and is attached to a line through three callbacks. Main thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/event_loop.h"
#include "sim/delay_queue.h"
#include "sim/line.h"
#include "sim/report.h"
#include "sim/wire.h"

namespace movrand::sim {

// The module's timing.
inline constexpr Milliseconds kAnswerDelay{20};            // end of a query to start of reply
inline constexpr Milliseconds kStartRequestInterval{300};  // loader: "C" repeats this often
inline constexpr Milliseconds kBlockAnswerDelay{5};        // end of a block to ACK/NAK
inline constexpr Milliseconds kBlockByteTimeout{1000};     // a gap this long cuts a block short
inline constexpr Milliseconds kLineQuietTime{1000};        // after a garbled block: quiet, then NAK
inline constexpr Milliseconds kBlockWaitTimeout{10000};    // no next block: NAK again
inline constexpr Milliseconds kLoaderIdleTimeout{60000};   // no block accepted: old firmware again
// Nothing from the host this long in the middle of a transfer: the host is gone (its program
// was ended, its cable pulled); the loader drops the blocks it has and asks with "C" again,
// so that a new transfer can begin at block 1.
inline constexpr Milliseconds kHostGoneSilence{3000};
inline constexpr Milliseconds kDefaultRestartTime{3000};  // silence after the last ACK

// The flash the loader can fill: as large as the host's image buffer.
inline constexpr std::size_t kImageCapacity = 1 << 20;

// The rates a rate command may ask for.
inline constexpr std::uint32_t kSupportedRates[] = {4800,  9600,  14400,  19200,
                                                    38400, 57600, 115200, 230400};

// Faults a module can be told to make, beyond the fixed ones of the command line: what a soak
// of many seeded transfers draws from.
// The ACKs of a stall: more blocks than a pseudo-terminal's queues hold.
inline constexpr std::size_t kStallAcks = 512;

struct SimFaults {
  std::map<std::int64_t, int> rejections;            // position: its first arrivals rejected
  std::map<std::int64_t, Milliseconds> lateAnswers;  // position: extra wait before its answer
  int noisePercent = 0;  // chance that a few stray bytes go out before a start request "C"
  bool silentAfterRateChange = false;  // confirms a rate change, then never answers again
  // Position whose block is answered with a burst of kStallAcks ACKs, after which the module
  // reads nothing more (a device that stopped taking data): each ACK brings the host's next
  // block, until the line is full and the host's writes stop. 0 for none.
  std::int64_t stallAfter = 0;
  std::uint32_t seed = 1;  // for the noise
};

struct SimConfig {
  Protocol protocol = Protocol::Nmea;  // what the module talks at power-on and after restarts
  std::uint32_t baud = 115200;
  std::string model = "KAP41";
  // The fields of the NMEA version reply, before and after a firmware load.
  std::vector<std::string> versionWords;
  std::vector<std::string> newVersionWords;
  // The two texts of the BINR version reply, before and after a firmware load.
  std::string binrText1, binrText2, newBinrText1, newBinrText2;
  bool startInLoader = false;
  std::set<std::int64_t> nakBlocks;  // positions (1-based) whose first arrival is rejected
  std::int64_t nakForever = 0;       // position always rejected; 0 for none
  Milliseconds restartTime = kDefaultRestartTime;
  Milliseconds answerDelay = kAnswerDelay;
  // From the end of a block to its ACK or NAK. At 0 the block is judged as soon as its last
  // byte is in, within the same chunk: bytes after it in that chunk make it overlong.
  Milliseconds blockAnswerDelay = kBlockAnswerDelay;
  bool silent = false;
  SimFaults faults;
  BinrEnding binrEnding = BinrEnding::Crc;
  std::string imageOut;  // where the received image is written; empty for nowhere
  // Its place on a fixture (1-based), written into each events line as "module_number"; 0 for
  // a module alone on its port.
  std::int64_t fixtureNumber = 0;
};

// Fills the version texts left empty from the model name: "A1 <model> 0102" (five words
// for models beginning RTK, RTA or RTM), "0103" after a load; BINR alike.
void CompleteVersionTexts(SimConfig& config);
// Why `config` cannot describe a module, or empty when it can.
std::string CheckConfig(const SimConfig& config);

// True for models whose version reply carries five words.
bool IsRtkType(std::string_view model);
// The loader-entry variant ('B', 'C' or 'R') this model expects in `protocol`.
char ExpectedLoaderVariant(std::string_view model, Protocol protocol);

class SimModule {
 public:
  enum class Mode { Off, Running, Loader, Restarting };

  // The bytes the module sends, with the settings it sends them at.
  using Output = std::function<void(std::span<const std::uint8_t>, LineSettings)>;
  // The host's settings now, or nothing when the host has no port open.
  using HostView = std::function<std::optional<LineSettings>()>;
  // When the byte being handled arrived, finer than the loop's milliseconds (the line of the
  // pseudo-terminal program knows it to the microsecond). Any fixed origin.
  using ArrivalClock = std::function<std::chrono::microseconds()>;
  // One events line (without the newline).
  using EventSink = std::function<void(const std::string&)>;
  // Moments of the module's life that a fixture waits for, told as they happen. The observer
  // must neither destroy the module nor call into it from inside the call.
  enum class Milestone {
    VersionAnswered,  // a version reply went out; firmwareLoaded() tells which version it gave
    ForcedRejection,  // the block rejected forever was rejected again; see rejectionsInRow()
    // The ACK of an image's EOT went out: the module restarts with the new image and is
    // silent until BackUp.
    ImageRestart,
    BackUp,  // running again at the end of a restart, whatever began it
  };
  using Observer = std::function<void(Milestone)>;

  SimModule(EventLoop& loop, SimConfig config);
  ~SimModule();
  SimModule(const SimModule&) = delete;
  SimModule& operator=(const SimModule&) = delete;

  void setOutput(Output output) { output_ = std::move(output); }
  void setHostView(HostView view) { hostView_ = std::move(view); }
  void setEventSink(EventSink sink) { eventSink_ = std::move(sink); }
  void setArrivalClock(ArrivalClock clock) { arrivalClock_ = std::move(clock); }
  void setObserver(Observer observer) { observer_ = std::move(observer); }
  // Called once when the module stops reading the line (a stall); the line then leaves the
  // host's bytes where they are.
  void setStopReading(std::function<void()> stop) { stopReading_ = std::move(stop); }
  // True once the module has stopped reading.
  bool stalled() const { return stalled_; }

  // Starts the module: running at its configured protocol and rate, or in the loader.
  void powerOn();

  // Bytes from the host, sent at `host` settings.
  void receive(std::span<const std::uint8_t> bytes, LineSettings host);
  // The line could not bring `bytes`, sent at `sentWith`, to the host (`host` as it was,
  // nothing when the host had no port open). `reason` replaces the one derived from them.
  void reportLost(std::span<const std::uint8_t> bytes, LineSettings sentWith,
                  std::optional<LineSettings> host, std::string_view reason = {});

  Mode mode() const { return mode_; }
  // The settings the module talks at now (in the loader: those it had at loader entry).
  LineSettings line() const;
  Protocol protocol() const { return protocol_; }
  bool firmwareLoaded() const { return firmwareLoaded_; }
  // The last complete image received (a multiple of 128 bytes).
  const std::vector<std::uint8_t>& image() const { return image_; }
  const SimStats& stats() const { return stats_; }
  // Rejections of the block rejected forever since the last ACK or new transfer: the host
  // gives up after a few of them in a row.
  std::int64_t rejectionsInRow() const { return rejectionsInRow_; }

 private:
  enum class Phase { AwaitStart, AwaitBlock, InBlock, Answering, Purging };

  struct Event {
    Event(const char* d, std::string k, std::span<const std::uint8_t> b = {})
        : dir(d), kind(std::move(k)), bytes(b) {}
    Event& from(std::optional<LineSettings> h) {
      host = h;
      hostKnown = true;
      return *this;
    }
    Event& withNote(std::string n) {
      note = std::move(n);
      return *this;
    }

    const char* dir;  // rx, tx, noise, lost, state
    std::string kind;
    std::span<const std::uint8_t> bytes;
    std::string text;  // when not the bytes
    std::optional<LineSettings> host;
    bool hostKnown = false;
    std::string violation;
    std::string note;
    std::int64_t block = -1;
    std::int64_t position = -1;
  };
  void log(const Event& event);
  void violation(std::string kind, std::span<const std::uint8_t> bytes, std::string note = {});
  void state(std::string kind, std::string note = {});

  // `note`, when given, goes into the events line of what was sent.
  void send(std::vector<std::uint8_t> bytes, std::string kind, std::string note = {});
  // `milestone`, when given, is told once the reply has gone out.
  void reply(std::vector<std::uint8_t> bytes, std::string kind,
             std::optional<Milestone> milestone = std::nullopt);

  void handleNmea(const std::string& body, LineSettings host);
  void handleBinr(std::uint8_t id, const std::vector<std::uint8_t>& data, LineSettings host);
  void confirmRate(std::vector<std::uint8_t> confirmation, std::string kind, std::uint32_t rate);
  std::vector<std::uint8_t> nmeaVersionReply() const;
  std::vector<std::uint8_t> binrVersionReply() const;

  // The loader's timers.
  void startRequestTick();
  void blockCutShort();
  void lineQuietAgain();
  void blockWaitExpired();
  void hostGoneSilent();
  void loaderIdleExpired();

  void enterLoader(char variant, bool checkVariant);
  // The XMODEM receive, byte by byte: between blocks, the block's start and body, EOT, CAN.
  void loaderByte(std::uint8_t byte, std::size_t& strays);
  void betweenBlocksByte(std::uint8_t byte, std::size_t& strays);
  void blockStart();
  void blockBodyByte(std::uint8_t byte);
  void endOfTransmission();
  void cancelledBySender();
  void longBlockRefused();
  void blockVerdict();
  void ack(std::string note = {});
  void nak(std::string note = {});
  // The stall fault: a burst of ACKs, then no more reading.
  void stall();
  void restartTransfer();
  void finishTransfer();
  void beginRestart();
  // The steps the end of a transfer and a restart from the loader share.
  void leaveLoader();
  void bootUp();
  void stopLoaderTimers();
  void resetReceivers();
  bool writeImageFile();
  std::chrono::microseconds arrivalTime() const;

  EventLoop& loop_;
  SimConfig config_;
  Output output_;
  HostView hostView_;
  EventSink eventSink_;
  ArrivalClock arrivalClock_;
  std::function<void()> stopReading_;
  Observer observer_;
  bool stalled_ = false;

  Mode mode_ = Mode::Off;
  Protocol protocol_;
  std::uint32_t baud_;
  bool firmwareLoaded_ = false;
  SimStats stats_;
  LineSettings rxHost_;  // the sender's settings of the chunk being handled

  StrictNmeaReceiver nmeaRx_;
  StrictBinrReceiver binrRx_;

  // Loader state.
  LineSettings loaderLine_;
  Phase phase_ = Phase::AwaitStart;
  std::vector<std::uint8_t> block_;
  std::size_t overlong_ = 0;
  bool canPending_ = false;
  std::vector<std::uint8_t> transfer_;    // data of the blocks accepted so far
  std::int64_t accepted_ = 0;             // blocks accepted in this transfer
  std::int64_t rejectionsInRow_ = 0;      // of the block rejected forever
  std::map<std::int64_t, int> injected_;  // position: times rejected on purpose so far
  std::mt19937 noise_;
  bool verdictDue_ = false;  // a block ended in this chunk and is judged after it
  std::optional<std::chrono::microseconds> transferStart_;  // first byte of the first block
  std::vector<std::uint8_t> image_;

  DelayQueue queue_;
  Timer startRequestTimer_;
  Timer byteTimer_;
  Timer quietTimer_;
  Timer blockWaitTimer_;
  Timer idleTimer_;
  Timer hostGoneTimer_;
};

}  // namespace movrand::sim

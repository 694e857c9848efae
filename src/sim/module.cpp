#include "sim/module.h"

#include <algorithm>
#include <fstream>

#include "platform/text.h"

namespace movrand::sim {
namespace {

constexpr std::size_t kMaxModelLength = 20;
constexpr std::size_t kMaxVersionWords = 8;
constexpr std::size_t kMaxNumberDigits = 9;
constexpr Milliseconds kMaxConfiguredDelay{3'600'000};

bool IsKapModel(std::string_view model) {
  for (const char* name : {"KAP41", "KAP42", "DOV41", "DOV42"}) {
    if (EqualsIgnoringCase(model, name)) return true;
  }
  return false;
}

// A field of the version reply or the model name: printable, and none of the characters that
// frame an NMEA sentence or separate its fields and words.
bool IsPlainWord(std::string_view word) {
  if (word.empty()) return false;
  return std::all_of(word.begin(), word.end(), [](char c) {
    return c > 0x20 && c < 0x7F && c != ',' && c != '*' && c != '$';
  });
}

// A BINR version text ends at its zero byte; anything else may stand in it, line feeds and
// terminal controls included, as a broken or hostile module would send them.
bool IsZeroTerminable(std::string_view text) {
  return text.find('\0') == std::string_view::npos;
}

bool ParseDecimal(std::string_view text, std::uint32_t& value) {
  if (text.empty() || text.size() > kMaxNumberDigits) return false;
  std::uint32_t result = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    result = result * 10 + static_cast<std::uint32_t>(c - '0');
  }
  value = result;
  return true;
}

bool IsSupportedRate(std::uint32_t rate) {
  return std::find(std::begin(kSupportedRates), std::end(kSupportedRates), rate) !=
         std::end(kSupportedRates);
}

std::string HexByte(std::uint8_t b) {
  std::string text = "0x";
  AppendHex(text, b, 2);
  return text;
}

std::string Describe(LineSettings s) {
  return std::to_string(s.baud) + (s.parity == Parity::Odd ? " 8O1" : " 8N1");
}

JsonObject SettingsJson(LineSettings s) {
  return JsonObject()
      .add("open", true)
      .add("baud", static_cast<std::int64_t>(s.baud))
      .add("parity", ParityName(s.parity));
}

std::vector<std::uint8_t> Bytes(std::string_view text) {
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

void Restart(Timer& timer) {
  timer.setEnabled(false);
  timer.setEnabled(true);
}

}  // namespace

bool IsRtkType(std::string_view model) {
  const std::string_view head = model.substr(0, 3);
  return head == "RTK" || head == "RTA" || head == "RTM";
}

char ExpectedLoaderVariant(std::string_view model, Protocol protocol) {
  if (IsKapModel(model)) return 'B';
  if (protocol == Protocol::Nmea &&
      (EqualsIgnoringCase(model, "RTK") || EqualsIgnoringCase(model, "RTA") ||
       model.substr(0, 3) == "RTM")) {
    return 'C';
  }
  return 'R';
}

void CompleteVersionTexts(SimConfig& config) {
  const std::string& m = config.model;
  const bool rtk = IsRtkType(m);
  auto words = [&](const char* version) {
    std::vector<std::string> w{"A1", m, version};
    if (rtk) {
      w.push_back("B1");
      w.push_back("0001");
    }
    return w;
  };
  if (config.versionWords.empty()) config.versionWords = words("0102");
  if (config.newVersionWords.empty()) config.newVersionWords = words("0103");
  // The host takes the model from the text at data byte 3 when characters 3 to 5 of the first
  // word name an RTK-type model, so such a model is put after two leading characters.
  const std::string lead = rtk ? "01" + m : m;
  if (config.binrText1.empty()) config.binrText1 = lead + " 0102";
  if (config.binrText2.empty()) config.binrText2 = "B1 0001";
  if (config.newBinrText1.empty()) config.newBinrText1 = lead + " 0103";
  if (config.newBinrText2.empty()) config.newBinrText2 = "B1 0001";
}

std::string CheckConfig(const SimConfig& config) {
  if (config.baud == 0) return "the rate must be above 0";
  if (config.model.size() > kMaxModelLength || !IsPlainWord(config.model)) {
    return "the model must be one word of at most 20 printable characters";
  }
  for (const auto* words : {&config.versionWords, &config.newVersionWords}) {
    if (words->empty() || words->size() > kMaxVersionWords) {
      return "a version reply needs 1 to 8 words";
    }
    std::string body = "POVER";
    for (const auto& word : *words) {
      if (!IsPlainWord(word)) return "version word \"" + word + "\" is not a plain word";
      body += "," + word;
    }
    if (FrameNmea(body).size() > kNmeaMaxLength) {
      return "the version reply would be longer than 82 characters";
    }
  }
  for (const auto* text : {&config.binrText1, &config.newBinrText1}) {
    if (text->size() > kVersionText1Max || !IsZeroTerminable(*text)) {
      return "the first BINR version text must be at most 24 bytes, none of them zero";
    }
  }
  for (const auto* text : {&config.binrText2, &config.newBinrText2}) {
    if (text->size() > kVersionText2Max || !IsZeroTerminable(*text)) {
      return "the second BINR version text must be at most 49 bytes, none of them zero";
    }
  }
  for (const auto position : config.nakBlocks) {
    if (position < 1) return "block positions start at 1";
  }
  if (config.nakForever < 0) return "block positions start at 1";
  for (const Milliseconds delay :
       {config.restartTime, config.answerDelay, config.blockAnswerDelay}) {
    if (delay.count() < 0 || delay > kMaxConfiguredDelay) {
      return "delays must lie between 0 and one hour";
    }
  }
  return {};
}

SimModule::SimModule(EventLoop& loop, SimConfig config)
    : loop_(loop),
      config_(std::move(config)),
      protocol_(config_.protocol),
      baud_(config_.baud),
      queue_(loop),
      startRequestTimer_(loop, kStartRequestInterval),
      byteTimer_(loop, kBlockByteTimeout),
      quietTimer_(loop, kLineQuietTime),
      blockWaitTimer_(loop, kBlockWaitTimeout),
      idleTimer_(loop, kLoaderIdleTimeout),
      hostGoneTimer_(loop, kHostGoneSilence) {
  CompleteVersionTexts(config_);
  noise_.seed(config_.faults.seed);
  startRequestTimer_.onTimer = [this] { startRequestTick(); };
  byteTimer_.onTimer = [this] { blockCutShort(); };
  quietTimer_.onTimer = [this] { lineQuietAgain(); };
  blockWaitTimer_.onTimer = [this] { blockWaitExpired(); };
  hostGoneTimer_.onTimer = [this] { hostGoneSilent(); };
  idleTimer_.onTimer = [this] { loaderIdleExpired(); };
}

SimModule::~SimModule() = default;

LineSettings SimModule::line() const {
  if (mode_ == Mode::Loader || mode_ == Mode::Restarting) return loaderLine_;
  return SettingsFor(protocol_, baud_);
}

void SimModule::powerOn() {
  protocol_ = config_.protocol;
  baud_ = config_.baud;
  mode_ = Mode::Running;
  resetReceivers();
  state("power-on", "at " + Describe(line()));
  if (config_.startInLoader) enterLoader(0, false);
}

// --- Events ----------------------------------------------------------------------------

void SimModule::log(const Event& event) {
  if (!eventSink_) return;
  JsonObject o;
  o.add("t_ms", static_cast<std::int64_t>(loop_.now().count()));
  if (config_.fixtureNumber > 0) o.add("module_number", config_.fixtureNumber);
  o.add("dir", event.dir);
  o.add("kind", event.kind);
  if (!event.bytes.empty()) {
    o.add("text", Printable(event.bytes));
    o.add("bytes", static_cast<std::int64_t>(event.bytes.size()));
  } else if (!event.text.empty()) {
    o.add("text", event.text);
  }
  if (event.block >= 0) o.add("block", event.block);
  if (event.position >= 0) o.add("position", event.position);
  if (event.hostKnown) {
    o.add("host", event.host ? SettingsJson(*event.host) : JsonObject().add("open", false));
  }
  const char* mode = "off";
  switch (mode_) {
    case Mode::Off:
      break;
    case Mode::Running:
      mode = ProtocolName(protocol_);
      break;
    case Mode::Loader:
      mode = "loader";
      break;
    case Mode::Restarting:
      mode = "restarting";
      break;
  }
  const LineSettings own = line();
  o.add("module", JsonObject()
                      .add("mode", mode)
                      .add("baud", static_cast<std::int64_t>(own.baud))
                      .add("parity", ParityName(own.parity)));
  if (!event.violation.empty()) o.add("violation", event.violation);
  if (!event.note.empty()) o.add("note", event.note);
  eventSink_(o.text());
}

void SimModule::violation(std::string kind, std::span<const std::uint8_t> bytes, std::string note) {
  ++stats_.violations[kind];
  Event e("rx", "violation", bytes);
  e.from(rxHost_);
  e.violation = std::move(kind);
  e.note = std::move(note);
  log(e);
}

void SimModule::state(std::string kind, std::string note) {
  Event e("state", std::move(kind));
  if (hostView_) e.from(hostView_());
  e.note = std::move(note);
  log(e);
}

// --- Sending ---------------------------------------------------------------------------

void SimModule::send(std::vector<std::uint8_t> bytes, std::string kind, std::string note) {
  if (config_.silent) return;
  ++stats_.sent[kind];
  Event e("tx", kind, bytes);
  if (hostView_) e.from(hostView_());
  e.note = std::move(note);
  log(e);
  if (output_) output_(bytes, line());
}

void SimModule::reply(std::vector<std::uint8_t> bytes, std::string kind,
                      std::optional<Milestone> milestone) {
  queue_.after(config_.answerDelay,
               [this, bytes = std::move(bytes), kind = std::move(kind), milestone]() mutable {
                 send(std::move(bytes), std::move(kind));
                 if (milestone && observer_) observer_(*milestone);
               });
}

void SimModule::reportLost(std::span<const std::uint8_t> bytes, LineSettings sentWith,
                           std::optional<LineSettings> host, std::string_view reason) {
  ++stats_.lost;
  Event e("lost", "lost", bytes);
  e.from(host);
  if (!reason.empty()) {
    e.note = "lost: " + std::string(reason);
  } else if (!host) {
    e.note = "lost: host port closed";
  } else if (host->baud != sentWith.baud) {
    e.note = "lost: host at wrong rate";
  } else {
    e.note = "lost: host at wrong parity";
  }
  log(e);
}

// --- Receiving -------------------------------------------------------------------------

void SimModule::receive(std::span<const std::uint8_t> bytes, LineSettings host) {
  if (bytes.empty() || mode_ == Mode::Off || stalled_) return;
  rxHost_ = host;
  if (mode_ == Mode::Restarting) {
    ++stats_.ignoredChunks;
    log(Event("rx", "ignored", bytes).from(host).withNote("restarting"));
    return;
  }
  const LineSettings own = line();
  if (host != own) {
    // On a real line these bits would arrive as garbage, framing and parity errors: nothing
    // of them is understood, and whatever was being received is spoilt.
    ++stats_.noiseChunks;
    stats_.noiseBytes += static_cast<std::int64_t>(bytes.size());
    log(Event("noise", "noise", bytes)
            .from(host)
            .withNote("sent at " + Describe(host) + ", module at " + Describe(own)));
    resetReceivers();
    if (mode_ == Mode::Loader &&
        (phase_ == Phase::InBlock || phase_ == Phase::Answering || phase_ == Phase::Purging)) {
      byteTimer_.setEnabled(false);
      phase_ = Phase::Purging;
      Restart(quietTimer_);
    }
    return;
  }

  std::size_t strays = 0;
  std::size_t index = 0;
  for (; index < bytes.size(); ++index) {
    const std::uint8_t b = bytes[index];
    if (mode_ == Mode::Loader) {
      loaderByte(b, strays);
      continue;
    }
    if (mode_ != Mode::Running) break;  // EOT started a restart: the rest is not heard
    const RxStep step = protocol_ == Protocol::Nmea ? nmeaRx_.push(b) : binrRx_.push(b);
    switch (step.kind) {
      case RxStep::Kind::Nothing:
        break;
      case RxStep::Kind::Stray:
        ++strays;
        break;
      case RxStep::Kind::Violation:
        violation(step.violation, bytes);
        break;
      case RxStep::Kind::Message:
        if (protocol_ == Protocol::Nmea) {
          handleNmea(nmeaRx_.body(), host);
        } else {
          handleBinr(binrRx_.id(), binrRx_.data(), host);
        }
        break;
    }
  }
  if (verdictDue_) {
    verdictDue_ = false;
    blockVerdict();
  }
  if (index < bytes.size()) {
    ++stats_.ignoredChunks;
    log(Event("rx", "ignored", bytes.subspan(index)).from(host).withNote("restarting"));
  }
  if (strays > 0) {
    violation("stray-bytes", bytes,
              std::to_string(strays) + " bytes outside any message were ignored");
  }
}

void SimModule::handleNmea(const std::string& body, LineSettings host) {
  const std::string tag = body.substr(0, body.find(','));
  const std::string kind = "nmea " + tag;
  ++stats_.seen[kind];
  const std::string framed = FrameNmea(body);
  Event e("rx", kind);
  e.from(host);
  const auto logged = [&](std::string note) {
    e.note = std::move(note);
    e.text = Printable(Bytes(framed));
    log(e);
  };
  if (config_.silent) return logged("not answered: silent");

  if (body == "POVER") {
    logged({});
    reply(nmeaVersionReply(), "nmea version", Milestone::VersionAnswered);
    return;
  }
  if (tag == "PORZA") {
    logged({});
    // Exactly "PORZA,port,rate,protocol" with plain decimal numbers.
    std::vector<std::string_view> fields;
    std::string_view rest(body);
    for (std::size_t comma; (comma = rest.find(',')) != std::string_view::npos;) {
      fields.push_back(rest.substr(0, comma));
      rest.remove_prefix(comma + 1);
    }
    fields.push_back(rest);
    std::uint32_t port = 0, rate = 0, code = 0;
    if (fields.size() != 4 || !ParseDecimal(fields[1], port) || !ParseDecimal(fields[2], rate) ||
        !ParseDecimal(fields[3], code)) {
      violation("rate-command-malformed", Bytes(framed));
      return;
    }
    if (port != 0 || code != kNmeaProtocolCode || !IsSupportedRate(rate)) {
      violation("rate-command-unsupported", Bytes(framed),
                "port 0, a supported rate and protocol 1 are required");
      return;
    }
    confirmRate(Bytes(FrameNmea("PORZA,0," + std::to_string(rate) + "," +
                                std::to_string(kNmeaProtocolCode))),
                "nmea rate confirmation", rate);
    return;
  }
  if (tag == "POPRL") {
    logged({});
    if (body == "POPRL,B" || body == "POPRL,C" || body == "POPRL,R") {
      enterLoader(body.back(), true);
    } else {
      violation("loader-command-malformed", Bytes(framed));
    }
    return;
  }
  logged("ignored: not understood");
}

void SimModule::handleBinr(std::uint8_t id, const std::vector<std::uint8_t>& data,
                           LineSettings host) {
  const std::string kind = "binr " + HexByte(id);
  ++stats_.seen[kind];
  Event e("rx", kind, data);
  e.from(host);
  if (data.empty()) e.text = "(no data)";
  if (config_.silent) {
    e.note = "not answered: silent";
    log(e);
    return;
  }
  const bool known =
      id == kIdProbe || id == kIdVersionRequest || id == kIdSetPort || id == kIdLoader;
  if (!known) e.note = "ignored: not understood";
  log(e);
  const std::vector<std::uint8_t> frame = FrameBinr(id, data, BinrEnding::Crc);
  switch (id) {
    case kIdProbe:
    case kIdVersionRequest:
      if (!data.empty()) {
        violation("binr-bad-length", frame, "no data expected");
        return;
      }
      if (id == kIdProbe) {
        reply(FrameBinr(kIdProbeAnswer, {}, config_.binrEnding), "binr 0x54");
      } else {
        reply(binrVersionReply(), "binr 0x70", Milestone::VersionAnswered);
      }
      return;
    case kIdSetPort: {
      if (data.size() != kSetPortSize) {
        violation("binr-bad-length", frame, "6 data bytes expected");
        return;
      }
      const std::uint32_t rate =
          static_cast<std::uint32_t>(data[1]) | static_cast<std::uint32_t>(data[2]) << 8 |
          static_cast<std::uint32_t>(data[3]) << 16 | static_cast<std::uint32_t>(data[4]) << 24;
      if (data[0] != 0 || data[5] != kBinrProtocolCode || !IsSupportedRate(rate)) {
        violation("rate-command-unsupported", frame,
                  "port 0, a supported rate and protocol 4 are required");
        return;
      }
      const std::uint8_t settings[kSetPortSize] = {0,
                                                   static_cast<std::uint8_t>(rate),
                                                   static_cast<std::uint8_t>(rate >> 8),
                                                   static_cast<std::uint8_t>(rate >> 16),
                                                   static_cast<std::uint8_t>(rate >> 24),
                                                   kBinrProtocolCode};
      confirmRate(FrameBinr(kIdPortSettings, settings, config_.binrEnding), "binr 0x50", rate);
      return;
    }
    case kIdLoader: {
      const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
      if (text == "RELOAD_B" || text == "RELOAD_R") {
        enterLoader(text.back(), true);
      } else {
        violation("loader-command-malformed", frame);
      }
      return;
    }
    default:
      return;
  }
}

void SimModule::confirmRate(std::vector<std::uint8_t> confirmation, std::string kind,
                            std::uint32_t rate) {
  queue_.after(config_.answerDelay, [this, confirmation = std::move(confirmation),
                                     kind = std::move(kind), rate]() mutable {
    // The confirmation goes out at the old rate; the switch follows once its last bit is out.
    const auto onWire = CeilMilliseconds(TransmissionTime(confirmation.size(), line()));
    send(std::move(confirmation), std::move(kind));
    queue_.after(onWire, [this, rate] {
      baud_ = rate;
      resetReceivers();
      if (config_.faults.silentAfterRateChange) config_.silent = true;
      state("rate-switched", "now at " + Describe(line()));
    });
  });
}

std::vector<std::uint8_t> SimModule::nmeaVersionReply() const {
  std::string body = "POVER";
  for (const auto& word : firmwareLoaded_ ? config_.newVersionWords : config_.versionWords) {
    body += "," + word;
  }
  return Bytes(FrameNmea(body));
}

std::vector<std::uint8_t> SimModule::binrVersionReply() const {
  std::vector<std::uint8_t> info(kVersionInfoSize, 0);
  const std::string& text1 = firmwareLoaded_ ? config_.newBinrText1 : config_.binrText1;
  const std::string& text2 = firmwareLoaded_ ? config_.newBinrText2 : config_.binrText2;
  // CheckConfig keeps both texts short enough to end with a zero inside their fields.
  std::copy_n(text1.begin(), std::min(text1.size(), kVersionText1Max),
              info.begin() + kVersionText1At);
  std::copy_n(text2.begin(), std::min(text2.size(), kVersionText2Max),
              info.begin() + kVersionText2At);
  return FrameBinr(kIdVersionInfo, info, config_.binrEnding);
}

// --- Loader timers ---------------------------------------------------------------------

// Asks for a transfer with "C" for as long as none has begun, now and then after a few stray
// letters when the noise fault is on.
void SimModule::startRequestTick() {
  if (mode_ != Mode::Loader || phase_ != Phase::AwaitStart) {
    startRequestTimer_.setEnabled(false);
    return;
  }
  if (config_.faults.noisePercent > 0 &&
      static_cast<int>(noise_() % 100) < config_.faults.noisePercent) {
    std::vector<std::uint8_t> stray(1 + noise_() % 6);
    for (auto& b : stray) b = static_cast<std::uint8_t>('a' + noise_() % 26);
    send(std::move(stray), "noise");
  }
  send({kStartRequest}, "xmodem C");
}

// The host went silent inside a block: what came of it is too short, and is refused.
void SimModule::blockCutShort() {
  byteTimer_.setEnabled(false);
  if (mode_ != Mode::Loader || phase_ != Phase::InBlock) return;
  rxHost_ = line();
  violation("xmodem-short-block", block_,
            std::to_string(block_.size()) + " of 133 bytes, then silence");
  nak("short block");
}

// The line has been quiet since a garbled block: the host may send it again.
void SimModule::lineQuietAgain() {
  quietTimer_.setEnabled(false);
  if (mode_ == Mode::Loader && phase_ == Phase::Purging) nak("after a garbled block");
}

// No block came after the last answer: the answer may have been lost, so it is asked again.
void SimModule::blockWaitExpired() {
  if (mode_ == Mode::Loader && phase_ == Phase::AwaitBlock) {
    nak("no block within the wait time");
  } else {
    blockWaitTimer_.setEnabled(false);
  }
}

// A transfer under way heard nothing for long: its host is gone, and a new one starts afresh.
void SimModule::hostGoneSilent() {
  hostGoneTimer_.setEnabled(false);
  if (mode_ != Mode::Loader || (phase_ == Phase::AwaitStart && accepted_ == 0)) return;
  state("host-gone", "nothing from the host for " + std::to_string(kHostGoneSilence.count()) +
                         " ms after " + std::to_string(accepted_) +
                         " blocks: asking for a new transfer");
  restartTransfer();
}

// The loader accepted nothing for a minute: the module goes back to the firmware it had.
void SimModule::loaderIdleExpired() {
  idleTimer_.setEnabled(false);
  if (mode_ != Mode::Loader) return;
  state("loader-timed-out", "no block accepted for 60 s: back to the firmware it had");
  beginRestart();
}

// --- Loader ----------------------------------------------------------------------------

void SimModule::enterLoader(char variant, bool checkVariant) {
  if (checkVariant) {
    const char expected = ExpectedLoaderVariant(config_.model, protocol_);
    if (variant != expected) {
      violation("loader-variant-mismatch", {},
                std::string("model ") + config_.model + " expects variant " + expected + ", got " +
                    variant);
    }
  }
  queue_.clear();  // replies still pending are not sent by a module that went to its loader
  resetReceivers();
  // The loader keeps the rate and parity the link had when it was entered.
  loaderLine_ = line();
  mode_ = Mode::Loader;
  restartTransfer();
  Restart(idleTimer_);
  state("loader-entered", (variant ? std::string("variant ") + variant + ", " : std::string()) +
                              "at " + Describe(loaderLine_));
}

void SimModule::restartTransfer() {
  stopLoaderTimers();
  phase_ = Phase::AwaitStart;
  block_.clear();
  overlong_ = 0;
  canPending_ = false;
  transfer_.clear();
  accepted_ = 0;
  rejectionsInRow_ = 0;
  injected_.clear();
  verdictDue_ = false;
  transferStart_.reset();
  startRequestTimer_.setEnabled(true);
}

void SimModule::stopLoaderTimers() {
  hostGoneTimer_.setEnabled(false);
  startRequestTimer_.setEnabled(false);
  byteTimer_.setEnabled(false);
  quietTimer_.setEnabled(false);
  blockWaitTimer_.setEnabled(false);
}

void SimModule::loaderByte(std::uint8_t byte, std::size_t& strays) {
  if (phase_ != Phase::AwaitStart || accepted_ > 0) Restart(hostGoneTimer_);
  switch (phase_) {
    case Phase::AwaitStart:
    case Phase::AwaitBlock:
      betweenBlocksByte(byte, strays);
      return;
    case Phase::InBlock:
      blockBodyByte(byte);
      return;
    case Phase::Answering:
      // The host sends the next block only after the answer: these bytes make this block
      // longer than 133.
      ++overlong_;
      return;
    case Phase::Purging:
      Restart(quietTimer_);
      return;
  }
}

// Outside a block only a block's start, EOT, a double CAN or a refused 1K start mean anything;
// all else is stray.
void SimModule::betweenBlocksByte(std::uint8_t byte, std::size_t& strays) {
  const bool wasCan = canPending_;
  canPending_ = false;
  switch (byte) {
    case kSoh:
      blockStart();
      return;
    case kEot:
      endOfTransmission();
      return;
    case kCan:
      if (wasCan) {
        cancelledBySender();
      } else {
        canPending_ = true;  // a single CAN may be line noise: it takes two
      }
      return;
    case kStx:
      longBlockRefused();
      return;
    default:
      ++strays;
      return;
  }
}

void SimModule::blockStart() {
  if (phase_ == Phase::AwaitStart && accepted_ == 0) transferStart_ = arrivalTime();
  startRequestTimer_.setEnabled(false);
  Restart(hostGoneTimer_);
  blockWaitTimer_.setEnabled(false);
  block_.assign(1, kSoh);
  phase_ = Phase::InBlock;
  Restart(byteTimer_);
}

void SimModule::blockBodyByte(std::uint8_t byte) {
  block_.push_back(byte);
  if (block_.size() < kXmodemBlock) {
    Restart(byteTimer_);
    return;
  }
  byteTimer_.setEnabled(false);
  phase_ = Phase::Answering;
  overlong_ = 0;
  if (const auto late = config_.faults.lateAnswers.find(accepted_ + 1);
      late != config_.faults.lateAnswers.end()) {
    queue_.after(config_.blockAnswerDelay + late->second, [this] { blockVerdict(); });
  } else if (config_.blockAnswerDelay.count() == 0) {
    verdictDue_ = true;  // judged at the end of this chunk, its answer sent at once
  } else {
    queue_.after(config_.blockAnswerDelay, [this] { blockVerdict(); });
  }
}

void SimModule::endOfTransmission() {
  const std::uint8_t eot[] = {kEot};
  if (accepted_ == 0) {
    violation("xmodem-eot-before-data", eot, "no block has been accepted");
    if (phase_ == Phase::AwaitBlock) nak("EOT before any block");
    return;
  }
  ++stats_.seen["xmodem EOT"];
  if (transferStart_) stats_.transferMicros = (arrivalTime() - *transferStart_).count();
  log(Event("rx", "xmodem EOT", eot).from(rxHost_));
  finishTransfer();
}

void SimModule::cancelledBySender() {
  ++stats_.seen["xmodem CAN"];
  const std::uint8_t can[] = {kCan, kCan};
  log(Event("rx", "xmodem CAN", can)
          .from(rxHost_)
          .withNote("the sender cancelled: waiting for a new transfer"));
  restartTransfer();
}

// A 1K block is refused whole: its bytes are let pass until the line is quiet, then NAKed.
void SimModule::longBlockRefused() {
  const std::uint8_t stx[] = {kStx};
  violation("xmodem-1k-block", stx, "only 128-byte blocks are taken");
  phase_ = Phase::Purging;
  startRequestTimer_.setEnabled(false);
  blockWaitTimer_.setEnabled(false);
  Restart(quietTimer_);
}

void SimModule::blockVerdict() {
  if (mode_ != Mode::Loader || phase_ != Phase::Answering) return;
  if (overlong_ > 0) {
    violation("xmodem-long-block", block_,
              std::to_string(overlong_) + " bytes more than a 133-byte block");
    phase_ = Phase::Purging;
    Restart(quietTimer_);
    return;
  }
  const BlockCheck check =
      CheckXmodemBlock(std::span<const std::uint8_t, kXmodemBlock>(block_.data(), kXmodemBlock));
  const std::int64_t position = accepted_ + 1;
  const std::uint8_t expected = static_cast<std::uint8_t>(position & 0xFF);
  ++stats_.seen["xmodem block"];
  Event e("rx", "xmodem block");
  e.from(rxHost_);
  e.text = "block " + std::to_string(check.number);
  e.block = check.number;
  if (!check.ok) {
    log(e);
    violation(check.violation, block_);
    nak(check.violation);
    return;
  }
  if (check.number == expected) {
    e.position = position;
    const int rejectedSoFar = injected_.contains(position) ? injected_.at(position) : 0;
    const auto burst = config_.faults.rejections.find(position);
    const bool forced = config_.nakForever == position ||
                        (config_.nakBlocks.contains(position) && rejectedSoFar == 0) ||
                        (burst != config_.faults.rejections.end() && rejectedSoFar < burst->second);
    if (transfer_.size() + kXmodemData > kImageCapacity) {
      log(e);
      violation("image-too-large", {}, "the flash holds 1 MiB");
      nak("image too large");
    } else if (forced) {
      e.note = "rejected as ordered";
      log(e);
      ++injected_[position];
      ++stats_.injectedNaks;
      const bool forever = config_.nakForever == position;
      if (forever) ++rejectionsInRow_;
      nak("rejected as ordered");
      if (forever && observer_) observer_(Milestone::ForcedRejection);
    } else {
      log(e);
      transfer_.insert(transfer_.end(), block_.begin() + 3, block_.begin() + 3 + kXmodemData);
      ++accepted_;
      ++stats_.blocksAccepted;
      if (accepted_ == 1) ++stats_.transfersStarted;
      Restart(idleTimer_);
      ack();
      if (config_.faults.stallAfter == position) stall();
    }
    return;
  }
  if (accepted_ > 0 && check.number == static_cast<std::uint8_t>(accepted_ & 0xFF)) {
    // Our ACK of it was lost: acknowledge again, keep the copy already stored.
    e.position = accepted_;
    e.note = "repeated block, not stored again";
    log(e);
    ++stats_.blocksRepeated;
    ack("repeated block");
    return;
  }
  log(e);
  violation("xmodem-wrong-block-number", block_, "expected block " + std::to_string(expected));
  nak("wrong block number");
}

void SimModule::ack(std::string note) {
  ++stats_.acksSent;
  rejectionsInRow_ = 0;
  phase_ = Phase::AwaitBlock;
  Restart(blockWaitTimer_);
  Restart(hostGoneTimer_);
  send({kAck}, "xmodem ACK", std::move(note));
}

void SimModule::stall() {
  stopLoaderTimers();
  idleTimer_.setEnabled(false);
  queue_.clear();
  const std::vector<std::uint8_t> burst(kStallAcks, kAck);
  stats_.acksSent += static_cast<std::int64_t>(burst.size());
  send(burst, "xmodem ACK burst");
  stalled_ = true;
  state("stalled", "reads nothing more after " + std::to_string(burst.size()) + " ACKs");
  if (stopReading_) stopReading_();
}

void SimModule::nak(std::string note) {
  ++stats_.naksSent;
  phase_ = Phase::AwaitBlock;
  Restart(blockWaitTimer_);
  Restart(hostGoneTimer_);
  // Why it refused goes with the NAK into the events, for the reader of a failed run.
  send({kNak}, "xmodem NAK", std::move(note));
}

void SimModule::finishTransfer() {
  image_ = std::move(transfer_);
  transfer_.clear();
  firmwareLoaded_ = true;
  stats_.imageBytes = static_cast<std::int64_t>(image_.size());
  ++stats_.imagesWritten;
  if (!config_.imageOut.empty()) {
    if (writeImageFile()) {
      state("image-written", std::to_string(image_.size()) + " bytes to " + config_.imageOut);
    } else {
      state("image-write-failed", "cannot write " + config_.imageOut);
    }
  }
  leaveLoader();
  queue_.after(config_.blockAnswerDelay, [this] {
    ++stats_.acksSent;
    send({kAck}, "xmodem ACK");
    queue_.after(config_.restartTime, [this] { bootUp(); });
    if (observer_) observer_(Milestone::ImageRestart);
  });
  state("restarting", "image of " + std::to_string(image_.size()) + " bytes received");
}

void SimModule::beginRestart() {
  leaveLoader();
  queue_.after(config_.restartTime, [this] { bootUp(); });
}

// Whatever ends the loader's work, nothing of it may go on into the restart: no timer fires,
// no answer still queued goes out.
void SimModule::leaveLoader() {
  stopLoaderTimers();
  idleTimer_.setEnabled(false);
  mode_ = Mode::Restarting;
  queue_.clear();
}

void SimModule::bootUp() {
  protocol_ = config_.protocol;
  baud_ = config_.baud;
  mode_ = Mode::Running;
  resetReceivers();
  ++stats_.restarts;
  state("running",
        std::string(firmwareLoaded_ ? "new" : "old") + " firmware, at " + Describe(line()));
  if (observer_) observer_(Milestone::BackUp);
}

void SimModule::resetReceivers() {
  nmeaRx_.reset();
  binrRx_.reset();
}

std::chrono::microseconds SimModule::arrivalTime() const {
  if (arrivalClock_) return arrivalClock_();
  return std::chrono::duration_cast<std::chrono::microseconds>(loop_.now());
}

bool SimModule::writeImageFile() {
  std::ofstream out(config_.imageOut, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(reinterpret_cast<const char*>(image_.data()),
            static_cast<std::streamsize>(image_.size()));
  out.close();
  return static_cast<bool>(out);
}

}  // namespace movrand::sim

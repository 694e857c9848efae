// The module's side of the wire formats: strict receivers for what the host sends and the
// framing of what the module sends back.
//
// The host's own collectors accept anything that looks roughly right; the module does not.
// Every NMEA sentence must carry a correct "*hh" checksum and end in CR LF within the
// 82-character limit of the standard; every BINR frame must be correctly stuffed and end in
// DLE 0xFF, CRC low, CRC high, DLE ETX with a correct CRC-16; every XMODEM block must be 133
// bytes with matching number, complement and CRC. A receiver reports each departure as a
// named violation and drops the message, so a test can tell exactly what the host got wrong.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace movrand::sim {

// ---- The wire, as the module knows it: every constant of the formats in one place ---------
// The module keeps its own account of the wire rather than the host's protocol headers, so a
// number the host gets wrong shows as a violation here instead of being agreed with.

// BINR framing bytes.
inline constexpr std::uint8_t kDle = 0x10;          // frame start, escape, trailer start
inline constexpr std::uint8_t kEtx = 0x03;          // after DLE: frame end
inline constexpr std::uint8_t kCrcMark = 0xFF;      // after DLE: the two CRC bytes follow
inline constexpr std::size_t kBinrMaxFrame = 1024;  // id and data bytes, unstuffed

// BINR message ids the module knows.
inline constexpr std::uint8_t kIdLoader = 0x01;   // host: loader entry, "RELOAD_B"/"RELOAD_R"
inline constexpr std::uint8_t kIdSetPort = 0x0B;  // host: port number, rate (LE32), protocol
inline constexpr std::uint8_t kIdVersionRequest = 0x1B;  // host: software version request
inline constexpr std::uint8_t kIdProbe = 0x26;           // host: are you there?
inline constexpr std::uint8_t kIdPortSettings = 0x50;    // module: the port settings now in force
inline constexpr std::uint8_t kIdProbeAnswer = 0x54;     // module: answer to the probe
inline constexpr std::uint8_t kIdVersionInfo = 0x70;     // module: 76 bytes of version info
inline constexpr std::size_t kSetPortSize = 6;           // 0x0B and 0x50: port, rate LE32, protocol

// Version info of the BINR version reply 0x70: 76 data bytes, texts at 1 and 26.
inline constexpr std::size_t kVersionInfoSize = 76;
inline constexpr std::size_t kVersionText1At = 1;
inline constexpr std::size_t kVersionText2At = 26;
inline constexpr std::size_t kVersionText1Max = kVersionText2At - kVersionText1At - 1;   // 24
inline constexpr std::size_t kVersionText2Max = kVersionInfoSize - kVersionText2At - 1;  // 49

// NMEA protocol code of the rate command's last field, BINR protocol code of message 0x0B.
inline constexpr int kNmeaProtocolCode = 1;
inline constexpr std::uint8_t kBinrProtocolCode = 4;

// NMEA sentences.
inline constexpr std::size_t kNmeaMaxLength = 82;  // "$" to LF inclusive

// XMODEM control bytes.
inline constexpr std::uint8_t kSoh = 0x01;           // first byte of a 128-byte block
inline constexpr std::uint8_t kStx = 0x02;           // first byte of a 1024-byte block (refused)
inline constexpr std::uint8_t kEot = 0x04;           // sender: end of transmission
inline constexpr std::uint8_t kAck = 0x06;           // receiver: block accepted
inline constexpr std::uint8_t kNak = 0x15;           // receiver: block rejected, send again
inline constexpr std::uint8_t kCan = 0x18;           // sender: two in a row cancel
inline constexpr std::uint8_t kStartRequest = 0x43;  // "C": receiver wants CRC blocks
inline constexpr std::size_t kXmodemData = 128;      // data bytes per block
inline constexpr std::size_t kXmodemBlock = 133;     // SOH, number, complement, data, CRC

// The CRC-16 of BINR frames and XMODEM blocks (polynomial 0x1021, initial value 0, most
// significant bit first), computed bit by bit.
std::uint16_t Crc16(std::uint16_t crc, std::uint8_t byte);

// What one byte did to a receiver.
struct RxStep {
  enum class Kind {
    Nothing,    // the byte was taken; nothing has ended yet
    Message,    // a well-formed message has just ended
    Violation,  // a malformed message has just been dropped (`violation` says why)
    Stray,      // the byte stood outside any message and was ignored
  };
  Kind kind = Kind::Nothing;
  const char* violation = "";
};

class StrictNmeaReceiver {
 public:
  RxStep push(std::uint8_t byte);
  // After a Message: the text between "$" and "*" (for "$POVER*5E" that is POVER).
  const std::string& body() const { return body_; }
  // The raw text of the last sentence, ended or dropped, as far as it was received.
  const std::string& raw() const { return raw_; }
  void reset();

 private:
  enum class State { Idle, Body, Cr, Discard };
  RxStep startOver(const char* violation, std::uint8_t byte);
  RxStep finish();

  State state_ = State::Idle;
  std::string text_;  // from "$", without CR LF
  std::string body_;
  std::string raw_;
};

class StrictBinrReceiver {
 public:
  RxStep push(std::uint8_t byte);
  // After a Message: the frame's id and unstuffed data.
  std::uint8_t id() const { return id_; }
  const std::vector<std::uint8_t>& data() const { return data_; }
  void reset();

 private:
  enum class State {
    Idle,
    Start,
    Body,
    BodyDle,
    CrcLow,
    CrcHigh,
    EndDle,
    EndEtx,
    Discard,
    DiscardDle
  };
  RxStep drop(const char* violation);

  State state_ = State::Idle;
  std::uint8_t id_ = 0;
  std::vector<std::uint8_t> data_;
  std::uint16_t crc_ = 0;  // over id and data as they went on the wire
  std::uint16_t wireCrc_ = 0;
};

// The verdict on one complete 133-byte XMODEM block.
struct BlockCheck {
  bool ok = false;
  std::uint8_t number = 0;
  const char* violation = "";
};
BlockCheck CheckXmodemBlock(std::span<const std::uint8_t, kXmodemBlock> block);

// The NMEA checksum: XOR of every character between "$" and "*".
std::uint8_t NmeaChecksum(std::string_view body);
// "$" + body + "*hh" CR LF, the checksum in upper-case hex.
std::string FrameNmea(std::string_view body);

// How the module ends the BINR frames it sends.
enum class BinrEnding {
  DleEtx,  // DLE ETX right after the data
  Crc,     // DLE 0xFF, CRC low, CRC high, DLE ETX (as the host sends)
};
// DLE, id, stuffed data, ending. The CRC covers id and data as stuffed on the wire.
std::vector<std::uint8_t> FrameBinr(std::uint8_t id, std::span<const std::uint8_t> data,
                                    BinrEnding ending);

// Printable rendering of raw bytes for the events file: printable ASCII as is, others as
// <hh>. At most `limit` bytes are shown; "..." marks the cut.
std::string Printable(std::span<const std::uint8_t> bytes, std::size_t limit = 96);

}  // namespace movrand::sim

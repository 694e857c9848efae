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

// BINR framing bytes.
inline constexpr std::uint8_t kDle = 0x10;      // frame start, escape, trailer start
inline constexpr std::uint8_t kEtx = 0x03;      // after DLE: frame end
inline constexpr std::uint8_t kCrcMark = 0xFF;  // after DLE: the two CRC bytes follow
// XMODEM control bytes.
inline constexpr std::uint8_t kSoh = 0x01;           // first byte of a 128-byte block
inline constexpr std::uint8_t kStx = 0x02;           // first byte of a 1024-byte block (refused)
inline constexpr std::uint8_t kEot = 0x04;           // sender: end of transmission
inline constexpr std::uint8_t kAck = 0x06;           // receiver: block accepted
inline constexpr std::uint8_t kNak = 0x15;           // receiver: block rejected, send again
inline constexpr std::uint8_t kCan = 0x18;           // sender: two in a row cancel
inline constexpr std::uint8_t kStartRequest = 0x43;  // "C": receiver wants CRC blocks

inline constexpr std::size_t kNmeaMaxLength = 82;   // "$" to LF inclusive
inline constexpr std::size_t kBinrMaxFrame = 1024;  // id and data bytes, unstuffed
inline constexpr std::size_t kXmodemData = 128;     // data bytes per block
inline constexpr std::size_t kXmodemBlock = 133;    // SOH, number, complement, data, CRC

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

// The NMEA sentences the program sends to the receiver module, and their framing.
//
// The six bodies are stored as the module reads them, starting with "$", without checksum and
// terminator. Framing appends "*", the XOR of every character after the first one written as
// two upper-case hex digits, and CR LF. `SendNmeaSentence` writes the framed sentence to the
// open port in one write; `FrameNmeaSentence` is the same framing without the port, for the
// simulated module and the tests. A body longer than 155 characters (or an empty one) is
// refused whole: nothing is framed or sent, never a cut-down sentence.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace movrand {

inline constexpr std::string_view SentenceVersionQuery = "$POVER";  // version query and probe
inline constexpr std::string_view SentenceRate115200 = "$PORZA,0,115200,1";  // port 0 to 115200
inline constexpr std::string_view SentenceRate230400 = "$PORZA,0,230400,1";  // port 0 to 230400
inline constexpr std::string_view SentenceLoaderR = "$POPRL,R";  // loader entry, variant R
inline constexpr std::string_view SentenceLoaderB = "$POPRL,B";  // loader entry, variant B
inline constexpr std::string_view SentenceLoaderC = "$POPRL,C";  // loader entry, variant C

inline constexpr std::size_t kNmeaFrameBufferSize = 160;
// "*", two hex digits, CR, LF.
inline constexpr std::size_t kNmeaFrameOverhead = 5;
inline constexpr std::size_t kMaxNmeaBodyLength = kNmeaFrameBufferSize - kNmeaFrameOverhead;

using NmeaFrameBuffer = std::array<std::uint8_t, kNmeaFrameBufferSize>;

// XOR of the body's characters after the first one (the checksum of the framed sentence).
std::uint8_t NmeaChecksum(std::string_view body);

// Frames `body` into `frame` and returns the frame length (body length + 5), or 0 when the
// body is empty or longer than `kMaxNmeaBodyLength`; `frame` is then left as it was.
std::size_t FrameNmeaSentence(std::string_view body, NmeaFrameBuffer& frame);
// The same, as a byte string; empty when the body is refused.
std::vector<std::uint8_t> FrameNmeaSentence(std::string_view body);

// Frames `body` and writes it to the open port in one write. Returns the count written: 0
// when no port is open (nothing is reported, as the port functions do) or the body is refused.
int SendNmeaSentence(std::string_view body);

}  // namespace movrand

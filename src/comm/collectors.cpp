#include "comm/collectors.h"

#include <algorithm>
#include <climits>
#include <cstdint>

namespace movrand {
namespace {

constexpr std::uint8_t kDle = 0x10;
constexpr std::uint8_t kEtx = 0x03;
constexpr std::uint8_t kTrailerMarker = 0xFF;  // DLE 0xFF: the CRC and DLE ETX follow
constexpr std::int32_t kCheckBytes = 2;        // the CRC-16 after DLE 0xFF, never stuffed

constexpr std::uint8_t kIdPortSettings = 0x50;  // "P": port, rate (32-bit LE), protocol
constexpr std::int32_t kPortSettingsLength = 1 + 6;
constexpr std::uint8_t kIdVersion = 0x70;  // "p": 76 bytes of version data
constexpr std::int32_t kVersionLength = 1 + 76;

constexpr char kStart = '$';
constexpr char kCr = 0x0D;
constexpr char kLf = 0x0A;
constexpr char kFieldSeparator = ',';
constexpr char kChecksumMark = '*';

// The sentence text in a caller's area: up to its terminating zero or the end of the area.
std::size_t sentenceLength(const NmeaSentence& sentence) {
  return static_cast<std::size_t>(std::find(sentence.begin(), sentence.end(), '\0') -
                                  sentence.begin());
}

bool isScanfSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads one "%d" at `at` within `text[0..length)`: blanks, an optional sign, then digits.
// Returns false (and leaves `at`, `value` as they were) when no integer can be read or it
// does not fit an int.
bool readInt(const char* text, std::size_t length, std::size_t& at, int& value) {
  std::size_t i = at;
  while (i < length && isScanfSpace(text[i])) ++i;
  bool negative = false;
  if (i < length && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  const std::size_t firstDigit = i;
  const std::int64_t limit = negative ? -static_cast<std::int64_t>(INT_MIN) : INT_MAX;
  std::int64_t magnitude = 0;
  for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i) {
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > limit) return false;
  }
  if (i == firstDigit) return false;
  value = static_cast<int>(negative ? -magnitude : magnitude);
  at = i;
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// BinrCollector

void BinrCollector::Clear() {
  Length = 0;
  DlePending = false;
  InPacket = false;
  CheckBytesPending = 0;
}

int BinrCollector::Push(std::uint8_t byte) {
  if (CheckBytesPending > 0) {
    --CheckBytesPending;
    return 0;
  }
  // A DLE followed by anything but ETX, DLE or the trailer marker starts a packet; this byte
  // is its identifier.
  if (!InPacket && DlePending && byte != kEtx && byte != kDle && byte != kTrailerMarker) {
    DlePending = false;
    InPacket = true;
    Length = 0;
  }
  // DLE ETX ends a packet, and so does DLE 0xFF: the two CRC bytes and the DLE ETX after it
  // arrive outside a packet and are ignored. The CRC bytes are skipped unread, since a CRC
  // byte 0x10 taken for a DLE would turn the next byte into a phantom packet (with id 0x50,
  // a rate confirmation that never came).
  if (InPacket && DlePending && (byte == kEtx || byte == kTrailerMarker)) {
    InPacket = false;
    DlePending = false;
    if (byte == kTrailerMarker) CheckBytesPending = kCheckBytes;
    decode();
    return Buffer[0];
  }
  if (byte == kDle) {
    if (!DlePending) {
      DlePending = true;
      return 0;
    }
    DlePending = false;  // a doubled DLE is one 0x10 data byte
  } else if (DlePending) {
    DlePending = false;  // a lone DLE inside a packet is dropped; the byte is kept
  }
  if (!InPacket) return 0;
  Buffer[static_cast<std::size_t>(Length++)] = byte;
  if (Length >= kMaxPacketLength) {
    InPacket = false;
    DlePending = false;
    return kPacketDropped;
  }
  return 0;
}

void BinrCollector::decode() {
  if (Buffer[0] == kIdPortSettings && Length == kPortSettingsLength) {
    Port = Buffer[1];
    // Sent little-endian whatever the host's order.
    const std::uint32_t raw =
        static_cast<std::uint32_t>(Buffer[2]) | static_cast<std::uint32_t>(Buffer[3]) << 8 |
        static_cast<std::uint32_t>(Buffer[4]) << 16 | static_cast<std::uint32_t>(Buffer[5]) << 24;
    Baud = static_cast<std::int32_t>(raw);
    Protocol = Buffer[6];
  } else if (Buffer[0] == kIdVersion && Length == kVersionLength) {
    std::copy_n(Buffer.begin() + 1, VersionInfo.size(), VersionInfo.begin());
  }
}

// ---------------------------------------------------------------------------------------
// NmeaCollector

void NmeaCollector::Clear() {
  Position = 0;
  InSentence = false;
  CrSeen = false;
}

int NmeaCollector::Push(char ch, NmeaSentence& sentence) {
  if (!InSentence && !CrSeen && ch == kStart) {
    InSentence = true;
    Position = 0;
    store(ch);
    return 0;
  }
  if (InSentence && !CrSeen && ch == kCr) {
    CrSeen = true;
    return 0;
  }
  if (InSentence && CrSeen && ch == kLf) {
    const std::size_t length = Position;
    InSentence = false;
    CrSeen = false;
    Position = 0;
    // Longer than the caller's area: dropped whole rather than cut short.
    if (length > kMaxSentenceLength) return kSentenceDiscarded;
    sentence.fill('\0');
    std::copy_n(Buffer.begin(), length, sentence.begin());
    return kSentenceComplete;
  }
  if (InSentence && !CrSeen && ch == kStart) {
    Position = 0;
    store(ch);
    return kSentenceDiscarded;
  }
  if (InSentence && CrSeen && ch != kStart) {
    InSentence = false;
    CrSeen = false;
    Position = 0;
    return kSentenceDiscarded;
  }
  // Too long for the collector: dropped, and the rest is ignored until the next "$".
  if (Position >= Buffer.size()) {
    InSentence = false;
    CrSeen = false;
    Position = 0;
    return 0;
  }
  // A "$" right after the CR lands here too: it is stored after the text with the CR still
  // counted, so an LF completes the sentence with that "$" at its end.
  if (InSentence) store(ch);
  return 0;
}

void NmeaCollector::FieldsToWords(const NmeaSentence& sentence, NmeaWords& words) {
  const std::size_t length = sentenceLength(sentence);
  const char* end = sentence.data() + length;
  const char* from = std::find(sentence.data(), end, kFieldSeparator);
  if (from == end) return;
  std::size_t out = 0;
  for (const char* p = from + 1; p != end && *p != kChecksumMark && out < words.size(); ++p) {
    words[out++] = (*p == kFieldSeparator) ? ' ' : *p;
  }
}

int NmeaCollector::ReadThreeInts(const NmeaSentence& sentence, int& first, int& second,
                                 int& third) {
  const std::size_t length = sentenceLength(sentence);
  const char* text = sentence.data();
  const char* comma = std::find(text, text + length, kFieldSeparator);
  if (comma == text + length) return 0;
  std::size_t at = static_cast<std::size_t>(comma - text) + 1;
  int* targets[] = {&first, &second, &third};
  int read = 0;
  for (int* target : targets) {
    if (read > 0) {
      if (at >= length || text[at] != kFieldSeparator) break;
      ++at;
    }
    if (!readInt(text, length, at, *target)) break;
    ++read;
  }
  return read;
}

}  // namespace movrand

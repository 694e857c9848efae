// The two collectors that turn the received byte stream back into frames, one byte at a time.
//
// `BinrCollector` assembles DLE-framed BINR packets, removes the byte stuffing and decodes
// the two replies whose data the program needs (port settings 0x50, version 0x70).
// `NmeaCollector` assembles NMEA sentences from "$" to CR LF and picks fields out of a
// finished sentence. Both keep their state between chunks, since chunk boundaries depend only
// on timing, and neither verifies checksums. Every copy is bounded by the fixed size of the
// area it goes into: a packet that grows to 1024 bytes and a sentence that grows past 100
// characters are dropped, and a finished sentence too long for the caller's 83-byte area is
// dropped rather than cut short. Main thread only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace movrand {

class BinrCollector {
 public:
  static constexpr std::size_t kBufferSize = 2048;
  static constexpr std::int32_t kMaxPacketLength = 1024;  // identifier and unstuffed data
  static constexpr int kPacketDropped = -1;

  BinrCollector() { Clear(); }

  // Forgets the packet being assembled; the decoded results are kept.
  void Clear();
  // Consumes one received byte. Returns the identifier (0 to 255) of a packet that ended
  // with this byte, 0 while nothing ended, or -1 when 1024 bytes arrived without an end
  // (the packet is dropped; collection resumes at the next DLE and identifier).
  int Push(std::uint8_t byte);

  // Results, kept until the next well-formed packet of the same kind.
  std::uint8_t Port = 0;                       // 0x50 reply: the module's port number
  std::int32_t Baud = 0;                       // 0x50 reply: the port's rate (sent little-endian)
  std::uint8_t Protocol = 0;                   // 0x50 reply: the port's protocol code
  std::array<std::uint8_t, 76> VersionInfo{};  // 0x70 reply: its 76 data bytes

  // The packet being assembled, unstuffed: Buffer[0] is the identifier. Only the first
  // 1024 bytes are ever used.
  std::array<std::uint8_t, kBufferSize> Buffer{};
  std::int32_t Length = 0;
  bool DlePending = false;  // the previous byte was a DLE not yet paired
  bool InPacket = false;
  // Bytes still to come of the CRC after a DLE 0xFF ending. They are taken as they are:
  // a CRC byte 0x10 is no DLE and starts no packet of its own.
  std::int32_t CheckBytesPending = 0;

 private:
  void decode();
};

// The caller's area for a finished sentence: 82 characters and a terminating zero.
using NmeaSentence = std::array<char, 83>;
// The caller's area for the fields of a sentence (zero-filled by the caller).
using NmeaWords = std::array<char, 100>;

class NmeaCollector {
 public:
  static constexpr std::size_t kBufferSize = 100;
  static constexpr std::size_t kMaxSentenceLength = NmeaSentence{}.size() - 1;
  static constexpr int kSentenceComplete = 1;
  // A partial sentence was restarted by "$" or discarded (CR not followed by LF), or a
  // finished sentence was too long for the caller's area and was dropped.
  static constexpr int kSentenceDiscarded = -1;

  NmeaCollector() { Clear(); }

  void Clear();
  // Consumes one received character. Returns 1 when a sentence was completed and copied,
  // zero-padded, into `sentence` (from its "$" up to, not including, CR LF); -1 when a
  // partial sentence was restarted or discarded; 0 otherwise. A finished sentence of more
  // than 82 characters is dropped with -1 and `sentence` is left untouched.
  int Push(char ch, NmeaSentence& sentence);

  // Writes into `words` the characters after the first comma of `sentence` up to, not
  // including, the first "*" (or the end of the sentence), each comma turned into a blank.
  // Writes no terminator: the caller passes a zero-filled area. Nothing is written when the
  // sentence has no comma.
  static void FieldsToWords(const NmeaSentence& sentence, NmeaWords& words);

  // Reads up to three decimal integers written "first,second,third" after the first comma,
  // as the format "%d,%d,%d" reads them: blanks before a number are skipped, a sign is
  // allowed, and a comma must follow a number at once. Stops at the first integer it cannot
  // read; a number outside the range of int counts as unreadable. Returns how many were
  // read (0 to 3); the variables of integers not read keep their values.
  static int ReadThreeInts(const NmeaSentence& sentence, int& first, int& second, int& third);

  std::array<char, kBufferSize> Buffer{};  // the sentence so far, from "$", without CR LF
  std::uint32_t Position = 0;              // characters in Buffer
  bool InSentence = false;
  bool CrSeen = false;  // the CR has been seen; the LF is awaited

 private:
  void store(char ch) { Buffer[Position++] = ch; }
};

}  // namespace movrand

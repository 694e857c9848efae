// Feeds arbitrary received bytes to both collectors, and every sentence they complete to the
// field readers, checking that no state ever leaves its fixed-size area.
#include <cstddef>
#include <cstdint>

#include "comm/collectors.h"

namespace {

void check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using movrand::NmeaCollector;
  movrand::BinrCollector binr;
  NmeaCollector nmea;
  movrand::NmeaSentence sentence{};
  for (std::size_t i = 0; i < size; ++i) {
    const int id = binr.Push(data[i]);
    check(id >= -1 && id <= 255);
    check(binr.Length >= 0 && binr.Length <= movrand::BinrCollector::kMaxPacketLength);

    const int r = nmea.Push(static_cast<char>(data[i]), sentence);
    check(nmea.Position <= NmeaCollector::kBufferSize);
    if (r == NmeaCollector::kSentenceComplete) {
      check(sentence[0] == '$' && sentence.back() == '\0');
      movrand::NmeaWords words{};
      NmeaCollector::FieldsToWords(sentence, words);
      int a = 0, b = 0, c = 0;
      const int n = NmeaCollector::ReadThreeInts(sentence, a, b, c);
      check(n >= 0 && n <= 3);
    }
  }
  // The field readers on a raw area that may have no terminator at all.
  movrand::NmeaSentence raw{};
  for (std::size_t i = 0; i < size && i < raw.size(); ++i) raw[i] = static_cast<char>(data[i]);
  movrand::NmeaWords words{};
  NmeaCollector::FieldsToWords(raw, words);
  int a = 0, b = 0, c = 0;
  check(NmeaCollector::ReadThreeInts(raw, a, b, c) <= 3);
  return 0;
}

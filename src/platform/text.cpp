#include "platform/text.h"

#include <algorithm>

namespace movrand {

void AppendHex(std::string& out, std::uint32_t value, int digits, bool upper) {
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
    out += HexDigit(value >> shift, upper);
  }
}

std::string ToLowerAscii(std::string_view text) {
  std::string folded(text);
  for (char& c : folded) c = ToLowerAscii(c);
  return folded;
}

std::string ToUpperAscii(std::string_view text) {
  std::string folded(text);
  for (char& c : folded) c = ToUpperAscii(c);
  return folded;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return ToLowerAscii(x) == ToLowerAscii(y);
         });
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

bool LessIgnoringCase(std::string_view a, std::string_view b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return static_cast<unsigned char>(ToLowerAscii(x)) <
           static_cast<unsigned char>(ToLowerAscii(y));
  });
}

}  // namespace movrand

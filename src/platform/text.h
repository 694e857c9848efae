// Small text helpers the whole program shares: hexadecimal digits and the ASCII letter case.
//
// Every comparison that ignores case here folds ASCII letters only, whatever the locale: port
// names, device ids, settings keys and model words are ASCII, and a locale (which a toolkit may
// set) must not change which port or module a name matches.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace movrand {

inline constexpr std::string_view kHexUpper = "0123456789ABCDEF";
inline constexpr std::string_view kHexLower = "0123456789abcdef";

// The hexadecimal digit of the low four bits of `value`.
constexpr char HexDigit(std::uint32_t value, bool upper = true) {
  return (upper ? kHexUpper : kHexLower)[value & 0xF];
}
// Appends the low `digits` hexadecimal digits of `value`, the most significant first.
void AppendHex(std::string& out, std::uint32_t value, int digits, bool upper = true);

constexpr char ToLowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
constexpr char ToUpperAscii(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}
std::string ToLowerAscii(std::string_view text);
std::string ToUpperAscii(std::string_view text);

bool EqualsIgnoringCase(std::string_view a, std::string_view b);
bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix);
// The order of the texts' bytes (as unsigned values) with ASCII letters folded to lower case.
bool LessIgnoringCase(std::string_view a, std::string_view b);

}  // namespace movrand

#include "protocol/visible_text.h"

#include <array>
#include <cstdint>

#include "platform/text.h"

namespace movrand {
namespace {

constexpr unsigned char kDelete = 0x7F;

void AppendByte(std::string& out, unsigned char byte) {
  out += "\\x";
  AppendHex(out, byte, 2);
}

// Unicode's format characters (general category Cf) that steer how text is laid out, with the
// line and paragraph separators (which break a line where the program wrote none).
struct Range {
  char32_t first;
  char32_t last;
};
constexpr std::array<Range, 13> kFormatRanges{{
    {0x00AD, 0x00AD},    // soft hyphen
    {0x0600, 0x0605},    // Arabic number signs
    {0x061C, 0x061C},    // Arabic letter mark
    {0x06DD, 0x06DD},    // Arabic end of ayah
    {0x070F, 0x070F},    // Syriac abbreviation mark
    {0x180E, 0x180E},    // Mongolian vowel separator
    {0x200B, 0x200F},    // zero-width space, joiners, left-to-right and right-to-left marks
    {0x2028, 0x202E},    // line and paragraph separators, embeddings, pop, overrides
    {0x2060, 0x206F},    // word joiner, invisible operators, isolates, deprecated formats
    {0xFEFF, 0xFEFF},    // byte order mark, zero-width no-break space
    {0xFFF9, 0xFFFB},    // interlinear annotation
    {0x110BD, 0x110BD},  // Kaithi number sign
    {0xE0000, 0xE007F},  // tags
}};

// The length of the well-formed UTF-8 sequence at `text[at]` (2 to 4) and its code point, or
// 0 when the bytes there are not one.
std::size_t Utf8Sequence(std::string_view text, std::size_t at, char32_t& code) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  std::size_t length = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(at + i) & 0x3F);
  }
  const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
  const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
  if (overlong || surrogate || code > 0x10FFFF) return 0;
  return length;
}

}  // namespace

bool IsFormatCharacter(char32_t code) {
  for (const Range& range : kFormatRanges) {
    if (code >= range.first && code <= range.last) return true;
  }
  return false;
}

std::string VisibleText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b >= 0x20 && b < kDelete) {
      out += static_cast<char>(b);
      ++i;
    } else if (b < 0x80) {
      AppendByte(out, b);  // C0 controls and DEL
      ++i;
    } else if (char32_t code = 0; const std::size_t length = Utf8Sequence(text, i, code)) {
      if (code <= 0x9F) {
        // C1 controls: each of their bytes, as a terminal would otherwise take them.
        for (std::size_t k = 0; k < length; ++k)
          AppendByte(out, static_cast<unsigned char>(text[i + k]));
      } else if (IsFormatCharacter(code)) {
        out += code > 0xFFFF ? "\\U" : "\\u";
        AppendHex(out, code, code > 0xFFFF ? 8 : 4);
      } else {
        out.append(text.substr(i, length));
      }
      i += length;
    } else {
      AppendByte(out, b);
      ++i;
    }
  }
  return out;
}

}  // namespace movrand

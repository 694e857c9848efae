#include "platform/profile.h"

#include <cstdint>
#include <limits>
#include <system_error>

#include "platform/text.h"

namespace movrand {
namespace {

constexpr std::string_view kBlanks = " \t";
constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";  // a UTF-8 byte-order mark
constexpr std::string_view kNewFileLineEnd = "\r\n";

std::string_view Trim(std::string_view s) {
  const std::size_t first = s.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  const std::size_t last = s.find_last_not_of(kBlanks);
  return s.substr(first, last - first + 1);
}

bool IsQuote(char c) {
  return c == '"' || c == '\'';
}

bool HasQuotePair(std::string_view s) {
  return s.size() >= 2 && IsQuote(s.front()) && s.back() == s.front();
}

bool HasLineBreakOrZero(std::string_view s) {
  return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

struct Line {
  enum class Kind { Blank, Section, Key, Other };
  Kind kind = Kind::Other;
  std::string_view name;   // section or key name as written, trimmed
  std::string_view value;  // key lines: the value as written, trimmed
};

Line Classify(std::string_view content) {
  if (content.size() > kProfileMaxLineLength) return {};
  const std::string_view s = Trim(content);
  if (s.empty()) return {.kind = Line::Kind::Blank, .name = {}, .value = {}};
  if (s.front() == '[') {
    const std::size_t close = s.find(']');
    if (close == std::string_view::npos) return {};
    return {.kind = Line::Kind::Section, .name = Trim(s.substr(1, close - 1)), .value = {}};
  }
  if (s.front() == ';') return {};
  const std::size_t equals = s.find('=');
  if (equals == std::string_view::npos) return {};
  return {.kind = Line::Kind::Key,
          .name = Trim(s.substr(0, equals)),
          .value = Trim(s.substr(equals + 1))};
}

// Where a key is, or where it would go, in a profile text.
struct Location {
  bool sectionFound = false;
  // End of the last non-blank line of the section (before its line break): a new key goes here.
  std::size_t insertAt = 0;
  bool keyFound = false;
  std::size_t keyBegin = 0;  // the key line, without its line break
  std::size_t keyEnd = 0;
  std::string_view keyName;
  std::string_view value;
};

Location Locate(std::string_view text, std::string_view section, std::string_view key) {
  Location where;
  bool inSection = false;
  // The mark belongs to the file, not to its first line.
  std::size_t begin = text.starts_with(kUtf8Mark) ? kUtf8Mark.size() : 0;
  while (begin < text.size()) {
    const std::size_t newline = text.find('\n', begin);
    const std::size_t next = newline == std::string_view::npos ? text.size() : newline + 1;
    std::size_t end = newline == std::string_view::npos ? text.size() : newline;
    // CR LF ends a line as LF does; a CR elsewhere, even at the very end, is content.
    if (newline != std::string_view::npos && end > begin && text[end - 1] == '\r') --end;
    const Line line = Classify(text.substr(begin, end - begin));
    if (line.kind == Line::Kind::Section) {
      if (inSection) break;  // only the first section of the name counts
      if (EqualsIgnoringCase(line.name, section)) {
        inSection = true;
        where.sectionFound = true;
        where.insertAt = end;
      }
    } else if (inSection && line.kind != Line::Kind::Blank) {
      where.insertAt = end;
      if (line.kind == Line::Kind::Key && EqualsIgnoringCase(line.name, key)) {
        where.keyFound = true;
        where.keyBegin = begin;
        where.keyEnd = end;
        where.keyName = line.name;
        where.value = line.value;
        break;
      }
    }
    begin = next;
  }
  return where;
}

std::string_view LineEndOf(std::string_view text) {
  const std::size_t newline = text.find('\n');
  if (newline == std::string_view::npos) return kNewFileLineEnd;
  return (newline > 0 && text[newline - 1] == '\r') ? std::string_view("\r\n") : "\n";
}

// The line break to put at `at`: a CR just before it must stay content, so it cannot be
// allowed to become the first half of a CR LF.
std::string_view LineBreakAt(std::string_view text, std::size_t at, std::string_view lineEnd) {
  return (at > 0 && text[at - 1] == '\r') ? std::string_view("\r\n") : lineEnd;
}

// Quotes a value whose own blanks or quotes would otherwise be taken off when it is read.
std::string EncodeValue(std::string_view value) {
  const bool needsQuotes =
      !value.empty() &&
      (kBlanks.find(value.front()) != std::string_view::npos ||
       kBlanks.find(value.back()) != std::string_view::npos || HasQuotePair(value));
  if (!needsQuotes) return std::string(value);
  std::string quoted;
  quoted.reserve(value.size() + 2);
  quoted.append(1, '"').append(value).append(1, '"');
  return quoted;
}

int DigitValue(char c, int base) {
  int digit = 99;
  if (c >= '0' && c <= '9') digit = c - '0';
  if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
  if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
  return digit < base ? digit : -1;
}

}  // namespace

std::optional<std::string_view> FindProfileValue(std::string_view text, std::string_view section,
                                                 std::string_view key) {
  const Location where = Locate(text, section, key);
  if (!where.keyFound) return std::nullopt;
  std::string_view value = where.value;
  if (HasQuotePair(value)) value = value.substr(1, value.size() - 2);
  return value;
}

std::optional<int> ParseProfileInteger(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  int base = 10;
  if (text.starts_with('$')) {
    base = 16;
    text.remove_prefix(1);
  } else if (text.starts_with("0x") || text.starts_with("0X")) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;
  // One beyond the largest magnitude an int holds; checked after each digit, so no overflow.
  constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<int>::max()} + 1;
  std::int64_t magnitude = 0;
  for (const char c : text) {
    const int digit = DigitValue(c, base);
    if (digit < 0) return std::nullopt;
    magnitude = magnitude * base + digit;
    if (magnitude > kLimit) return std::nullopt;
  }
  const std::int64_t value = negative ? -magnitude : magnitude;
  if (value > std::numeric_limits<int>::max()) return std::nullopt;
  return static_cast<int>(value);
}

bool IsStorableProfileString(std::string_view value) {
  return value.size() <= kProfileMaxStringLength && !HasLineBreakOrZero(value);
}

bool IsValidProfileName(std::string_view section, std::string_view key) {
  const auto plain = [](std::string_view name) {
    return !name.empty() && !HasLineBreakOrZero(name) && Trim(name).size() == name.size() &&
           name.size() < kProfileMaxLineLength / 4;
  };
  return plain(section) && plain(key) && section.find(']') == std::string_view::npos &&
         key.find('=') == std::string_view::npos && key.front() != '[' && key.front() != ';';
}

std::string SetProfileValue(std::string_view text, std::string_view section, std::string_view key,
                            std::string_view value) {
  const Location where = Locate(text, section, key);
  const std::string_view lineEnd = LineEndOf(text);
  const std::string encoded = EncodeValue(value);
  std::string result(text);
  if (where.keyFound) {
    std::string line(where.keyName);
    line.append(1, '=').append(encoded);
    result.replace(where.keyBegin, where.keyEnd - where.keyBegin, line);
  } else if (where.sectionFound) {
    std::string line(LineBreakAt(text, where.insertAt, lineEnd));
    line.append(key).append(1, '=').append(encoded);
    result.insert(where.insertAt, line);
  } else {
    if (!result.empty() && result.back() != '\n') {
      result.append(LineBreakAt(text, text.size(), lineEnd));
    }
    result.append(1, '[').append(section).append(1, ']').append(lineEnd);
    result.append(key).append(1, '=').append(encoded).append(lineEnd);
  }
  return result;
}

bool ProfileFile::Exists() const {
  std::error_code ignored;
  return std::filesystem::exists(path_, ignored);
}

int ProfileFile::ReadInteger(std::string_view section, std::string_view key,
                             int defaultValue) const {
  std::string text;
  if (ReadWholeFile(path_, kProfileMaxFileSize, text) != FileReadResult::Read) {
    return defaultValue;
  }
  const std::optional<std::string_view> value = FindProfileValue(text, section, key);
  if (!value) return defaultValue;
  return ParseProfileInteger(*value).value_or(defaultValue);
}

std::string ProfileFile::ReadString(std::string_view section, std::string_view key,
                                    std::string_view defaultValue) const {
  std::string text;
  if (ReadWholeFile(path_, kProfileMaxFileSize, text) != FileReadResult::Read) {
    return std::string(defaultValue);
  }
  const std::optional<std::string_view> value = FindProfileValue(text, section, key);
  // A value too long to read whole is not cut to another one: it counts as missing.
  if (!value || !IsStorableProfileString(*value)) return std::string(defaultValue);
  return std::string(*value);
}

bool ProfileFile::WriteInteger(std::string_view section, std::string_view key, int value) {
  return WriteString(section, key, std::to_string(value));
}

bool ProfileFile::WriteString(std::string_view section, std::string_view key,
                              std::string_view value) {
  if (!IsValidProfileName(section, key) || !IsStorableProfileString(value)) return false;
  std::string text;
  switch (ReadWholeFile(path_, kProfileMaxFileSize, text)) {
    case FileReadResult::Read:
      break;
    case FileReadResult::Absent:
      text.clear();
      break;
    case FileReadResult::Failed:
      // What cannot be read cannot be kept: the file stays as it is.
      return false;
  }
  const std::string updated = SetProfileValue(text, section, key, value);
  if (updated.size() > kProfileMaxFileSize) return false;
  return ReplaceFileContent(path_, updated);
}

FileReadResult ReadAtMost(
    std::size_t maxSize, std::string& text,
    const std::function<std::optional<std::size_t>(char*, std::size_t)>& readSome) {
  // The size may change while reading: read up to one byte past the limit to notice.
  text.resize(maxSize + 1);
  std::size_t done = 0;
  while (done < text.size()) {
    const std::optional<std::size_t> got = readSome(text.data() + done, text.size() - done);
    if (!got) {
      text.clear();
      return FileReadResult::Failed;
    }
    if (*got == 0) break;
    done += *got;
  }
  if (done > maxSize) {
    text.clear();
    return FileReadResult::Failed;
  }
  text.resize(done);
  return FileReadResult::Read;
}

std::optional<std::filesystem::path> ReplacementTarget(const std::filesystem::path& path) {
  std::error_code error;
  if (!std::filesystem::is_symlink(path, error)) return path;
  std::filesystem::path target = std::filesystem::weakly_canonical(path, error);
  if (error) return std::nullopt;
  return target;
}

}  // namespace movrand

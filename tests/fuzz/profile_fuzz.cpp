// Feeds arbitrary bytes as a settings file to the profile reader and writer: every read stays
// inside the text, every integer read is one the writer would write back the same, and every
// write reads back as written while leaving the other keys as they were.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/profile.h"

namespace {

void check(bool condition) {
  if (!condition) __builtin_trap();
}

// The longest value the fuzzer writes: enough for quotes, blanks and '=' to matter.
constexpr std::size_t kValueBytes = 48;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace movrand;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  // The first bytes give the value to write, the rest is the file.
  const std::size_t valueLength = size == 0 ? 0 : std::min<std::size_t>(data[0], kValueBytes);
  std::string value(input.substr(std::min<std::size_t>(1, size), valueLength));
  for (char& c : value) {
    if (c == '\r' || c == '\n' || c == '\0') c = 'x';
  }
  const std::string_view text = input.substr(std::min(size, 1 + valueLength));

  for (const std::string_view key : {"Port", "Top", "FileName"}) {
    const std::optional<std::string_view> found = FindProfileValue(text, "Settings", key);
    if (!found) continue;
    check(found->empty() || (found->data() >= text.data() &&
                             found->data() + found->size() <= text.data() + text.size()));
    check(found->find('\n') == std::string_view::npos);
    check(found->size() <= kProfileMaxLineLength);
    if (const std::optional<int> number = ParseProfileInteger(*found)) {
      check(ParseProfileInteger(std::to_string(*number)) == number);
    }
  }

  check(IsStorableProfileString(value));
  const std::string updated = SetProfileValue(text, "Settings", "Port", value);
  check(FindProfileValue(updated, "SETTINGS", "port") == std::optional<std::string_view>(value));
  check(FindProfileValue(updated, "Settings", "Top") == FindProfileValue(text, "Settings", "Top"));
  check(FindProfileValue(updated, "Other", "Port") == FindProfileValue(text, "Other", "Port"));
  check(updated.size() <= text.size() + value.size() + 32);
  return 0;
}

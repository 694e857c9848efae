// Profile (INI) files with private-profile semantics: the settings file beside the program.
//
// A profile is text made of "[Section]" lines and "Key=Value" lines. Section and key names
// are compared without regard to ASCII case; the first section of a name and the first key
// of a name in it are the ones read and written. Blanks and tabs around names and values do
// not count, and one pair of matching quotes around a value is taken off. Lines starting with
// ';' are comments. Key lines before the first section belong to no section. A line ends with
// LF or CR LF; any other CR is part of the line.
//
// Reading never fails: a missing file, a file that cannot be read, a file larger than
// `kProfileMaxFileSize`, a missing key and a value that is not what was asked for all give the
// caller's default. Lines longer than `kProfileMaxLineLength` are never taken as a section or
// a key, and a string longer than `kProfileMaxStringLength` is not cut but counts as missing.
//
// Each write goes straight to the file: it reads the file again, changes one line (or adds
// the key at the end of its section, or the section at the end of the file) and leaves every
// other byte as it was, so other sections, keys, comments and their order survive, and so does
// content that is not text at all. The new content replaces the old in one step (a temporary
// file beside it, flushed to disk and renamed over it), so a crash or a power loss leaves
// either the old file or the new one. Where the folder takes no new file but the file itself
// is writable, the file is rewritten in place. A write that cannot be done leaves the file
// as it was and returns false; it never throws. Same behaviour and same bytes on Linux and
// Windows. Main thread only; nothing is kept between calls.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace movrand {

// A settings file is a few hundred bytes; anything beyond this is not ours to read or rewrite.
inline constexpr std::size_t kProfileMaxFileSize = 1u << 20;
// Longer lines are kept as they are but never read as a section or a key.
inline constexpr std::size_t kProfileMaxLineLength = 4096;
// The longest string value read back whole (a 2048-byte buffer with its terminating zero).
inline constexpr std::size_t kProfileMaxStringLength = 2047;

// ---- The text itself (no file involved) --------------------------------------------------------

// The value of `key` in `section`: trimmed, one pair of matching quotes taken off. Nothing when
// the section or the key is not there.
std::optional<std::string_view> FindProfileValue(std::string_view text, std::string_view section,
                                                 std::string_view key);

// An integer as profiles write it: decimal, or hexadecimal after "$", "0x" or "0X", with an
// optional sign in front, and within the range of a 32-bit int. Nothing for anything else
// (empty, blanks, trailing characters, out of range).
std::optional<int> ParseProfileInteger(std::string_view text);

// True when `value` can be written and read back exactly: no line break, no zero byte and at
// most `kProfileMaxStringLength` characters.
bool IsStorableProfileString(std::string_view value);

// True when `section` and `key` are names a profile line can carry: not empty, no line break,
// zero byte or surrounding blanks; a key without '=' and not starting with '[' or ';', a section
// without ']'.
bool IsValidProfileName(std::string_view section, std::string_view key);

// `text` with `key` in `section` set to `value` (valid names and a storable value, see above).
// An existing key line becomes "Key=Value" under the key's own spelling; a new key goes after
// the last non-blank line of the section; a new section goes at the end. Everything else is
// kept byte for byte. New lines end as the text's first line does (CR LF when it has none).
std::string SetProfileValue(std::string_view text, std::string_view section, std::string_view key,
                            std::string_view value);

// ---- A profile file ---------------------------------------------------------------------------

class ProfileFile {
 public:
  explicit ProfileFile(std::filesystem::path path) : path_(std::move(path)) {}

  const std::filesystem::path& path() const { return path_; }
  // Something exists at the path (a file that may or may not be readable).
  bool Exists() const;

  int ReadInteger(std::string_view section, std::string_view key, int defaultValue) const;
  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view defaultValue) const;

  // False, with the file unchanged, when the names are invalid, the value is not storable,
  // the file exists but cannot be read or would grow beyond `kProfileMaxFileSize`, or the new
  // content cannot be written.
  [[nodiscard]] bool WriteInteger(std::string_view section, std::string_view key, int value);
  [[nodiscard]] bool WriteString(std::string_view section, std::string_view key,
                                 std::string_view value);

 private:
  std::filesystem::path path_;
};

// ---- The operating system's half (one implementation per system) ------------------------------

enum class FileReadResult {
  Read,    // `text` holds the whole file
  Absent,  // nothing at the path, or a folder on the way is missing
  Failed,  // not a plain file, not readable, or larger than the limit
};

// Reads the whole plain file at `path` if it holds at most `maxSize` bytes. Never blocks on a
// pipe or a device.
FileReadResult ReadWholeFile(const std::filesystem::path& path, std::size_t maxSize,
                             std::string& text);

// Makes `content` the whole content of the plain file at `path`, creating it when absent: a
// temporary file beside it, flushed to disk and renamed over it, keeping the old file's
// permissions (and, on Linux, its owner where allowed). A symbolic link is followed, so the
// link stays a link. When the folder refuses the temporary file and the file exists, it is
// rewritten in place. A file that the user may not write (read-only) is left alone. False,
// with the old file as it was and no temporary file left behind, on failure.
bool ReplaceFileContent(const std::filesystem::path& path, std::string_view content);

// ---- What both systems' halves do alike ------------------------------------------------------

// Reads the rest of an open file into `text` through `readSome`, which reads at most the
// count it is given into the place it is given and says how many bytes it read (0 at the end
// of the file, nothing on an error). Read with the whole file in `text`; Failed with `text`
// empty on a read error or when the file has grown beyond `maxSize` since its size was checked.
FileReadResult ReadAtMost(
    std::size_t maxSize, std::string& text,
    const std::function<std::optional<std::size_t>(char*, std::size_t)>& readSome);

// The file that `ReplaceFileContent` writes: `path` itself, or where its symbolic link leads,
// so that the link stays a link. Nothing when the link cannot be followed.
std::optional<std::filesystem::path> ReplacementTarget(const std::filesystem::path& path);

}  // namespace movrand

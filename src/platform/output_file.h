// Files the program writes besides its settings: the traffic log, created afresh at each
// connection, and a production line's record, appended to by several programs at once. One
// implementation per operating system (posix/, win32/).
//
// Both take only a plain file. Something else in the file's place is refused, never written
// through or waited on: a symbolic link (it may point at any file the program may write), a
// pipe (an open for writing would wait for a reader), a device. All calls report failure as a
// result and never throw.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/error.h"

namespace movrand {

enum class OutputFileError : std::uint8_t {
  None,
  Link,        // a symbolic link (or another reparse point) stands in the file's place
  NotRegular,  // a pipe, a device or a folder
  Failed,      // the system refused (no such folder, no permission, no space)
};

// Creates the file `path`, or empties it, and returns a buffered stream for binary writes
// (close it with fclose). Null, with the reason in `error`, when it cannot be had.
std::FILE* CreateOutputFile(const std::filesystem::path& path, OutputFileError& error);

// A file that lines are appended to, whole, by this program and others at the same time.
// The object owns its handle (copy deleted, move allowed).
class AppendFile {
 public:
  // How long an append waits for another program's lock before it gives up.
  static constexpr std::chrono::milliseconds kLockWait{2000};

  AppendFile() = default;
  ~AppendFile() { close(); }
  AppendFile(AppendFile&& other) noexcept : handle_(other.handle_) { other.handle_ = kNoHandle; }
  AppendFile& operator=(AppendFile&& other) noexcept {
    if (this != &other) {
      close();
      handle_ = other.handle_;
      other.handle_ = kNoHandle;
    }
    return *this;
  }
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;

  // Opens `path` for appending, creating it; fails with the reason in words when it cannot
  // (a pipe, a link to one or anything but a plain file among them).
  Result<void> open(const std::filesystem::path& path);
  bool isOpen() const { return handle_ != kNoHandle; }
  // Appends `line` in one write while holding the file's advisory lock (other programs that
  // append the same way wait meanwhile). A file that does not end with a line feed (a line
  // torn by a full disk, or by a program that died writing it) gets one first, so that each
  // whole line stands on its own. When the line cannot be written whole, what went is taken
  // back where the system lets it. Fails, with the reason in words, when the line was not
  // written.
  Result<void> appendLine(std::string_view line);
  void close();

 private:
  // A file descriptor on Linux, a HANDLE on Windows; -1 is "none" on both.
  static constexpr std::intptr_t kNoHandle = -1;
  std::intptr_t handle_ = kNoHandle;
};

}  // namespace movrand

// A file opened for reading only, as the firmware loader reads the chosen image.
//
// On Windows the file is opened with read sharing alone: while it is open no other program
// can open it for writing, and a file another program holds open for writing (a copy still
// going on) cannot be opened, so the image cannot change under the reader. Other readers are
// let in: the stations of a production line read one image at the same time. Linux has no
// such open; there the open is a plain read-only one. On both systems only a plain disk file
// is taken: a pipe, a device or a folder is refused at open, so the reader never blocks on
// one or reads without end.
//
// The object owns its handle (copy deleted, move allowed) and closes it in one place. All
// calls report failure as a result and never throw. Main thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace movrand {

class ReadOnlyFile {
 public:
  ReadOnlyFile() = default;
  ~ReadOnlyFile() { close(); }
  ReadOnlyFile(ReadOnlyFile&& other) noexcept : handle_(other.handle_) {
    other.handle_ = kNoHandle;
  }
  ReadOnlyFile& operator=(ReadOnlyFile&& other) noexcept {
    if (this != &other) {
      close();
      handle_ = other.handle_;
      other.handle_ = kNoHandle;
    }
    return *this;
  }
  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

  // Opens the file named `path` (closing what was open before). The name is taken as the
  // system's narrow file calls take it: bytes on Linux, the ANSI code page on Windows, which
  // is how the file dialog and the settings hand it over. False when the file is missing, not
  // readable, held by another program (Windows) or not a plain file, or when the name holds a
  // NUL character (the system would see a shorter name).
  bool open(const std::string& path);
  bool isOpen() const { return handle_ != kNoHandle; }
  // The size in bytes, found by seeking to the end; the position is then back at the start.
  // Nothing when the file is not open or the seeks fail.
  std::optional<std::int64_t> size();
  // Moves the read position to `offset` bytes from the start; false on failure.
  bool seek(std::int64_t offset);
  // Reads from the position on until `bytes` is full, the file ends or a read fails;
  // returns the count read.
  std::size_t read(std::span<std::uint8_t> bytes);
  // Closes the file; harmless when nothing is open.
  void close();

 private:
  // A file descriptor on Linux, a HANDLE on Windows; -1 is "none" on both.
  static constexpr std::intptr_t kNoHandle = -1;
  std::intptr_t handle_ = kNoHandle;
};

}  // namespace movrand

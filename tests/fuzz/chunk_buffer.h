// The reader hands the window each chunk in a buffer of its own. The window targets copy every
// chunk into one heap block kept for the whole run, at its start and with the rest of the block
// poisoned, so that a read past the chunk on either side is caught as it would be with a fresh
// allocation, without paying for one per chunk. (The chunk starts the block because the
// sanitizer can make the tail of an 8-byte granule unreadable but not its head.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>

#if defined(__has_include)
#if __has_include(<sanitizer/asan_interface.h>)
#include <sanitizer/asan_interface.h>
#endif
#endif
#ifndef ASAN_POISON_MEMORY_REGION
#define ASAN_POISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#endif

namespace movrand::fuzz {

class ChunkBuffer {
 public:
  explicit ChunkBuffer(std::size_t capacity)
      : storage_(std::make_unique<std::uint8_t[]>(capacity)), capacity_(capacity) {}
  ~ChunkBuffer() { ASAN_UNPOISON_MEMORY_REGION(storage_.get(), capacity_); }
  ChunkBuffer(const ChunkBuffer&) = delete;
  ChunkBuffer& operator=(const ChunkBuffer&) = delete;

  // Copies `size` bytes (at most the capacity) to the start of the block; the bytes after them
  // are unreadable until the next call.
  std::span<const std::uint8_t> Place(const std::uint8_t* data, std::size_t size) {
    if (size > capacity_) size = capacity_;
    std::uint8_t* at = storage_.get();
    ASAN_UNPOISON_MEMORY_REGION(at, capacity_);
    std::memcpy(at, data, size);
    ASAN_POISON_MEMORY_REGION(at + size, capacity_ - size);
    return {at, size};
  }

 private:
  std::unique_ptr<std::uint8_t[]> storage_;
  std::size_t capacity_;
};

}  // namespace movrand::fuzz

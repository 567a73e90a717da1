// Reading the chain file: a sequential reader over a file descriptor with one growing
// buffer, shared by replay, the take-in of other writers' records, adoption and the
// old-chain list. Used on the thread that owns the `Chain`.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/bytes.h"
#include "core/error.h"

namespace chain {

// Sequential reader over a file descriptor with one growing buffer, so that a replay
// reads large chunks instead of one system call per field.
class FileReader {
 public:
  explicit FileReader(int fd) : fd_(fd), buf_(kChunk) {}

  // Makes up to `n` bytes from the current position readable at `data()`; returns how
  // many are (fewer only at the end of the file).
  Result<size_t> fill(size_t n);
  const uint8_t* data() const { return buf_.data() + begin_; }
  void consume(size_t n) { begin_ += n; }
  // Moves forward to file offset `at`, dropping what was read ahead before it.
  void skip_to(uint64_t at) {
    if (at <= pos()) return;
    if (at <= file_pos_) {
      begin_ += static_cast<size_t>(at - pos());
      return;
    }
    begin_ = end_ = 0;
    file_pos_ = at;
  }
  // File offset of `data()`.
  uint64_t pos() const { return file_pos_ - (end_ - begin_); }

 private:
  static constexpr size_t kChunk = size_t{1} << 20;
  int fd_;
  Bytes buf_;
  size_t begin_ = 0;
  size_t end_ = 0;
  uint64_t file_pos_ = 0;
};

}  // namespace chain

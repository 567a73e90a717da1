// Shared helpers of the fuzz targets: a scratch directory per process, a reader over the
// fuzzer's bytes, and the stop for a broken property. Each target is one libFuzzer entry
// point; a failed property aborts, so the fuzzer keeps the input that broke it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "core/bytes.h"

namespace fuzz {

// Stops the run with `what` when `ok` is false.
inline void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
  }
}

// A directory of this process under /dev/shm (the system's temporary directory when there
// is none), made on first use and removed at exit.
const std::filesystem::path& scratch();

// Takes bytes from the front of the fuzzer's input; past the end it yields zeros and empty
// views, so a target never reads out of bounds.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data, size) {}
  uint8_t u8() {
    if (pos_ >= data_.size()) return 0;
    return data_[pos_++];
  }
  uint16_t u16() { return static_cast<uint16_t>(u8() | (u8() << 8)); }
  ByteView take(size_t n) {
    n = std::min(n, left());
    ByteView v = data_.subspan(pos_, n);
    pos_ += n;
    return v;
  }
  ByteView rest() { return take(left()); }
  size_t left() const { return data_.size() - pos_; }

 private:
  ByteView data_;
  size_t pos_ = 0;
};

inline std::string_view as_text(ByteView b) {
  return {reinterpret_cast<const char*>(b.data()), b.size()};
}

// Writes `bytes` to `path`, replacing it; stops the run when the file cannot be written.
void write_file(const std::filesystem::path& path, ByteView bytes);

}  // namespace fuzz

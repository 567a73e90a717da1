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
#include <vector>

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

// A server on a loopback port of its own that answers every connection with the bytes
// last given to `serve`: it writes them, ends its side, then reads the request until the
// client closes, so the client always sees the whole reply and then the end of the stream.
// One connection at a time, on a thread of its own that lives as long as the process.
class Replier {
 public:
  Replier();
  // "127.0.0.1:port".
  const std::string& host() const { return host_; }
  // The reply of the following connections.
  void serve(ByteView reply);

 private:
  std::string host_;
};

}  // namespace fuzz

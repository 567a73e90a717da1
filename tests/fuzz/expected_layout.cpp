// Prints the layout of a few results whose value type has tail padding: size, alignment,
// where the value and the error sit, and whether a value written into place still reads
// as a value. Built once by g++ (the shipped compiler) and once by the fuzz compiler; the
// fuzz run compares the two outputs, so the fuzz targets never run a standard library
// whose results behave unlike the shipped one's.
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "core/error.h"

namespace {

// A value with bytes of tail padding, as a socket address and its length have.
struct Padded {
  uint64_t a;
  uint32_t b;
};
struct Tiny {
  uint16_t a;
  uint8_t b;
};
struct AddressLike {
  sockaddr_storage addr;
  socklen_t len;
};

template <typename T>
void show(const char* name, T value) {
  Result<T> r{std::in_place};
  const auto* base = reinterpret_cast<const unsigned char*>(&r);
  const std::ptrdiff_t value_at = reinterpret_cast<const unsigned char*>(&*r) - base;
  // Writing the whole value, padding included, must leave the result holding a value.
  *r = value;
  const bool kept = r.has_value();
  Result<T> copy = r;
  Result<T> e = std::unexpected(QuvError::msg("x"));
  const std::ptrdiff_t error_at = reinterpret_cast<const unsigned char*>(&e.error()) -
                                  reinterpret_cast<const unsigned char*>(&e);
  std::printf("%s size=%zu align=%zu value_at=%td error_at=%td kept=%d copied=%d\n", name,
              sizeof(Result<T>), alignof(Result<T>), value_at, error_at, kept ? 1 : 0,
              copy.has_value() ? 1 : 0);
}

}  // namespace

int main() {
  show("padded", Padded{1, 2});
  show("tiny", Tiny{1, 2});
  show("address", AddressLike{{}, 3});
  show("string", std::string("text"));
  Status s;
  std::printf("status size=%zu align=%zu has=%d\n", sizeof s, alignof(Status),
              s.has_value() ? 1 : 0);
  return 0;
}

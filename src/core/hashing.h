// The one hash primitive of the system (unkeyed BLAKE2b of 16 or 32 bytes) and the wiping
// of secrets: fixed-size secrets and buffers that zero themselves when dropped. Everything
// that hashes or holds a key calls in here; every function is safe on any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <new>
#include <vector>

#include "core/bytes.h"

namespace hashing {

// Unkeyed BLAKE2b of `data` with an output of `out_len` bytes (16 or 32 here).
Bytes blake2b(ByteView data, size_t out_len);
// H32 into a fixed array, without an allocation.
Hash32 h32(ByteView data);
// H32 over several pieces fed in order, as if concatenated.
Hash32 h32_parts(std::initializer_list<ByteView> parts);
// BLAKE2b of `out_len` bytes over several pieces fed in order, written to `out`.
void hash_parts(std::initializer_list<ByteView> parts, uint8_t* out, size_t out_len);
// The same for secret input: the hash state is wiped afterwards.
void hash_secret_parts(std::initializer_list<ByteView> parts, uint8_t* out, size_t out_len);

// Overwrites `n` bytes at `p` with zeros in a way the compiler cannot drop.
void wipe(void* p, size_t n);

// A fixed-size secret (seed, master key, secret key, shared key) that wipes itself when
// dropped; copies wipe themselves too, so a copy never outlives its own scope unwiped.
template <size_t N>
class Secret {
 public:
  Secret() { bytes_.fill(0); }
  Secret(const Secret&) = default;
  Secret& operator=(const Secret&) = default;
  ~Secret() { wipe(bytes_.data(), N); }

  uint8_t* data() { return bytes_.data(); }
  const uint8_t* data() const { return bytes_.data(); }
  static constexpr size_t size() { return N; }
  ByteView view() const { return ByteView(bytes_.data(), N); }
  uint8_t operator[](size_t i) const { return bytes_[i]; }
  // Constant-time comparison, so tests and callers never leak where two secrets differ.
  bool operator==(const Secret& other) const;

 private:
  std::array<uint8_t, N> bytes_;
};

// Whether two byte runs of length `n` are equal, in time that does not depend on the bytes.
bool equal_ct(const uint8_t* a, const uint8_t* b, size_t n);

template <size_t N>
bool Secret<N>::operator==(const Secret& other) const {
  return equal_ct(bytes_.data(), other.bytes_.data(), N);
}

// An allocator that wipes every block before handing it back, for buffers that hold
// plaintexts or key texts while they grow.
template <typename T>
struct WipingAllocator {
  using value_type = T;
  WipingAllocator() = default;
  template <typename U>
  WipingAllocator(const WipingAllocator<U>&) {}
  T* allocate(size_t n) { return static_cast<T*>(::operator new(n * sizeof(T))); }
  void deallocate(T* p, size_t n) {
    wipe(p, n * sizeof(T));
    ::operator delete(p);
  }
  template <typename U>
  bool operator==(const WipingAllocator<U>&) const {
    return true;
  }
};

// A growable byte buffer whose storage is wiped when released.
using SecretBytes = std::vector<uint8_t, WipingAllocator<uint8_t>>;

}  // namespace hashing

// Fixed-size byte types and the little-endian writers every encoder shares.
// Used by the protocol core and everything above it; pure values, safe on any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

using Bytes = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;
using Hash16 = std::array<uint8_t, 16>;
using Hash32 = std::array<uint8_t, 32>;
using Key32 = std::array<uint8_t, 32>;
using Sig64 = std::array<uint8_t, 64>;

namespace bytes {

// Appends v as 2, 4 or 8 little-endian bytes.
inline void put_u8(Bytes& out, uint8_t v) { out.push_back(v); }
inline void put_u16(Bytes& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
inline void put_u32(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void put_u64(Bytes& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void put(Bytes& out, ByteView data) { out.insert(out.end(), data.begin(), data.end()); }

// Writes v as 8 little-endian bytes at p (for patching a nonce in place).
inline void store_u64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint64_t load_u64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
inline uint32_t load_u32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

// The bytes of a text, without copying.
inline ByteView of(std::string_view s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// The text of some bytes, without copying.
inline std::string_view text(ByteView b) {
  return {reinterpret_cast<const char*>(b.data()), b.size()};
}

}  // namespace bytes

// Lower-case hexadecimal text of byte strings, as ids, keys and raw transactions
// travel in JSON and logs. Pure functions, any thread.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "core/bytes.h"

namespace hex {

// Two lower-case digits per byte, first byte first.
std::string encode(ByteView data);
template <size_t N>
std::string encode(const std::array<uint8_t, N>& a) {
  return encode(ByteView(a.data(), a.size()));
}

// Strict: an even number of digits 0-9, a-f or A-F and nothing else.
[[nodiscard]] std::optional<Bytes> decode(std::string_view text);
// Strict, and exactly N bytes.
template <size_t N>
[[nodiscard]] std::optional<std::array<uint8_t, N>> decode_array(std::string_view text) {
  if (text.size() != 2 * N) return std::nullopt;
  auto b = decode(text);
  if (!b) return std::nullopt;
  std::array<uint8_t, N> out;
  std::copy(b->begin(), b->end(), out.begin());
  return out;
}

// The display form of a long hash text: first 6, "…", last 6; short texts unchanged.
std::string short_hash(std::string_view text);

}  // namespace hex

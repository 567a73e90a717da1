// Small helpers the light client's files share; not for callers outside src/wallet.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <set>

#include "wallet/walletdb.h"

namespace light::internal {

// Sums of amounts wrap like the two's complement integers they are stored as instead of
// overflowing: an output may carry any amount its sender chose.
inline int64_t wrapping_add(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}
inline int64_t wrapping_sub(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b));
}

// The array `v` points to, or an empty array.
inline const nlohmann::json& array_or_empty(const nlohmann::json* v) {
  static const nlohmann::json kEmpty = nlohmann::json::array();
  return v != nullptr && v->is_array() ? *v : kEmpty;
}

// Key sets scanned past the highest index the wallet knows of.
inline constexpr uint64_t kLookahead = 20;

// The highest key index a block is scanned with: the highest known or remembered index
// plus the lookahead.
inline uint64_t scan_high(const walletdb::Book& book, const std::set<uint64_t>& indices) {
  uint64_t high = indices.empty() ? 0 : *indices.rbegin();
  uint64_t next = walletdb::as_u64(walletdb::member(book, "next_index")).value_or(1);
  if (next != 0) high = std::max(high, next - 1);
  return high + kLookahead;
}

}  // namespace light::internal

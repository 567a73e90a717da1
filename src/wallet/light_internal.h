// Small helpers the light client's files share; not for callers outside src/wallet.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/codec.h"
#include "core/error.h"
#include "wallet/light.h"
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

// The highest block height taken from a node: one below the signed maximum, so the height
// after it is still a signed 64-bit number and every stored height reads back the same.
inline constexpr int64_t kMaxHeight = INT64_MAX - 1;

// Reads a page straight from the reply's text into the sync's form, the blocks as they are
// parsed, so that a page costs little more memory than its text and the 32 blocks it may
// hold, whatever it contains. Fails with the node's "error" text or "Bad /blocks
// response." as `light::fetch_page` does.
[[nodiscard]] Result<Page> read_page(std::string_view text);

// The sync's form of one block JSON object, read by the same reader as a page. Heights no
// chain reaches are read as they are.
PageBlock read_block(const nlohmann::json& block);

// An output from the hex texts of its fields, or nothing when one is not hex of the right
// length.
std::optional<codec::TxOutput> output_of(std::string_view tag, std::string_view eph,
                                         std::string_view auth, std::string_view ct);

}  // namespace light::internal

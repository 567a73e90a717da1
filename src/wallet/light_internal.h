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

// One transaction of a block as the sync reads it: what it spends and the outputs that
// could be the wallet's. Inputs that are no note id (64 hex digits) and outputs whose
// fields are not hex of the right lengths are left out, as they can change nothing.
struct PageTx {
  std::string id;
  std::vector<std::string> inputs;
  std::vector<codec::TxOutput> outputs;
};

// One block of a page as the sync reads it. Transactions that spend nothing and have no
// output left are left out.
struct PageBlock {
  // The "height" as an unsigned integer; none when missing or of another kind.
  std::optional<uint64_t> height;
  uint64_t timestamp = 0;
  std::string hash;
  std::vector<PageTx> txs;
};

// A GET /blocks page as the sync reads it.
struct Page {
  // Whether "blocks" is an array (even an empty one).
  bool listed = false;
  std::vector<PageBlock> blocks;
  // "height" as a signed integer; none when missing or of another kind.
  std::optional<int64_t> height;
  // Whether the page has a "next", and its value as an unsigned integer.
  bool has_next = false;
  std::optional<uint64_t> next;
};

// Reads a page straight from the reply's text into the form above, the blocks as they are
// parsed, so that a page costs little more memory than its text. Fails with the node's
// "error" text or "Bad /blocks response." as `light::fetch_page` does, and also for a chain
// height or block height that no chain can reach.
[[nodiscard]] Result<Page> read_page(std::string_view text);

// The sync's form of one block JSON object; the same as a page with that block gives.
PageBlock block_of(const nlohmann::json& block);

// An output from the hex texts of its fields, or nothing when one is not hex of the right
// length.
std::optional<codec::TxOutput> output_of(std::string_view tag, std::string_view eph,
                                         std::string_view auth, std::string_view ct);

}  // namespace light::internal

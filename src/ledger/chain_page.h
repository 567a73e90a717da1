// Block pages for light wallets, read straight from the chain file without a Chain,
// and the JSON forms of a block, a transaction, an input and an output.
// Called by the HTTP server threads (GET /blocks, the status document); any thread
// may call every function here, and pages of the same file may be built side by side.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "core/bytes.h"
#include "core/codec.h"
#include "core/error.h"

namespace chain {

// One page of blocks and the chain's current tip.
struct BlocksPage {
  // The block objects of the page, in file order.
  std::vector<nlohmann::json> blocks;
  // Header height of the last good block of the file; all ones when there is none.
  uint64_t height = UINT64_MAX;
  // Lower-case hex hash of that block; empty when there is none.
  std::string tip;
};

// The blocks whose header height is at least `from`, at most `limit` of them, and
// the last good block of the file. Reads only. Repeated calls on a growing file
// reuse what earlier calls learnt about its records, so a warm page costs about
// as much as the records it returns.
[[nodiscard]] Result<BlocksPage> blocks_page(const std::string& path, uint64_t from,
                                             uint64_t limit);

// The same page computed the plain way: every record read, hashed and decoded from
// the start of the file. blocks_page returns exactly what this returns.
[[nodiscard]] Result<BlocksPage> walk_blocks_page(const std::string& path, uint64_t from,
                                                  uint64_t limit);

// An input as JSON: its note id as 64 hex digits.
nlohmann::json input_json(const codec::TxInput& in);
// An output as JSON: auth_pk, ciphertext, eph_pub, note_id, stealth_tag.
nlohmann::json output_json(const codec::TxOutput& out);
// A transaction as JSON: extra, id, inputs, outputs, tag, timestamp, type.
nlohmann::json tx_json(const codec::Tx& tx);
// A block as JSON: hash, height, prev, timestamp, txs.
nlohmann::json block_json(const codec::Block& block);

}  // namespace chain

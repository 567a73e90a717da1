// The node state file: the node's mutable state beside the append-only chain file
// (reward address, work counters, mempool, acknowledgements, node id, peers, and the
// chain's height, tip and supply for readers that never open the chain). `Chain` owns one
// `NodeState` and only its thread calls `load` and `save`; the pure helpers in `state::`
// (path rule, writer, strict reader) are safe on any thread, e.g. the HTTP server's.
#pragma once

#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"
#include "core/fsutil.h"
#include "ledger/mempool.h"

// The node's mutable state; the file lists its fields as JSON keys in this order.
struct NodeState {
  // Operator's reward address, trimmed and lower-cased; empty = none set.
  std::string reward_address;
  // Unix seconds at which the current work window began; 0 = no window yet.
  int64_t window_start = 0;
  // Work seconds credited in the current window.
  uint64_t work_seconds = 0;
  // Transfers sealed since the last drop.
  uint32_t validated = 0;
  // Unix seconds of the last paid drop; 0 = never.
  int64_t last_drop = 0;
  // Unix seconds of the last work heartbeat; 0 = never.
  int64_t last_beat = 0;
  // Raw signed transactions waiting to be sealed, in arrival order.
  Mempool mempool;
  // Txid (64 lower-case hex) to the ids of the nodes that acknowledged it, in arrival order.
  std::unordered_map<std::string, std::vector<std::string>> acks;
  // This node's id in acknowledgements and gossip; empty until node start assigns one.
  std::string node_id;
  // Peer endpoints "host:port".
  std::vector<std::string> peers;
  // Peer endpoint to its last seen link state: "up", "down" or "self".
  std::unordered_map<std::string, std::string> peer_link;
  // Height of the tip block (block count minus 1).
  int64_t height = 0;
  // Tip block hash, 64 lower-case hex.
  std::string tip;
  // Sum of the amounts of all work transactions in the chain.
  uint64_t supply = 0;

  // Reads the state file that belongs to `chain_path`: the default state when there is no
  // file or it does not parse; an error with the platform's text when it cannot be read.
  [[nodiscard]] static Result<NodeState> load(const std::filesystem::path& chain_path);
  // Writes the whole state to the state file that belongs to `chain_path`, atomically.
  [[nodiscard]] Status save(const std::filesystem::path& chain_path) const;
  // Writes the state file's new content beside it, flushed, for the caller to rename into
  // place with `commit` once the change it records has been made.
  [[nodiscard]] Result<fsutil::PreparedFile> prepare_save(
      const std::filesystem::path& chain_path) const;

  bool operator==(const NodeState&) const = default;
};

namespace state {

// Largest state file a reader takes: a full mempool written as decimal byte lists, with
// room for acknowledgements and peers.
inline constexpr uint64_t kMaxFileBytes = uint64_t{256} << 20;

// The state file of a chain: its last extension replaced by "node" (x/quv.chain, x/quv ->
// x/quv.node).
std::filesystem::path path_for(const std::filesystem::path& chain_path);

// The compact JSON text of the state file, keys in declared order, no trailing newline.
std::string to_json(const NodeState& s);

// Parses a state file's text by the strict rules (object or array form); nullopt on any fault.
[[nodiscard]] std::optional<NodeState> parse(std::string_view text);

// The state file beside `chain_path` as a plain JSON value, for readers that take each
// member on its own with a default per member (the status document). A file that is
// missing, unreadable, not JSON, begins with a byte order mark or nests deeper than 64
// levels is the empty object.
nlohmann::json read_members(const std::filesystem::path& chain_path);

}  // namespace state

// Keeping in step with the peers: catch-up asks every peer for its status and adopts the
// chain of the best one that is ahead; gossip exchanges mempools, acknowledgements and
// NFT images and records each peer's link state. Both run on the node loop's thread with
// the `Chain` held exclusively; what they remember between ticks lives in `GossipMemo`.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"
#include "ledger/chain.h"
#include "node/gossip_link.h"

namespace node {

// One event of node start-up or of a tick: ok true is a normal event, false an error.
struct LogLine {
  bool ok = true;
  std::string text;
  bool operator==(const LogLine&) const = default;
};

// Whole-exchange limits of the peer requests of a tick.
inline constexpr std::chrono::milliseconds kStatusTimeout{3000};
inline constexpr std::chrono::milliseconds kPostTimeout{3000};
inline constexpr std::chrono::milliseconds kChainTimeout{60000};
inline constexpr std::chrono::milliseconds kNftListTimeout{8000};
inline constexpr std::chrono::milliseconds kImageTimeout{15000};
// All mempool requests to one peer in one tick, and all its image requests.
inline constexpr std::chrono::milliseconds kPeerBudget{10000};
inline constexpr std::chrono::milliseconds kNftBudget{30000};
// A peer whose chain could not be downloaded is asked again after this long.
inline constexpr std::chrono::seconds kFetchRetry{60};
// How long a peer whose chain was set aside cannot hold the node back.
inline constexpr std::chrono::minutes kDistrust{10};
// Largest chain file taken from a peer.
inline constexpr size_t kMaxChainReply = size_t{1} << 30;

// What catch-up and gossip read of a peer's status document.
struct PeerStatus {
  struct Entry {
    // The "raw" text when it is a string; the "id" text when it is a string.
    std::optional<std::string> raw;
    std::optional<std::string> id;
  };
  // "" when absent or not a string.
  std::string node_id;
  // -1 when absent, not an integer or above the signed range.
  int64_t height = -1;
  // Absent when missing, empty or not a string.
  std::optional<std::string> tip;
  std::vector<Entry> mempool;
};

// Reads a status document; nothing when the body is not JSON.
std::optional<PeerStatus> read_status(ByteView body);

// The NFT ids of a GET /nft reply: its "hashes" strings, lower-cased, that are 64 hex
// digits, in order; nothing when the body is not JSON.
std::optional<std::vector<std::string>> read_nft_hashes(ByteView body);

// A peer's claim about its chain.
struct Claim {
  std::string peer;
  int64_t height = -1;
  std::optional<std::string> tip;
  bool operator==(const Claim&) const = default;
};

// Whether catch-up would fetch a peer's chain: it is higher, or as high with a tip that
// sorts before ours.
bool is_candidate(const Claim& c, int64_t own_height, std::string_view own_tip);
// Whether candidate `c` is better than the best so far; among equals the earlier stays.
bool displaces(const Claim& c, const Claim& best);

// What one peer taught this node across ticks.
struct PeerMemo {
  // Txids whose acknowledgement this peer received, kept while the peer lists them.
  std::unordered_set<std::string> acked;
  // A claim whose chain could not be had, ignored (neither ahead nor a candidate) until
  // the peer claims something else or `refused_until` passes.
  std::optional<Claim> refused;
  SteadyClock::time_point refused_until{};
  // When a chain of this peer was last set aside; a peer that failed lately may still
  // be tried with a new claim, but does not hold the node back.
  std::optional<SteadyClock::time_point> last_refused;
};

// What catch-up and gossip remember between ticks.
struct GossipMemo {
  std::unordered_map<std::string, PeerMemo> peers;
  // Peers that did not answer in the current tick; they are not asked again in it.
  std::unordered_set<std::string> down;
  // Status documents read by catch-up in the current tick, for gossip to use: one status
  // request per peer and tick, and one parse of a document that may list the whole
  // mempool.
  std::unordered_map<std::string, PeerStatus> seen;
  // Peer transactions this node refused, while its tip stays `refused_tip`.
  std::unordered_set<std::string> refused_txids;
  std::string refused_tip;
  // Requests made since the current tick began.
  uint64_t requests = 0;

  // Forgets what held only for the previous tick.
  void begin_tick() {
    down.clear();
    seen.clear();
    requests = 0;
  }
};

// The outcome of catch-up: its event lines (a refused adoption as "sync: " and the
// error), and whether a peer is still ahead.
struct CatchUp {
  std::vector<LogLine> lines;
  bool behind = false;
};

// Asks every peer for its status and adopts the chain of the best one ahead; when that
// chain cannot be had, the next best is tried in the same tick.
CatchUp catch_up(Chain& chain, GossipMemo& memo);

// Exchanges mempools and acknowledgements with every peer that answers, records the
// link states, exchanges NFT images and saves the node state.
void gossip(Chain& chain, GossipMemo& memo);

// Fetches the images the peers hold and this node lacks, and offers its own.
void gossip_nft(Chain& chain, GossipMemo& memo, const std::vector<std::string>& peers);

}  // namespace node

// Keeping in step with the peers: catch-up asks every peer for its status and fetches the
// chain of the best one that is ahead, beside the ticks (only the blocks past ours when
// our chain is a prefix of its chain); gossip exchanges mempools, acknowledgements and
// NFT images and records each peer's link state. Both run on the node loop's thread with
// the `Chain` held exclusively; what they remember between ticks lives in `GossipMemo`.
// Every peer exchange of a tick has a budget, and peers that fail are backed off.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"
#include "ledger/chain.h"
#include "node/gossip_fetch.h"
#include "node/gossip_link.h"
#include "node/gossip_status.h"

namespace node {

// One event of node start-up or of a tick: ok true is a normal event, false an error.
struct LogLine {
  bool ok = true;
  std::string text;
  bool operator==(const LogLine&) const = default;
};

// Whole-exchange limits of the peer requests of a tick. The status requests of a tick go
// out to every peer at once, so together they cost one time-out at most.
inline constexpr std::chrono::milliseconds kStatusTimeout{1000};
inline constexpr std::chrono::milliseconds kPostTimeout{1000};
inline constexpr std::chrono::milliseconds kNftListTimeout{1000};
inline constexpr std::chrono::milliseconds kImageTimeout{1000};
// All acknowledgements and pushes of a tick, to every peer, and all its image requests:
// a tick with slow peers still ends in time for the next seal. What did not go out in
// time goes out in a later tick.
inline constexpr std::chrono::milliseconds kGossipBudget{400};
inline constexpr std::chrono::milliseconds kNftBudget{400};
// How long a tick waits for a chain download it started, so that a quick one is adopted
// at once; and how long a running download may keep the node from sealing.
inline constexpr std::chrono::milliseconds kFetchWait{100};
inline constexpr std::chrono::milliseconds kSealHold{2000};
// At start-up, before the first tick, the first download may take as long as it may hold
// sealing; a longer one goes on beside the ticks.
inline constexpr std::chrono::milliseconds kStartFetchWait = kSealHold;
// A download has the time its declared body needs at the rate floor (`kMinChainRate`),
// plus this for connecting and for asking twice (the bytes past ours, then the whole
// file): a tail of a few blocks gets seconds, not minutes.
inline constexpr std::chrono::seconds kFetchSlack{5};
// While another peer that has neither failed nor been set aside lately offers a chain we
// would fetch, a download that has run `kSealHold` and holds fewer bytes than this rate
// brings after its first second is set aside for it: one slow peer does not hold back a
// chain that another can serve, whatever it claims. Being slower than another is no
// failure: the peer is not backed off, and is fetched from again once the other's chain
// is had or refused.
inline constexpr uint64_t kHonestRate = uint64_t{512} << 10;
// A download that lags behind the honest pace but would finish within this at its own pace
// is not set aside: a slow honest link that is nearly done keeps its download.
inline constexpr std::chrono::seconds kLetFinish{10};
// A download cut short because the peer's chain file was replaced (it adopted another
// chain) is no failure of the peer's, and the peer is asked again at once; only this many
// cuts in a row count as one failure, so that a peer cannot hold the downloads by cutting
// every reply. A peer cut within the last `kFetchBackoff` is fetched from only when no
// other peer offers a chain, and sets aside no download.
inline constexpr uint32_t kCutsInRow = 3;
// A request that had at least this long and got no answer counts as the peer's silence.
inline constexpr std::chrono::milliseconds kFairChance{250};
// A peer that did not answer is left alone for 2 s, then twice as long after each further
// silence, at most a minute.
inline constexpr std::chrono::seconds kSilentBackoff{2};
inline constexpr std::chrono::seconds kSilentBackoffMax{60};
// A peer whose chain could not be had (download failed or too slow, bad file, refused,
// shorter than claimed) is not fetched from for 15 s, then twice as long after each
// further failure, at most ten minutes, whatever it claims meanwhile.
inline constexpr std::chrono::seconds kFetchBackoff{15};
inline constexpr std::chrono::seconds kFetchBackoffMax{600};

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

// A back-off that doubles with every failure in a row, up to a limit.
struct Backoff {
  uint32_t fails = 0;
  SteadyClock::time_point until{};

  bool active(SteadyClock::time_point now) const { return now < until; }
  void failed(SteadyClock::time_point now, std::chrono::seconds first, std::chrono::seconds most) {
    auto wait = first * (int64_t{1} << std::min<uint32_t>(fails, 16));
    until = now + std::min<std::chrono::seconds>(wait, most);
    ++fails;
  }
  void succeeded() { *this = Backoff{}; }
};

// What one peer taught this node across ticks.
struct PeerMemo {
  // Txids whose acknowledgement this peer received, kept while the peer lists them.
  std::unordered_set<std::string> acked;
  // A peer that did not answer is skipped while this runs.
  Backoff silent;
  // A peer whose chain could not be had is not fetched from, and does not hold the node
  // back, while this runs; a new claim does not end it.
  Backoff fetch;
  // A download from this peer was set aside for pace: while this runs the peer sets no
  // other download aside, so that two slow peers do not keep displacing each other. It
  // grows like `fetch` and ends with a download that delivers what the peer claimed.
  Backoff set_aside;
  // Downloads from this peer cut in a row, and when the last one was.
  uint32_t cuts = 0;
  SteadyClock::time_point cut_at{};

  bool cut_lately(SteadyClock::time_point now) const {
    return cuts > 0 && now - cut_at < kFetchBackoff;
  }
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
  // The chain download under way, the claim it answers, and our tip when it was planned:
  // a download planned on a tip that has moved since (we sealed meanwhile) is planned
  // again, and the peer is not blamed.
  std::unique_ptr<Fetch> fetch;
  Claim fetching;
  std::string fetch_base;
  // Where the exchanges of the next tick start in the peer list, so that a slow peer
  // early in the list does not use up every tick's budget.
  size_t turn = 0;

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

// Takes in a finished chain download (appending the blocks that continue our chain, or
// adopting a better whole chain), asks every peer for its status, gives up a download
// that has had its time, and starts a download from the best peer ahead when none runs,
// waiting up to `wait` for it. Behind: a peer claims more than we hold, and its download
// has run less than `kSealHold` or failed in this tick.
CatchUp catch_up(Chain& chain, GossipMemo& memo, std::chrono::milliseconds wait = kFetchWait);

// Exchanges mempools and acknowledgements with every peer that answers, records the
// link states, exchanges NFT images and saves the node state; its event lines tell of a
// save that failed ("state: " and the error).
[[nodiscard]] std::vector<LogLine> gossip(Chain& chain, GossipMemo& memo);

// Fetches the images the peers hold and this node lacks, and offers its own.
void gossip_nft(Chain& chain, GossipMemo& memo, const std::vector<std::string>& peers);

}  // namespace node

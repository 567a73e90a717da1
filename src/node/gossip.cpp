#include "node/gossip.h"

#include <fcntl.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <set>
#include <system_error>
#include <thread>

#include "core/codec.h"
#include "core/fsutil.h"
#include "core/hex.h"
#include "ledger/chain_file.h"
#include "ledger/nft.h"
#include "node/node_ledger.h"

namespace node {

namespace {

using json = nlohmann::json;
using std::chrono::milliseconds;

std::string own_id(const Chain& chain) { return chain.own_id(); }

// A peer call that also counts the request; a peer that does not answer is backed off.
std::expected<Bytes, PeerFail> ask(GossipMemo& memo, const std::string& peer, PeerRequest req);

PeerRequest get(std::string_view path, milliseconds timeout, SteadyClock::time_point deadline,
                std::string_view content_type = "application/json") {
  PeerRequest r;
  r.method = "GET";
  r.path = path;
  r.content_type = content_type;
  r.timeout = timeout;
  r.deadline = deadline;
  return r;
}

// Notes a peer that did not answer: down for the rest of the tick, and left alone for a
// while after it.
void silence(GossipMemo& memo, const std::string& peer) {
  memo.down.insert(peer);
  memo.peers[peer].silent.failed(SteadyClock::now(), kSilentBackoff, kSilentBackoffMax);
}

// The peers of `peers` in turn order: starting at `turn`, wrapping around.
std::vector<std::string> in_turn(const std::vector<std::string>& peers, size_t turn) {
  std::vector<std::string> out;
  for (size_t i = 0; i < peers.size(); ++i) out.push_back(peers[(turn + i) % peers.size()]);
  return out;
}

std::expected<Bytes, PeerFail> ask(GossipMemo& memo, const std::string& peer, PeerRequest req) {
  ++memo.requests;
  const auto start = SteadyClock::now();
  const auto given = std::min<SteadyClock::duration>(req.timeout, req.deadline - start);
  auto r = peer_call(peer, req);
  // A peer that let a fair chance pass without answering is backed off; a call that the
  // tick's budget left almost no time says nothing about the peer.
  if (!r && r.error() == PeerFail::Down && given >= kFairChance) silence(memo, peer);
  return r;
}

// Asks every peer of `peers` that is not down for its status at once, one thread each,
// and keeps the documents of those that answer in `memo.seen`; the others are down. Each
// thread also reads its reply: a busy peer's document runs to megabytes, and five of them
// read one after another would take much of a tick.
void ask_statuses(GossipMemo& memo, const std::vector<std::string>& peers) {
  const auto now = SteadyClock::now();
  std::vector<std::string> asked;
  for (const std::string& peer : peers) {
    if (memo.down.contains(peer) || memo.seen.contains(peer)) continue;
    if (memo.peers[peer].silent.active(now)) {
      memo.down.insert(peer);
      continue;
    }
    if (std::find(asked.begin(), asked.end(), peer) == asked.end()) asked.push_back(peer);
  }
  std::vector<std::expected<Bytes, PeerFail>> replies(asked.size(),
                                                      std::unexpected(PeerFail::Down));
  std::vector<std::optional<PeerStatus>> read(asked.size());
  {
    std::vector<std::thread> threads;
    threads.reserve(asked.size());
    auto ask_one = [&](size_t i) {
      replies[i] =
          peer_call(asked[i], get("/status", kStatusTimeout, SteadyClock::time_point::max()));
      if (replies[i]) {
        read[i] = read_status(*replies[i]);
        // The document is read; its bytes need not wait for the other peers.
        *replies[i] = Bytes();
      }
    };
    for (size_t i = 0; i < asked.size(); ++i) {
      // Without a thread to spare, the peer is asked on this one.
      try {
        threads.emplace_back(ask_one, i);
      } catch (const std::system_error&) {
        ask_one(i);
      }
    }
    for (auto& t : threads) t.join();
  }
  // A peer whose reply is no status document is down for this tick too, so that it is
  // not asked again before the next.
  for (size_t i = 0; i < asked.size(); ++i) {
    ++memo.requests;
    if (read[i]) {
      memo.seen[asked[i]] = std::move(*read[i]);
    } else if (!replies[i] && replies[i].error() == PeerFail::Down) {
      silence(memo, asked[i]);
    } else {
      memo.down.insert(asked[i]);
    }
  }
}

// The record of our chain file that holds its last block, or nothing.
std::optional<std::pair<uint64_t, Bytes>> last_record(const Chain& chain) {
  if (chain.offsets().empty()) return std::nullopt;
  const uint64_t at = chain.offsets().back();
  int fd = ::open(chain.path().c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  fsutil::Fd owned(fd);
  chain::RecordReader r(fd, UINT64_MAX, at);
  chain::Record rec;
  auto step = r.next(rec);
  if (!step || *step != chain::RecordReader::Step::kRecord) return std::nullopt;
  return std::make_pair(at, Bytes(rec.bytes.begin(), rec.bytes.end()));
}

// Peers whose chain failed in this tick: those that still count as ahead in it, and
// those whose chain the ledger refused, which do not.
struct TickFailures {
  std::unordered_set<std::string> failed;
  std::unordered_set<std::string> refused;
};

// Hands a finished download to the ledger and says how it went.
void take_fetch(Chain& chain, GossipMemo& memo, CatchUp& out, TickFailures& now_failed) {
  std::unique_ptr<Fetch> f = std::move(memo.fetch);
  const Claim claim = memo.fetching;
  const FetchOutcome o = f->take();
  const std::filesystem::path staged = f->plan().staged;
  PeerMemo& pm = memo.peers[claim.peer];
  const auto now = SteadyClock::now();
  auto peer_failed = [&] {
    pm.fetch.failed(now, kFetchBackoff, kFetchBackoffMax);
    pm.cuts = 0;
    now_failed.failed.insert(claim.peer);
  };
  const int64_t old_height = height_of(chain);
  const std::string old_tip = chain.tip_hash_hex();
  // Our tip moved while the download ran (we sealed a block): the bytes past our old tip
  // no longer follow our chain, and a whole file may no longer be better than ours. That
  // is no fault of the peer's; the next plan starts from our tip as it is now.
  const bool moved = old_tip != memo.fetch_base;
  // What the download brought; a file that is not whole never reaches the ledger.
  std::optional<Status> taken;
  switch (o.staged) {
    case Staged::kFailed:
      peer_failed();
      out.lines.push_back({false, "could not fetch chain from " + claim.peer});
      break;
    case Staged::kBadFile:
      peer_failed();
      out.lines.push_back({false, "peer " + claim.peer + " sent a bad chain file"});
      break;
    case Staged::kCut:
      // The peer's chain was replaced while it was sent: asked again with a fresh plan,
      // unless it cuts every reply.
      pm.cut_at = now;
      if (++pm.cuts >= kCutsInRow) {
        peer_failed();
        out.lines.push_back({false, "could not fetch chain from " + claim.peer});
      }
      break;
    case Staged::kNoRoom: {
      // Not the peer's fault; it is tried again after a while, when there may be room.
      pm.fetch.failed(now, kFetchBackoff, kFetchBackoffMax);
      std::error_code gone;
      std::filesystem::remove(staged, gone);
      const uint64_t free = free_bytes(staged.parent_path()).value_or(0);
      out.lines.push_back({false, "download from " + claim.peer + " stopped: needs more than " +
                                      std::to_string(o.received + kDiskMargin) + " bytes, " +
                                      std::to_string(free) + " free"});
      break;
    }
    case Staged::kTail:
      if (moved) break;
      if (auto n = chain.extend_staged(staged); !n) {
        taken = std::unexpected(n.error());
      } else {
        taken = Status{};
      }
      break;
    case Staged::kWhole:
      taken = chain.adopt_staged(staged);
      break;
  }
  std::error_code ignored;
  std::filesystem::remove(staged, ignored);
  if (!taken) return;
  const int64_t new_height = height_of(chain);
  if (!*taken) {
    pm.fetch.failed(now, kFetchBackoff, kFetchBackoffMax);
    pm.cuts = 0;
    now_failed.refused.insert(claim.peer);
    // Blocks that passed before the fault stay appended; the line says so.
    std::string kept;
    if (new_height > old_height) {
      const int64_t n = new_height - old_height;
      kept = "kept " + std::to_string(n) + (n == 1 ? " block" : " blocks") + " from " + claim.peer +
             " (h" + std::to_string(old_height) + "\u2192h" + std::to_string(new_height) + "); ";
    }
    out.lines.push_back({false, "sync: " + kept + taken->error().to_string()});
    return;
  }
  // A chain shorter than claimed, or at the claimed height neither the advertised one nor
  // one we took, does not count as the peer's: the peer is not fetched from for a while.
  // A busy peer may have taken another chain of that height since its status.
  const std::string new_tip = chain.tip_hash_hex();
  const bool as_claimed =
      new_height > claim.height ||
      (new_height == claim.height && (claim.tip == new_tip || new_tip != old_tip));
  if (as_claimed) {
    pm.fetch.succeeded();
    pm.set_aside.succeeded();
    pm.cuts = 0;
  } else if (!moved) {
    peer_failed();
  }
  out.lines.push_back({true, "adopted " + claim.peer + "  h" + std::to_string(old_height) +
                                 "\u2192h" + std::to_string(new_height) + "  " +
                                 hex::short_hash(claim.tip.value_or(""))});
}

// What becomes of a download under way; decided once a tick.
enum class Course {
  kGoOn,
  // Our tip moved while it fetched the bytes past our old tip: planned again from the new
  // tip, and the peer is not blamed.
  kTipMoved,
  // The disk filled meanwhile: stopped, and the peer tried again after a while.
  kNoRoom,
  // It has had its time: the peer's failure.
  kOutOfTime,
  // Too slow while another peer offers a chain: set aside for it, and the peer is not
  // blamed.
  kSetAside,
};

// What catch-up knows of a download under way.
struct UnderWay {
  // Seconds since it started.
  double ran = 0;
  FetchProgress progress;
  // Our tip is not the one it was planned on.
  bool tip_moved = false;
  // Bytes free beside the chain; nothing when the file system cannot tell.
  std::optional<uint64_t> free;
  // Another peer that has neither failed nor been set aside lately offers a chain we would
  // fetch.
  bool alternative = false;
};

// The rules that decide whether a download goes on, in order: the first that holds decides.
Course course(const UnderWay& d) {
  using Secs = std::chrono::duration<double>;
  const auto declared = static_cast<double>(d.progress.declared);
  const auto received = static_cast<double>(d.progress.received);
  const auto floor = static_cast<double>(kMinChainRate);
  const auto honest = static_cast<double>(kHonestRate);
  // 1. A moved tip: the bytes past our old tip no longer follow our chain (a whole file
  //    still may be better than ours).
  if (d.progress.ranged && d.tip_moved) return Course::kTipMoved;
  // 2. Disk room: what the node itself writes meanwhile comes first.
  if (d.free && *d.free < kDiskMargin / 2) return Course::kNoRoom;
  // 3. Its time: what its declared body needs at the rate floor, plus `kFetchSlack`.
  if (d.progress.declared > 0 && d.ran > Secs(kFetchSlack).count() + declared / floor) {
    return Course::kOutOfTime;
  }
  // 4. Its pace, and only while another chain is on offer: after `kSealHold`, behind an
  //    honest pace from its first second on, or longer than its declared body needs at it.
  //    The claim under way does not count: a peer that claims much and sends slowly does
  //    not keep the node off a chain that another peer serves.
  //    A download that its own pace finishes within `kLetFinish` goes on all the same.
  if (d.alternative && d.ran >= Secs(kSealHold).count()) {
    const bool behind = received < (d.ran - 1.0) * honest ||
                        (d.progress.declared > 0 && d.ran > 1.0 + declared / honest);
    const double pace = received / d.ran;
    const bool near_end = d.progress.declared > 0 && received <= declared && pace > 0 &&
                          (declared - received) / pace <= Secs(kLetFinish).count();
    if (behind && !near_end) return Course::kSetAside;
  }
  return Course::kGoOn;
}

}  // namespace

bool is_candidate(const Claim& c, int64_t own_height, std::string_view own_tip) {
  if (c.height > own_height) return true;
  return c.height == own_height && c.tip && *c.tip != own_tip && *c.tip < own_tip;
}

bool displaces(const Claim& c, const Claim& best) {
  if (c.height != best.height) return c.height > best.height;
  return c.tip && best.tip && *c.tip < *best.tip;
}

CatchUp catch_up(Chain& chain, GossipMemo& memo, std::chrono::milliseconds wait) {
  CatchUp out;
  TickFailures failures;
  if (memo.fetch && memo.fetch->done()) take_fetch(chain, memo, out, failures);
  const std::vector<std::string> peers = peers_of(chain);
  if (peers.empty()) {
    memo.fetch.reset();
    return out;
  }
  const std::string me = own_id(chain);
  ask_statuses(memo, peers);

  const auto now = SteadyClock::now();
  int64_t own_height = height_of(chain);
  const std::string own_tip = chain.tip_hash_hex();
  // Every peer ahead, and the candidates best first; peers whose chain could not be had
  // lately are neither, whatever they claim now.
  std::vector<Claim> ahead;
  std::vector<Claim> candidates;
  for (const std::string& peer : peers) {
    auto it = memo.seen.find(peer);
    if (it == memo.seen.end() || it->second.node_id == me) continue;
    Claim c{peer, it->second.height, it->second.tip};
    const bool backed_off = memo.peers[peer].fetch.active(now);
    if (c.height > own_height && (!backed_off || failures.failed.contains(peer))) {
      ahead.push_back(c);
    }
    if (!backed_off && is_candidate(c, own_height, own_tip)) candidates.push_back(std::move(c));
  }
  // Stable: among equals the first in list order stays first. A peer whose download was
  // cut lately comes after every other.
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const Claim& a, const Claim& b) { return displaces(a, b); });
  std::stable_partition(candidates.begin(), candidates.end(),
                        [&](const Claim& c) { return !memo.peers[c.peer].cut_lately(now); });

  // A download under way goes on, or stops by the first rule of `course` that holds.
  if (memo.fetch && !memo.fetch->done()) {
    const std::string peer = memo.fetching.peer;
    UnderWay d;
    d.ran = std::chrono::duration<double>(now - memo.fetch->started()).count();
    d.progress = memo.fetch->progress();
    d.tip_moved = own_tip != memo.fetch_base;
    d.free = free_bytes(memo.fetch->plan().staged.parent_path());
    d.alternative = std::any_of(candidates.begin(), candidates.end(), [&](const Claim& c) {
      const PeerMemo& other = memo.peers[c.peer];
      return c.peer != peer && !other.cut_lately(now) && !other.set_aside.active(now);
    });
    const Course verdict = course(d);
    if (verdict != Course::kGoOn) memo.fetch.reset();
    switch (verdict) {
      case Course::kGoOn:
      case Course::kTipMoved:
        break;
      case Course::kNoRoom:
        memo.peers[peer].fetch.failed(now, kFetchBackoff, kFetchBackoffMax);
        out.lines.push_back({false, "download from " + peer + " stopped: needs more than " +
                                        std::to_string(d.progress.received + kDiskMargin) +
                                        " bytes, " + std::to_string(d.free.value_or(0)) + " free"});
        break;
      case Course::kOutOfTime:
        memo.peers[peer].fetch.failed(now, kFetchBackoff, kFetchBackoffMax);
        memo.peers[peer].cuts = 0;
        failures.failed.insert(peer);
        out.lines.push_back({false, "could not fetch chain from " + peer});
        break;
      case Course::kSetAside:
        memo.peers[peer].set_aside.failed(now, kFetchBackoff, kFetchBackoffMax);
        out.lines.push_back({true, "download from " + peer + " set aside for another chain"});
        break;
    }
    if (verdict == Course::kNoRoom || verdict == Course::kOutOfTime ||
        verdict == Course::kSetAside) {
      std::erase_if(candidates, [&](const Claim& c) { return c.peer == peer; });
    }
  }

  if (!memo.fetch && !candidates.empty()) {
    const Claim& best = candidates.front();
    FetchPlan plan;
    plan.peer = best.peer;
    plan.staged = chain::staging_path(chain.path(), "fetch");
    // A peer that claims more than we hold may hold our chain and more: then only the
    // bytes past ours need to travel.
    if (best.height > own_height) {
      if (auto last = last_record(chain)) {
        plan.from = last->first;
        plan.last_record = std::move(last->second);
      }
    }
    plan.peer_bytes = memo.seen.at(best.peer).bytes.value_or(0);
    const DiskRoom room = disk_room(plan.staged.parent_path(), plan.peer_bytes, plan.from);
    plan.max_bytes = room.max_bytes;
    if (!room.enough()) {
      // Too little room for what the peer's chain needs: said once per back-off, and the
      // node goes on with its own chain meanwhile.
      memo.peers[best.peer].fetch.failed(now, kFetchBackoff, kFetchBackoffMax);
      out.lines.push_back({false, "download from " + best.peer + " refused: needs " +
                                      std::to_string(room.needs) + " bytes, " +
                                      std::to_string(room.free) + " free"});
    } else {
      ++memo.requests;
      memo.fetching = best;
      memo.fetch_base = own_tip;
      memo.fetch = std::make_unique<Fetch>(std::move(plan));
      if (memo.fetch->wait(wait)) take_fetch(chain, memo, out, failures);
    }
  }

  // Behind: a peer claims more than we hold now, and its download has only just begun,
  // or failed in this tick. A download that takes longer does not keep us from sealing.
  own_height = height_of(chain);
  const auto later = SteadyClock::now();
  out.behind = std::any_of(ahead.begin(), ahead.end(), [&](const Claim& c) {
    if (c.height <= own_height || failures.refused.contains(c.peer)) return false;
    if (failures.failed.contains(c.peer)) return true;
    return memo.fetch && memo.fetching.peer == c.peer && later - memo.fetch->started() < kSealHold;
  });
  return out;
}

namespace {

struct OwnEntry {
  const Bytes* raw;
  std::string txid;
};

// The hex text of each own mempool entry that decodes, by txid: a peer entry that lists
// one of them byte for byte is that transaction, known without decoding it again.
using OwnHex = std::unordered_map<std::string, std::string>;

// Takes into the mempool what an answering peer lists and this node lacks. Runs while
// the chain's saves are held, so every import of the tick shares one save.
void import_from(Chain& chain, GossipMemo& memo, const PeerStatus& st, const OwnHex& own_hex,
                 std::unordered_set<std::string>& known) {
  for (const auto& e : st.mempool) {
    if (!e.raw || e.raw->size() % 2 != 0) continue;
    if (e.id) {
      auto it = own_hex.find(*e.id);
      if (it != own_hex.end() && it->second == *e.raw) continue;
    }
    auto bytes = hex::decode(*e.raw);
    if (!bytes) continue;
    auto d = codec::decode_tx(*bytes);
    if (!d) continue;
    const std::string id = hex::encode(codec::txid(d->tx));
    if (known.contains(id) || memo.refused_txids.contains(id)) continue;
    if (chain.submit_tx(d->tx)) {
      known.insert(id);
    } else {
      memo.refused_txids.insert(id);
    }
  }
}

// Acknowledges and pushes with one answering peer; stops at the first request that the
// peer does not answer. Touches no file, so it runs without the chain's writer lock.
void exchange(GossipMemo& memo, const std::string& peer, const PeerStatus& st,
              const std::vector<OwnEntry>& own, const std::string& me,
              SteadyClock::time_point budget_end) {
  PeerMemo& pm = memo.peers[peer];
  std::unordered_set<std::string> listed;
  for (const auto& e : st.mempool) {
    if (e.id) listed.insert(*e.id);
  }
  // An acknowledgement counts as delivered only while the peer lists its entry.
  std::erase_if(pm.acked, [&](const std::string& id) { return !listed.contains(id); });

  for (const auto& e : st.mempool) {
    if (!e.id || pm.acked.contains(*e.id)) continue;
    const std::string body = json{{"node_id", me}, {"txid", *e.id}}.dump();
    PeerRequest req;
    req.method = "POST";
    req.path = "/ack";
    req.body = ByteView(reinterpret_cast<const uint8_t*>(body.data()), body.size());
    req.content_type = "application/json";
    req.timeout = kPostTimeout;
    req.deadline = budget_end;
    auto r = ask(memo, peer, req);
    if (!r && r.error() == PeerFail::Down) return;
    if (SteadyClock::now() >= budget_end) return;
    pm.acked.insert(*e.id);
  }

  for (const OwnEntry& entry : own) {
    if (!entry.txid.empty() && listed.contains(entry.txid)) continue;
    PeerRequest req;
    req.method = "POST";
    req.path = "/tx";
    req.body = *entry.raw;
    req.content_type = "application/octet-stream";
    req.timeout = kPostTimeout;
    req.deadline = budget_end;
    auto r = ask(memo, peer, req);
    if (!r && r.error() == PeerFail::Down) return;
  }
}

}  // namespace

std::vector<LogLine> gossip(Chain& chain, GossipMemo& memo) {
  std::vector<LogLine> lines;
  const std::string me = own_id(chain);
  const std::vector<std::string> peers = peers_of(chain);
  // What is pushed this call: transactions imported from one peer reach the others in a
  // later tick.
  const std::vector<Bytes> snapshot = mempool_of(chain);
  std::vector<OwnEntry> own;
  std::unordered_set<std::string> known;
  OwnHex own_hex;
  for (const Bytes& raw : snapshot) {
    std::string id;
    if (auto d = codec::decode_tx(raw)) id = hex::encode(codec::txid(d->tx));
    if (!id.empty()) {
      known.insert(id);
      own_hex.emplace(id, hex::encode(raw));
    }
    own.push_back({&raw, std::move(id)});
  }
  const std::string tip = chain.tip_hash_hex();
  if (memo.refused_tip != tip) {
    memo.refused_txids.clear();
    memo.refused_tip = tip;
  }

  // The peers are asked first, without the chain's writer lock: a one-shot command beside
  // the node never waits on a slow peer. Link states and imports then share one short
  // save, and the acknowledgements and pushes go out after it.
  std::vector<std::pair<std::string, const char*>> links;
  std::vector<std::pair<std::string, PeerStatus>> answering;
  ask_statuses(memo, peers);
  for (const std::string& peer : peers) {
    auto it = memo.seen.find(peer);
    if (it == memo.seen.end()) {
      links.emplace_back(peer, "down");
      continue;
    }
    if (it->second.node_id == me) {
      links.emplace_back(peer, "self");
      continue;
    }
    links.emplace_back(peer, "up");
    answering.emplace_back(peer, std::move(it->second));
    memo.seen.erase(it);
  }

  chain.hold_saves();
  for (const auto& [peer, link] : links) set_link(chain, peer, link);
  for (const auto& [peer, st] : answering) import_from(chain, memo, st, own_hex, known);
  if (auto saved = chain.flush_saves(); !saved) {
    lines.push_back({false, "state: " + saved.error().to_string()});
  }

  // One budget for every peer's acknowledgements and pushes; each tick another peer goes
  // first.
  const auto budget_end = SteadyClock::now() + kGossipBudget;
  const size_t turn = memo.turn++;
  for (size_t i = 0; i < answering.size(); ++i) {
    const auto& [peer, st] = answering[(turn + i) % answering.size()];
    if (SteadyClock::now() >= budget_end) break;
    if (memo.down.contains(peer)) continue;
    exchange(memo, peer, st, own, me, budget_end);
  }
  gossip_nft(chain, memo, in_turn(peers_of(chain), turn));
  // A peer that answered everything it was asked in this tick starts afresh; one that
  // answers its status but lets the rest time out stays backed off.
  for (const auto& [peer, st] : answering) {
    if (!memo.down.contains(peer)) memo.peers[peer].silent.succeeded();
  }
  return lines;
}

void gossip_nft(Chain& chain, GossipMemo& memo, const std::vector<std::string>& peers) {
  const auto dir = nft::dir(chain.path());
  const std::vector<std::string> local = nft::list_hex(dir);
  // Ids stored now; an image fetched from one peer is not fetched again from the next.
  std::set<std::string> stored(local.begin(), local.end());
  // One budget for the whole exchange: images that do not travel in this tick travel in
  // a later one.
  const auto budget_end = SteadyClock::now() + kNftBudget;
  for (const std::string& peer : peers) {
    if (memo.down.contains(peer)) continue;
    if (memo.peers[peer].silent.active(SteadyClock::now())) continue;
    if (SteadyClock::now() >= budget_end) break;
    auto body = ask(memo, peer, get("/nft", kNftListTimeout, budget_end));
    if (!body) continue;
    auto remote = read_nft_hashes(*body);
    if (!remote) continue;
    const std::set<std::string> remote_set(remote->begin(), remote->end());
    bool answering = true;
    for (const std::string& id : *remote) {
      if (!answering) break;
      if (stored.contains(id)) continue;
      // A disk that keeps no more than the chain's reserve takes no image: none is fetched.
      if (!nft::has_room(dir, nft::kMaxBytes)) break;
      const std::string path = "/nft/" + id;
      auto image =
          ask(memo, peer, get(path, kImageTimeout, budget_end, "application/octet-stream"));
      if (image) {
        if (nft::ingest(dir, *image)) stored.insert(id);
      } else if (image.error() == PeerFail::Down) {
        answering = false;
      }
    }
    for (const std::string& id : local) {
      if (!answering) break;
      if (remote_set.contains(id)) continue;
      auto image = nft::read(dir, id);
      if (!image) continue;
      PeerRequest req;
      req.method = "POST";
      req.path = "/nft";
      req.body = *image;
      req.content_type = "image/jpeg";
      req.timeout = kImageTimeout;
      req.deadline = budget_end;
      auto r = ask(memo, peer, req);
      if (!r && r.error() == PeerFail::Down) answering = false;
    }
  }
}

}  // namespace node

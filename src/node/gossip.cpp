#include "node/gossip.h"

#include <algorithm>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>

#include "core/codec.h"
#include "core/hex.h"
#include "core/json_text.h"
#include "ledger/nft.h"
#include "node/node_ledger.h"

namespace node {

namespace {

using json = nlohmann::json;
using std::chrono::milliseconds;

std::optional<json> parse_json(ByteView body) { return jtext::parse(bytes::text(body)); }

const json* member(const json& obj, const char* key) {
  if (!obj.is_object()) return nullptr;
  auto it = obj.find(key);
  return it == obj.end() ? nullptr : &*it;
}

std::optional<std::string> string_member(const json& obj, const char* key) {
  const json* v = member(obj, key);
  if (v == nullptr || !v->is_string()) return std::nullopt;
  return v->get<std::string>();
}

std::string own_id(const Chain& chain) { return chain.own_id(); }

// A peer call that also counts the request.
std::expected<Bytes, PeerFail> ask(GossipMemo& memo, const std::string& peer, PeerRequest req) {
  ++memo.requests;
  auto r = peer_call(peer, req);
  if (!r && r.error() == PeerFail::Down) memo.down.insert(peer);
  return r;
}

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

// Whether a remembered refusal still covers what the peer claims now.
bool still_refused(PeerMemo& pm, const Claim& c) {
  if (!pm.refused) return false;
  if (pm.refused->height == c.height && pm.refused->tip == c.tip &&
      SteadyClock::now() < pm.refused_until) {
    return true;
  }
  pm.refused.reset();
  return false;
}

void refuse(GossipMemo& memo, const Claim& c, SteadyClock::time_point until) {
  PeerMemo& pm = memo.peers[c.peer];
  pm.refused = c;
  pm.refused_until = until;
  pm.last_refused = SteadyClock::now();
}

}  // namespace

std::optional<PeerStatus> read_status(ByteView body) {
  // A mempool entry's inputs and outputs are never read here; the parser drops them (and
  // every member of an entry but "id" and "raw") instead of building them.
  std::optional<json> doc =
      jtext::parse(bytes::text(body), [](int depth, json::parse_event_t event, json& parsed) {
        if (event != json::parse_event_t::key || depth != 3) return true;
        const auto& key = parsed.get_ref<const std::string&>();
        return key == "id" || key == "raw";
      });
  if (!doc) return std::nullopt;
  PeerStatus st;
  st.node_id = string_member(*doc, "node_id").value_or("");
  if (const json* h = member(*doc, "height")) {
    if (h->is_number_integer() && !h->is_number_unsigned()) {
      st.height = h->get<int64_t>();
    } else if (h->is_number_unsigned() &&
               h->get<uint64_t>() <= uint64_t(std::numeric_limits<int64_t>::max())) {
      st.height = static_cast<int64_t>(h->get<uint64_t>());
    }
  }
  if (auto tip = string_member(*doc, "tip"); tip && !tip->empty()) st.tip = std::move(tip);
  if (const json* pool = member(*doc, "mempool"); pool && pool->is_array()) {
    for (const json& e : *pool) {
      st.mempool.push_back({string_member(e, "raw"), string_member(e, "id")});
    }
  }
  return st;
}

std::optional<std::vector<std::string>> read_nft_hashes(ByteView body) {
  auto doc = parse_json(body);
  if (!doc) return std::nullopt;
  std::vector<std::string> out;
  const json* list = member(*doc, "hashes");
  if (list == nullptr || !list->is_array()) return out;
  for (const json& e : *list) {
    if (!e.is_string()) continue;
    std::string id = e.get<std::string>();
    std::transform(id.begin(), id.end(), id.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    if (nft::is_hash(id)) out.push_back(std::move(id));
  }
  return out;
}

bool is_candidate(const Claim& c, int64_t own_height, std::string_view own_tip) {
  if (c.height > own_height) return true;
  return c.height == own_height && c.tip && *c.tip != own_tip && *c.tip < own_tip;
}

bool displaces(const Claim& c, const Claim& best) {
  if (c.height != best.height) return c.height > best.height;
  return c.tip && best.tip && *c.tip < *best.tip;
}

CatchUp catch_up(Chain& chain, GossipMemo& memo) {
  const std::vector<std::string> peers = peers_of(chain);
  const int64_t own_height = height_of(chain);
  const std::string own_tip = chain.tip_hash_hex();
  const std::string me = own_id(chain);
  CatchUp out;
  if (peers.empty()) return out;

  // Every peer ahead, best first; a peer whose chain fails is passed over for the next.
  std::vector<Claim> ahead;
  std::vector<Claim> candidates;
  for (const std::string& peer : peers) {
    if (memo.down.contains(peer)) continue;
    auto body = ask(memo, peer, get("/status", kStatusTimeout, SteadyClock::time_point::max()));
    if (!body) continue;
    auto st = read_status(*body);
    if (!st) continue;
    memo.seen[peer] = *st;
    if (st->node_id == me) continue;
    Claim c{peer, st->height, st->tip};
    PeerMemo& pm = memo.peers[peer];
    if (still_refused(pm, c)) continue;
    const bool trusted = !pm.last_refused || SteadyClock::now() - *pm.last_refused > kDistrust;
    if (c.height > own_height && trusted) ahead.push_back(c);
    if (is_candidate(c, own_height, own_tip)) candidates.push_back(std::move(c));
  }
  // Stable: among equals the first in list order stays first.
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const Claim& a, const Claim& b) { return displaces(a, b); });

  // Peers whose chain adoption refused in this tick: the node goes on as if level.
  std::unordered_set<std::string> refused_now;
  for (const Claim& best : candidates) {
    auto chain_bytes = ask(memo, best.peer, [&] {
      auto r =
          get("/chain", kChainTimeout, SteadyClock::time_point::max(), "application/octet-stream");
      r.max_reply = kMaxChainReply;
      return r;
    }());
    if (!chain_bytes) {
      refuse(memo, best, SteadyClock::now() + kFetchRetry);
      out.lines.push_back({false, "could not fetch chain from " + best.peer});
      continue;
    }
    if (chain_bytes->size() < 4 ||
        !std::equal(chain::kMagic.begin(), chain::kMagic.end(), chain_bytes->begin())) {
      refuse(memo, best, SteadyClock::time_point::max());
      out.lines.push_back({false, "peer " + best.peer + " sent a bad chain file"});
      continue;
    }
    const int64_t old_height = height_of(chain);
    if (auto adopted = chain.adopt_bytes(*chain_bytes); !adopted) {
      refuse(memo, best, SteadyClock::time_point::max());
      refused_now.insert(best.peer);
      out.lines.push_back({false, "sync: " + adopted.error().to_string()});
      continue;
    }
    const int64_t new_height = height_of(chain);
    // A chain shorter than claimed, or not the advertised one, does not count as the
    // peer's: its claim is set aside until it changes.
    const bool as_claimed =
        new_height > best.height || (new_height == best.height && best.tip == chain.tip_hash_hex());
    if (!as_claimed) refuse(memo, best, SteadyClock::time_point::max());
    out.lines.push_back({true, "adopted " + best.peer + "  h" + std::to_string(old_height) +
                                   "\u2192h" + std::to_string(new_height) + "  " +
                                   hex::short_hash(best.tip.value_or(""))});
    if (as_claimed) break;
  }

  // Still behind: a trusted peer claimed more than we hold now. A claim that failed in
  // this tick still counts here, and is set aside from the next tick on.
  const int64_t now_height = height_of(chain);
  out.behind = std::any_of(ahead.begin(), ahead.end(), [&](const Claim& c) {
    return c.height > now_height && !refused_now.contains(c.peer);
  });
  return out;
}

namespace {

struct OwnEntry {
  const Bytes* raw;
  std::string txid;
};

// Takes into the mempool what an answering peer lists and this node lacks. Runs while
// the chain's saves are held, so every import of the tick shares one save.
void import_from(Chain& chain, GossipMemo& memo, const PeerStatus& st,
                 std::unordered_set<std::string>& known) {
  for (const auto& e : st.mempool) {
    if (!e.raw || e.raw->size() % 2 != 0) continue;
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
              const std::vector<OwnEntry>& own, const std::string& me) {
  const auto budget_end = SteadyClock::now() + kPeerBudget;
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

void gossip(Chain& chain, GossipMemo& memo) {
  const std::string me = own_id(chain);
  const std::vector<std::string> peers = peers_of(chain);
  // What is pushed this call: transactions imported from one peer reach the others in a
  // later tick.
  const std::vector<Bytes> snapshot = mempool_of(chain);
  std::vector<OwnEntry> own;
  std::unordered_set<std::string> known;
  for (const Bytes& raw : snapshot) {
    std::string id;
    if (auto d = codec::decode_tx(raw)) id = hex::encode(codec::txid(d->tx));
    if (!id.empty()) known.insert(id);
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
  for (const std::string& peer : peers) {
    if (memo.down.contains(peer)) {
      links.emplace_back(peer, "down");
      continue;
    }
    std::optional<PeerStatus> st;
    if (auto it = memo.seen.find(peer); it != memo.seen.end()) {
      st = std::move(it->second);
      memo.seen.erase(it);
    } else if (auto body = ask(memo, peer,
                               get("/status", kStatusTimeout, SteadyClock::time_point::max()))) {
      st = read_status(*body);
    }
    if (!st) {
      links.emplace_back(peer, "down");
      continue;
    }
    if (st->node_id == me) {
      links.emplace_back(peer, "self");
      continue;
    }
    links.emplace_back(peer, "up");
    answering.emplace_back(peer, std::move(*st));
  }

  chain.hold_saves();
  for (const auto& [peer, link] : links) set_link(chain, peer, link);
  for (const auto& [peer, st] : answering) import_from(chain, memo, st, known);
  (void)chain.flush_saves();

  for (const auto& [peer, st] : answering) exchange(memo, peer, st, own, me);
  gossip_nft(chain, memo, peers_of(chain));
}

void gossip_nft(Chain& chain, GossipMemo& memo, const std::vector<std::string>& peers) {
  const auto dir = nft::dir(chain.path());
  const std::vector<std::string> local = nft::list_hex(dir);
  // Ids stored now; an image fetched from one peer is not fetched again from the next.
  std::set<std::string> stored(local.begin(), local.end());
  for (const std::string& peer : peers) {
    if (memo.down.contains(peer)) continue;
    const auto budget_end = SteadyClock::now() + kNftBudget;
    auto body = ask(memo, peer, get("/nft", kNftListTimeout, budget_end));
    if (!body) continue;
    auto remote = read_nft_hashes(*body);
    if (!remote) continue;
    const std::set<std::string> remote_set(remote->begin(), remote->end());
    bool answering = true;
    for (const std::string& id : *remote) {
      if (!answering) break;
      if (stored.contains(id)) continue;
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

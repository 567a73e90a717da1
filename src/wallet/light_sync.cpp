// Light sync: paging blocks from a node, the cache of what the wallet owns, and the key sets
// that open its outputs.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "core/clock.h"
#include "core/hex.h"
#include "core/json_text.h"
#include "wallet/light.h"
#include "wallet/light_internal.h"
#include "wallet/secret_memory.h"

namespace light {

namespace {

using jtext::as_i64;
using jtext::as_string;
using jtext::as_u64;
using jtext::member;
using namespace internal;

// A page fetch has this long; paging starts no page with less of the sync's time left.
constexpr auto kPageTime = std::chrono::seconds(15);

// Whether the page's blocks are the ones asked for: heights `from`, `from` + 1, … in
// order, and a "next" (when given) that is the height after the last of them. A node whose
// pages run backwards, overlap or skip would apply blocks twice or page for ever.
bool page_in_order(const Page& page, uint64_t from) {
  uint64_t want = from;
  for (const PageBlock& b : page.blocks) {
    if (b.height != want) return false;
    ++want;
  }
  return !page.has_next || page.next == want;
}

// Whether every block of the page links to the one before it, the first to the block the
// cache ends with (none to link to when the cache is empty). A block that does not is a
// chain the node changed under the sync, often an honest node adopting a peer's chain.
bool page_links(const Page& page, const LightCache& cache) {
  const std::string* tip = cache.height >= 0 ? &cache.tip : nullptr;
  for (const PageBlock& b : page.blocks) {
    if (tip != nullptr && b.prev != *tip) return false;
    tip = &b.hash;
  }
  return true;
}

// One output of a block as the scan sees it: the output, its place in the chain and what
// opening it gave.
struct Slot {
  const codec::TxOutput* out = nullptr;
  uint64_t height = 0;
  const std::string* txid = nullptr;
  // Set by the scan: the first key set (in index order) that opened the output.
  std::optional<OpenedNote> note;
  uint64_t index = 0;
};

// The outputs of every transaction of a block, in order.
std::vector<Slot> slots_of(const PageBlock& block) {
  std::vector<Slot> slots;
  const uint64_t height = block.height.value_or(0);
  for (const PageTx& tx : block.txs) {
    for (const codec::TxOutput& o : tx.outputs) {
      slots.push_back(Slot{&o, height, &tx.id, std::nullopt, 0});
    }
  }
  return slots;
}

// Tries key sets `from`..`keys.size()` on the slot in order; the first that opens it wins.
void try_keys(Slot& s, std::span<const WalletKeys> keys, size_t from) {
  if (s.note) return;
  for (size_t k = from; k < keys.size(); ++k) {
    if (auto note = crypto::try_open_output(keys[k], *s.out, s.height, *s.txid)) {
      s.note = std::move(note);
      s.index = keys[k].index;
      return;
    }
  }
}

// Calls fn(i) for i in [0, n) on up to `threads` threads and waits for all of them.
void parallel_for(size_t n, unsigned threads, const std::function<void(size_t)>& fn) {
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  threads = static_cast<unsigned>(std::min<size_t>(threads, n));
  if (threads <= 1) {
    for (size_t i = 0; i < n; ++i) fn(i);
    return;
  }
  std::atomic<size_t> next{0};
  // The threads open notes, so they run on stacks that are wiped when they end.
  secmem::run_threads(threads - 1, [&] {
    for (size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < n;) fn(i);
  });
}

// Applies one block whose outputs are already opened (as far as `slots` says) to the cache:
// spent notes leave, opened notes arrive, rows are written. `index0` is the address of key
// index 0; `hints` the remembered sends.
void apply_opened(LightCache& cache, const PageBlock& block, std::vector<Slot>& slots,
                  const std::string& index0, const std::map<std::string, SendHint>& hints) {
  const uint64_t height = block.height.value_or(0);
  size_t slot = 0;
  for (const PageTx& tx : block.txs) {
    std::vector<OpenedNote> spent;
    for (const std::string& note_id : tx.inputs) {
      if (auto it = cache.notes.find(note_id); it != cache.notes.end()) {
        spent.push_back(std::move(it->second));
        cache.notes.erase(it);
      }
    }
    std::vector<OpenedNote> received;
    for (size_t n = tx.outputs.size(); n > 0; --n, ++slot) {
      Slot& s = slots[slot];
      // A note the cache already holds is no news: it adds no second row.
      if (!s.note || cache.notes.contains(s.note->note_id)) continue;
      cache.indices.insert(s.index);
      cache.notes.insert_or_assign(s.note->note_id, s.note->clone());
      received.push_back(std::move(*s.note));
    }
    if (spent.empty()) {
      for (const OpenedNote& n : received) {
        cache.history.push_back(HistRow{"in", n.memo, n.txid, n.from, index0, n.amount,
                                        static_cast<int64_t>(height), block.timestamp, 0, 0});
      }
      continue;
    }
    int64_t net = 0;
    for (const OpenedNote& n : spent) net = wrapping_add(net, n.amount);
    for (const OpenedNote& n : received) net = wrapping_sub(net, n.amount);
    if (net < 1) continue;
    auto hint = hints.find(tx.id);
    std::string memo;
    for (const OpenedNote& n : received) {
      if (!n.memo.empty()) {
        memo = n.memo;
        break;
      }
    }
    if (memo.empty() && hint != hints.end()) memo = hint->second.memo;
    cache.history.push_back(HistRow{"out", memo, tx.id,
                                    index0.empty() ? spent.front().from : index0,
                                    hint != hints.end() ? hint->second.to : "", net,
                                    static_cast<int64_t>(height), block.timestamp, 0, 0});
  }
  cache.height = static_cast<int64_t>(height);
  cache.tip = block.hash;
}

// The fast path over one page: every output of the page is tried against the key sets of
// the page's start on all cores, then the blocks are applied in order. A block that may
// scan further (an output of an earlier block opened by a high index) tries the extra key
// sets on the outputs no earlier key set opened, which is what trying all of them in
// index order would give.
void apply_page(LightCache& cache, const std::vector<PageBlock>& blocks, Keyring& keyring,
                const Book& book, const std::map<std::string, SendHint>& hints, unsigned threads) {
  std::vector<std::vector<Slot>> per_block;
  per_block.reserve(blocks.size());
  std::vector<Slot*> all;
  for (const PageBlock& b : blocks) per_block.push_back(slots_of(b));
  for (auto& v : per_block) {
    for (Slot& s : v) all.push_back(&s);
  }
  const uint64_t high0 = scan_high(book, cache.indices);
  std::span<const WalletKeys> keys = keyring.upto(high0);
  parallel_for(all.size(), threads, [&](size_t i) { try_keys(*all[i], keys, 0); });
  const std::string index0 = keys.empty() ? "" : keys.front().address;
  for (size_t b = 0; b < blocks.size(); ++b) {
    const uint64_t high = scan_high(book, cache.indices);
    if (high > high0) {
      std::span<const WalletKeys> wider = keyring.upto(high);
      for (Slot& s : per_block[b]) try_keys(s, wider, keys.size());
    }
    apply_opened(cache, blocks[b], per_block[b], index0, hints);
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Keyring

struct Keyring::Impl {
  std::optional<crypto::MasterKey> master;
  // Tells a changed mnemonic apart without keeping its text; wiped like the key.
  crypto::Secret<32> mnemonic_hash;
  std::vector<WalletKeys> keys;
};

Keyring::Keyring() : impl_(std::make_unique<Impl>()) {}
Keyring::~Keyring() = default;

const crypto::MasterKey& Keyring::master(std::string_view mnemonic) {
  crypto::Secret<32> h;
  hashing::hash_secret_parts({bytes::of(mnemonic)}, h.data(), h.size());
  if (!impl_->master || !(h == impl_->mnemonic_hash)) {
    impl_->keys.clear();
    impl_->master = crypto::derive_master_key(mnemonic);
    impl_->mnemonic_hash = h;
  }
  return *impl_->master;
}

std::span<const WalletKeys> Keyring::upto(uint64_t high) {
  if (!impl_->master) return {};
  while (impl_->keys.size() <= high) {
    impl_->keys.push_back(WalletKeys::from_master(*impl_->master, impl_->keys.size()));
  }
  return std::span<const WalletKeys>(impl_->keys.data(), high + 1);
}

void Keyring::clear() {
  impl_->master.reset();
  impl_->keys.clear();
  impl_->mnemonic_hash = crypto::Secret<32>();
}

// ---------------------------------------------------------------------------------------
// Stored forms

std::optional<codec::TxOutput> json_to_output(const nlohmann::json& out) {
  auto field = [&](const char* key) -> std::optional<std::string_view> {
    const nlohmann::json* v = member(out, key);
    if (v == nullptr || !v->is_string()) return std::nullopt;
    return std::string_view(v->get_ref<const std::string&>());
  };
  std::optional<std::string_view> tag = field("stealth_tag"), eph = field("eph_pub"),
                                  auth = field("auth_pk"), ct = field("ciphertext");
  if (!tag || !eph || !auth || !ct) return std::nullopt;
  return output_of(*tag, *eph, *auth, *ct);
}

nlohmann::json note_to_json(const OpenedNote& note) {
  return nlohmann::json{{"note_id", note.note_id},
                        {"amount", note.amount},
                        {"memo", note.memo},
                        {"from", note.from},
                        {"auth_sk", hex::encode(note.auth_sk.view())},
                        {"auth_pk", note.auth_pk},
                        {"height", note.height},
                        {"txid", note.txid}};
}

nlohmann::json hist_to_json(const HistRow& row) {
  return nlohmann::json{{"dir", row.dir},       {"amount", row.amount}, {"memo", row.memo},
                        {"height", row.height}, {"txid", row.txid},     {"time", row.time},
                        {"from", row.from},     {"to", row.to}};
}

LightCache cache_from_book(const Book& book) {
  static const nlohmann::json kNull;
  const nlohmann::json* found = member(book, "sync");
  const nlohmann::json& sync = found != nullptr ? *found : kNull;
  LightCache cache;
  for (const nlohmann::json& e : array_or_empty(member(book, "addresses"))) {
    if (auto i = as_u64(member(e, "index"))) cache.indices.insert(*i);
  }
  cache.indices.insert(0);
  cache.height = as_i64(member(sync, "height")).value_or(-1);
  // A height past what a node may report cannot be counted on from; the cache starts over.
  if (cache.height < -1 || cache.height > kMaxHeight) {
    cache.height = -1;
    return cache;
  }
  cache.tip = as_string(member(sync, "tip")).value_or("");
  for (const nlohmann::json& e : array_or_empty(member(sync, "notes"))) {
    std::optional<std::string> sk_hex = as_string(member(e, "auth_sk"));
    std::optional<Bytes> sk = sk_hex ? hex::decode(*sk_hex) : std::nullopt;
    std::optional<std::string> note_id = as_string(member(e, "note_id"));
    std::optional<int64_t> amount = as_i64(member(e, "amount"));
    std::optional<std::string> auth_pk = as_string(member(e, "auth_pk"));
    std::optional<int64_t> height = as_i64(member(e, "height"));
    std::optional<std::string> txid = as_string(member(e, "txid"));
    if (sk_hex) hashing::wipe(sk_hex->data(), sk_hex->size());
    bool ok = sk && sk->size() == 64 && note_id && amount && auth_pk && height && txid;
    if (ok) {
      OpenedNote n;
      n.note_id = *note_id;
      n.memo = as_string(member(e, "memo")).value_or("");
      n.from = as_string(member(e, "from")).value_or("");
      n.auth_pk = *auth_pk;
      n.txid = *txid;
      n.amount = *amount;
      std::copy(sk->begin(), sk->end(), n.auth_sk.data());
      n.height = static_cast<uint64_t>(*height);
      cache.notes.insert_or_assign(*note_id, std::move(n));
    }
    if (sk) hashing::wipe(sk->data(), sk->size());
  }
  for (const nlohmann::json& e : array_or_empty(member(sync, "history"))) {
    std::optional<std::string> dir = as_string(member(e, "dir"));
    std::optional<int64_t> amount = as_i64(member(e, "amount"));
    std::optional<int64_t> height = as_i64(member(e, "height"));
    std::optional<std::string> txid = as_string(member(e, "txid"));
    if (!dir || !amount || !height || !txid) continue;
    cache.history.push_back(HistRow{*dir, as_string(member(e, "memo")).value_or(""), *txid,
                                    as_string(member(e, "from")).value_or(""),
                                    as_string(member(e, "to")).value_or(""), *amount, *height,
                                    as_u64(member(e, "time")).value_or(0), 0, 0});
  }
  return cache;
}

void cache_into_book(Book& book, const LightCache& cache) {
  if (!book.is_object()) return;
  nlohmann::json notes = nlohmann::json::array();
  for (const auto& [id, note] : cache.notes) notes.push_back(note_to_json(note));
  nlohmann::json history = nlohmann::json::array();
  for (const HistRow& row : cache.history) history.push_back(hist_to_json(row));
  book["sync"] = nlohmann::json{{"height", cache.height},
                                {"tip", cache.tip},
                                {"notes", std::move(notes)},
                                {"history", std::move(history)}};
}

void reset_cache(Book& book) { cache_into_book(book, LightCache{}); }

// ---------------------------------------------------------------------------------------
// Keys and blocks

std::vector<WalletKeys> scan_keys(const crypto::MasterKey& master, const Book& book,
                                  const std::set<uint64_t>& indices) {
  std::vector<WalletKeys> keys;
  const uint64_t high = scan_high(book, indices);
  for (uint64_t i = 0; i <= high; ++i) keys.push_back(WalletKeys::from_master(master, i));
  return keys;
}

void apply_block(LightCache& cache, const nlohmann::json& block, const crypto::MasterKey& master,
                 const Book& book) {
  std::vector<WalletKeys> keys = scan_keys(master, book, cache.indices);
  std::map<std::string, SendHint> hints = walletdb::send_hints(book);
  const PageBlock read = read_block(block);
  std::vector<Slot> slots = slots_of(read);
  for (Slot& s : slots) try_keys(s, keys, 0);
  apply_opened(cache, read, slots, keys.empty() ? "" : keys.front().address, hints);
}

namespace {

void discover_with(Book& book, const LightCache& cache,
                   const std::function<std::string(uint64_t)>& address_of) {
  if (!book.is_object()) return;
  std::set<uint64_t> known;
  const nlohmann::json* addrs = member(book, "addresses");
  for (const nlohmann::json& e : array_or_empty(addrs)) {
    if (auto i = as_u64(member(e, "index"))) known.insert(*i);
  }
  uint64_t next = as_u64(member(book, "next_index")).value_or(1);
  // An "addresses" member of another type is left alone and the entries are dropped.
  const bool can_append = addrs != nullptr && addrs->is_array();
  for (uint64_t i : cache.indices) {
    if (known.contains(i)) continue;
    nlohmann::json entry = {
        {"index", i},
        {"address", address_of(i)},
        {"created", sysclock::unix_now()},
        {"label", i == 0 ? std::string("primary") : "recv-" + std::to_string(i)}};
    if (can_append) book["addresses"].push_back(std::move(entry));
    known.insert(i);
    if (i + 1 > next) next = i + 1;
  }
  book["next_index"] = next;
}

}  // namespace

void discover_into_book(Book& book, const LightCache& cache) {
  std::optional<std::string> mnemonic = as_string(member(book, "mnemonic"));
  if (!mnemonic) return;
  crypto::MasterKey master = crypto::derive_master_key(*mnemonic);
  hashing::wipe(mnemonic->data(), mnemonic->size());
  discover_with(book, cache,
                [&](uint64_t i) { return WalletKeys::from_master(master, i).address; });
}

void discover_into_book(Book& book, const LightCache& cache, Keyring& keys) {
  std::optional<std::string> mnemonic = as_string(member(book, "mnemonic"));
  if (!mnemonic) return;
  keys.master(*mnemonic);
  hashing::wipe(mnemonic->data(), mnemonic->size());
  discover_with(book, cache, [&](uint64_t i) { return keys.upto(i)[i].address; });
}

// ---------------------------------------------------------------------------------------
// Paging and sync

Result<Page> fetch_page(std::string_view entry, uint64_t from, const Transport& t) {
  // Blocks full of large transfers can make a page of 32 larger than the wallet reads; that
  // page is asked for again as one block, which the reply bound always holds.
  for (uint64_t limit : {kPageBlocks, uint64_t{1}}) {
    std::string path = "/blocks?from=" + std::to_string(from) + "&limit=" + std::to_string(limit);
    bool too_large = false;
    Call call{entry, "GET", path, {}, "application/json", kPageTime.count()};
    call.too_large = &too_large;
    std::optional<Bytes> body = t(call);
    if (!body) {
      if (too_large) continue;
      break;
    }
    Result<Page> page = read_page(bytes::text(*body));
    if (page) page->asked = limit;
    return page;
  }
  return fail(std::string(kNoBlocks));
}

Result<WalletView> sync(std::span<const std::string> nodes, Book& book, Keyring& keys,
                        const SyncOptions& opts) {
  std::optional<std::string> mnemonic = as_string(member(book, "mnemonic"));
  if (!mnemonic) return fail(std::string(walletdb::kNoSeed));
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = opts.deadline.value_or(Clock::now() + kSyncTime);
  const Transport& inner = opts.transport != nullptr ? *opts.transport : http();
  // Every call of the sync ends by the sync's own deadline, and at once when cancelled.
  const Transport t = [&](const Call& c) -> std::optional<Bytes> {
    if (opts.cancel != nullptr && opts.cancel->load()) return std::nullopt;
    Call bounded = c;
    bounded.deadline = std::min(c.deadline, deadline);
    if (opts.cancel != nullptr) bounded.cancel = opts.cancel;
    return inner(bounded);
  };
  Result<NodeInfo> node = first_node(nodes, t);
  if (!node) return std::unexpected(node.error());
  // A height no chain can reach is a node that lies; -1 is one without blocks.
  if (node->height < -1 || node->height > kMaxHeight) return fail(std::string(kBadBlocks));
  LightCache cache = cache_from_book(book);

  if (cache.height >= 0) {
    Result<Page> page = fetch_page(node->addr, static_cast<uint64_t>(cache.height), t);
    if (!page) return std::unexpected(page.error());
    const PageBlock* found = nullptr;
    for (const PageBlock& b : page->blocks) {
      if (b.height == static_cast<uint64_t>(cache.height)) {
        found = &b;
        break;
      }
    }
    bool reset = std::any_of(cache.history.begin(), cache.history.end(),
                             [](const HistRow& r) { return r.dir == "in" && r.from.empty(); });
    if (found != nullptr && found->hash != cache.tip) reset = true;
    if (found == nullptr && node->height > cache.height) reset = true;
    if (node->height < cache.height) reset = true;
    if (reset) cache = LightCache{};
  }

  keys.master(*mnemonic);
  hashing::wipe(mnemonic->data(), mnemonic->size());
  const std::map<std::string, SendHint> hints = walletdb::send_hints(book);
  uint64_t from = static_cast<uint64_t>(std::max<int64_t>(cache.height + 1, 0));
  bool out_of_time = false;
  // Paging never asks past the height the node claimed when the sync began.
  while (node->height >= 0 && from <= static_cast<uint64_t>(node->height)) {
    if (Clock::now() + kPageTime > deadline) {
      out_of_time = true;
      break;
    }
    Result<Page> page = fetch_page(node->addr, from, t);
    if (!page) return std::unexpected(page.error());
    if (!page->listed || page->blocks.empty()) break;
    if (!page_in_order(*page, from)) return fail(std::string(kBadBlocks));
    // Nothing of a sync across two chains reaches the book; the next sync's check finds
    // where the cache stands on the node's chain then.
    if (!page_links(*page, cache)) return fail(std::string(kChainMoved));
    apply_page(cache, page->blocks, keys, book, hints, opts.threads);
    const int64_t top = page->height.value_or(node->height);
    if (cache.height >= top || page->blocks.size() < page->asked) break;
    from += page->blocks.size();
  }
  // A node with a height and no pages to show stands for a chain the wallet has nothing
  // in; a sync cut short by its deadline only keeps what it applied.
  if (!out_of_time && node->height >= 0 && cache.height < 0) {
    cache.height = node->height;
    cache.tip = node->tip;
  }
  discover_into_book(book, cache, keys);
  cache_into_book(book, cache);
  WalletView view = view_from(cache, *node, book, keys);
  if (cache.height < node->height) view.stopped_short_of = node->height;
  return view;
}

Result<WalletView> sync(std::span<const std::string> nodes, Book& book) {
  Keyring keys;
  return sync(nodes, book, keys);
}

}  // namespace light

// The wallet's readers of what a node says: the status document (`light::ping`), block
// pages (`light::fetch_page`, checked against the page's JSON tree) and a whole sync, and its
// stored sync cache. A sync that takes the node's blocks a page at a time, with the outputs of a
// page tried on every key set at once, ends with the cache that applying the same blocks
// one by one gives; and a stored cache reads back unchanged.
//
// The first byte picks the mode. Mode 0: the rest is a JSON object with "blocks" (the
// node's blocks as its pages list them, served 32 at a time), "status" (members that
// replace those of the node's status document) and "sync" (a stored cache the wallet
// starts from; without one the two ways of syncing are compared). Mode 1: the rest is
// the body of every reply, read as a status document and as a page.
#include "core/json_text.h"
#include "core/seed.h"
#include "fuzz.h"
#include "wallet/light.h"
#include "wallet/light_internal.h"

namespace {

using json = nlohmann::json;

constexpr std::string_view kNode = "198.51.100.7:19191";
constexpr size_t kMaxBlocks = 70;
constexpr size_t kMaxOutputs = 48;

// The wallet of the seed corpus, whose keys make_corpus writes outputs for.
std::string fuzz_phrase() {
  Bytes entropy(16);
  for (size_t i = 0; i < entropy.size(); ++i) entropy[i] = static_cast<uint8_t>(i * 13);
  return seed::to_mnemonic(seed::from_entropy(entropy).value());
}

struct Wallet {
  std::string phrase;
  light::Keyring keys;
  json book;
  Wallet() {
    crypto::init();
    phrase = fuzz_phrase();
    book = walletdb::blank(phrase);
    keys.master(phrase);
  }
};

bool same_cache(const light::LightCache& a, const light::LightCache& b) {
  if (a.height != b.height || a.tip != b.tip || a.history != b.history ||
      a.notes.size() != b.notes.size()) {
    return false;
  }
  for (auto ia = a.notes.begin(), ib = b.notes.begin(); ia != a.notes.end(); ++ia, ++ib) {
    if (ia->first != ib->first ||
        light::note_to_json(ia->second) != light::note_to_json(ib->second)) {
      return false;
    }
  }
  return true;
}

size_t outputs_in(const json& blocks) {
  size_t n = 0;
  for (const json& b : blocks) {
    const json* txs = jtext::member(b, "txs");
    if (!txs || !txs->is_array()) continue;
    for (const json& tx : *txs) {
      const json* outs = jtext::member(tx, "outputs");
      if (outs && outs->is_array()) n += outs->size();
    }
  }
  return n;
}

// The node of mode 0: its status document and its pages of the given blocks.
light::Transport node_of(const json& status, const json& blocks) {
  return [status, blocks](const light::Call& c) -> std::optional<Bytes> {
    if (c.host != kNode) return std::nullopt;
    std::string out;
    if (c.path == "/status") {
      out = jtext::dump(status);
    } else if (c.path.starts_with("/blocks?from=")) {
      std::string_view rest = c.path.substr(13);
      uint64_t from = 0;
      for (char ch : rest.substr(0, rest.find('&'))) from = from * 10 + uint64_t(ch - '0');
      json page = {{"ok", true}, {"blocks", json::array()}};
      for (uint64_t i = from; i < blocks.size() && i < from + 32; ++i) {
        page["blocks"].push_back(blocks[i]);
      }
      page["next"] = from + page["blocks"].size();
      out = jtext::dump(page);
    } else {
      return std::nullopt;
    }
    return Bytes(out.begin(), out.end());
  };
}

// The cache applying the same blocks one by one, with the same stops as paging (which
// never asks past the node's height).
light::LightCache one_by_one(const json& blocks, const json& book, int64_t node_height,
                             const std::string& node_tip, const crypto::MasterKey& master) {
  light::LightCache cache = light::cache_from_book(book);
  for (size_t from = 0; node_height >= 0 && from <= static_cast<uint64_t>(node_height);
       from += 32) {
    size_t n = 0;
    for (size_t i = from; i < blocks.size() && i < from + 32; ++i, ++n) {
      light::apply_block(cache, blocks[i], master, book);
    }
    if (n == 0 || cache.height >= node_height || n < 32) break;
  }
  if (node_height >= 0 && cache.height < 0) {
    cache.height = node_height;
    cache.tip = node_tip;
  }
  return cache;
}

void cache_reads_back(const json& book) {
  light::LightCache cache = light::cache_from_book(book);
  json again = book.is_object() ? book : json::object();
  light::cache_into_book(again, cache);
  light::LightCache read = light::cache_from_book(again);
  fuzz::check(same_cache(cache, read) && read.indices == light::cache_from_book(again).indices,
              "a stored cache reads back unchanged");
}

// What the page's JSON says the reader gives, each member given twice counting with its
// last value as in the tree: refused unless "ok" is true, "blocks" (when an array) holds at
// most 32 objects and no height is one no chain reaches; else the same heights, hashes,
// links, times and the outputs that json_to_output reads.
void page_as_tree_says(const json& doc, const Result<light::Page>& page) {
  const json* ok = jtext::member(doc, "ok");
  const json* blocks = jtext::member(doc, "blocks");
  const json* height = jtext::member(doc, "height");
  auto reachable = [](std::optional<int64_t> h) {
    return h && *h >= -1 && *h <= light::internal::kMaxHeight;
  };
  bool fine = ok && ok->is_boolean() && ok->get<bool>();
  if (height && height->is_number()) fine = fine && reachable(jtext::as_i64(height));
  if (blocks && blocks->is_array()) {
    fine = fine && blocks->size() <= light::kPageBlocks;
    for (const json& b : *blocks) {
      const json* h = b.is_object() ? jtext::member(b, "height") : nullptr;
      fine = fine && b.is_object();
      if (h && h->is_number()) {
        std::optional<uint64_t> u = jtext::as_u64(h);
        fine = fine && u && reachable(static_cast<int64_t>(*u));
      }
    }
  }
  fuzz::check(page.has_value() == fine, "a page is read as its tree says");
  if (!page) {
    const json* error = jtext::member(doc, "error");
    if (!(ok && ok->is_boolean() && ok->get<bool>()) && error && error->is_string()) {
      fuzz::check(page.error().to_string() == error->get<std::string>(), "the node's error");
    } else {
      fuzz::check(page.error().to_string() == light::kBadBlocks, "a bad page");
    }
    return;
  }
  fuzz::check(page->height == jtext::as_i64(height), "the page's height");
  fuzz::check(page->has_next == (jtext::member(doc, "next") != nullptr), "a next");
  fuzz::check(page->next == jtext::as_u64(jtext::member(doc, "next")), "the next");
  const json& listed = light::internal::array_or_empty(blocks);
  fuzz::check(page->listed == (blocks && blocks->is_array()), "blocks listed");
  fuzz::check(page->blocks.size() == listed.size(), "every block");
  for (size_t i = 0; i < listed.size() && i < page->blocks.size(); ++i) {
    const json& b = listed[i];
    const light::PageBlock& read = page->blocks[i];
    fuzz::check(read.height == jtext::as_u64(jtext::member(b, "height")), "a block's height");
    fuzz::check(read.timestamp == jtext::as_u64(jtext::member(b, "timestamp")).value_or(0),
                "a block's time");
    fuzz::check(read.hash == jtext::as_string(jtext::member(b, "hash")).value_or(""),
                "a block's hash");
    fuzz::check(read.prev == jtext::as_string(jtext::member(b, "prev")).value_or(""),
                "a block's link");
    size_t outputs = 0, read_outputs = 0;
    for (const json& tx : light::internal::array_or_empty(jtext::member(b, "txs"))) {
      for (const json& o : light::internal::array_or_empty(jtext::member(tx, "outputs"))) {
        if (light::json_to_output(o)) ++outputs;
      }
    }
    for (const light::PageTx& tx : read.txs) read_outputs += tx.outputs.size();
    fuzz::check(outputs == read_outputs, "a block's outputs");
  }
}

void raw_replies(ByteView body) {
  light::Transport t = [&](const light::Call&) {
    return std::optional<Bytes>(Bytes(body.begin(), body.end()));
  };
  std::optional<json> doc = jtext::parse(fuzz::as_text(body));
  const json* ok = doc ? jtext::member(*doc, "ok") : nullptr;
  const bool accepted = ok && ok->is_boolean() && ok->get<bool>();
  std::optional<light::NodeInfo> info = light::ping(kNode, t);
  fuzz::check(info.has_value() == accepted, "a node counts only with ok true");
  if (info) fuzz::check(info->addr == kNode, "the pinged entry is kept");
  Result<light::Page> page = light::fetch_page(kNode, 0, t);
  if (doc) {
    page_as_tree_says(*doc, page);
    cache_reads_back(*doc);
  } else {
    fuzz::check(!page && page.error().to_string() == light::kBadBlocks, "a page that is not JSON");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Wallet wallet;
  fuzz::Input in(data, size);
  const uint8_t mode = in.u8();
  ByteView rest = in.rest();
  if (mode & 1) {
    raw_replies(rest);
    return 0;
  }
  std::optional<json> doc = jtext::parse(fuzz::as_text(rest));
  if (!doc || !doc->is_object()) return 0;
  const json* b = jtext::member(*doc, "blocks");
  if (!b || !b->is_array() || b->size() > kMaxBlocks || outputs_in(*b) > kMaxOutputs) return 0;
  const json blocks = *b;

  json status = {{"ok", true}, {"height", int64_t(blocks.size()) - 1}};
  if (!blocks.empty()) {
    if (const json* h = jtext::member(blocks.back(), "hash")) status["tip"] = *h;
  }
  if (const json* s = jtext::member(*doc, "status"); s && s->is_object()) {
    for (const auto& [k, v] : s->items()) status[k] = v;
  }
  light::Transport node = node_of(status, blocks);
  const std::vector<std::string> nodes = {std::string(kNode)};

  json book = wallet.book;
  const json* stored = jtext::member(*doc, "sync");
  if (stored) book["sync"] = *stored;
  cache_reads_back(book);

  const json before = book;
  light::SyncOptions opts;
  opts.transport = &node;
  opts.threads = 1;
  Result<light::WalletView> view = light::sync(nodes, book, wallet.keys, opts);
  if (!view) {
    fuzz::check(book == before, "a failed sync leaves the book");
    return 0;
  }
  cache_reads_back(book);
  if (stored) return 0;

  std::optional<light::NodeInfo> info = light::ping(kNode, node);
  fuzz::check(info.has_value(), "the node answers");
  light::LightCache paged = light::cache_from_book(book);
  light::LightCache single =
      one_by_one(blocks, before, info->height, info->tip, wallet.keys.master(wallet.phrase));
  fuzz::check(same_cache(paged, single), "paged sync equals block-by-block sync");
  for (uint64_t i : single.indices) {
    fuzz::check(paged.indices.contains(i), "every index that opened an output is listed");
  }
  return 0;
}

// The wallet's readers of what a node says: the status document (`light::ping`), block
// pages (`light::fetch_page`, `light::json_to_output`) and a whole sync, and its stored
// sync cache. A sync that takes the node's blocks a page at a time, with the outputs of a
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
  Result<json> page = light::fetch_page(kNode, 0, t);
  fuzz::check(page.has_value() == accepted, "a page counts only with ok true");
  if (page) {
    for (const json& b : light::internal::array_or_empty(jtext::member(*page, "blocks"))) {
      for (const json& tx : light::internal::array_or_empty(jtext::member(b, "txs"))) {
        for (const json& o : light::internal::array_or_empty(jtext::member(tx, "outputs"))) {
          if (auto out = light::json_to_output(o)) {
            fuzz::check(jtext::member(o, "ciphertext")->get_ref<const std::string&>().size() ==
                            2 * out->ciphertext.size(),
                        "an output's body is its hex");
          }
        }
      }
    }
  } else if (!doc) {
    fuzz::check(page.error().to_string() == light::kBadBlocks, "a page that is not JSON");
  }
  if (doc) cache_reads_back(*doc);
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

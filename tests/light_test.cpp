#include "wallet/light.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/hex.h"
#include "core/seed.h"
#include "ledger/chain_page.h"
#include "proc.h"

namespace fs = std::filesystem;

namespace {

using proc::TempDir;

const bool kCryptoReady = (crypto::init(), true);

// ---------------------------------------------------------------------------------------
// Node list file

TEST(LightNodes, DefaultListStartsWithThisMachine) {
  std::vector<std::string> d = light::default_nodes();
  ASSERT_EQ(d.size(), 4u);
  EXPECT_EQ(d[0], "127.0.0.1:19191");
  for (const std::string& e : d) EXPECT_TRUE(e.ends_with(":19191")) << e;
  EXPECT_EQ(std::set<std::string>(d.begin(), d.end()).size(), 4u);
}

TEST(LightNodes, LoadFallsBackToTheDefaults) {
  TempDir t;
  const fs::path wallet = t / "w" / "quv.wallet";
  fs::create_directories(t / "w");
  EXPECT_EQ(light::nodes_path(wallet), t / "w" / "quv.nodes");
  struct Case {
    const char* name;
    std::optional<std::string> file;  // nullopt: no file
    std::vector<std::string> want;    // empty: the defaults
  } cases[] = {
      {"no file", std::nullopt, {}},
      {"two blank strings", "[\" \", \"\"]", {}},
      {"a number in the array", "[\"a:1\", 5]", {}},
      {"an object", "{\"a\":\"b:1\"}", {}},
      {"not json", "a:1", {}},
      {"not utf-8", "[\"\xff:1\"]", {}},
      {"blanks kept around the entry", "[\"  10.0.0.1:19191 \"]", {"  10.0.0.1:19191 "}},
      {"order and duplicates kept, blanks dropped",
       "[\"b:1\",\" \",\"a:1\",\"b:1\"]",
       {"b:1", "a:1", "b:1"}},
  };
  for (const Case& c : cases) {
    fs::remove(light::nodes_path(wallet));
    if (c.file) {
      ASSERT_TRUE(proc::spit(light::nodes_path(wallet), *c.file));
    }
    std::vector<std::string> want = c.want.empty() ? light::default_nodes() : c.want;
    EXPECT_EQ(light::load_nodes(wallet), want) << c.name;
  }
}

TEST(LightNodes, SaveWritesTrimmedEntriesPretty) {
  TempDir t;
  const fs::path wallet = t / "new" / "dir" / "quv.wallet";
  struct Case {
    std::vector<std::string> entries;
    std::string file;
  } cases[] = {
      {{" b:19191\t", "", "a:19191", "a:19191"},
       "[\n  \"b:19191\",\n  \"a:19191\",\n  \"a:19191\"\n]"},
      {{}, "[]"},
      {{"  ", ""}, "[]"},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(light::save_nodes(wallet, c.entries));
    EXPECT_EQ(proc::slurp(t / "new" / "dir" / "quv.nodes"), c.file);
  }
  // Only the list is left in the directory: no temporary file stays behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(t / "new" / "dir"), fs::directory_iterator()), 1);
  // A directory where the file should go: the system's text.
  fs::create_directories(t / "blocked" / "quv.nodes");
  auto r = light::save_nodes(t / "blocked" / "quv.wallet", std::vector<std::string>{"a:1"});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().text(), "Is a directory (os error 21)");
}

TEST(LightNodes, Loopback) {
  struct Case {
    std::string entry;
    bool loopback;
  } cases[] = {
      {"127.0.0.1:19191", true},
      {"localhost:19191", true},
      {"[::1]:19191", true},
      {"127.0.0.1", true},
      {"LOCALHOST:19191", false},
      {"127.0.0.2:19191", false},
      {"::1", false},
      {" 127.0.0.1:19191", false},
      {"[::2]:19191", false},
      {"10.1.2.3:19191", false},
      {"[::1", false},
  };
  for (const Case& c : cases) EXPECT_EQ(light::is_loopback(c.entry), c.loopback) << c.entry;
}

}  // namespace

namespace {

using light::Book;
using nlohmann::json;

// ---------------------------------------------------------------------------------------
// A wallet and a node in memory

struct TestWallet {
  std::string mnemonic;
  crypto::MasterKey master;
  Book blank;
  std::map<uint64_t, WalletKeys> keys;

  TestWallet() {
    mnemonic = seed::to_mnemonic(seed::from_entropy(Bytes(16, 0x42)).value());
    master = crypto::derive_master_key(mnemonic);
    blank = walletdb::blank(mnemonic);
  }
  const WalletKeys& key(uint64_t i) {
    auto it = keys.find(i);
    if (it == keys.end()) it = keys.emplace(i, WalletKeys::from_master(master, i)).first;
    return it->second;
  }
};

TestWallet& wallet() {
  static TestWallet w;
  return w;
}

codec::TxOutput pay(uint64_t index, int64_t amount, std::string memo = "",
                    std::string from = "quv1sender") {
  return crypto::make_output(from, wallet().key(index).box_pk, amount, memo).value();
}

codec::TxOutput foreign(int64_t amount, uint64_t salt = 0) {
  crypto::MasterKey m;
  m.data()[0] = static_cast<uint8_t>(salt);
  m.data()[1] = 0x99;
  return crypto::make_output("quv1other", WalletKeys::from_master(m, salt).box_pk, amount, "x")
      .value();
}

std::string nid(const codec::TxOutput& o) { return hex::encode(codec::note_id(o)); }

std::string tx_id(uint64_t n) {
  std::string s = std::to_string(n);
  return std::string(64 - s.size(), '0') + s;
}

json tx(uint64_t id, std::vector<std::string> inputs, std::vector<codec::TxOutput> outs,
        int type = 2) {
  json o = json::array();
  for (const auto& out : outs) o.push_back(chain::output_json(out));
  return {{"extra", ""}, {"id", tx_id(id)}, {"inputs", inputs}, {"outputs", o},
          {"tag", ""},   {"timestamp", 0},  {"type", type}};
}

// Block `height` of chain `variant`: it links to the block before it on the same chain.
json block(uint64_t height, std::vector<json> txs = {}, std::string variant = "a") {
  return {{"hash", "hash-" + std::to_string(height) + "-" + variant},
          {"height", height},
          {"prev", height == 0 ? "" : "hash-" + std::to_string(height - 1) + "-" + variant},
          {"timestamp", 1000 + height},
          {"txs", txs}};
}

// A node that serves GET /status and GET /blocks from memory and counts what it is asked.
struct FakeNode {
  std::string addr = "127.0.0.1:19191";
  std::vector<json> blocks;
  std::vector<json> mempool;
  std::optional<int64_t> height;  // status height when not the last block's
  std::string tip;                // status tip when `height` is set
  bool empty_pages = false;
  std::optional<uint64_t> fail_from;  // the page from this height gets no reply
  std::optional<size_t> bound;        // a larger page is refused as too large
  std::vector<std::string> paths;

  std::optional<Bytes> serve(const light::Call& c) {
    if (c.host != addr) return std::nullopt;
    paths.push_back(std::string(c.path));
    json reply;
    if (c.path == "/status") {
      reply = {{"ok", true},
               {"height", height ? json(*height) : json(blocks.size() - 1)},
               {"tip", height ? tip : blocks.back()["hash"].get<std::string>()},
               {"supply", 0},
               {"mempool", mempool}};
      if (blocks.empty() && !height) reply["height"] = -1;
    } else {
      uint64_t from = std::stoull(std::string(c.path.substr(c.path.find('=') + 1)));
      if (fail_from == from) return std::nullopt;
      EXPECT_EQ(c.max_reply, light::kMaxReply);
      const uint64_t limit = std::stoull(std::string(c.path.substr(c.path.find("limit=") + 6)));
      json page = json::array();
      for (const json& b : blocks) {
        if (!empty_pages && b["height"].get<uint64_t>() >= from && page.size() < limit) {
          page.push_back(b);
        }
      }
      reply = {{"ok", true},
               {"blocks", page},
               {"from", from},
               {"height", blocks.empty() ? json(-1) : blocks.back()["height"]},
               {"tip", blocks.empty() ? "" : blocks.back()["hash"]},
               {"next", page.empty() ? from : page.back()["height"].get<uint64_t>() + 1}};
    }
    std::string s = reply.dump();
    if (bound && s.size() > *bound && c.too_large != nullptr) {
      *c.too_large = true;
      return std::nullopt;
    }
    return Bytes(s.begin(), s.end());
  }
  light::Transport transport() {
    return [this](const light::Call& c) { return serve(c); };
  }
  std::vector<std::string> page_paths() const {
    std::vector<std::string> out;
    for (const auto& p : paths) {
      if (p != "/status") out.push_back(p.substr(p.find('=') + 1, p.find('&') - p.find('=') - 1));
    }
    return out;
  }
};

std::vector<json> empty_chain(uint64_t n, std::string variant = "a") {
  std::vector<json> out;
  for (uint64_t h = 0; h < n; ++h) out.push_back(block(h, {}, variant));
  return out;
}

Result<light::WalletView> sync_with(FakeNode& node, Book& book, unsigned threads = 0) {
  static light::Keyring keys;
  light::Transport t = node.transport();
  node.paths.clear();
  std::vector<std::string> nodes = {node.addr};
  return light::sync(nodes, book, keys, light::SyncOptions{&t, threads});
}

// ---------------------------------------------------------------------------------------
// Node choice and submission

TEST(LightNodes, FirstNodePingsEachCandidateOnceInOrder) {
  std::vector<std::string> pinged;
  light::Transport t = [&](const light::Call& c) -> std::optional<Bytes> {
    pinged.emplace_back(c.host);
    EXPECT_EQ(c.path, "/status");
    EXPECT_EQ(c.timeout_secs, 3u);
    return std::nullopt;
  };
  const auto d = light::default_nodes();
  struct Case {
    std::vector<std::string> given;
    std::vector<std::string> want;
  } cases[] = {
      {{" 127.0.0.1:19191 ", "127.0.0.1:19191"}, {d[0], d[1], d[2], d[3]}},
      {{"LOCALHOST:19191", "localhost:19191", "", "  "},
       {"LOCALHOST:19191", "localhost:19191", d[0], d[1], d[2], d[3]}},
      {{d[2], "10.0.0.9:19191"}, {d[2], "10.0.0.9:19191", d[0], d[1], d[3]}},
  };
  for (const Case& c : cases) {
    pinged.clear();
    auto r = light::first_node(c.given, t);
    EXPECT_EQ(r.error().text(), "No node reachable. Start `quv node` or set [P] Peers.");
    EXPECT_EQ(pinged, c.want);
  }
}

TEST(LightNodes, FirstNodeSortKeys) {
  struct Node {
    std::string addr;
    int64_t height;
    std::string tip;
    int64_t supply;
  };
  struct Case {
    const char* name;
    std::vector<Node> nodes;  // in candidate order
    std::string want;
  } cases[] = {
      {"height first", {{"a:1", 9, "a", 100}, {"b:1", 10, "z", 0}}, "b:1"},
      {"smaller tip at equal height", {{"a:1", 10, "b", 100}, {"b:1", 10, "a", 0}}, "b:1"},
      {"a prefix tip sorts first", {{"a:1", 10, "ab", 0}, {"b:1", 10, "a", 0}}, "b:1"},
      {"greater supply", {{"a:1", 10, "a", -5}, {"b:1", 10, "a", 7}}, "b:1"},
      {"loopback last", {{"127.0.0.1:19191", 10, "a", 7}, {"b:1", 10, "a", 7}}, "b:1"},
      {"two others keep order", {{"c:1", 10, "a", 7}, {"b:1", 10, "a", 7}}, "c:1"},
      {"only loopback", {{"localhost:1", 1, "a", 0}}, "localhost:1"},
  };
  for (const Case& c : cases) {
    light::Transport t = [&](const light::Call& call) -> std::optional<Bytes> {
      for (const Node& n : c.nodes) {
        if (call.host == n.addr) {
          std::string s =
              json{{"ok", true}, {"height", n.height}, {"tip", n.tip}, {"supply", n.supply}}.dump();
          return Bytes(s.begin(), s.end());
        }
      }
      return std::nullopt;
    };
    std::vector<std::string> given;
    for (const Node& n : c.nodes) given.push_back(n.addr);
    auto r = light::first_node(given, t);
    ASSERT_TRUE(r) << c.name;
    EXPECT_EQ(r->addr, c.want) << c.name;
  }
}

TEST(LightNodes, PingReadsTheStatusLeniently) {
  struct Case {
    const char* name;
    std::optional<std::string> body;
    bool answers;
    int64_t height = -1;
    int64_t supply = 0;
    uint64_t confirm = 2;
    size_t mempool = 0;
    std::string tip = "";
  } cases[] = {
      {"full",
       R"({"ok":true,"height":12,"tip":"ab","supply":-3,"confirm_peers":0,"mempool":[{},{}],"reward_address":"r"})",
       true, 12, -3, 0, 2, "ab"},
      {"fraction height", R"({"ok":true,"height":5.0})", true, -1},
      {"height past the signed range", R"({"ok":true,"height":9223372036854775808})", true, -1},
      {"negative confirm_peers", R"({"ok":true,"height":1,"confirm_peers":-1})", true, 1},
      {"mempool an object", R"({"ok":true,"height":1,"mempool":{"a":1}})", true, 1},
      {"ok as a string", R"({"ok":"true","height":1})", false},
      {"ok false", R"({"ok":false})", false},
      {"not json", "<html>", false},
      {"no reply", std::nullopt, false},
  };
  for (const Case& c : cases) {
    light::Transport t = [&](const light::Call&) -> std::optional<Bytes> {
      if (!c.body) return std::nullopt;
      return Bytes(c.body->begin(), c.body->end());
    };
    auto info = light::ping(" n:1", t);
    ASSERT_EQ(info.has_value(), c.answers) << c.name;
    if (!info) continue;
    EXPECT_EQ(info->addr, " n:1");
    EXPECT_EQ(info->height, c.height) << c.name;
    EXPECT_EQ(info->supply, c.supply) << c.name;
    EXPECT_EQ(info->confirm_peers, c.confirm) << c.name;
    EXPECT_EQ(info->mempool.size(), c.mempool) << c.name;
    EXPECT_EQ(info->tip, c.tip) << c.name;
  }
}

TEST(LightNodes, SubmitReplies) {
  codec::Tx t;
  t.type = 2;
  t.inputs.push_back(codec::TxInput{});
  t.inputs[0].sig.fill(7);
  t.outputs.push_back(foreign(5));
  const std::string txid = hex::encode(codec::txid(t));
  struct Case {
    std::optional<std::string> reply;
    std::string want;  // "=" + txid for success
  } cases[] = {
      {R"({"ok":true,"txid":"ignored"})", "=" + txid},
      {R"({"ok":false})", "Node did not accept the transaction."},
      {R"({"ok":false,"error":"Unknown or spent note."})", "Unknown or spent note."},
      {R"({"ok":false,"error":""})", ""},
      {R"({"ok":"true","error":5})", "Node did not accept the transaction."},
      {"not json", "Node did not accept the transaction."},
      {std::nullopt, "Node did not accept the transaction."},
  };
  for (const Case& c : cases) {
    Bytes sent;
    light::Transport tr = [&](const light::Call& call) -> std::optional<Bytes> {
      EXPECT_EQ(call.method, "POST");
      EXPECT_EQ(call.path, "/tx");
      EXPECT_EQ(call.content_type, "application/octet-stream");
      EXPECT_EQ(call.timeout_secs, 8u);
      sent.assign(call.body.begin(), call.body.end());
      if (!c.reply) return std::nullopt;
      return Bytes(c.reply->begin(), c.reply->end());
    };
    auto r = light::submit_to("n:1", t, tr);
    EXPECT_EQ(r ? "=" + *r : r.error().text(), c.want);
    EXPECT_EQ(sent, codec::encode_tx_signed(t));
  }
}

TEST(LightSync, FetchPageReplies) {
  struct Case {
    std::optional<std::string> reply;
    std::string want;  // "" = the page
  } cases[] = {
      {R"({"ok":true,"blocks":[]})", ""},
      {std::nullopt, "Node did not return blocks."},
      {"{\"ok\":tru", "Bad /blocks response."},
      {R"({"ok":false,"error":"chain gone"})", "chain gone"},
      {R"({"ok":false,"error":7})", "Bad /blocks response."},
      {R"([1,2])", "Bad /blocks response."},
  };
  for (const Case& c : cases) {
    light::Transport t = [&](const light::Call& call) -> std::optional<Bytes> {
      EXPECT_EQ(call.path, "/blocks?from=7&limit=32");
      EXPECT_EQ(call.timeout_secs, 15u);
      EXPECT_EQ(call.max_reply, light::kMaxReply);
      if (!c.reply) return std::nullopt;
      return Bytes(c.reply->begin(), c.reply->end());
    };
    auto r = light::fetch_page("n:1", 7, t);
    EXPECT_EQ(r ? "" : r.error().text(), c.want);
  }
}

}  // namespace

namespace {

// ---------------------------------------------------------------------------------------
// Sync

TEST(LightSync, PagingResetAndEmptyPages) {
  struct Case {
    const char* name;
    std::vector<json> first;   // the chain of the first sync ("" = none)
    std::vector<json> second;  // the chain of the second sync
    std::optional<int64_t> status_height;
    bool empty_pages;
    std::vector<std::string> pages;  // starts of the pages the second sync fetched
    int64_t height;
    std::string tip;
  } cases[] = {
      {"fresh wallet pages 0 and 32",
       {},
       empty_chain(41),
       std::nullopt,
       false,
       {"0", "32"},
       40,
       "hash-40-a"},
      {"same chain: one check and no page past the node's height",
       empty_chain(41),
       empty_chain(41),
       std::nullopt,
       false,
       {"40"},
       40,
       "hash-40-a"},
      {"grown chain",
       empty_chain(41),
       empty_chain(45),
       std::nullopt,
       false,
       {"40", "41"},
       44,
       "hash-44-a"},
      {"other tip at 40: rebuilt from 0",
       empty_chain(41),
       empty_chain(41, "b"),
       std::nullopt,
       false,
       {"40", "0", "32"},
       40,
       "hash-40-b"},
      {"node shorter than the cache",
       empty_chain(41),
       empty_chain(36, "b"),
       std::nullopt,
       false,
       {"40", "0", "32"},
       35,
       "hash-35-b"},
      {"empty pages at height 7", {}, {}, 7, true, {"0"}, 7, "t7"},
  };
  for (const Case& c : cases) {
    Book book = wallet().blank;
    FakeNode node;
    if (!c.first.empty()) {
      node.blocks = c.first;
      ASSERT_TRUE(sync_with(node, book)) << c.name;
    }
    node.blocks = c.second;
    node.height = c.status_height;
    node.tip = "t7";
    node.empty_pages = c.empty_pages;
    auto view = sync_with(node, book);
    ASSERT_TRUE(view) << c.name << ": " << view.error().text();
    EXPECT_EQ(node.page_paths(), c.pages) << c.name;
    EXPECT_EQ(book["sync"]["height"], c.height) << c.name;
    EXPECT_EQ(book["sync"]["tip"], c.tip) << c.name;
    EXPECT_TRUE(book["sync"]["notes"].empty()) << c.name;
  }
}

// Notes of 30 and 50 arrive in one transaction, both are spent into 60 for someone else and
// 20 of change, the change goes back to the wallet itself.
TEST(LightSync, RowsForReceivedSentAndSelfTransfers) {
  const codec::TxOutput n30 = pay(0, 30, "first"), n50 = pay(0, 50, "", "quv1alice");
  const codec::TxOutput change = pay(0, 20), self = pay(0, 20, "to me");
  std::vector<json> chain = empty_chain(6);
  chain[1] = block(1, {tx(1, {}, {n30, foreign(7), n50})});
  chain[3] = block(3, {tx(2, {nid(n30), nid(n50), "unknown"}, {foreign(60), change})});
  chain[5] = block(5, {tx(3, {nid(change)}, {self})});
  Book book = wallet().blank;
  walletdb::remember_send(book, tx_id(2), 60, "rent", "quv1bob");
  FakeNode node;
  node.blocks = chain;
  auto view = sync_with(node, book);
  ASSERT_TRUE(view) << view.error().text();
  const std::string me = wallet().key(0).address;
  std::vector<light::HistRow> want = {
      {"out", "rent", tx_id(2), me, "quv1bob", 60, 3, 1003, 0, 0},
      {"in", "first", tx_id(1), "quv1sender", me, 30, 1, 1001, 0, 0},
      {"in", "", tx_id(1), "quv1alice", me, 50, 1, 1001, 0, 0},
  };
  EXPECT_EQ(view->history, want);
  ASSERT_EQ(view->notes.size(), 1u);
  EXPECT_EQ(view->notes[0].note_id, nid(self));
  EXPECT_EQ(view->notes[0].memo, "to me");
  EXPECT_EQ(view->notes[0].height, 5u);
  EXPECT_EQ(view->balance, 20);
  EXPECT_EQ(view->reserved, 0);
  // What the book keeps reads back to the same cache.
  light::LightCache cache = light::cache_from_book(book);
  EXPECT_EQ(cache.history.size(), 3u);
  ASSERT_EQ(cache.notes.size(), 1u);
  EXPECT_TRUE(cache.notes.begin()->second.auth_sk == view->notes[0].auth_sk);
}

TEST(LightSync, OutRowTakesTheChangeMemoFirst) {
  const codec::TxOutput n = pay(0, 100);
  std::vector<json> chain = empty_chain(3);
  chain[1] = block(1, {tx(1, {}, {n})});
  chain[2] = block(2, {tx(2, {nid(n)}, {foreign(70), pay(0, 30, "change memo")})});
  Book book = wallet().blank;
  walletdb::remember_send(book, tx_id(2), 70, "hint memo", "quv1bob");
  FakeNode node;
  node.blocks = chain;
  auto view = sync_with(node, book);
  ASSERT_TRUE(view);
  ASSERT_EQ(view->history.size(), 2u);
  EXPECT_EQ(view->history[0].memo, "change memo");
  EXPECT_EQ(view->history[0].amount, 70);
  EXPECT_EQ(view->history[0].to, "quv1bob");
}

// With next_index 6 the first window is 0..25; every opened index widens the window of the
// blocks after it to that index plus 20, and each found index gets an address entry.
TEST(LightSync, DiscoveryWidensTheScanWithinAPage) {
  std::vector<json> chain = empty_chain(10);
  chain[2] = block(2, {tx(1, {}, {pay(25, 5), pay(46, 1)})});
  chain[4] = block(4, {tx(2, {}, {pay(46, 2), pay(45, 6)})});
  chain[6] = block(6, {tx(3, {}, {pay(46, 8), pay(67, 9)})});
  for (unsigned threads : {1u, 4u}) {
    Book book = wallet().blank;
    book["next_index"] = 6;
    FakeNode node;
    node.blocks = chain;
    auto view = sync_with(node, book, threads);
    ASSERT_TRUE(view);
    EXPECT_EQ(view->balance, 5 + 6 + 8);
    std::vector<std::pair<uint64_t, std::string>> entries;
    for (const json& e : book["addresses"]) {
      entries.emplace_back(e["index"].get<uint64_t>(), e["label"].get<std::string>());
      EXPECT_EQ(e["address"], wallet().key(e["index"].get<uint64_t>()).address);
    }
    std::vector<std::pair<uint64_t, std::string>> want = {
        {0, "primary"}, {25, "recv-25"}, {45, "recv-45"}, {46, "recv-46"}};
    EXPECT_EQ(entries, want);
    EXPECT_EQ(book["next_index"], 47);
    EXPECT_EQ(book["current_index"], 0);
  }
}

TEST(LightSync, CacheReadingDropsMalformedEntries) {
  const std::string sk(128, 'a');
  json good = {{"note_id", "n1"}, {"amount", 5},    {"memo", 3},   {"from", "f"},
               {"auth_sk", sk},   {"auth_pk", "p"}, {"height", 2}, {"txid", "t"}};
  auto with = [&](const char* key, json v) {
    json n = good;
    n["note_id"] = std::string("bad-") + key;
    if (v.is_null()) {
      n.erase(key);
    } else {
      n[key] = v;
    }
    return n;
  };
  json row = {{"dir", "in"}, {"amount", 5}, {"height", 3}, {"txid", "t"}, {"time", -5}};
  json bad_row = row;
  bad_row["amount"] = "5";
  Book book = {{"sync",
                {{"height", 9},
                 {"tip", "tp"},
                 {"notes",
                  {good, with("auth_sk", std::string(126, 'a')), with("amount", 1.5),
                   with("auth_sk", "zz"), with("note_id", nullptr), with("height", -1.0),
                   with("txid", 4), with("auth_pk", nullptr)}},
                 {"history", {row, bad_row, {{"dir", "out"}}}}}},
               {"addresses", {{{"index", 4}}, {{"index", "7"}}, {{"index", 2}}}}};
  light::LightCache c = light::cache_from_book(book);
  EXPECT_EQ(c.height, 9);
  EXPECT_EQ(c.tip, "tp");
  ASSERT_EQ(c.notes.size(), 1u);
  const OpenedNote& n = c.notes.at("n1");
  EXPECT_EQ(n.memo, "");
  EXPECT_EQ(n.amount, 5);
  EXPECT_EQ(n.height, 2u);
  ASSERT_EQ(c.history.size(), 1u);
  EXPECT_EQ(c.history[0].time, 0u);
  EXPECT_EQ(c.history[0].memo, "");
  EXPECT_EQ(c.indices, (std::set<uint64_t>{0, 2, 4}));
  // Stored again, the note and row read back the same and the rest is gone.
  light::cache_into_book(book, c);
  EXPECT_EQ(book["sync"]["notes"].size(), 1u);
  EXPECT_EQ(book["sync"]["notes"][0]["auth_sk"], sk);
  EXPECT_EQ(book["sync"]["history"][0], (json{{"amount", 5},
                                              {"dir", "in"},
                                              {"from", ""},
                                              {"height", 3},
                                              {"memo", ""},
                                              {"time", 0},
                                              {"to", ""},
                                              {"txid", "t"}}));
  light::reset_cache(book);
  EXPECT_EQ(
      book["sync"],
      (json{{"height", -1}, {"tip", ""}, {"notes", json::array()}, {"history", json::array()}}));
}

TEST(LightSync, FailuresLeaveTheBookAsItWas) {
  struct Case {
    const char* name;
    std::optional<uint64_t> fail_from;
    bool synced_before;
    std::string want;
  } cases[] = {
      {"second page of a fresh wallet", 32, false, "Node did not return blocks."},
      {"the consistency check", 40, true, "Node did not return blocks."},
      {"the page after the check", 41, true, "Node did not return blocks."},
  };
  for (const Case& c : cases) {
    Book book = wallet().blank;
    FakeNode node;
    std::vector<json> chain = empty_chain(41);
    chain[35] = block(35, {tx(1, {}, {pay(30, 1)})});
    node.blocks = chain;
    if (c.synced_before) {
      ASSERT_TRUE(sync_with(node, book));
    }
    chain.push_back(block(41, {tx(2, {}, {pay(0, 1)})}));
    node.blocks = chain;
    node.fail_from = c.fail_from;
    const Book before = book;
    auto r = sync_with(node, book);
    ASSERT_FALSE(r) << c.name;
    EXPECT_EQ(r.error().text(), c.want) << c.name;
    EXPECT_EQ(book, before) << c.name;
  }
  Book no_seed = {{"mnemonic", 5}};
  FakeNode node;
  node.blocks = empty_chain(2);
  EXPECT_EQ(sync_with(node, no_seed).error().text(), "Wallet has no seed.");
  EXPECT_TRUE(node.paths.empty());
}

// Heights are counted on (the next page starts one past the last block), so a node that
// reports a height no chain can reach is refused like a bad page, and the book stays.
TEST(LightSync, HeightsNoChainCanReachAreRefused) {
  const uint64_t two63 = uint64_t{1} << 63;
  struct Case {
    const char* name;
    std::function<void(FakeNode&)> spoil;
  } cases[] = {
      {"status height at the signed maximum",
       [](FakeNode& n) {
         n.height = INT64_MAX;
         n.tip = "t";
       }},
      {"status height below -1",
       [](FakeNode& n) {
         n.height = -2;
         n.tip = "t";
       }},
      {"a note in a block at 2^63",
       [&](FakeNode& n) { n.blocks.push_back(block(two63, {tx(9, {}, {pay(0, 5)})})); }},
      {"a block at the signed maximum",
       [](FakeNode& n) { n.blocks.push_back(block(uint64_t{INT64_MAX})); }},
      {"a block at 2^64 - 1", [](FakeNode& n) { n.blocks.push_back(block(UINT64_MAX)); }},
  };
  for (const Case& c : cases) {
    Book book = wallet().blank;
    FakeNode node;
    node.blocks = empty_chain(3);
    ASSERT_TRUE(sync_with(node, book)) << c.name;
    c.spoil(node);
    const Book before = book;
    auto r = sync_with(node, book);
    ASSERT_FALSE(r) << c.name;
    EXPECT_EQ(r.error().text(), "Bad /blocks response.") << c.name;
    EXPECT_EQ(book, before) << c.name;
  }
  // The highest height a node may report still syncs, and the next sync counts past it.
  Book book = wallet().blank;
  FakeNode node;
  node.blocks = {block(uint64_t{INT64_MAX} - 2),
                 block(uint64_t{INT64_MAX} - 1, {tx(1, {}, {pay(0, 7)})})};
  book["sync"]["height"] = INT64_MAX - 2;
  book["sync"]["tip"] = node.blocks[0]["hash"];
  node.height = INT64_MAX - 1;
  node.tip = node.blocks[1]["hash"];
  ASSERT_TRUE(sync_with(node, book));
  EXPECT_EQ(book["sync"]["height"], INT64_MAX - 1);
  ASSERT_EQ(book["sync"]["notes"].size(), 1u);
  auto again = sync_with(node, book);
  ASSERT_TRUE(again) << again.error().text();
  EXPECT_EQ(again->balance, 7);
}

// A stored height beyond what a node may report is not counted on: the cache starts over.
TEST(LightSync, AStoredHeightPastTheLimitStartsOver) {
  Book book = wallet().blank;
  book["sync"]["height"] = INT64_MAX;
  book["sync"]["tip"] = "x";
  light::LightCache cache = light::cache_from_book(book);
  EXPECT_EQ(cache.height, -1);
  EXPECT_EQ(cache.tip, "");
  FakeNode node;
  node.blocks = empty_chain(3);
  ASSERT_TRUE(sync_with(node, book));
  EXPECT_EQ(node.page_paths(), (std::vector<std::string>{"0"}));
  EXPECT_EQ(book["sync"]["height"], 2);
}

// A status or page that nests 200 000 levels deep (400 kB) is no JSON to the wallet: the
// node counts as not answering, the page as bad, and nothing recurses that deep.
TEST(LightSync, DeeplyNestedRepliesAreNotJson) {
  const std::string deep = std::string(200000, '[') + std::string(200000, ']');
  FakeNode good;
  good.blocks = empty_chain(3);
  struct Case {
    const char* name;
    bool deep_status;
    std::string want;
  } cases[] = {
      {"status mempool", true, "No node reachable. Start `quv node` or set [P] Peers."},
      {"block page", false, "Bad /blocks response."},
  };
  for (const Case& c : cases) {
    light::Transport t = [&](const light::Call& call) -> std::optional<Bytes> {
      std::string body;
      if (call.path == "/status" && c.deep_status) {
        body = R"({"ok":true,"height":2,"tip":"hash-2-a","mempool":)" + deep + "}";
      } else if (call.path == "/status") {
        return good.serve(call);
      } else {
        body = R"({"ok":true,"height":2,"blocks":)" + deep + "}";
      }
      return Bytes(body.begin(), body.end());
    };
    EXPECT_EQ(light::ping(good.addr, t).has_value(), !c.deep_status) << c.name;
    Book book = wallet().blank;
    const Book before = book;
    light::Keyring keys;
    std::vector<std::string> nodes = {good.addr};
    auto r = light::sync(nodes, book, keys, light::SyncOptions{&t, 1});
    ASSERT_FALSE(r) << c.name;
    EXPECT_EQ(r.error().text(), c.want) << c.name;
    EXPECT_EQ(book, before) << c.name;
  }
}

TEST(LightSync, AnInRowWithoutSenderForcesARebuild) {
  Book book = wallet().blank;
  FakeNode node;
  node.blocks = empty_chain(3);
  node.blocks[1] = block(1, {tx(1, {}, {pay(0, 4, "", "")})});
  ASSERT_TRUE(sync_with(node, book));
  ASSERT_TRUE(sync_with(node, book));
  EXPECT_EQ(node.page_paths(), (std::vector<std::string>{"2", "0"}));
  EXPECT_EQ(book["sync"]["history"].size(), 1u);
}

// A node that claims height 40 and pages as it likes: pages must start at the height asked
// for, rise by one and say "next" is the height after their last block, paging stays
// within the claimed height, and a note seen before adds no second row.
TEST(LightSync, PagesMustFollowOnWithinTheClaimedHeight) {
  const codec::TxOutput note = pay(0, 25);
  struct Case {
    const char* name;
    uint64_t shift;    // the first block's height past `from`
    bool backwards;    // blocks in falling order
    uint64_t next;     // "next" past `from`
    std::string want;  // "" = the sync succeeds
  } cases[] = {
      {"blocks run backwards, next keeps rising", 0, true, 32, "Bad /blocks response."},
      {"overlapping pages", 0, false, 1, "Bad /blocks response."},
      {"a page that starts elsewhere", 5, false, 37, "Bad /blocks response."},
      {"full pages past the claimed height, one note in three blocks", 0, false, 32, ""},
  };
  for (const Case& c : cases) {
    std::vector<uint64_t> asked;
    light::Transport t = [&](const light::Call& call) -> std::optional<Bytes> {
      json reply = {{"ok", true}, {"height", 40}, {"tip", "hash-40-a"}};
      if (call.path != "/status") {
        uint64_t from = std::stoull(std::string(call.path.substr(call.path.find('=') + 1)));
        asked.push_back(from);
        if (asked.size() > 8) return std::nullopt;
        for (uint64_t i = 0; i < 32; ++i) {
          uint64_t h = from + c.shift + (c.backwards ? 31 - i : i);
          bool paid = h == 3 || h == 7 || h == 9;
          reply["blocks"].push_back(
              block(h, paid ? std::vector<json>{tx(h, {}, {note})} : std::vector<json>{}));
        }
        reply["next"] = from + c.next;
      }
      std::string text = reply.dump();
      return Bytes(text.begin(), text.end());
    };
    Book book = wallet().blank;
    const Book before = book;
    light::Keyring keys;
    std::vector<std::string> nodes = {"127.0.0.1:19191"};
    auto r = light::sync(nodes, book, keys, light::SyncOptions{&t, 1});
    EXPECT_EQ(r ? "" : r.error().text(), c.want) << c.name;
    EXPECT_LE(*std::max_element(asked.begin(), asked.end()), 40u) << c.name;
    if (!r) {
      EXPECT_EQ(book, before) << c.name;
    } else {
      EXPECT_EQ(book["sync"]["history"].size(), 1u) << c.name;
      EXPECT_EQ(r->balance, 25) << c.name;
    }
  }
}

// A status or page larger than the wallet's bound is refused as it arrives; a page just
// within it is read. The node answers one request on a free loopback port.
TEST(LightSync, RepliesPastTheBoundAreRefused) {
  struct Case {
    const char* name;
    bool page;
    size_t size;
    bool read;
  } cases[] = {
      {"page within the bound", true, light::kMaxReply - 1024, true},
      {"page past the bound", true, light::kMaxReply + 1024, false},
      {"status past the bound", false, light::kMaxReply + 1024, false},
  };
  for (const Case& c : cases) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof a;
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), len) | ::listen(fd, 1), 0);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    const std::string open = R"({"ok":true,"blocks":[],"pad":")";
    const std::string reply =
        "HTTP/1.1 200 OK\r\n\r\n" + open + std::string(c.size - open.size() - 2, 'x') + "\"}";
    std::thread node([&] {
      int conn = ::accept(fd, nullptr, nullptr);
      char req[4096];
      (void)::recv(conn, req, sizeof req, 0);
      (void)::send(conn, reply.data(), reply.size(), MSG_NOSIGNAL);
      ::close(conn);
    });
    const std::string addr = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    if (c.page) {
      auto page = light::fetch_page(addr, 0);
      EXPECT_EQ(page ? "" : page.error().text(), c.read ? "" : "Node did not return blocks.")
          << c.name;
    } else {
      EXPECT_EQ(light::ping(addr).has_value(), c.read) << c.name;
    }
    node.join();
    ::close(fd);
  }
}

// Blocks so large that a page of 32 passes the bound are asked for one at a time (here
// until the pages near the top are short enough), and the sync still reaches the top.
TEST(LightSync, PagesPastTheBoundAreTakenOneBlockAtATime) {
  FakeNode node;
  node.blocks = empty_chain(40);
  node.bound = node.blocks[1].dump().size() + 1024;
  Book book = wallet().blank;
  ASSERT_TRUE(sync_with(node, book));
  EXPECT_EQ(book["sync"]["height"], 39);
  EXPECT_EQ(std::count_if(node.paths.begin(), node.paths.end(),
                          [](const std::string& p) { return p.ends_with("&limit=1"); }),
            27);
}

// The text of a page from block 0 whose "blocks" holds `elements`.
std::string page_text(const std::string& elements) {
  return R"({"ok":true,"height":40,"blocks":[)" + elements + "]}";
}

// The elements of a page of the blocks 0 to n - 1.
std::string blocks_text(uint64_t n) {
  std::string out;
  for (uint64_t h = 0; h < n; ++h) out += (h == 0 ? "" : ",") + block(h).dump();
  return out;
}

Result<light::Page> read_text(const std::string& text) {
  light::Transport t = [&](const light::Call&) { return Bytes(text.begin(), text.end()); };
  return light::fetch_page("n:1", 0, t);
}

// A page holds at most 32 blocks, each an object: the reader keeps nothing past the first
// element beyond that and refuses the page, so a page of a million tiny values costs no
// more than a page of real blocks.
TEST(LightSync, PagesPastThirtyTwoBlocksAreRefused) {
  std::string zeros = "0";
  for (int i = 0; i < 1000000; ++i) zeros += ",0";
  struct Case {
    const char* name;
    std::string elements;
    std::string want;  // "" = the page is read
  } cases[] = {
      {"32 blocks", blocks_text(32), ""},
      {"33 blocks", blocks_text(33), "Bad /blocks response."},
      {"a million tiny values", zeros, "Bad /blocks response."},
      {"a value after 3 blocks", blocks_text(3) + ",7", "Bad /blocks response."},
  };
  for (const Case& c : cases) {
    auto page = read_text(page_text(c.elements));
    EXPECT_EQ(page ? "" : page.error().text(), c.want) << c.name;
  }
}

// A member given twice counts with its last value, as in the JSON the node sent: a bad
// height followed by a good one is read, a good one followed by a bad one is refused.
TEST(LightSync, AMemberGivenTwiceCountsWithItsLastValue) {
  const std::string b3 = R"({"hash":"h","height":3,"prev":"p","timestamp":9,"txs":[]})";
  struct Case {
    const char* name;
    std::string text;
    std::string want;  // "" = the page is read
    std::optional<int64_t> height;
    size_t blocks;
  } cases[] = {
      {"page height past the limit, then 40",
       R"({"ok":true,"height":9223372036854775807,"height":40,"blocks":[]})", "", 40, 0},
      {"page height 40, then below -1", R"({"ok":true,"height":40,"height":-7,"blocks":[]})",
       "Bad /blocks response.", 0, 0},
      {"block height 2^64 - 1, then 3",
       R"({"ok":true,"blocks":[{"height":18446744073709551615,"height":3}]})", "", std::nullopt, 1},
      {"block height 3, then a fraction", R"({"ok":true,"blocks":[{"height":3,"height":1.5}]})",
       "Bad /blocks response.", std::nullopt, 0},
      {"33 blocks, then one",
       R"({"ok":true,"height":40,"blocks":[)" + blocks_text(33) + R"(],"blocks":[)" + b3 + "]}", "",
       40, 1},
      {"ok false, then true", R"({"ok":false,"ok":true,"blocks":[]})", "", std::nullopt, 0},
  };
  for (const Case& c : cases) {
    auto page = read_text(c.text);
    ASSERT_EQ(page ? "" : page.error().text(), c.want) << c.name;
    if (!page) continue;
    EXPECT_EQ(page->height, c.height) << c.name;
    EXPECT_EQ(page->blocks.size(), c.blocks) << c.name;
    if (c.blocks == 1) {
      EXPECT_EQ(page->blocks[0].height, 3u) << c.name;
    }
  }
}

// A node that adopts a peer's chain while a wallet pages serves blocks of two chains: every
// block applied must follow the one before it, or nothing of that sync reaches the book,
// and the next sync against the node's one chain shows what that chain pays.
TEST(LightSync, ABlockMustFollowTheOneBefore) {
  const json paid = block(5, {tx(1, {}, {pay(0, 25)})});
  auto chain_a = [&](uint64_t n) {
    std::vector<json> c = empty_chain(n);
    c[5] = paid;
    return c;
  };
  auto mixed = [&](uint64_t switch_at, uint64_t n) {
    std::vector<json> c = chain_a(n), b = empty_chain(n, "b");
    std::copy(b.begin() + static_cast<ptrdiff_t>(switch_at), b.end(),
              c.begin() + static_cast<ptrdiff_t>(switch_at));
    return c;
  };
  struct Case {
    const char* name;
    std::vector<json> first;  // the chain of an earlier sync (empty = none)
    std::vector<json> moved;  // what the node serves while it changes its chain
  } cases[] = {
      {"between pages", {}, mixed(32, 41)},
      {"within a page", {}, mixed(20, 41)},
      {"after the cache's tip", chain_a(41), mixed(41, 45)},
  };
  for (const Case& c : cases) {
    Book book = wallet().blank;
    FakeNode node;
    if (!c.first.empty()) {
      node.blocks = c.first;
      ASSERT_TRUE(sync_with(node, book)) << c.name;
    }
    node.blocks = c.moved;
    const Book before = book;
    auto r = sync_with(node, book);
    ASSERT_FALSE(r) << c.name;
    EXPECT_EQ(r.error().text(), light::kChainMoved) << c.name;
    EXPECT_EQ(book, before) << c.name;
    node.blocks = empty_chain(c.moved.size(), "b");
    auto again = sync_with(node, book);
    ASSERT_TRUE(again) << c.name << ": " << again.error().text();
    EXPECT_EQ(again->balance, 0) << c.name;
    EXPECT_TRUE(book["sync"]["history"].empty()) << c.name;
    EXPECT_EQ(book["sync"]["height"], c.moved.size() - 1) << c.name;
  }
}

// Blocks after the cached height so large that the check's page of 32 passes the bound:
// the check, like every page, is asked for again one block at a time, and the sync goes on
// from the cache without starting over.
TEST(LightSync, TheCheckPageFallsBackToOneBlock) {
  FakeNode node;
  node.blocks = empty_chain(41);
  Book book = wallet().blank;
  ASSERT_TRUE(sync_with(node, book));
  const std::string large(20000, 'e');
  for (uint64_t h = 41; h <= 43; ++h) {
    json big = tx(h, {}, {pay(0, 1)});
    big["extra"] = large;
    node.blocks.push_back(block(h, {big}));
  }
  node.bound = node.blocks[41].dump().size() + 1024;
  auto view = sync_with(node, book);
  ASSERT_TRUE(view) << view.error().text();
  EXPECT_EQ(book["sync"]["height"], 43);
  EXPECT_EQ(view->balance, 3);
  EXPECT_EQ(node.page_paths(),
            (std::vector<std::string>{"40", "40", "41", "41", "42", "42", "43"}));
}

// A sync whose deadline leaves no time for a page keeps what it has and says that it
// stopped below the node's height; a sync that reaches the height says nothing of it.
TEST(LightSync, ASyncCutByItsDeadlineSaysHowFarItGot) {
  struct Case {
    const char* name;
    std::chrono::seconds left;
    int64_t height;
    std::optional<int64_t> short_of;
  } cases[] = {
      {"cut", std::chrono::seconds(10), 40, 99},
      {"whole", light::kSyncTime, 99, std::nullopt},
  };
  for (const Case& c : cases) {
    FakeNode node;
    node.blocks = empty_chain(41);
    Book book = wallet().blank;
    ASSERT_TRUE(sync_with(node, book)) << c.name;
    node.blocks = empty_chain(100);
    light::Transport t = node.transport();
    light::SyncOptions opts{&t, 1};
    opts.deadline = std::chrono::steady_clock::now() + c.left;
    std::vector<std::string> nodes = {node.addr};
    light::Keyring keys;
    auto view = light::sync(nodes, book, keys, opts);
    ASSERT_TRUE(view) << c.name << ": " << view.error().text();
    EXPECT_EQ(book["sync"]["height"], c.height) << c.name;
    EXPECT_EQ(view->stopped_short_of, c.short_of) << c.name;
  }
}

// ---------------------------------------------------------------------------------------
// View

TEST(LightView, PendingRowsReservedAndBalance) {
  const codec::TxOutput n100 = pay(0, 100), n40 = pay(0, 40), n7 = pay(0, 7), n5 = pay(0, 5);
  FakeNode node;
  node.blocks = empty_chain(2);
  node.blocks[1] = block(1, {tx(1, {}, {n100, n40, n7, n5})});
  Book book = wallet().blank;
  walletdb::remember_send(book, tx_id(9), 110, "hint", "quv1bob");
  walletdb::remember_send(book, tx_id(12), 1, "h12", "quv1carol");
  const std::string me = wallet().key(0).address;
  json spend = tx(9, {nid(n100), nid(n40)}, {foreign(110), pay(0, 30, "chg")});
  spend["acks"] = 1;
  spend["need"] = 3;
  json over = tx(10, {nid(n7)}, {pay(0, 9)});
  json none = tx(11, {"unknown"}, {pay(0, 50)});
  json no_memo = tx(12, {"unknown", nid(n7)}, {foreign(1)});
  node.mempool = {tx(20, {nid(n7)}, {}, 1), tx(21, {nid(n7)}, {}, 5), spend, none, over, no_memo};
  auto view = sync_with(node, book);
  ASSERT_TRUE(view);
  ASSERT_EQ(view->history.size(), 3u + 4u);
  std::vector<light::HistRow> pending(view->history.begin(), view->history.begin() + 3);
  std::vector<light::HistRow> want = {
      {"pending", "chg", tx_id(9), me, "quv1bob", 110, 0, 0, 1, 3},
      {"pending", "", tx_id(10), me, "", 0, 0, 0, 0, 2},
      {"pending", "h12", tx_id(12), me, "quv1carol", 7, 0, 0, 0, 2},
  };
  EXPECT_EQ(pending, want);
  EXPECT_EQ(view->history.back().dir, "in");
  ASSERT_EQ(view->notes.size(), 1u);
  EXPECT_EQ(view->notes[0].note_id, nid(n5));
  EXPECT_EQ(view->balance, 5);
  EXPECT_EQ(view->reserved, 147);
  EXPECT_TRUE(view->aux_notes.empty());

  // An empty mempool: every note is spendable.
  node.mempool.clear();
  view = sync_with(node, book);
  ASSERT_TRUE(view);
  EXPECT_EQ(view->notes.size(), 4u);
  EXPECT_EQ(view->balance, 152);
  EXPECT_EQ(view->reserved, 0);
  EXPECT_EQ(view->history.size(), 4u);
}

TEST(LightView, HistoryNewestBlockFirstStable) {
  light::LightCache cache;
  for (auto [h, memo] :
       std::vector<std::pair<int64_t, std::string>>{{3, "a"}, {7, "b"}, {7, "c"}, {5, "d"}}) {
    cache.history.push_back({"in", memo, "t", "", "", 1, h, 0, 0, 0});
  }
  light::NodeInfo node;
  light::WalletView v = light::view_from(cache, node, Book{{"mnemonic", wallet().mnemonic}});
  std::string order;
  for (const auto& r : v.history) order += r.memo;
  EXPECT_EQ(order, "bcda");
}

}  // namespace

namespace {

// ---------------------------------------------------------------------------------------
// The fast path against the step-by-step one

// A random chain of `n` blocks paying the wallet at indices up to 70 (so that the scan
// window widens inside pages), spending its notes, sending to itself and to others.
std::vector<json> random_chain(std::mt19937_64& rng, uint64_t n,
                               std::vector<codec::TxOutput>& mine) {
  std::vector<json> chain;
  uint64_t id = 1;
  std::vector<std::string> unspent;
  for (uint64_t h = 0; h < n; ++h) {
    std::vector<json> txs;
    for (size_t t = rng() % 4; t > 0; --t) {
      std::vector<std::string> ins;
      if (!unspent.empty() && rng() % 2 == 0) {
        for (size_t k = 1 + rng() % 2; k > 0 && !unspent.empty(); --k) {
          size_t pick = rng() % unspent.size();
          ins.push_back(unspent[pick]);
          unspent.erase(unspent.begin() + static_cast<ptrdiff_t>(pick));
        }
      }
      if (rng() % 5 == 0) ins.push_back(tx_id(999999 - h));  // nobody's note
      std::vector<codec::TxOutput> outs;
      for (size_t o = rng() % 4; o > 0; --o) {
        const int64_t amount = static_cast<int64_t>(rng() % 100);
        const uint64_t roll = rng() % 10;
        if (roll < 4) {
          outs.push_back(foreign(amount, rng() % 3));
          continue;
        }
        const uint64_t index = roll < 7 ? rng() % 21 : rng() % 70;
        std::string memo = rng() % 2 ? "" : "m" + std::to_string(rng() % 9);
        outs.push_back(pay(index, amount, memo, rng() % 6 ? "quv1s" : ""));
        mine.push_back(outs.back());
        unspent.push_back(nid(outs.back()));
      }
      txs.push_back(tx(id++, ins, outs));
    }
    chain.push_back(block(h, txs));
  }
  return chain;
}

void zero_created(Book& book) {
  for (json& e : book["addresses"]) e["created"] = 0;
}

TEST(LightSync, FastPathEqualsStepByStep) {
  for (uint64_t seed = 1; seed <= 4; ++seed) {
    std::mt19937_64 rng(seed);
    std::vector<codec::TxOutput> mine;
    FakeNode node;
    node.blocks = random_chain(rng, 70 + seed * 3, mine);
    Book start = wallet().blank;
    if (seed % 2 == 0) start["next_index"] = 2 + seed;
    walletdb::remember_send(start, tx_id(3), 1, "hinted", "quv1h");

    // Step by step: every block with its own key sets, discovery and view afresh.
    Book slow = start;
    light::LightCache cache = light::cache_from_book(slow);
    for (const json& b : node.blocks) light::apply_block(cache, b, wallet().master, slow);
    light::discover_into_book(slow, cache);
    light::cache_into_book(slow, cache);
    light::NodeInfo info = light::ping(node.addr, node.transport()).value();
    light::WalletView slow_view = light::view_from(cache, info, slow);
    zero_created(slow);

    for (unsigned threads : {1u, 3u, 0u}) {
      Book fast = start;
      auto view = sync_with(node, fast, threads);
      ASSERT_TRUE(view);
      zero_created(fast);
      EXPECT_EQ(fast, slow) << "seed " << seed << " threads " << threads;
      EXPECT_EQ(view->history, slow_view.history);
      EXPECT_EQ(view->balance, slow_view.balance);
      EXPECT_EQ(view->reserved, slow_view.reserved);
      ASSERT_EQ(view->notes.size(), slow_view.notes.size());
      for (size_t i = 0; i < view->notes.size(); ++i) {
        EXPECT_EQ(view->notes[i].note_id, slow_view.notes[i].note_id);
      }
    }
    // Not a trivial chain: the wallet found notes at indices past the first window.
    EXPECT_GT(slow["addresses"].size(), 3u) << "seed " << seed;
    EXPECT_GT(slow["sync"]["history"].size(), 10u) << "seed " << seed;
  }
}

}  // namespace

namespace {

TEST(LightSync, KeyringFollowsTheMnemonic) {
  light::Keyring ring;
  const std::string other = seed::to_mnemonic(seed::from_entropy(Bytes(16, 0x43)).value());
  struct Step {
    std::string mnemonic;
    uint64_t high;
  } steps[] = {{wallet().mnemonic, 2}, {wallet().mnemonic, 5}, {other, 1}, {wallet().mnemonic, 1}};
  for (const Step& s : steps) {
    const crypto::MasterKey& m = ring.master(s.mnemonic);
    EXPECT_TRUE(m == crypto::derive_master_key(s.mnemonic));
    auto keys = ring.upto(s.high);
    ASSERT_EQ(keys.size(), s.high + 1);
    EXPECT_EQ(keys[s.high].address, WalletKeys::from_master(m, s.high).address);
    EXPECT_EQ(keys[s.high].index, s.high);
  }
  ring.clear();
  EXPECT_TRUE(ring.upto(3).empty());
}

}  // namespace

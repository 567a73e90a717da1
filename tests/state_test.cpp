#include "ledger/state.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include "core/fsutil.h"
#include "proc.h"

namespace fs = std::filesystem;

namespace {

using proc::TempDir;

void write_raw(const fs::path& p, std::string_view data) {
  std::ofstream(p, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
}

std::string read_raw(const fs::path& p) {
  auto r = fsutil::read_file(p);
  return r ? std::string(r->begin(), r->end()) : "<unreadable>";
}

constexpr std::string_view kDefaultText =
    R"({"reward_address":"","window_start":0,"work_seconds":0,"validated":0,"last_drop":0,)"
    R"("last_beat":0,"mempool":[],"acks":{},"node_id":"","peers":[],"peer_link":{},"height":0,)"
    R"("tip":"","supply":0})";

// A state with every field away from its default, including the extremes of each width.
NodeState rich_state() {
  NodeState s;
  s.reward_address = "quv1reward";
  s.window_start = INT64_MIN;
  s.work_seconds = UINT64_MAX;
  s.validated = UINT32_MAX;
  s.last_drop = -1;
  s.last_beat = INT64_MAX;
  s.mempool = {{2, 16, 0}, {}, {255, 0, 1, 128}};
  s.acks = {{std::string(64, 'a'), {"seed-1", "seed-2"}}, {std::string(64, 'b'), {}}};
  s.node_id = "seed-0123456789ab";
  s.peers = {"10.0.0.1:19191", "peer.example:7"};
  s.peer_link = {{"10.0.0.1:19191", "up"}, {"peer.example:7", "down"}, {"me:1", "self"}};
  s.height = 12345;
  s.tip = std::string(64, 'f');
  s.supply = 9999999999;
  return s;
}

TEST(NodeState, StatePathReplacesTheLastExtension) {
  struct Case {
    const char* chain;
    const char* state;
  } cases[] = {
      {"x/quv.chain", "x/quv.node"},     {"x/quv", "x/quv.node"},
      {"/data/main", "/data/main.node"}, {"quv.chain", "quv.node"},
      {"a.b/c.d.chain", "a.b/c.d.node"}, {"x/.hidden", "x/.hidden.node"},
      {"x/quv.node", "x/quv.node"},
  };
  for (const auto& c : cases) EXPECT_EQ(state::path_for(c.chain).string(), c.state) << c.chain;
}

TEST(NodeState, DefaultStatePrintsTheFourteenKeys) {
  EXPECT_EQ(state::to_json(NodeState{}), kDefaultText);
}

TEST(NodeState, WriterPrintsValuesCompactly) {
  NodeState s;
  s.mempool = {{2, 0, 255}};
  std::string text = state::to_json(s);
  EXPECT_NE(text.find(R"("mempool":[[2,0,255]],)"), std::string::npos) << text;

  NodeState t;
  t.window_start = -5;
  t.supply = UINT64_MAX;
  t.mempool = {{2, 16, 0}, {2, 17, 0}, {}};
  t.peers = {"a:1", "b:2"};
  t.acks = {{"t", {"n1", "n2"}}};
  t.peer_link = {{"a:1", "up"}};
  EXPECT_EQ(state::to_json(t),
            R"({"reward_address":"","window_start":-5,"work_seconds":0,"validated":0,)"
            R"("last_drop":0,"last_beat":0,"mempool":[[2,16,0],[2,17,0],[]],)"
            R"("acks":{"t":["n1","n2"]},"node_id":"","peers":["a:1","b:2"],)"
            R"("peer_link":{"a:1":"up"},"height":0,"tip":"","supply":18446744073709551615})");
}

TEST(NodeState, WriterEscapesOnlyQuotesBackslashesAndControls) {
  struct Case {
    std::string value;
    std::string json;
  } cases[] = {
      {"plain", R"("plain")"},
      {"q\"b\\", R"("q\"b\\")"},
      {"\n\r\t\b\f", R"("\n\r\t\b\f")"},
      {std::string("\x00\x01\x1f", 3), R"("\u0000\u0001\u001f")"},
      {"\x7f/Q\xC3\x9AV\xE2\x80\xA6", "\"\x7f/Q\xC3\x9AV\xE2\x80\xA6\""},
      // Bytes that are not UTF-8 become U+FFFD, so the file always reads back.
      {"a\xFF"
       "b",
       "\"a\xEF\xBF\xBD"
       "b\""},
  };
  for (const auto& c : cases) {
    NodeState s;
    s.node_id = c.value;
    std::string text = state::to_json(s);
    EXPECT_NE(text.find("\"node_id\":" + c.json + ","), std::string::npos) << text;
    auto back = state::parse(text);
    ASSERT_TRUE(back.has_value()) << text;
    if (c.value.find('\xFF') == std::string::npos) {
      EXPECT_EQ(back->node_id, c.value);
    }
  }
}

TEST(NodeState, WriterAndReaderRoundTrip) {
  NodeState s = rich_state();
  auto back = state::parse(state::to_json(s));
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, s);

  // Random mempools: every byte value, empty and long entries.
  std::mt19937 rng(7);
  for (int round = 0; round < 20; ++round) {
    NodeState r;
    size_t count = rng() % 50;
    for (size_t i = 0; i < count; ++i) {
      Bytes tx(rng() % 700);
      for (auto& b : tx) b = static_cast<uint8_t>(rng());
      r.mempool.push_raw(std::move(tx));
    }
    auto rb = state::parse(state::to_json(r));
    ASSERT_TRUE(rb.has_value());
    EXPECT_EQ(rb->mempool, r.mempool);
  }
}

// Every reading rule, as file text and the state it must load as (nullopt: the default).
TEST(NodeState, ReadingRules) {
  NodeState addr_a;
  addr_a.reward_address = "a";
  NodeState a_and_5 = addr_a;
  a_and_5.window_start = 5;
  NodeState max_validated;
  max_validated.validated = UINT32_MAX;
  NodeState extremes;
  extremes.window_start = INT64_MIN;
  extremes.supply = UINT64_MAX;
  NodeState all_array;
  all_array.reward_address = "r";
  all_array.window_start = 1;
  all_array.work_seconds = 2;
  all_array.validated = 3;
  all_array.last_drop = 4;
  all_array.last_beat = 5;
  all_array.mempool = {{1}};
  all_array.acks = {{"t", {"n"}}};
  all_array.node_id = "id";
  all_array.peers = {"p:1"};
  all_array.peer_link = {{"p:1", "up"}};
  all_array.height = -1;
  all_array.tip = "tt";
  all_array.supply = 7;
  NodeState last_ack;
  last_ack.acks = {{"t", {"second"}}};
  NodeState minus_zero;

  struct Case {
    const char* name;
    std::string text;
    std::optional<NodeState> want;  // nullopt: loads as the default state
  } cases[] = {
      {"repeated key", R"({"reward_address":"a","reward_address":"b"})", std::nullopt},
      {"unknown key skipped", R"({"reward_address":"a","colour":5})", addr_a},
      {"unknown nested value skipped",
       R"({"colour":{"x":[1,{"y":[]}],"z":null},"reward_address":"a","more":[[[]]]})", addr_a},
      {"repeated unknown key", R"({"colour":1,"reward_address":"a","colour":2})", std::nullopt},
      {"array form", R"(["a",5])", a_and_5},
      {"array of all fourteen",
       R"(["r",1,2,3,4,5,[[1]],{"t":["n"]},"id",["p:1"],{"p:1":"up"},-1,"tt",7])", all_array},
      {"array of fifteen",
       R"(["r",1,2,3,4,5,[[1]],{"t":["n"]},"id",["p:1"],{"p:1":"up"},-1,"tt",7,0])", std::nullopt},
      {"empty array", "[]", NodeState{}},
      {"empty object", "{}", NodeState{}},
      {"members in any order", R"({"window_start":5,"reward_address":"a"})", a_and_5},
      {"surrounding whitespace", " \n\t{\"reward_address\":\"a\"}\r\n ", addr_a},
      {"validated at its limit", R"({"validated":4294967295})", max_validated},
      {"validated past its width", R"({"validated":4294967296})", std::nullopt},
      {"negative unsigned", R"({"work_seconds":-1})", std::nullopt},
      {"signed and unsigned extremes",
       R"({"window_start":-9223372036854775808,"supply":18446744073709551615})", extremes},
      {"signed past its width", R"({"height":9223372036854775808})", std::nullopt},
      {"unsigned past 64 bits", R"({"supply":18446744073709551616})", std::nullopt},
      {"minus zero is an integer", R"({"height":-0})", minus_zero},
      {"fraction", R"({"height":1.0})", std::nullopt},
      {"exponent", R"({"height":1e2})", std::nullopt},
      {"string for a number", R"({"height":"1"})", std::nullopt},
      {"null", R"({"tip":null})", std::nullopt},
      {"boolean", R"({"tip":true})", std::nullopt},
      {"number for a string", R"({"tip":5})", std::nullopt},
      {"mempool byte above 255", R"({"mempool":[[2,256]]})", std::nullopt},
      {"negative mempool byte", R"({"mempool":[[-1]]})", std::nullopt},
      {"fractional mempool byte", R"({"mempool":[[1.0]]})", std::nullopt},
      {"mempool entry as hex text", R"({"mempool":["0200"]})", std::nullopt},
      {"mempool not a list", R"({"mempool":{}})", std::nullopt},
      {"ack list not a list", R"({"acks":{"t":"n"}})", std::nullopt},
      {"ack of a number", R"({"acks":{"t":[1]}})", std::nullopt},
      {"acks as a list", R"({"acks":[]})", std::nullopt},
      {"repeated txid keeps the last list", R"({"acks":{"t":["first"],"t":["second"]}})", last_ack},
      {"peer not a text", R"({"peers":[1]})", std::nullopt},
      {"link state not a text", R"({"peer_link":{"a":1}})", std::nullopt},
      {"text after the document", R"({"reward_address":"a"}x)", std::nullopt},
      {"second document", R"({}{})", std::nullopt},
      {"truncated", R"({"reward_address":"a")", std::nullopt},
      {"half a mempool", R"({"mempool":[[2,16)", std::nullopt},
      {"bare string", R"("a")", std::nullopt},
      {"bare number", "5", std::nullopt},
      {"bare null", "null", std::nullopt},
      {"empty file", "", std::nullopt},
      {"whitespace only", " \n ", std::nullopt},
      {"byte-order mark", "\xEF\xBB\xBF{}", std::nullopt},
      {"comment", "{/*x*/}", std::nullopt},
  };
  for (const auto& c : cases) {
    auto got = state::parse(c.text);
    if (c.want) {
      ASSERT_TRUE(got.has_value()) << c.name;
      EXPECT_EQ(*got, *c.want) << c.name;
    } else {
      EXPECT_FALSE(got.has_value()) << c.name;
    }

    // Through the file: a text that does not parse loads as the default state.
    TempDir t;
    write_raw(t.path() / "quv.node", c.text);
    auto loaded = NodeState::load(t.path() / "quv.chain");
    ASSERT_TRUE(loaded.has_value()) << c.name;
    EXPECT_EQ(*loaded, c.want.value_or(NodeState{})) << c.name;
  }
}

TEST(NodeState, LoadWithoutAFileGivesTheDefaults) {
  TempDir t;
  auto s = NodeState::load(t.path() / "quv.chain");
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(*s, NodeState{});
  EXPECT_EQ(s->height, 0);
  EXPECT_EQ(s->tip, "");
  // A dangling link cannot be described either: no file.
  fs::create_symlink(t.path() / "nowhere", t.path() / "dangling.node");
  EXPECT_EQ(NodeState::load(t.path() / "dangling.chain").value(), NodeState{});
}

TEST(NodeState, LoadReportsAFileItCannotRead) {
  TempDir t;
  fs::create_directory(t.path() / "dir.node");
  write_raw(t.path() / "bad.node", "{\"reward_address\":\"\xFF\"}");
  struct Case {
    const char* chain;
    std::string error;
  } cases[] = {
      {"dir.chain", "Is a directory (os error 21)"},
      {"bad.chain", std::string(fsutil::kNotUtf8)},
  };
  for (const auto& c : cases) {
    auto s = NodeState::load(t.path() / c.chain);
    ASSERT_FALSE(s.has_value()) << c.chain;
    EXPECT_EQ(s.error().to_string(), c.error);
  }
}

TEST(NodeState, SaveWritesTheStateFileBesideTheChain) {
  TempDir t;
  for (const char* chain : {"x/quv.chain", "x/quv"}) {
    ASSERT_TRUE(NodeState{}.save(t.path() / chain).has_value()) << chain;
    EXPECT_EQ(read_raw(t.path() / "x" / "quv.node"), kDefaultText) << chain;
  }
  // Missing ancestors are made, and no temporary file stays behind.
  NodeState s = rich_state();
  fs::path chain = t.path() / "deep" / "er" / "main.chain";
  ASSERT_TRUE(s.save(chain).has_value());
  EXPECT_EQ(NodeState::load(chain).value(), s);
  size_t entries = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(t.path() / "deep" / "er")) ++entries;
  EXPECT_EQ(entries, 1u);
  // The next save replaces the whole file, forgetting unknown keys.
  write_raw(t.path() / "x" / "quv.node", R"({"reward_address":"a","colour":5})");
  NodeState loaded = NodeState::load(t.path() / "x" / "quv.chain").value();
  ASSERT_TRUE(loaded.save(t.path() / "x" / "quv.chain").has_value());
  EXPECT_EQ(read_raw(t.path() / "x" / "quv.node").find("colour"), std::string::npos);
}

TEST(NodeState, SaveReportsAWriteFailure) {
  TempDir t;
  // The parent "dir" is a file: the directory cannot be made and the write fails.
  write_raw(t.path() / "dir", "x");
  auto s = NodeState{}.save(t.path() / "dir" / "quv.chain");
  ASSERT_FALSE(s.has_value());
  EXPECT_EQ(s.error().to_string(), "Not a directory (os error 20)");
  // The state path is a directory.
  fs::create_directory(t.path() / "quv.node");
  auto d = NodeState{}.save(t.path() / "quv.chain");
  ASSERT_FALSE(d.has_value());
  EXPECT_EQ(d.error().to_string(), "Is a directory (os error 21)");
}

// The HTTP server reads the file while the node saves it: every read must see a whole state.
TEST(NodeState, ReaderBesideSavesNeverSeesABrokenFile) {
  TempDir t;
  fs::path chain = t.path() / "quv.chain";
  fs::path file = state::path_for(chain);
  NodeState s = rich_state();
  // A large mempool makes a torn write likely if the file were rewritten in place.
  for (int i = 0; i < 200; ++i) s.mempool.push_raw(Bytes(500, static_cast<uint8_t>(i)));
  ASSERT_TRUE(s.save(chain).has_value());

  std::atomic<bool> done{false};
  std::atomic<int> reads{0}, broken{0};
  std::thread reader([&] {
    while (!done.load()) {
      auto text = fsutil::read_text(file);
      if (!text || !state::parse(*text)) ++broken;
      ++reads;
    }
  });
  for (int i = 0; i < 1000; ++i) {
    s.height = i;
    std::vector<Bytes> pool = s.mempool.take_all();
    pool.resize(200 + static_cast<size_t>(i % 7));
    s.mempool = Mempool(std::move(pool));
    ASSERT_TRUE(s.save(chain).has_value());
  }
  done = true;
  reader.join();
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(broken.load(), 0);
  EXPECT_EQ(NodeState::load(chain).value(), s);
}

}  // namespace

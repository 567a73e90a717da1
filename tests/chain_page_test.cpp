#include "ledger/chain_page.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "chain_gen.h"
#include "core/codec.h"
#include "core/crypto.h"
#include "core/hex.h"
#include "ledger/chain.h"
#include "proc.h"

namespace fs = std::filesystem;

namespace {

using codec::Block;
using codec::Tx;
using codec::TxInput;
using codec::TxOutput;

const std::string kMagic("QUV\x01", 4);

Bytes random_bytes(std::mt19937_64& rng, size_t n) {
  Bytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

template <size_t N>
std::array<uint8_t, N> random_array(std::mt19937_64& rng) {
  std::array<uint8_t, N> a;
  for (auto& x : a) x = static_cast<uint8_t>(rng());
  return a;
}

Tx random_tx(std::mt19937_64& rng) {
  static constexpr uint8_t kTypes[] = {0, 1, 2, 5};
  Tx tx;
  tx.type = kTypes[rng() % 4];
  tx.timestamp = rng() % 2000000000;
  tx.extra = random_bytes(rng, rng() % 40);
  tx.tag = random_bytes(rng, rng() % 8);
  for (size_t i = rng() % 3; i > 0; --i) {
    TxInput in;
    in.note_id = random_array<32>(rng);
    in.nullifier = random_array<32>(rng);
    in.sig = random_array<64>(rng);
    tx.inputs.push_back(in);
  }
  for (size_t i = rng() % 3; i > 0; --i) {
    TxOutput out;
    out.stealth_tag = random_array<16>(rng);
    out.eph_pub = random_array<32>(rng);
    out.auth_pk = random_array<32>(rng);
    out.ciphertext = random_bytes(rng, 24 + rng() % 60);
    tx.outputs.push_back(out);
  }
  if (tx.type == codec::kTxWork) {
    tx.work_amount = rng();
    tx.work_seconds = static_cast<uint32_t>(rng());
    tx.work_validated = static_cast<uint32_t>(rng());
  }
  return tx;
}

// A chain file built in memory: the magic, then one record per block.
struct ChainBuilder {
  std::mt19937_64 rng;
  std::string bytes = kMagic;
  std::vector<Block> blocks;
  std::vector<size_t> offsets;

  explicit ChainBuilder(uint64_t seed) : rng(seed) {}

  const Block& add(uint64_t height) {
    Block b;
    b.height = height;
    b.timestamp = 1700000000 + rng() % 1000000;
    if (!blocks.empty()) b.prev = blocks.back().hash;
    for (size_t i = rng() % 4; i > 0; --i) b.txs.push_back(random_tx(rng));
    b.nonce = rng();
    b.hash = codec::block_hash(codec::encode_header(b));
    offsets.push_back(bytes.size());
    Bytes rec = codec::encode_record(b);
    bytes.append(rec.begin(), rec.end());
    blocks.push_back(std::move(b));
    return blocks.back();
  }
  void add_many(size_t n) {
    for (size_t i = 0; i < n; ++i) add(blocks.size());
  }
};

void expect_same(const Result<chain::BlocksPage>& got, const Result<chain::BlocksPage>& want,
                 const std::string& what) {
  ASSERT_EQ(got.has_value(), want.has_value()) << what;
  if (!want) {
    EXPECT_EQ(got.error().to_string(), want.error().to_string()) << what;
    return;
  }
  EXPECT_EQ(got->height, want->height) << what;
  EXPECT_EQ(got->tip, want->tip) << what;
  ASSERT_EQ(got->blocks.size(), want->blocks.size()) << what;
  for (size_t i = 0; i < want->blocks.size(); ++i) {
    EXPECT_EQ(got->blocks[i], want->blocks[i]) << what << " block " << i;
  }
}

std::vector<uint64_t> heights(const chain::BlocksPage& page) {
  std::vector<uint64_t> out;
  for (const auto& b : page.blocks) out.push_back(b["height"].get<uint64_t>());
  return out;
}

class BlocksPageTest : public ::testing::Test {
 protected:
  void SetUp() override { crypto::init(); }
  std::string file(const std::string& name, const std::string& content) {
    std::string p = dir_ / name;
    EXPECT_TRUE(proc::spit(p, content));
    return p;
  }
  proc::TempDir dir_;
};

TEST_F(BlocksPageTest, PageSelectsByHeightAndReportsLastBlock) {
  ChainBuilder c(1);
  c.add_many(10);
  std::string path = file("ten.chain", c.bytes);
  std::string tip9 = hex::encode(c.blocks[9].hash);
  struct Case {
    uint64_t from, limit;
    std::vector<uint64_t> want;
  };
  const Case cases[] = {
      {3, 4, {3, 4, 5, 6}}, {0, 2, {0, 1}}, {8, 32, {8, 9}}, {10, 5, {}},
      {UINT64_MAX, 5, {}},  {0, 0, {}},     {9, 1, {9}},
  };
  for (const auto& k : cases) {
    for (auto* fn : {&chain::blocks_page, &chain::walk_blocks_page}) {
      auto page = fn(path, k.from, k.limit);
      ASSERT_TRUE(page) << page.error().to_string();
      EXPECT_EQ(heights(*page), k.want) << k.from << "/" << k.limit;
      EXPECT_EQ(page->height, 9u);
      EXPECT_EQ(page->tip, tip9);
    }
  }
  auto page = chain::blocks_page(path, 3, 4);
  ASSERT_TRUE(page);
  EXPECT_EQ(page->blocks[0], chain::block_json(c.blocks[3]));
}

TEST_F(BlocksPageTest, NormalEndsAndErrors) {
  ChainBuilder c(2);
  c.add_many(5);
  const std::string good = c.bytes;
  std::string mid_bad = good;
  mid_bad[c.offsets[3] + 4 + 10] ^= 0x01;  // body byte of block 3: checksum no longer matches
  std::string undecodable = good;
  {
    // A record whose body is too small for a header, with a matching checksum.
    Bytes body(50, 7);
    Bytes rec;
    bytes::put_u32(rec, 50);
    bytes::put(rec, body);
    bytes::put(rec, hashing::h32(body));
    undecodable.append(rec.begin(), rec.end());
  }
  const std::string tip2 = hex::encode(c.blocks[2].hash);
  const std::string tip4 = hex::encode(c.blocks[4].hash);
  struct Case {
    std::string name, content;
    std::string error;  // empty: a page
    uint64_t height;
    std::string tip;
    size_t blocks;
  };
  const Case cases[] = {
      {"magic only", kMagic, "", UINT64_MAX, "", 0},
      {"torn prefix 1", good + std::string(1, '\x05'), "", 4, tip4, 5},
      {"torn prefix 3", good + std::string(3, '\x05'), "", 4, tip4, 5},
      {"bad checksum mid-file", mid_bad, "", 2, tip2, 3},
      {"body cut short", good.substr(0, c.offsets[4] + 20), "failed to fill whole buffer", 0, "",
       0},
      {"checksum cut short", good.substr(0, good.size() - 1), "failed to fill whole buffer", 0, "",
       0},
      {"huge length prefix", good + "\xff\xff\xff\xff" + "abc", "failed to fill whole buffer", 0,
       "", 0},
      {"undecodable body", undecodable, "block too small", 0, "", 0},
      {"three bytes", "QUV", "failed to fill whole buffer", 0, "", 0},
      {"empty file", "", "failed to fill whole buffer", 0, "", 0},
      {"wrong magic", "QUV\x02" + good.substr(4), "not a QÚV chain file (magic QUV\\x01)", 0, "",
       0},
  };
  for (const auto& k : cases) {
    std::string path = file("case.chain", k.content);
    for (auto* fn : {&chain::walk_blocks_page, &chain::blocks_page, &chain::blocks_page}) {
      auto page = fn(path, 0, 100);
      if (!k.error.empty()) {
        ASSERT_FALSE(page) << k.name;
        EXPECT_EQ(page.error().to_string(), k.error) << k.name;
        continue;
      }
      ASSERT_TRUE(page) << k.name << ": " << page.error().to_string();
      EXPECT_EQ(page->height, k.height) << k.name;
      EXPECT_EQ(page->tip, k.tip) << k.name;
      EXPECT_EQ(page->blocks.size(), k.blocks) << k.name;
    }
  }
  auto missing = chain::blocks_page(dir_ / "nope.chain", 0, 1);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().to_string(), "No such file or directory (os error 2)");
  auto directory = chain::blocks_page(dir_.path(), 0, 1);
  ASSERT_FALSE(directory);
  EXPECT_EQ(directory.error().to_string(), "Is a directory (os error 21)");
}

// A record cut short at the end while a writer holds the chain's lock is one still being
// written: pages end before it. Without a writer the same bytes are a torn file.
TEST_F(BlocksPageTest, RecordBeingWrittenEndsThePage) {
  const fs::path p = dir_ / "busy.chain";
  auto opened = Chain::open(p);
  ASSERT_TRUE(opened);
  Chain& c = *opened;
  ASSERT_TRUE(c.seal_txs({chain_gen::work_tx({}, 3)}));
  const std::string tip = c.tip_hash_hex();
  const Bytes next = codec::encode_record(
      chain_gen::make_block(2, c.tip_hash(), {chain_gen::work_tx({}, 4)}, false));
  std::ofstream(p, std::ios::app | std::ios::binary)
      .write(reinterpret_cast<const char*>(next.data()), 40);
  c.hold_saves();  // the writer's lock, as while it appends
  for (auto* fn : {&chain::walk_blocks_page, &chain::blocks_page, &chain::blocks_page}) {
    auto page = fn(p.string(), 0, 100);
    ASSERT_TRUE(page) << page.error().to_string();
    EXPECT_EQ(page->height, 1u);
    EXPECT_EQ(page->tip, tip);
  }
  ASSERT_TRUE(c.flush_saves());
  for (auto* fn : {&chain::walk_blocks_page, &chain::blocks_page}) {
    auto page = fn(p.string(), 0, 100);
    ASSERT_FALSE(page);
    EXPECT_EQ(page.error().to_string(), "failed to fill whole buffer");
  }
}

TEST_F(BlocksPageTest, HeightsOutOfOrderAreSelectedByHeaderField) {
  ChainBuilder c(3);
  for (uint64_t h : {0, 5, 2, 7, 3, 9, 1}) c.add(h);
  std::string path = file("odd.chain", c.bytes);
  for (auto* fn : {&chain::walk_blocks_page, &chain::blocks_page}) {
    auto page = fn(path, 3, 3);
    ASSERT_TRUE(page);
    EXPECT_EQ(heights(*page), (std::vector<uint64_t>{5, 7, 3}));
    EXPECT_EQ(page->height, 1u);
    EXPECT_EQ(page->tip, hex::encode(c.blocks.back().hash));
  }
}

TEST(TxJson, PinsKeysOrderAndForms) {
  crypto::init();
  Tx tx;
  tx.type = codec::kTxWork;
  tx.timestamp = 42;
  tx.tag = {'a', 0xff, 'b', 0xe2, 0x82, 'c'};  // an invalid byte and a cut sequence
  tx.work_amount = 777;
  tx.work_seconds = 1;
  tx.work_validated = 2;
  TxInput in;
  in.note_id.fill(0xab);
  in.nullifier.fill(0xcd);
  tx.inputs.push_back(in);
  TxOutput out;
  out.stealth_tag.fill(0x01);
  out.eph_pub.fill(0x02);
  out.auth_pk.fill(0x03);
  out.ciphertext = {0x0a, 0x0b};
  tx.outputs.push_back(out);

  const std::string nid = hex::encode(codec::note_id(out));
  auto rep = [](const char* pair, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += pair;
    return s;
  };
  const std::string want = R"({"extra":"","id":")" + hex::encode(codec::txid(tx)) +
                           R"(","inputs":[")" + rep("ab", 32) + R"("],"outputs":[{"auth_pk":")" +
                           rep("03", 32) + R"(","ciphertext":"0a0b","eph_pub":")" + rep("02", 32) +
                           R"(","note_id":")" + nid + R"(","stealth_tag":")" + rep("01", 16) +
                           R"("}],"tag":"a)" +
                           "\xEF\xBF\xBD"
                           "b"
                           "\xEF\xBF\xBD"
                           R"(c","timestamp":42,"type":1})";
  EXPECT_EQ(chain::tx_json(tx).dump(), want);

  Block b;
  b.height = 7;
  b.timestamp = 9;
  b.prev.fill(0xee);
  b.hash.fill(0x11);
  EXPECT_EQ(chain::block_json(b).dump(), R"({"hash":")" + std::string(64, '1') +
                                             R"(","height":7,"prev":")" + std::string(64, 'e') +
                                             R"(","timestamp":9,"txs":[]})");
}

// The cached page must equal the plain walk whatever happens to the file between
// calls: appends, a torn or half-written record, a replacement written in place and a
// replacement renamed over the file.
TEST_F(BlocksPageTest, WarmPathEqualsFullWalk) {
  std::mt19937_64 rng(20240601);
  const std::string path = dir_ / "live.chain";
  ChainBuilder c(7);
  c.add_many(40);
  ASSERT_TRUE(proc::spit(path, c.bytes));
  std::string tail;  // bytes after the last whole record
  uint64_t fork_seed = 100;

  auto write_all = [&] { ASSERT_TRUE(proc::spit(path, c.bytes + tail)); };
  auto append_raw = [&](const std::string& bytes) {
    FILE* f = std::fopen(path.c_str(), "ab");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    std::fclose(f);
  };
  auto replacement = [&](bool longer) {
    // A fork: the same first blocks, then different ones.
    ChainBuilder r(++fork_seed);
    size_t keep = c.blocks.empty() ? 0 : rng() % c.blocks.size();
    r.bytes = c.bytes.substr(0, keep < c.offsets.size() ? c.offsets[keep] : c.bytes.size());
    r.blocks.assign(c.blocks.begin(), c.blocks.begin() + static_cast<std::ptrdiff_t>(keep));
    r.offsets.assign(c.offsets.begin(), c.offsets.begin() + static_cast<std::ptrdiff_t>(keep));
    size_t n = c.blocks.size() - keep + (longer ? 1 + rng() % 5 : 0);
    r.add_many(n);
    return r;
  };

  for (int round = 0; round < 120; ++round) {
    int action = static_cast<int>(rng() % 8);
    std::string what = "round " + std::to_string(round) + " action " + std::to_string(action);
    switch (action) {
      case 0:
      case 1: {  // the node appends whole records
        if (!tail.empty()) break;
        size_t before = c.bytes.size();
        c.add_many(1 + rng() % 3);
        append_raw(c.bytes.substr(before));
        break;
      }
      case 2: {  // a record only partly written, or a torn length prefix
        if (!tail.empty()) break;
        ChainBuilder extra(rng());
        extra.add(c.blocks.size());
        std::string rec = extra.bytes.substr(4);
        tail = rec.substr(0, 1 + rng() % (rec.size() - 1));
        append_raw(tail);
        break;
      }
      case 3:  // the partial record is finished or cut back
        if (tail.empty()) break;
        tail.clear();
        write_all();
        break;
      case 4: {  // adoption writing the new chain over the file in place
        ChainBuilder r = replacement(rng() % 2 == 0);
        c = std::move(r);
        tail.clear();
        write_all();
        break;
      }
      case 5: {  // adoption moving a complete new file over the old one
        ChainBuilder r = replacement(true);
        c = std::move(r);
        tail.clear();
        std::string tmp = path + ".tmp";
        ASSERT_TRUE(proc::spit(tmp, c.bytes));
        ASSERT_EQ(std::rename(tmp.c_str(), path.c_str()), 0);
        break;
      }
      case 6: {  // a whole record with a bad checksum at the end, later repaired
        if (!tail.empty()) break;
        ChainBuilder extra(rng());
        extra.add(c.blocks.size());
        tail = extra.bytes.substr(4);
        tail[tail.size() - 1] ^= 0x40;
        append_raw(tail);
        break;
      }
      default:
        break;  // queries only
    }
    for (int q = 0; q < 6; ++q) {
      uint64_t top = c.blocks.size() + 3;
      uint64_t from = rng() % 4 == 0 ? 0 : rng() % top;
      uint64_t limit = rng() % 5 == 0 ? 0 : 1 + rng() % 40;
      auto want = chain::walk_blocks_page(path, from, limit);
      auto got = chain::blocks_page(path, from, limit);
      expect_same(got, want, what + " from " + std::to_string(from));
      if (::testing::Test::HasFailure()) return;
    }
  }
}

// Pages built on several threads while the file grows are each a consistent view: the
// blocks asked for, in order, and a tip that names a block of the chain at that height.
TEST_F(BlocksPageTest, ConcurrentPagesWhileAppending) {
  const std::string path = dir_ / "busy.chain";
  ChainBuilder c(11);
  c.add_many(60);
  const size_t total = 200;
  ChainBuilder full = c;
  full.add_many(total - 60);
  ASSERT_TRUE(proc::spit(path, c.bytes));
  std::vector<std::string> tips;
  for (const auto& b : full.blocks) tips.push_back(hex::encode(b.hash));

  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&, t] {
      std::mt19937_64 rng(t);
      for (int i = 0; i < 400 && !done; ++i) {
        uint64_t from = rng() % 60;
        auto page = chain::blocks_page(path, from, 8);
        // A record caught half written is the short-read error; anything else is wrong.
        if (!page) {
          if (page.error().to_string() != "failed to fill whole buffer") ++bad;
          continue;
        }
        if (page->height >= total || page->tip != tips[page->height]) ++bad;
        auto h = heights(*page);
        for (size_t k = 0; k < h.size(); ++k) {
          if (h[k] != from + k) ++bad;
        }
      }
    });
  }
  FILE* f = std::fopen(path.c_str(), "ab");
  ASSERT_NE(f, nullptr);
  for (size_t i = 60; i < total; ++i) {
    const std::string rec = full.bytes.substr(
        full.offsets[i], i + 1 < total ? full.offsets[i + 1] - full.offsets[i] : std::string::npos);
    std::fwrite(rec.data(), 1, rec.size(), f);
    std::fflush(f);
  }
  std::fclose(f);
  done = true;
  for (auto& r : readers) r.join();
  EXPECT_EQ(bad.load(), 0);
  expect_same(chain::blocks_page(path, 150, 100), chain::walk_blocks_page(path, 150, 100), "end");
}

}  // namespace

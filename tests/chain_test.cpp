// The chain file, replay, appending, validation, the mempool, acknowledgements and sealing.
#include "ledger/chain.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>

#include "chain_gen.h"
#include "core/codec.h"
#include "core/crypto.h"
#include "core/hex.h"
#include "proc.h"

namespace fs = std::filesystem;
using chain_gen::Owned;
using codec::Tx;

// Reopens the chain file under the ledger with other access rights.
struct ChainFaults {
  static void swap_file(Chain& c, int flags) {
    c.file_ = fsutil::Fd(::open(c.path().c_str(), flags | O_CLOEXEC));
  }
};

namespace {

const std::string kShortRead = "failed to fill whole buffer";
const std::string kBadMagic = "not a QÚV chain file (magic QUV\\x01)";
const std::string kChecksum = "Block checksum mismatch — file corrupt.";
const std::string kNothing = "Nothing to seal — mempool empty.";

std::string str(const Bytes& b) { return std::string(b.begin(), b.end()); }

using proc::ScopedEnv;

std::string file_text(const fs::path& p) { return proc::slurp(p); }

Hash32 filled(uint8_t v) {
  Hash32 h;
  h.fill(v);
  return h;
}

using chain_gen::Sets;
using chain_gen::sets_of;

class ChainTest : public ::testing::Test {
 protected:
  void SetUp() override { crypto::init(); }

  fs::path file() const { return dir_ / "quv.chain"; }

  Chain& open() {
    auto c = Chain::open(file());
    EXPECT_TRUE(c) << c.error().to_string();
    chain_ = std::make_unique<Chain>(std::move(*c));
    return *chain_;
  }

  // Seals a work block paying `n` notes that the test can spend.
  std::vector<Owned> mint(size_t n) {
    std::vector<Owned> owned;
    std::vector<codec::TxOutput> outs;
    for (size_t i = 0; i < n; ++i) {
      owned.push_back(chain_gen::key_pair(rng_));
      outs.push_back(chain_gen::output(owned.back(), rng_));
    }
    auto sealed = chain_->seal_txs({chain_gen::work_tx(std::move(outs), 10 * n)});
    EXPECT_TRUE(sealed) << sealed.error().to_string();
    return owned;
  }

  // A transfer of `notes` into one fresh output.
  Tx pay(std::vector<Owned> notes) {
    Owned to = chain_gen::key_pair(rng_);
    return chain_gen::transfer(notes, {chain_gen::output(to, rng_)});
  }

  // A mint extra: image id and a valid owner address.
  Bytes mint_extra(uint8_t id_byte) {
    Bytes extra(32, id_byte);
    std::string addr = crypto::encode_address(Key32{7});
    extra.insert(extra.end(), addr.begin(), addr.end());
    return extra;
  }

  Tx nft_mint(uint8_t id_byte, const Owned& fee_note) {
    Owned to = chain_gen::key_pair(rng_);
    Tx tx;
    tx.type = codec::kTxNftMint;
    tx.extra = mint_extra(id_byte);
    std::vector<Owned> in = {fee_note};
    tx.inputs = chain_gen::inputs_for(in);
    tx.outputs.push_back(chain_gen::output(to, rng_));
    chain_gen::sign(tx, in);
    return tx;
  }

  proc::TempDir dir_;
  std::unique_ptr<Chain> chain_;
  std::mt19937_64 rng_{42};
};

// ---------------------------------------------------------------------------------------
// The id tables

// Random inserts, replacements, erasures and room made ahead over a small key pool (so
// that runs of neighbouring slots form and break up) agree with std::map at every step.
TEST(IdMap, AgreesWithAnOrderedMap) {
  std::mt19937_64 rng(7);
  std::vector<Hash32> pool(300);
  for (auto& k : pool) {
    for (auto& byte : k) byte = static_cast<uint8_t>(rng());
  }
  chain::IdMap<uint32_t> map;
  std::map<Hash32, uint32_t> want;
  for (int step = 0; step < 60000; ++step) {
    const Hash32& k = pool[rng() % pool.size()];
    const uint32_t v = static_cast<uint32_t>(rng());
    switch (rng() % 5) {
      case 0:
        EXPECT_EQ(map.insert(k, v), want.emplace(k, v).second);
        break;
      case 4: {
        const size_t more = rng() % 400;
        map.reserve(map.size() + more);
        EXPECT_TRUE(map.fits(more));
        break;
      }
      case 1:
        map.insert_or_assign(k, v);
        want[k] = v;
        break;
      case 2:
      case 3:
        EXPECT_EQ(map.erase(k), want.erase(k) == 1);
        break;
    }
    ASSERT_EQ(map.size(), want.size());
    if (step % 997 == 0) {
      for (const Hash32& key : pool) {
        auto it = want.find(key);
        const uint32_t* got = map.find(key);
        ASSERT_EQ(got != nullptr, it != want.end());
        if (got) {
          ASSERT_EQ(*got, it->second);
        }
      }
      size_t seen = 0;
      map.for_each([&](const Hash32& key, uint32_t value) {
        ++seen;
        EXPECT_EQ(want.at(key), value);
      });
      EXPECT_EQ(seen, want.size());
    }
  }
  chain::IdMap<uint32_t> copy;
  for (const auto& [k, v] : want) copy.insert(k, v);
  EXPECT_EQ(copy, map);
  copy.insert_or_assign(want.begin()->first, want.begin()->second + 1);
  EXPECT_FALSE(copy == map);
  map.clear();
  EXPECT_TRUE(map.empty());
  EXPECT_FALSE(map.contains(pool[0]));
}

// ---------------------------------------------------------------------------------------
// Genesis

TEST(Genesis, PreambleTextsHaveTheirShape) {
  const auto txs = chain::genesis_txs();
  ASSERT_EQ(txs.size(), 3u);
  struct Want {
    std::string tag;
    size_t bytes;
    std::string first_line;
    size_t paragraphs;
  };
  const Want want[] = {{"meaning", 629, "QÚV — meaning", 3},
                       {"function", 950, "QÚV — how it works", 4},
                       {"aim", 701, "QÚV — aim", 3}};
  for (size_t i = 0; i < 3; ++i) {
    const Tx& tx = txs[i];
    const std::string t = str(tx.extra);
    SCOPED_TRACE(want[i].tag);
    EXPECT_EQ(tx.type, codec::kTxPreamble);
    EXPECT_EQ(tx.timestamp, 0u);
    EXPECT_EQ(str(tx.tag), want[i].tag);
    EXPECT_TRUE(tx.inputs.empty());
    EXPECT_TRUE(tx.outputs.empty());
    EXPECT_EQ(tx.work_amount, 0u);
    EXPECT_EQ(t.size(), want[i].bytes);
    EXPECT_EQ(t.substr(0, t.find('\n')), want[i].first_line);
    EXPECT_EQ(t.find('\r'), std::string::npos);
    EXPECT_NE(t.back(), '\n');
    EXPECT_EQ(t.find("\n\n\n"), std::string::npos);
    // First line, then paragraphs, each block separated by one empty line.
    size_t blocks = 1;
    for (size_t p = t.find("\n\n"); p != std::string::npos; p = t.find("\n\n", p + 2)) ++blocks;
    EXPECT_EQ(blocks, want[i].paragraphs + 1);
    // A paragraph is one line.
    size_t lines = std::count(t.begin(), t.end(), '\n');
    EXPECT_EQ(lines, 2 * want[i].paragraphs);
  }
}

TEST(Genesis, HeaderIsUnminedAtHeightZero) {
  const codec::Block g = chain::genesis_block();
  EXPECT_EQ(g.height, 0u);
  EXPECT_EQ(g.timestamp, 0u);
  EXPECT_EQ(g.prev, Hash32{});
  EXPECT_EQ(g.nonce, 0u);
  EXPECT_EQ(g.difficulty, 0u);
  std::vector<Hash32> ids;
  for (const Tx& tx : g.txs) ids.push_back(codec::txid(tx));
  EXPECT_EQ(g.merkle, codec::merkle(ids));
  EXPECT_EQ(g.hash, codec::block_hash(codec::encode_header(g)));
  // The identity of the network: every node must carry these exact texts.
  EXPECT_EQ(hex::encode(g.hash),
            "84113e549c0216844292c8b6328c50ef754405db5e38d7e13254b023fa4d565a");
}

// ---------------------------------------------------------------------------------------
// Opening and replay

TEST_F(ChainTest, MissingFileBecomesMagicAndGenesis) {
  Chain& c = open();
  const Bytes want = chain_gen::file_bytes(std::vector{chain::genesis_block()});
  EXPECT_EQ(file_text(file()), str(want));
  EXPECT_EQ(c.block_count(), 1u);
  EXPECT_EQ(c.offsets(), std::vector<uint64_t>{4});
  EXPECT_EQ(c.supply(), 0u);
  EXPECT_TRUE(c.notes().empty());
  EXPECT_EQ(c.tip_hash(), chain::genesis_block().hash);
  EXPECT_EQ(c.state().height, 0);
  EXPECT_EQ(c.state().tip, c.tip_hash_hex());
  EXPECT_EQ(c.file_size(), want.size());
  // Opening does not save the state.
  EXPECT_FALSE(fs::exists(dir_ / "quv.node"));
}

TEST_F(ChainTest, OpenCreatesMissingDirectories) {
  auto c = Chain::open(dir_ / "a" / "b" / "quv.chain");
  ASSERT_TRUE(c) << c.error().to_string();
  EXPECT_EQ(c->block_count(), 1u);
}

TEST_F(ChainTest, DamagedFilesOpenOrFailAsSpecified) {
  const Bytes good = chain_gen::file_bytes(std::vector{chain::genesis_block()});
  const std::string g = str(good);
  const size_t body_len = bytes::load_u32(good.data() + 4);
  std::string bad_sum = g;
  bad_sum.back() ^= 1;
  std::string bad_magic = g;
  bad_magic[3] = 2;
  struct Case {
    std::string name;
    std::string content;
    std::optional<std::string> error;
    size_t blocks;
  };
  const Case cases[] = {
      {"empty", "", std::nullopt, 1},
      {"magic only", "QUV\x01", std::nullopt, 1},
      {"one byte", "Q", kShortRead, 0},
      {"three bytes", "QUV", kShortRead, 0},
      {"other magic", "QUV\x02", kBadMagic, 0},
      {"other magic with blocks", bad_magic, kBadMagic, 0},
      {"whole record", g, std::nullopt, 1},
      {"torn prefix 1", g + "\x05", std::nullopt, 1},
      {"torn prefix 2", g + "\x05\x00", std::nullopt, 1},
      {"torn prefix 3", g + std::string("\xff\xff\xff", 3), std::nullopt, 1},
      {"body cut", g.substr(0, 4 + 4 + body_len - 1), kShortRead, 0},
      {"checksum cut", g.substr(0, g.size() - 1), kShortRead, 0},
      {"length past end", g + std::string("\xff\xff\xff\x7f", 4) + "abc", kShortRead, 0},
      {"bad checksum", bad_sum, kChecksum, 0},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    const fs::path p = dir_ / (tc.name + ".chain");
    ASSERT_TRUE(proc::spit(p, tc.content));
    auto c = Chain::open(p);
    if (tc.error) {
      ASSERT_FALSE(c);
      EXPECT_EQ(c.error().to_string(), *tc.error);
      // Nothing is repaired or truncated.
      EXPECT_EQ(file_text(p), tc.content);
    } else {
      ASSERT_TRUE(c) << c.error().to_string();
      EXPECT_EQ(c->block_count(), tc.blocks);
    }
  }
  EXPECT_EQ(kBadMagic.size(), 37u);
  EXPECT_EQ(kChecksum.size(), 41u);
}

// A record whose checksum matches but whose body does not decode fails with the decoder's
// own message, for every place the body can end.
TEST_F(ChainTest, UndecodableBodiesFailWithTheDecodersMessage) {
  chain_gen::Builder b(3, false);
  b.add({b.mint(2)});
  b.add({b.spend(1, 2), b.spend(1, 1)});
  const Bytes body = codec::encode_block_body(b.blocks().back());
  for (size_t cut = 0; cut < body.size(); cut += (cut < 140 ? 1 : 7)) {
    const ByteView part = ByteView(body).first(cut);
    Bytes file(chain::kMagic.begin(), chain::kMagic.end());
    bytes::put_u32(file, static_cast<uint32_t>(cut));
    bytes::put(file, part);
    bytes::put(file, hashing::h32(part));
    const fs::path p = dir_ / ("cut" + std::to_string(cut) + ".chain");
    ASSERT_TRUE(proc::spit(p, str(file)));
    auto c = Chain::open(p);
    auto d = codec::decode_block_body(part);
    SCOPED_TRACE(cut);
    if (d) {
      ASSERT_TRUE(c) << c.error().to_string();
    } else {
      ASSERT_FALSE(c);
      EXPECT_EQ(c.error(), d.error());
    }
    fs::remove(p);
    fs::remove(dir_ / ("cut" + std::to_string(cut) + ".node"));
  }
}

TEST_F(ChainTest, ReplayChecksNoLinksHeightsOrWork) {
  chain_gen::Builder b(5, false);
  b.add({b.mint(3)});
  b.add({b.spend()});
  std::vector<codec::Block> blocks = b.blocks();
  blocks[1].height = 77;
  blocks[2].prev = Hash32{9};
  blocks[2].merkle = Hash32{1};
  blocks[2].difficulty = 60;
  ASSERT_TRUE(proc::spit(file(), str(chain_gen::file_bytes(blocks))));
  Chain& c = open();
  EXPECT_EQ(c.block_count(), 3u);
  EXPECT_EQ(c.tip_hash(), codec::block_hash(codec::encode_header(blocks[2])));
  EXPECT_EQ(c.supply(), 3000u);
}

// Replay walks the bytes without decoding into transactions; it must end with exactly
// what ingesting the decoded blocks gives.
TEST_F(ChainTest, ReplayEqualsIngestOfDecodedBlocks) {
  chain_gen::Builder b(11, false);
  b.full_blocks(4);
  b.one_transfer_blocks(5);
  // Transactions the ledger would refuse still replay: a spend of an unknown note, an
  // output that repeats a note id, an NFT mint with and without a readable extra.
  Owned stray = chain_gen::key_pair(b.rng);
  auto out = chain_gen::output(stray, b.rng);
  Tx odd = chain_gen::transfer(std::vector{stray}, {out, out});
  Tx mint_ok;
  mint_ok.type = codec::kTxNftMint;
  mint_ok.extra = mint_extra(3);
  Tx mint_bad = mint_ok;
  mint_bad.extra.resize(10);
  b.add({odd, mint_ok, mint_bad, b.spend(2, 3)});
  b.write(file());

  Chain& c = open();
  // A new chain holds the same genesis block; the other blocks are ingested into it.
  Chain slow = std::move(*Chain::open(dir_ / "other.chain"));
  ASSERT_EQ(b.blocks().front().hash, slow.tip_hash());
  Sets want;
  uint64_t off = 4;
  for (size_t i = 0; i < b.blocks().size(); ++i) {
    const codec::Block& blk = b.blocks()[i];
    if (i > 0) slow.ingest(blk.txs);
    want.offsets.push_back(off);
    off += codec::encode_record(blk).size();
    want.tip = blk.hash;
  }
  want.notes = slow.notes();
  want.nullifiers = slow.nullifiers();
  want.nft_ids = slow.nft_ids();
  want.supply = slow.supply();
  EXPECT_EQ(sets_of(c), want);
  EXPECT_TRUE(c.nft_ids().contains(filled(3)));
  EXPECT_EQ(c.nft_ids().size(), 1u);
  EXPECT_TRUE(c.nullifiers().contains(codec::nullifier(stray.note_id, stray.pk)));

  // Opening the same file again yields the same ledger.
  auto again = Chain::open(file());
  ASSERT_TRUE(again);
  EXPECT_EQ(sets_of(*again), sets_of(c));
}

TEST_F(ChainTest, IngestAppliesEveryTypeWithoutChecks) {
  Chain& c = open();
  Owned a = chain_gen::key_pair(rng_);
  Owned b2 = chain_gen::key_pair(rng_);
  auto out = chain_gen::output(a, rng_);
  Tx work = chain_gen::work_tx({out}, UINT64_MAX);
  c.ingest(std::vector{work});
  EXPECT_EQ(c.supply(), UINT64_MAX);
  EXPECT_EQ(*c.notes().find(a.note_id), a.pk);
  // An output whose note id is present keeps it, with the output's key.
  (void)b2;
  Tx preamble;
  preamble.outputs = {out};
  Tx work2 = chain_gen::work_tx({}, 2);
  c.ingest(std::vector{preamble, work2});
  EXPECT_EQ(*c.notes().find(a.note_id), a.pk);
  EXPECT_EQ(c.supply(), 1u);  // wrapped
  // An input naming an unknown note still records its nullifier.
  Tx spend;
  spend.type = 2;
  codec::TxInput in;
  in.note_id = Hash32{1};
  in.nullifier = Hash32{2};
  spend.inputs = {in};
  c.ingest(std::vector{spend});
  EXPECT_TRUE(c.nullifiers().contains(Hash32{2}));
  EXPECT_EQ(c.notes().size(), 1u);
}

// ---------------------------------------------------------------------------------------
// Appending

TEST_F(ChainTest, AppendFlushesAndUpdatesTheCopiesInTheState) {
  Chain& c = open();
  auto owned = mint(2);
  EXPECT_EQ(c.block_count(), 2u);
  EXPECT_EQ(c.supply(), 20u);
  EXPECT_EQ(c.state().height, 1);
  EXPECT_EQ(c.state().tip, c.tip_hash_hex());
  EXPECT_EQ(c.state().supply, 20u);
  EXPECT_EQ(c.file_size(), fs::file_size(file()));
  EXPECT_EQ(*c.notes().find(owned[0].note_id), owned[0].pk);
  auto again = Chain::open(file());
  ASSERT_TRUE(again);
  EXPECT_EQ(sets_of(*again), sets_of(c));
}

TEST_F(ChainTest, AppendCutsATornTailFirst) {
  const Bytes genesis = chain_gen::file_bytes(std::vector{chain::genesis_block()});
  struct Case {
    std::string name;
    std::string tail;
    bool before_open;
  };
  const Case cases[] = {
      {"one stray byte", "\x01", true},
      {"three stray bytes", "\x01\x02\x03", true},
      {"partial record written meanwhile", std::string("\x40\x00\x00\x00", 4) + "partial", false},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    const fs::path p = dir_ / (tc.name + ".chain");
    ASSERT_TRUE(proc::spit(p, str(genesis) + (tc.before_open ? tc.tail : "")));
    auto c = Chain::open(p);
    ASSERT_TRUE(c) << c.error().to_string();
    if (!tc.before_open) {
      std::ofstream(p, std::ios::app | std::ios::binary) << tc.tail;
    }
    auto sealed = c->seal_txs({chain_gen::work_tx({}, 5)});
    ASSERT_TRUE(sealed) << sealed.error().to_string();
    auto again = Chain::open(p);
    ASSERT_TRUE(again) << again.error().to_string();
    EXPECT_EQ(again->block_count(), 2u);
    EXPECT_EQ(again->supply(), 5u);
    EXPECT_EQ(sets_of(*again), sets_of(*c));
    EXPECT_EQ(c->offsets()[1], genesis.size());
    EXPECT_EQ(fs::file_size(p), c->file_size());
  }
}

// A block that another writer (a one-shot command beside a running node) appended after
// ours is a whole record, not a torn tail: it stays, and only what is torn after it goes.
TEST_F(ChainTest, AppendKeepsWholeRecordsAddedByAnotherWriter) {
  const codec::Block other =
      chain_gen::make_block(1, chain::genesis_block().hash, {chain_gen::work_tx({}, 7)}, false);
  std::string bad_sum = str(codec::encode_record(other));
  bad_sum.back() ^= 1;
  struct Case {
    std::string name;
    std::string tail;  // after the other writer's record
  };
  const Case cases[] = {
      {"nothing torn", ""},
      {"torn prefix after it", "\x01\x02"},
      {"cut record after it", str(codec::encode_record(other)).substr(0, 50)},
      {"record with a bad checksum after it", bad_sum},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    const fs::path p = dir_ / (tc.name + ".chain");
    auto mine = Chain::open(p);
    ASSERT_TRUE(mine) << mine.error().to_string();
    {
      auto theirs = Chain::open(p);
      ASSERT_TRUE(theirs);
      ASSERT_TRUE(theirs->append(other));
    }
    std::ofstream(p, std::ios::app | std::ios::binary) << tc.tail;
    ASSERT_TRUE(mine->seal_txs({chain_gen::work_tx({}, 5)}));
    const uint64_t theirs_at =
        mine->offsets()[0] + codec::encode_record(chain::genesis_block()).size();
    // Their block was taken in before ours was made, so ours follows it.
    ASSERT_EQ(mine->block_count(), 3u);
    EXPECT_EQ(mine->offsets()[1], theirs_at);
    EXPECT_EQ(mine->offsets()[2], theirs_at + codec::encode_record(other).size());
    EXPECT_EQ(mine->file_size(), fs::file_size(p));
    auto again = Chain::open(p);
    ASSERT_TRUE(again) << again.error().to_string();
    EXPECT_EQ(again->block_count(), 3u);
    EXPECT_EQ(again->supply(), 12u);
    EXPECT_EQ(again->tip_hash(), mine->tip_hash());
  }
}

// ---------------------------------------------------------------------------------------
// Validation and admission

TEST_F(ChainTest, EveryRefusalHasItsMessage) {
  ScopedEnv env("QUV_CONFIRM_PEERS", "0");
  Chain& c = open();
  auto n = mint(12);
  // A note whose nullifier is already recorded (by an unchecked ingest of a payout).
  Tx marker = chain_gen::work_tx({}, 1);
  codec::TxInput burn;
  burn.note_id = Hash32{0xee};
  burn.nullifier = codec::nullifier(n[3].note_id, n[3].pk);
  marker.inputs = {burn};
  ASSERT_TRUE(c.seal_txs({marker}));
  // An image id already minted.
  ASSERT_TRUE(c.seal_txs({nft_mint(0x51, n[4])}));
  // A mint waiting in the mempool.
  ASSERT_TRUE(c.submit_tx(nft_mint(0x52, n[5])));
  // A transfer waiting in the mempool.
  const Tx waiting = pay({n[6]});
  ASSERT_TRUE(c.submit_tx(waiting));

  Tx work = chain_gen::work_tx({}, 5);
  Tx no_outputs = chain_gen::transfer(std::vector{n[0]}, {});
  Tx no_inputs = pay({});
  Tx unknown_type = pay({n[0]});
  unknown_type.type = 3;
  Tx dup = pay({n[0], n[0]});
  Owned ghost = chain_gen::key_pair(rng_);
  chain_gen::output(ghost, rng_);
  Tx unknown_note = pay({ghost});
  Tx seen = pay({n[3]});
  Tx wrong_key = pay({n[1]});
  {
    Owned forger = n[1];
    forger.sk = n[2].sk;
    wrong_key = pay({forger});
  }
  Tx high_byte = pay({n[1]});
  high_byte.inputs[0].sig[63] |= 0x20;
  Tx bad_nullifier;
  {
    bad_nullifier.type = 2;
    std::vector<Owned> in = {n[1]};
    bad_nullifier.inputs = chain_gen::inputs_for(in);
    bad_nullifier.inputs[0].nullifier[0] ^= 1;
    Owned to = chain_gen::key_pair(rng_);
    bad_nullifier.outputs = {chain_gen::output(to, rng_)};
    chain_gen::sign(bad_nullifier, in);
  }
  Tx minted = nft_mint(0x51, n[7]);
  Tx in_pool = nft_mint(0x52, n[7]);
  Tx short_extra = nft_mint(0x53, n[7]);
  short_extra.extra.resize(32);
  Tx free_mint = nft_mint(0x54, n[7]);
  free_mint.inputs.clear();
  Tx preamble;

  struct Case {
    std::string name;
    Tx tx;
    std::string message;
  };
  const Case cases[] = {
      {"work", work, "Work cannot be submitted from outside."},
      {"transfer without outputs", no_outputs, "Transfer needs inputs and outputs."},
      {"transfer without inputs", no_inputs, "Transfer needs inputs and outputs."},
      {"minted image", minted, "NFT already minted."},
      {"image in mempool", in_pool, "NFT already in mempool."},
      {"mint extra", short_extra, "NFT extra too short."},
      {"mint without inputs", free_mint, "NFT mint costs 0,25000 QÚV."},
      {"type 3", unknown_type, "Unknown tx type."},
      {"same note twice", dup, "Duplicate input."},
      {"unknown note", unknown_note, "Unknown or spent note."},
      {"nullifier seen", seen, "Nullifier already seen."},
      {"wrong key", wrong_key, "Bad spend signature."},
      {"signature byte 63", high_byte, "Bad spend signature."},
      {"nullifier", bad_nullifier, "Bad nullifier."},
      {"already known", waiting, "Transaction already known."},
      {"preamble", preamble, "Preamble cannot be submitted from outside."},
  };
  const auto pool = c.state().mempool;
  const auto acks = c.state().acks;
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    auto r = c.submit_tx(tc.tx);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().to_string(), tc.message);
    EXPECT_EQ(c.state().mempool, pool);
    EXPECT_EQ(c.state().acks, acks);
  }
  // The good versions of the same spends pass.
  EXPECT_TRUE(c.validate(pay({n[1]}), false));
  EXPECT_TRUE(c.validate(pay({n[1], n[2]}), false));
}

TEST_F(ChainTest, SealingValidationAcceptsWorkAndBarePreamblesOnly) {
  Chain& c = open();
  auto n = mint(1);
  Tx preamble;
  preamble.extra = {'h', 'i'};
  EXPECT_TRUE(c.validate(chain_gen::work_tx({}, 5), true));
  EXPECT_TRUE(c.validate(preamble, true));
  // A preamble that moved notes would do so without any spend check.
  Tx spending = preamble;
  spending.inputs = chain_gen::inputs_for(n);
  chain_gen::sign(spending, n);
  Tx creating = preamble;
  Owned o = chain_gen::key_pair(rng_);
  creating.outputs = {chain_gen::output(o, rng_)};
  for (const Tx& tx : {spending, creating}) {
    auto r = c.validate(tx, true);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().to_string(), "Preamble cannot carry inputs or outputs.");
  }
  EXPECT_FALSE(c.submit_tx(preamble));
}

TEST_F(ChainTest, AdmissionStoresOwnEncodingAndSaves) {
  Chain& c = open();
  auto n = mint(3);
  const Tx a = pay({n[0]});
  const Tx b = pay({n[0]});  // the same note again: the chain alone decides
  auto ida = c.submit_tx(a);
  ASSERT_TRUE(ida) << ida.error().to_string();
  EXPECT_EQ(*ida, hex::encode(codec::txid(a)));
  ASSERT_TRUE(c.submit_tx(b));
  ASSERT_EQ(c.state().mempool.size(), 2u);
  EXPECT_EQ(c.state().mempool[0], codec::encode_tx_signed(a));
  auto saved = NodeState::load(c.path());
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->mempool, c.state().mempool);
}

TEST_F(ChainTest, ValidationComesBeforeTheDuplicateTest) {
  ScopedEnv env("QUV_CONFIRM_PEERS", "0");
  Chain& c = open();
  auto n = mint(2);
  const Tx a = pay({n[0]});
  ASSERT_TRUE(c.submit_tx(a));
  ASSERT_TRUE(c.seal());
  auto r = c.submit_tx(a);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string(), "Unknown or spent note.");
}

// The mempool index follows a mempool that changed behind the ledger's back, and skips
// entries that do not decode.
TEST_F(ChainTest, DuplicateAndImageTestsFollowTheMempoolAsItIs) {
  Chain& c = open();
  auto n = mint(4);
  const Tx a = pay({n[0]});
  const Tx m = nft_mint(0x61, n[1]);
  ASSERT_TRUE(c.submit_tx(a));
  ASSERT_TRUE(c.edit_state([](NodeState& s) {
    s.mempool = Mempool({Bytes{1, 2, 3}});
  }));  // replaced: neither a nor the mint is there now
  ASSERT_TRUE(c.submit_tx(a));
  ASSERT_TRUE(c.submit_tx(m));
  const Tx direct = pay({n[3]});
  ASSERT_TRUE(
      c.edit_state([&](NodeState& s) { s.mempool.push_raw(codec::encode_tx_signed(direct)); }));
  auto again = c.submit_tx(direct);
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().to_string(), "Transaction already known.");
  auto image = c.submit_tx(nft_mint(0x61, n[3]));
  ASSERT_FALSE(image);
  EXPECT_EQ(image.error().to_string(), "NFT already in mempool.");
  ASSERT_TRUE(c.edit_state([](NodeState& s) { s.mempool.take_all(); }));
  EXPECT_TRUE(c.validate(nft_mint(0x61, n[3]), false));
}

TEST(ChainConfirms, EnvironmentParsing) {
  const std::pair<std::optional<std::string>, uint64_t> cases[] = {
      {std::nullopt, 2},
      {"", 2},
      {"0", 0},
      {"3", 3},
      {"+3", 3},
      {"007", 7},
      {"18446744073709551615", UINT64_MAX},
      {"18446744073709551616", 2},
      {"-1", 2},
      {"+", 2},
      {" 3", 2},
      {"3 ", 2},
      {"1e3", 2},
      {"++3", 2},
      {"\xff", 2},
  };
  for (const auto& [value, want] : cases) {
    SCOPED_TRACE(value.value_or("(unset)"));
    ScopedEnv env("QUV_CONFIRM_PEERS", value);
    EXPECT_EQ(Chain::required_confirms(), want);
  }
}

TEST_F(ChainTest, AcknowledgementsAreKeptOnlyForMempoolEntriesFromGoodIds) {
  ScopedEnv env("QUV_CONFIRM_PEERS", std::nullopt);
  Chain& c = open();
  auto n = mint(2);
  const Tx a = pay({n[0]});
  ASSERT_TRUE(c.submit_tx(a));
  const std::string id = hex::encode(codec::txid(a));
  std::string upper = id;
  std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
  ASSERT_TRUE(c.edit_state([](NodeState& s) { s.reward_address = "quv1reward"; }));
  struct Step {
    std::string txid;
    std::string node;
    uint64_t count;
    bool kept;  // and saved
  };
  const std::string longest(chain::kMaxAckNodeId, 'b');
  const Step steps[] = {
      {id, "", 0, false},
      {id, "quv1reward", 0, false},  // own id while no node id is set
      {id, "a", 1, true},
      {id, "a", 1, false},  // repeated: nothing new, nothing saved
      {id, longest, 2, true},
      {id, longest + "c", 2, false},
      {id, "line\nbreak", 2, false},
      {id, "tab\there", 2, false},
      {id, "caf\xc3\xa9", 2, false},
      {upper, "d", 0, false},  // the node looks txids up in lower case only
      {hex::encode(codec::txid(pay({n[1]}))), "d", 0, false},  // not in the mempool
      {"not hex at all", "d", 0, false},
      {id.substr(2), "d", 0, false},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.txid + "/" + s.node);
    const fsutil::FileStamp before = fsutil::stamp(dir_ / "quv.node");
    auto r = c.ack_tx(s.txid, s.node);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->count, s.count);
    EXPECT_EQ(r->kept, s.kept);
    EXPECT_EQ(fsutil::stamp(dir_ / "quv.node") != before, s.kept);
  }
  using Acks = decltype(NodeState::acks);
  EXPECT_EQ(c.state().acks, (Acks{{id, {"a", longest}}}));
  EXPECT_EQ(NodeState::load(c.path())->acks, c.state().acks);

  // Past the bound per txid further ids are refused; a node that asks for more
  // acknowledgements than the bound keeps as many as it asks for.
  for (int i = 0; i < 20; ++i) (void)c.ack_tx(id, "n" + std::to_string(i));
  EXPECT_EQ(c.state().acks.at(id).size(), chain::kMaxAcksPerTx);
  auto full = c.ack_tx(id, "late");
  ASSERT_TRUE(full);
  EXPECT_FALSE(full->kept);
  EXPECT_EQ(full->count, chain::kMaxAcksPerTx);
  ScopedEnv more("QUV_CONFIRM_PEERS", "20");
  for (int i = 20; i < 30; ++i) (void)c.ack_tx(id, "n" + std::to_string(i));
  EXPECT_EQ(c.state().acks.at(id).size(), 20u);

  ASSERT_TRUE(c.edit_state([](NodeState& s) { s.node_id = "me"; }));
  EXPECT_EQ(c.own_id(), "me");
  EXPECT_FALSE(c.ack_tx(id, "me")->kept);
  ASSERT_TRUE(c.edit_state([](NodeState& s) {
    s.node_id.clear();
    s.reward_address.clear();
  }));
  EXPECT_EQ(c.own_id(), "anonymous");
  EXPECT_FALSE(c.ack_tx(id, "anonymous")->kept);
}

// A state file of an older writer, with acknowledgements of any txid from any id, loads
// as it is and is pruned at its next save; entries that leave the mempool take theirs.
TEST_F(ChainTest, AcknowledgementsLeaveWithTheirEntries) {
  ScopedEnv env("QUV_CONFIRM_PEERS", "2");
  Chain& c = open();
  auto n = mint(3);
  const Tx a = pay({n[0]});
  const Tx b = pay({n[1]});
  const Tx b2 = pay({n[1]});  // spends what b spends: dropped when b is sealed
  const Tx w = pay({n[2]});   // waits
  for (const Tx& tx : {a, b, b2, w}) ASSERT_TRUE(c.submit_tx(tx));
  auto id = [](const Tx& tx) { return hex::encode(codec::txid(tx)); };
  std::vector<std::string> many;
  for (int i = 0; i < 40; ++i) many.push_back("p" + std::to_string(i % 30));
  ASSERT_TRUE(c.edit_state([](NodeState&) {}));
  {
    // Written as an older node would have: no rule on what it kept.
    NodeState old = *NodeState::load(c.path());
    old.acks = {{id(a), {"x", std::string(300, 'y'), "x", "z\n"}},
                {id(b2), many},
                {"sealed long ago", {"x"}},
                {std::string(64, 'f'), {std::string(390000, 'q')}}};
    ASSERT_TRUE(old.save(c.path()));
  }
  auto reopened = Chain::open(file());
  ASSERT_TRUE(reopened);
  Chain& r = *reopened;
  EXPECT_EQ(r.state().acks.size(), 4u);  // opening does not save
  ASSERT_TRUE(r.edit_state([](NodeState&) {}));
  using Acks = decltype(NodeState::acks);
  std::vector<std::string> first16;
  for (int i = 0; i < 16; ++i) first16.push_back("p" + std::to_string(i));
  const Acks pruned = {{id(a), {"x"}}, {id(b2), first16}};
  EXPECT_EQ(r.state().acks, pruned);
  EXPECT_EQ(NodeState::load(r.path())->acks, pruned);
  EXPECT_LT(fs::file_size(dir_ / "quv.node"), 20000u);

  // a and b are sealed, b2 is dropped with them; only w's acknowledgement stays.
  ASSERT_TRUE(r.ack_tx(id(b), "x"));
  ASSERT_TRUE(r.ack_tx(id(w), "one"));
  ASSERT_TRUE(r.ack_tx(id(a), "x2"));
  ASSERT_TRUE(r.ack_tx(id(b), "x2"));
  auto sealed = r.seal();
  ASSERT_TRUE(sealed) << sealed.error().to_string();
  EXPECT_EQ(r.state().mempool, (std::vector<Bytes>{codec::encode_tx_signed(w)}));
  EXPECT_EQ(r.state().acks, (Acks{{id(w), {"one"}}}));
  EXPECT_EQ(NodeState::load(r.path())->acks, r.state().acks);
}

// ---------------------------------------------------------------------------------------
// Sealing

TEST_F(ChainTest, TransfersWaitForAcknowledgements) {
  ScopedEnv env("QUV_CONFIRM_PEERS", std::nullopt);
  Chain& c = open();
  auto n = mint(3);
  const Tx a = pay({n[0]});
  const Tx b = pay({n[1]});
  const Tx d = pay({n[2]});
  for (const Tx& tx : {a, b, d}) ASSERT_TRUE(c.submit_tx(tx));
  const auto pool = c.state().mempool;
  const fsutil::FileStamp before = fsutil::stamp(dir_ / "quv.node");
  auto r = c.seal();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string(), kNothing);
  EXPECT_EQ(kNothing.size(), 34u);
  EXPECT_EQ(c.state().mempool, pool);
  EXPECT_NE(fsutil::stamp(dir_ / "quv.node"), before);  // saved all the same

  ASSERT_TRUE(c.ack_tx(hex::encode(codec::txid(b)), "x"));
  ASSERT_TRUE(c.ack_tx(hex::encode(codec::txid(b)), "y"));
  ASSERT_TRUE(c.ack_tx(hex::encode(codec::txid(d)), "x"));
  auto sealed = c.seal();
  ASSERT_TRUE(sealed) << sealed.error().to_string();
  EXPECT_EQ(sealed->height, 2u);
  EXPECT_EQ(c.state().mempool, (std::vector<Bytes>{pool[0], pool[2]}));
  EXPECT_EQ(c.state().validated, 1u);

  ScopedEnv none("QUV_CONFIRM_PEERS", "0");
  ASSERT_TRUE(c.seal());
  EXPECT_TRUE(c.state().mempool.empty());
  EXPECT_EQ(c.state().validated, 3u);
  // Acknowledgements leave with their transactions.
  EXPECT_TRUE(c.state().acks.empty());
}

// A node that asks for many acknowledgements keeps them all, so its transfers still seal.
TEST_F(ChainTest, ManyRequiredAcknowledgementsAreAllKeptAndSeal) {
  Chain& c = open();
  auto n = mint(2);
  for (size_t need : {1025, 1300}) {
    ScopedEnv env("QUV_CONFIRM_PEERS", std::to_string(need));
    auto id = c.submit_tx(pay({n[need % 2]}));
    ASSERT_TRUE(id);
    c.hold_saves();
    for (size_t i = 0; i < need; ++i) ASSERT_TRUE(c.ack_tx(*id, "p" + std::to_string(i)));
    ASSERT_TRUE(c.flush_saves());
    EXPECT_TRUE(c.seal());
  }
}

TEST_F(ChainTest, SealTakesThirtyTwoAndKeepsTheRestInOrder) {
  ScopedEnv env("QUV_CONFIRM_PEERS", "0");
  Chain& c = open();
  auto n = mint(40);
  std::vector<Tx> txs;
  for (const Owned& o : n) {
    txs.push_back(pay({o}));
    ASSERT_TRUE(c.submit_tx(txs.back()));
  }
  const auto pool = c.state().mempool;
  ASSERT_TRUE(c.edit_state([](NodeState& s) { s.validated = UINT32_MAX - 40; }));
  auto sealed = c.seal();
  ASSERT_TRUE(sealed) << sealed.error().to_string();
  EXPECT_EQ(sealed->height, 2u);
  EXPECT_EQ(sealed->hash.substr(0, 3), "000");
  EXPECT_EQ(sealed->hash, c.tip_hash_hex());
  EXPECT_EQ(c.state().mempool, std::vector<Bytes>(pool.begin() + 32, pool.end()));
  EXPECT_EQ(c.state().validated, UINT32_MAX - 8);

  auto reopened = Chain::open(file());
  ASSERT_TRUE(reopened);
  std::string bytes = file_text(file());
  const uint64_t off = c.offsets().back();
  auto block = codec::decode_block_body(
      ByteView(reinterpret_cast<const uint8_t*>(bytes.data()) + off + 4,
               bytes::load_u32(reinterpret_cast<const uint8_t*>(bytes.data()) + off)));
  ASSERT_TRUE(block);
  EXPECT_EQ(block->difficulty, 3);
  EXPECT_EQ(block->height, 2u);
  EXPECT_EQ(block->hash, reopened->tip_hash());
  ASSERT_EQ(block->txs.size(), 32u);
  for (size_t i = 0; i < 32; ++i) EXPECT_EQ(block->txs[i], txs[i]);

  ASSERT_TRUE(c.seal());
  EXPECT_TRUE(c.state().mempool.empty());
  EXPECT_EQ(c.state().validated, UINT32_MAX);  // saturates
}

TEST_F(ChainTest, SealDropsDoubleSpendsAndStaleEntries) {
  ScopedEnv env("QUV_CONFIRM_PEERS", "0");
  Chain& c = open();
  auto n = mint(3);
  const Tx first = pay({n[0]});
  const Tx second = pay({n[0], n[1]});  // spends n[0] again
  const Tx other = pay({n[2]});
  for (const Tx& tx : {first, second, other}) ASSERT_TRUE(c.submit_tx(tx));
  ASSERT_TRUE(c.edit_state([](NodeState& s) {  // an entry that does not decode, first
    std::vector<Bytes> pool = s.mempool.take_all();
    pool.insert(pool.begin(), Bytes{9, 9});
    s.mempool = Mempool(std::move(pool));
  }));
  ASSERT_TRUE(c.seal());
  EXPECT_TRUE(c.state().mempool.empty());
  EXPECT_FALSE(c.notes().contains(n[0].note_id));
  EXPECT_TRUE(c.notes().contains(n[1].note_id));  // the dropped transfer spent nothing
  EXPECT_FALSE(c.notes().contains(n[2].note_id));
  EXPECT_EQ(c.state().validated, 2u);

  // An entry whose note was spent meanwhile is dropped; a later one is still sealed.
  auto m = mint(2);
  const Tx stale = pay({m[0]});
  ASSERT_TRUE(c.submit_tx(stale));
  ASSERT_TRUE(c.seal_txs({pay({m[0]})}));
  const Tx fresh = pay({m[1]});
  ASSERT_TRUE(c.submit_tx(fresh));
  auto sealed = c.seal();
  ASSERT_TRUE(sealed);
  EXPECT_TRUE(c.state().mempool.empty());
  EXPECT_FALSE(c.notes().contains(m[1].note_id));
}

TEST_F(ChainTest, MintWaitsForItsImageAndPreamblesNeedNothing) {
  ScopedEnv env("QUV_CONFIRM_PEERS", "5");
  Chain& c = open();
  auto n = mint(1);
  const Tx m = nft_mint(0x71, n[0]);
  ASSERT_TRUE(c.submit_tx(m));
  Tx preamble;
  preamble.extra = {'p'};
  ASSERT_TRUE(
      c.edit_state([&](NodeState& s) { s.mempool.push_raw(codec::encode_tx_signed(preamble)); }));
  auto sealed = c.seal();
  ASSERT_TRUE(sealed) << sealed.error().to_string();
  ASSERT_EQ(c.state().mempool.size(), 1u);  // the mint waits
  auto r = c.seal();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string(), kNothing);
  fs::create_directories(dir_ / "nft");
  ASSERT_TRUE(proc::spit(dir_ / "nft" / (hex::encode(filled(0x71)) + ".jpg"), "jpeg"));
  ASSERT_TRUE(c.seal());
  EXPECT_TRUE(c.state().mempool.empty());
  EXPECT_EQ(c.nft_ids().size(), 1u);
  EXPECT_EQ(c.state().validated, 0u);
}

// The seal step that reuses its checks of waiting entries picks, keeps and drops exactly
// what a seal that checks every entry in full does, through arrivals, acknowledgements,
// blocks that spend what entries spend, and changes of the confirmation count.
TEST_F(ChainTest, RememberedChecksSealWhatFullChecksSeal) {
  ScopedEnv env("QUV_CONFIRM_PEERS", "1");
  Chain& fast = open();
  proc::TempDir other;
  auto opened = Chain::open(other.path() / "quv.chain");
  ASSERT_TRUE(opened);
  Chain& full = *opened;
  full.remember_seal_checks(false);
  std::vector<Owned> owned;
  std::vector<codec::TxOutput> outs;
  for (int i = 0; i < 24; ++i) {
    owned.push_back(chain_gen::key_pair(rng_));
    outs.push_back(chain_gen::output(owned.back(), rng_));
  }
  const Tx work = chain_gen::work_tx(outs, 240);
  ASSERT_TRUE(fast.seal_txs({work}));
  ASSERT_TRUE(full.seal_txs({work}));
  std::mt19937_64 rng(99);
  auto pick = [&] { return owned[rng() % owned.size()]; };
  size_t seals = 0;
  for (int step = 0; step < 400; ++step) {
    SCOPED_TRACE(step);
    switch (rng() % 6) {
      case 0:
      case 1: {  // a transfer of one or two notes, which may be spent or unknown
        std::vector<Owned> in = {pick()};
        if (rng() % 3 == 0) in.push_back(pick());
        Owned to = chain_gen::key_pair(rng_);
        const Tx tx = chain_gen::transfer(in, {chain_gen::output(to, rng_)});
        owned.push_back(to);
        EXPECT_EQ(fast.submit_tx(tx).has_value(), full.submit_tx(tx).has_value());
        break;
      }
      case 2: {  // an acknowledgement of a waiting entry
        if (fast.state().mempool.empty()) break;
        auto d = codec::decode_tx(fast.state().mempool[rng() % fast.state().mempool.size()]);
        ASSERT_TRUE(d);
        const std::string node = "p" + std::to_string(rng() % 3);
        EXPECT_EQ(fast.ack_tx(hex::encode(codec::txid(d->tx)), node)->kept,
                  full.ack_tx(hex::encode(codec::txid(d->tx)), node)->kept);
        break;
      }
      case 3: {  // a block from elsewhere that spends a note entries may spend
        Owned to = chain_gen::key_pair(rng_);
        const Tx tx =
            chain_gen::transfer(std::vector<Owned>{pick()}, {chain_gen::output(to, rng_)});
        if (!fast.validate(tx, true)) break;
        owned.push_back(to);
        ASSERT_TRUE(fast.seal_txs({tx}));
        ASSERT_TRUE(full.seal_txs({tx}));
        break;
      }
      case 4: {
        const char* need[] = {"0", "1", "2"};
        ::setenv("QUV_CONFIRM_PEERS", need[rng() % 3], 1);
        break;
      }
      default: {
        auto a = fast.seal();
        auto b = full.seal();
        ASSERT_EQ(a.has_value(), b.has_value());
        if (!a) {
          EXPECT_EQ(a.error().to_string(), b.error().to_string());
        }
        seals += a.has_value();
        break;
      }
    }
    ASSERT_EQ(fast.state().mempool, full.state().mempool);
    ASSERT_EQ(fast.state().acks, full.state().acks);
    ASSERT_EQ(fast.state().validated, full.state().validated);
    ASSERT_EQ(fast.block_count(), full.block_count());
    ASSERT_EQ(fast.notes(), full.notes());
    ASSERT_EQ(fast.nullifiers(), full.nullifiers());
  }
  EXPECT_GT(seals, 10u);
}

TEST_F(ChainTest, FailedAppendPutsTheSelectionBack) {
  ScopedEnv env("QUV_CONFIRM_PEERS", "1");
  Chain& c = open();
  auto n = mint(3);
  const Tx a = pay({n[0]});
  const Tx b = pay({n[1]});
  const Tx d = pay({n[2]});
  for (const Tx& tx : {a, b, d}) ASSERT_TRUE(c.submit_tx(tx));
  ASSERT_TRUE(c.ack_tx(hex::encode(codec::txid(a)), "x"));
  ASSERT_TRUE(c.ack_tx(hex::encode(codec::txid(d)), "x"));
  ASSERT_TRUE(c.edit_state([](NodeState& s) {  // dropped, stays dropped
    std::vector<Bytes> pool = s.mempool.take_all();
    pool.insert(pool.begin() + 1, Bytes{7});
    s.mempool = Mempool(std::move(pool));
  }));
  const auto pool = c.state().mempool;
  const auto acks = c.state().acks;
  const uint64_t size = c.file_size();
  // A read-only descriptor makes the write fail.
  ChainFaults::swap_file(c, O_RDONLY);
  auto r = c.seal();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string(), error::os_text(EBADF));
  EXPECT_EQ(c.state().mempool, (std::vector<Bytes>{pool[0], pool[2], pool[3]}));
  EXPECT_EQ(c.state().validated, 0u);
  EXPECT_EQ(c.block_count(), 2u);
  EXPECT_EQ(fs::file_size(file()), size);
  auto saved = NodeState::load(c.path());
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->mempool, c.state().mempool);
  EXPECT_EQ(saved->validated, 0u);
  // The acknowledgements came back with their entries.
  EXPECT_EQ(c.state().acks, acks);
  EXPECT_EQ(saved->acks, acks);
  // With a working file the same entries seal.
  ChainFaults::swap_file(c, O_RDWR);
  ASSERT_TRUE(c.seal());
  EXPECT_EQ(c.state().mempool, (std::vector<Bytes>{pool[2]}));
  EXPECT_EQ(c.state().validated, 2u);
}

TEST_F(ChainTest, FailedSaveBeforeMiningPutsTheSelectionBack) {
  ScopedEnv env("QUV_CONFIRM_PEERS", "0");
  Chain& c = open();
  auto n = mint(2);
  ASSERT_TRUE(c.submit_tx(pay({n[0]})));
  ASSERT_TRUE(c.submit_tx(pay({n[1]})));
  const auto pool = c.state().mempool;
  const std::string text = file_text(dir_ / "quv.node");
  fs::remove(dir_ / "quv.node");
  fs::create_directory(dir_ / "quv.node");  // the state file cannot be replaced now
  auto r = c.seal();
  ASSERT_FALSE(r);
  EXPECT_EQ(c.state().mempool, pool);
  EXPECT_EQ(c.state().validated, 0u);
  EXPECT_EQ(c.block_count(), 2u);
  fs::remove(dir_ / "quv.node");
  ASSERT_TRUE(proc::spit(dir_ / "quv.node", text));
  ASSERT_TRUE(c.seal());
  EXPECT_TRUE(c.state().mempool.empty());
  EXPECT_EQ(c.state().validated, 2u);
}

TEST_F(ChainTest, DropWorkPaysTheRewardAddressInABlockOfItsOwn) {
  Chain& c = open();
  auto none = c.drop_work(5, 1, 1);
  ASSERT_FALSE(none);
  EXPECT_EQ(none.error().to_string(), "No reward address.");
  ASSERT_TRUE(
      c.edit_state([](NodeState& s) { s.reward_address = crypto::encode_address(Key32{5}); }));
  auto zero = c.drop_work(0, 1, 1);
  ASSERT_FALSE(zero);
  EXPECT_EQ(zero.error().to_string(), "Nothing to pay out.");
  auto paid = c.drop_work(103, 100, 3);
  ASSERT_TRUE(paid) << paid.error().to_string();
  EXPECT_EQ(paid->height, 1u);
  EXPECT_EQ(c.supply(), 103u);
  EXPECT_EQ(c.notes().size(), 1u);
}

// ---------------------------------------------------------------------------------------
// Bounds and many writers

// The mempool refuses a transaction once it would hold more than 10 000 entries or more
// than 16 MiB of raw transactions; entries that do not decode count as well.
TEST_F(ChainTest, MempoolRefusesBeyondItsBounds) {
  Chain& c = open();
  auto n = mint(4);
  const size_t raw = codec::encode_tx_signed(pay({n[0]})).size();
  struct Case {
    std::string name;
    size_t entries;  // one-byte entries already waiting
    size_t big;      // and one entry of this many bytes (0: none)
    bool admitted;
  };
  const Case cases[] = {
      {"one entry below the count", Mempool::kMaxEntries - 1, 0, true},
      {"count reached", Mempool::kMaxEntries, 0, false},
      {"bytes just fit", 0, Mempool::kMaxBytes - raw, true},
      {"one byte over", 0, Mempool::kMaxBytes - raw + 1, false},
  };
  // The saves are held: the state file would be rewritten with every edit otherwise.
  c.hold_saves();
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& tc = cases[i];
    SCOPED_TRACE(tc.name);
    ASSERT_TRUE(c.edit_state([&](NodeState& s) {
      std::vector<Bytes> pool(tc.entries, Bytes{1});
      if (tc.big > 0) pool.push_back(Bytes(tc.big - 1, 7));  // with the tx below: tc.big
      s.mempool = Mempool(std::move(pool));
    }));
    if (tc.big > 0) {
      ASSERT_TRUE(c.edit_state([&](NodeState& s) {
        std::vector<Bytes> pool = s.mempool.take_all();
        pool.back().push_back(7);
        s.mempool = Mempool(std::move(pool));
      }));
    }
    const size_t before = c.state().mempool.size();
    auto r = c.admit(pay({n[i]}));
    if (tc.admitted) {
      EXPECT_TRUE(r) << r.error().to_string();
      EXPECT_EQ(c.state().mempool.size(), before + 1);
    } else {
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error().to_string(), "Mempool full.");
      EXPECT_EQ(c.state().mempool.size(), before);
    }
  }
  ASSERT_TRUE(c.edit_state([](NodeState& s) { s.mempool.take_all(); }));
  EXPECT_TRUE(c.flush_saves());
}

// While saves are held, admissions and acknowledgements change the state file not at
// all; the flush writes it once with every change, and a later change saves at once.
TEST_F(ChainTest, HeldSavesWriteOnceAtTheFlush) {
  ScopedEnv env("QUV_CONFIRM_PEERS", "0");
  Chain& c = open();
  auto n = mint(3);
  ASSERT_TRUE(c.flush_saves());  // nothing held: nothing to do
  ASSERT_TRUE(c.submit_tx(pay({n[0]})));
  const fs::path node = dir_ / "quv.node";
  const fsutil::FileStamp before = fsutil::stamp(node);
  c.hold_saves();
  auto a = c.submit_tx(pay({n[1]}));
  ASSERT_TRUE(a);
  ASSERT_TRUE(c.ack_tx(*a, "peer"));
  ASSERT_TRUE(c.edit_state([](NodeState& s) { s.node_id = "held"; }));
  EXPECT_EQ(fsutil::stamp(node), before);
  ASSERT_TRUE(c.flush_saves());
  auto saved = NodeState::load(c.path());
  ASSERT_TRUE(saved);
  EXPECT_EQ(*saved, c.state());
  EXPECT_EQ(saved->mempool.size(), 2u);
  EXPECT_EQ(saved->node_id, "held");
  ASSERT_TRUE(c.submit_tx(pay({n[2]})));
  EXPECT_EQ(NodeState::load(c.path())->mempool.size(), 3u);
}

// Two ledgers on one chain file, as a node and a one-shot command in two processes: each
// change takes in the other's first, so no block forks and no state change is lost.
TEST_F(ChainTest, TwoWritersTakeInEachOthersChanges) {
  ScopedEnv env("QUV_CONFIRM_PEERS", "0");
  Chain& a = open();
  auto opened = Chain::open(file());
  ASSERT_TRUE(opened);
  Chain& b = *opened;
  auto n = mint(4);  // by a
  const Tx by_b = pay({n[1]});
  struct Step {
    const char* what;
    Chain* by;
    std::function<bool(Chain&)> run;
  };
  const std::string reward = crypto::encode_address(Key32{9});
  const Step steps[] = {
      {"b sets the reward", &b,
       [&](Chain& c) {
         return c.edit_state([&](NodeState& s) { s.reward_address = reward; }).has_value();
       }},
      {"a submits", &a, [&](Chain& c) { return c.submit_tx(pay({n[0]})).has_value(); }},
      {"b submits", &b, [&](Chain& c) { return c.submit_tx(by_b).has_value(); }},
      {"a acknowledges what b submitted", &a,
       [&](Chain& c) {
         auto r = c.ack_tx(hex::encode(codec::txid(by_b)), "x");
         return r && r->kept;
       }},
      {"b seals both", &b, [&](Chain& c) { return c.seal().has_value(); }},
      {"a pays a drop", &a, [&](Chain& c) { return c.drop_work(5, 5, 0).has_value(); }},
      {"b pays a drop", &b, [&](Chain& c) { return c.drop_work(6, 6, 0).has_value(); }},
      {"a submits a spend b sealed", &a, [&](Chain& c) { return !c.submit_tx(pay({n[0]})); }},
      {"a seals what b left", &a,
       [&](Chain& c) { return c.submit_tx(pay({n[2]})) && c.seal().has_value(); }},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    ASSERT_TRUE(s.run(*s.by));
  }
  // One more change each brings both up to date with the file.
  ASSERT_TRUE(a.edit_state([](NodeState&) {}));
  ASSERT_TRUE(b.edit_state([](NodeState&) {}));
  auto fresh = Chain::open(file());
  ASSERT_TRUE(fresh);
  for (Chain* c : {&a, &b}) {
    EXPECT_EQ(sets_of(*c), sets_of(*fresh));
    EXPECT_EQ(c->state(), fresh->state());
  }
  EXPECT_EQ(fresh->block_count(), 6u);  // genesis, the mint, a seal, two drops, a seal
  EXPECT_EQ(fresh->state().reward_address, reward);
  EXPECT_TRUE(fresh->state().acks.empty());  // sealed with its entry
  EXPECT_TRUE(fresh->state().mempool.empty());
  EXPECT_EQ(fresh->supply(), 40u + 5 + 6);
}

}  // namespace

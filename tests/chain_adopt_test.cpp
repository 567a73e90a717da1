// Adopting a peer's chain: the better-chain rule, the checks a peer's chain must pass,
// the atomic replacement of the chain file and the re-submission of lost transactions.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "chain_gen.h"
#include "core/codec.h"
#include "core/crypto.h"
#include "core/hex.h"
#include "ledger/chain.h"
#include "ledger/chain_file.h"
#include "ledger/state.h"
#include "proc.h"

namespace fs = std::filesystem;
using chain_gen::Owned;
using codec::Block;
using codec::Tx;

namespace {

std::string str(const Bytes& b) { return std::string(b.begin(), b.end()); }
Bytes raw(const std::string& s) { return Bytes(s.begin(), s.end()); }

using proc::ScopedEnv;

using chain_gen::Sets;
using chain_gen::sets_of;

// Mines a block again after a test changed its header fields.
void remine(Block& b) {
  codec::BlockHeader h = chain_gen::mine(codec::encode_header(b), b.difficulty);
  b.nonce = bytes::load_u64(h.data() + 80);
  b.hash = codec::block_hash(h);
}

class AdoptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    crypto::init();
    fs::create_directories(tmp_);
    tmpdir_ = std::make_unique<ScopedEnv>("TMPDIR", tmp_.string());
  }

  fs::path file() const { return dir_ / "quv.chain"; }

  Chain& open() {
    auto c = Chain::open(file());
    EXPECT_TRUE(c) << c.error().to_string();
    chain_ = std::make_unique<Chain>(std::move(*c));
    return *chain_;
  }

  // Adopting `peer` must fail with `message` and leave everything as it was.
  void expect_refused(const Bytes& peer, const std::string& message) {
    Chain& c = *chain_;
    const std::string before = proc::slurp(file());
    const Sets sets = sets_of(c);
    const NodeState state = c.state();
    auto r = c.adopt_bytes(peer);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().to_string(), message);
    EXPECT_EQ(proc::slurp(file()), before);
    EXPECT_EQ(sets_of(c), sets);
    EXPECT_EQ(c.state(), state);
    EXPECT_TRUE(fs::is_empty(tmp_));
    EXPECT_EQ(staged_files(), 0u);
  }

  // Staging files of this process beside the chain.
  size_t staged_files() const {
    size_t n = 0;
    for (const auto& e : fs::directory_iterator(dir_.path())) {
      n += e.is_regular_file() && e.path().filename().string().starts_with(".quv.chain.adopt-");
    }
    return n;
  }

  // Where `adopt_bytes` stages the peer's bytes.
  fs::path staging() const { return chain::staging_path(file(), "bytes"); }

  proc::TempDir dir_;
  fs::path tmp_ = dir_ / "tmp";
  std::unique_ptr<ScopedEnv> tmpdir_;
  std::unique_ptr<Chain> chain_;
};

TEST_F(AdoptTest, BytesWithoutTheMagicAreNoChain) {
  Chain& c = open();
  for (const std::string& peer : {std::string(""), std::string("QUV"),
                                  std::string("QUV\x02"
                                              "abcd",
                                              8),
                                  std::string("XUV\x01")}) {
    SCOPED_TRACE(peer);
    expect_refused(raw(peer), "Peer chain is not a QÚV file.");
  }
  EXPECT_EQ(std::string("Peer chain is not a QÚV file.").size(), 30u);
  EXPECT_EQ(c.block_count(), 1u);
}

TEST_F(AdoptTest, OnlyABetterChainIsAdopted) {
  Chain& c = open();
  // Only the magic: the genesis block is appended to the copy, and its tip equals ours.
  ASSERT_TRUE(c.adopt_bytes(raw(std::string(chain::kMagic))));
  EXPECT_EQ(c.block_count(), 1u);
  // Our own bytes: the same tip is not better.
  const std::string own = proc::slurp(file());
  ASSERT_TRUE(c.adopt_bytes(raw(own)));
  EXPECT_EQ(proc::slurp(file()), own);
  EXPECT_TRUE(fs::is_empty(tmp_));

  // Two chains of two blocks: the one whose tip sorts first wins, whichever we hold.
  chain_gen::Builder a(1), b(2);
  a.add({a.mint(1)});
  b.add({b.mint(1)});
  const bool a_first = hex::encode(a.blocks().back().hash) < hex::encode(b.blocks().back().hash);
  const chain_gen::Builder& low = a_first ? a : b;
  const chain_gen::Builder& high = a_first ? b : a;
  ASSERT_TRUE(c.adopt_bytes(high.bytes()));  // longer
  EXPECT_EQ(proc::slurp(file()), str(high.bytes()));
  ASSERT_TRUE(c.adopt_bytes(low.bytes()));  // as long, smaller tip
  EXPECT_EQ(proc::slurp(file()), str(low.bytes()));
  ASSERT_TRUE(c.adopt_bytes(high.bytes()));  // as long, larger tip: nothing changes
  EXPECT_EQ(proc::slurp(file()), str(low.bytes()));
  EXPECT_EQ(c.tip_hash(), low.blocks().back().hash);
}

TEST_F(AdoptTest, AdoptedChainReplacesFileAndLedger) {
  Chain& c = open();
  ASSERT_TRUE(c.edit_state([](NodeState& s) {
    s.peers = {"a:1"};
    s.work_seconds = 17;
  }));
  chain_gen::Builder peer(7);
  peer.add({peer.mint(3)});
  peer.one_transfer_blocks(3);
  peer.full_blocks(2);
  ASSERT_TRUE(c.adopt_bytes(peer.bytes())) << "adopt";
  EXPECT_EQ(proc::slurp(file()), str(peer.bytes()));
  auto fresh = Chain::open(file());
  ASSERT_TRUE(fresh);
  EXPECT_EQ(sets_of(c), sets_of(*fresh));
  EXPECT_EQ(c.block_count(), peer.blocks().size());
  EXPECT_EQ(c.state().height, static_cast<int64_t>(peer.blocks().size()) - 1);
  EXPECT_EQ(c.state().tip, hex::encode(peer.blocks().back().hash));
  EXPECT_EQ(c.state().supply, c.supply());
  EXPECT_GT(c.supply(), 0u);
  // What is not the chain's survives; the state file is saved.
  auto saved = NodeState::load(file());
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->work_seconds, 17u);
  EXPECT_EQ(saved->tip, c.state().tip);
  EXPECT_TRUE(fs::is_empty(tmp_));
  // No staging file is left beside the chain.
  size_t entries = 0;
  for (const auto& e : fs::directory_iterator(dir_.path())) entries += e.path() != tmp_;
  EXPECT_EQ(entries, 2u);  // quv.chain and quv.node
  // The adopted chain grows as usual.
  ASSERT_TRUE(c.seal_txs({chain_gen::work_tx({}, 1)}));
  auto grown = Chain::open(file());
  ASSERT_TRUE(grown);
  EXPECT_EQ(sets_of(c), sets_of(*grown));
}

TEST_F(AdoptTest, InvalidPeerChainsAreRefused) {
  // A valid base: a block of notes, then a block of two transfers.
  chain_gen::Builder base(9);
  base.add({base.mint(4)});
  const std::vector<Owned> notes(base.unspent.begin(), base.unspent.end());
  base.add({base.spend(), base.spend()});
  const std::vector<Block> good = base.blocks();
  const Hash32 tip = good.back().hash;
  std::mt19937_64 rng(5);
  auto next = [&](std::vector<Tx> txs) { return chain_gen::make_block(3, tip, std::move(txs)); };
  auto pay = [&](std::vector<Owned> in) {
    Owned to = chain_gen::key_pair(rng);
    return chain_gen::transfer(in, {chain_gen::output(to, rng)});
  };
  auto with = [&](Block last) {
    std::vector<Block> blocks = good;
    blocks.push_back(std::move(last));
    return chain_gen::file_bytes(blocks);
  };

  Block no_work = next({pay({notes[2]})});
  while (codec::meets_difficulty(no_work.hash, 3)) {
    ++no_work.nonce;
    no_work.hash = codec::block_hash(codec::encode_header(no_work));
  }
  Block easy = chain_gen::make_block(3, tip, {pay({notes[2]})});
  easy.difficulty = 0;
  remine(easy);
  Block unlinked = next({pay({notes[2]})});
  unlinked.prev = good[1].hash;
  remine(unlinked);
  Block merkle = next({pay({notes[2]})});
  merkle.merkle[0] ^= 1;
  remine(merkle);
  Block height = next({pay({notes[2]})});
  height.height = 4;
  remine(height);
  Owned forged = notes[2];
  forged.sk = notes[3].sk;
  Block forgery = next({pay({forged})});
  Block twice = next({pay({notes[2]}), pay({notes[2]})});
  Block spent = next({pay({notes[0]})});
  Tx odd_type = pay({notes[2]});
  odd_type.type = 3;
  Block odd = next({odd_type});
  Tx money;
  Owned mine = chain_gen::key_pair(rng);
  money.outputs = {chain_gen::output(mine, rng)};
  Block printer = next({money});
  Tx no_outputs = chain_gen::transfer(std::vector{notes[2]}, {});
  Block empty_tx = next({no_outputs});

  // A chain from another genesis.
  std::vector<Block> foreign = good;
  foreign[0].txs[0].extra.back() ^= 1;
  std::vector<Hash32> ids;
  for (const Tx& tx : foreign[0].txs) ids.push_back(codec::txid(tx));
  foreign[0].merkle = codec::merkle(ids);
  remine(foreign[0]);
  for (size_t i = 1; i < foreign.size(); ++i) {
    foreign[i].prev = foreign[i - 1].hash;
    remine(foreign[i]);
  }
  foreign.push_back(chain_gen::make_block(3, foreign.back().hash, {pay({notes[2]})}));
  // Our genesis block carrying something else than the genesis transactions.
  std::vector<Block> stuffed = good;
  stuffed[0].txs.push_back(money);

  Bytes bad_sum = with(next({pay({notes[2]})}));
  bad_sum[200] ^= 1;

  const std::string p = "Peer chain rejected: ";
  struct Case {
    std::string name;
    Bytes peer;
    std::string message;
  };
  const Case cases[] = {
      {"proof of work", with(no_work), p + "block 3 lacks its proof of work."},
      {"difficulty", with(easy), p + "block 3 lacks its proof of work."},
      {"link", with(unlinked), p + "block 3 does not follow the block before it."},
      {"merkle", with(merkle), p + "block 3 does not match its merkle hash."},
      {"height", with(height), p + "block 3 claims height 4."},
      {"signature", with(forgery), p + "block 3, transaction 0: Bad spend signature."},
      {"double spend", with(twice), p + "block 3 spends one note twice."},
      {"spent note", with(spent), p + "block 3, transaction 0: Unknown or spent note."},
      {"type", with(odd), p + "block 3, transaction 0: Unknown tx type."},
      {"preamble with outputs", with(printer),
       p + "block 3, transaction 0: Preamble cannot carry inputs or outputs."},
      {"transfer", with(empty_tx),
       p + "block 3, transaction 0: Transfer needs inputs and outputs."},
      {"foreign genesis", chain_gen::file_bytes(foreign),
       p + "its genesis block differs from ours."},
      {"stuffed genesis", chain_gen::file_bytes(stuffed),
       p + "block 0 does not match its merkle hash."},
      {"checksum", bad_sum, p + "Block checksum mismatch — file corrupt."},
  };
  Chain& c = open();
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    expect_refused(tc.peer, tc.message);
  }
  Bytes cut = with(next({pay({notes[2]})}));
  cut.resize(cut.size() - 1);
  expect_refused(cut, p + "failed to fill whole buffer");
  // The valid version of the same chain is adopted.
  ASSERT_TRUE(c.adopt_bytes(with(next({pay({notes[2]})}))));
  EXPECT_EQ(c.block_count(), 4u);
}

TEST_F(AdoptTest, AWorseChainIsNotCheckedBeyondOpening) {
  chain_gen::Builder own(3);
  own.one_transfer_blocks(4);
  own.write(file());
  Chain& c = open();
  std::vector<Block> peer = {chain::genesis_block(), chain_gen::make_block(1, Hash32{}, {}, false)};
  const std::string before = proc::slurp(file());
  ASSERT_TRUE(c.adopt_bytes(chain_gen::file_bytes(peer)));
  EXPECT_EQ(proc::slurp(file()), before);
}

// The first fault in chain order decides, whether it is a signature (checked on worker
// threads) or a fault of the chain's structure.
TEST_F(AdoptTest, TheEarliestFaultIsReported) {
  chain_gen::Builder b(21);
  b.one_transfer_blocks(40);
  const std::vector<Block> good = b.blocks();
  auto forge = [&](std::vector<Block> blocks, size_t k) {
    blocks[k].txs[0].inputs[0].sig[5] ^= 1;
    return blocks;
  };
  auto relink = [](std::vector<Block>& blocks, size_t from) {
    for (size_t i = from; i < blocks.size(); ++i) {
      if (i > 0) blocks[i].prev = blocks[i - 1].hash;
      remine(blocks[i]);
    }
  };
  Chain& c = open();
  const std::string p = "Peer chain rejected: ";
  {
    auto blocks = forge(good, 30);
    relink(blocks, 30);
    expect_refused(chain_gen::file_bytes(blocks),
                   p + "block 30, transaction 0: Bad spend signature.");
  }
  {
    auto blocks = forge(good, 20);
    blocks[33].merkle[1] ^= 1;
    relink(blocks, 20);
    expect_refused(chain_gen::file_bytes(blocks),
                   p + "block 20, transaction 0: Bad spend signature.");
  }
  {
    auto blocks = forge(good, 35);
    blocks[12].merkle[1] ^= 1;
    relink(blocks, 12);
    expect_refused(chain_gen::file_bytes(blocks), p + "block 12 does not match its merkle hash.");
  }
  ASSERT_TRUE(c.adopt_bytes(chain_gen::file_bytes(good)));
}

// Blocks a peer shares with us byte for byte are ours already and are not checked again;
// from the first record that differs on, everything is.
TEST_F(AdoptTest, OnlyWhatDiffersFromOurChainIsChecked) {
  chain_gen::Builder b(13);
  b.one_transfer_blocks(6);
  std::vector<Block> own = b.blocks();
  // Our own file may hold a block without proof of work: replay does not look.
  do {
    ++own[2].nonce;
    own[2].hash = codec::block_hash(codec::encode_header(own[2]));
  } while (codec::meets_difficulty(own[2].hash, 3));
  for (size_t i = 3; i < own.size(); ++i) {
    own[i].prev = own[i - 1].hash;
    remine(own[i]);
  }
  ASSERT_TRUE(proc::spit(file(), str(chain_gen::file_bytes(own))));
  Chain& c = open();
  // The same chain with a forged signature in its last shared block is checked there.
  std::vector<Block> forged = own;
  forged.back().txs[0].inputs[0].sig[0] ^= 1;
  forged.push_back(chain_gen::make_block(own.size(), own.back().hash, {b.spend()}));
  expect_refused(chain_gen::file_bytes(forged),
                 "Peer chain rejected: block 6, transaction 0: Bad spend signature.");
  // Our chain and one more block: only the new block is checked.
  std::vector<Block> longer = own;
  longer.push_back(forged.back());
  ASSERT_TRUE(c.adopt_bytes(chain_gen::file_bytes(longer)));
  EXPECT_EQ(c.block_count(), 8u);
}

TEST_F(AdoptTest, AFailedReplacementKeepsTheOldChain) {
  Chain& c = open();
  ASSERT_TRUE(c.seal_txs({chain_gen::work_tx({}, 4)}));
  chain_gen::Builder peer(4);
  peer.one_transfer_blocks(4);
  // The staging name is taken by a directory, so the new file cannot be written.
  const fs::path staged = staging();
  fs::create_directory(staged);
  expect_refused(peer.bytes(), error::os_text(EEXIST));
  fs::remove(staged);
  // The old chain still works in memory and on disk.
  ASSERT_TRUE(c.seal_txs({chain_gen::work_tx({}, 5)}));
  auto again = Chain::open(file());
  ASSERT_TRUE(again);
  EXPECT_EQ(again->supply(), 9u);
  EXPECT_EQ(sets_of(*again), sets_of(c));
}

TEST_F(AdoptTest, TheStagedCopyIsCreatedAfreshOrNotAtAll) {
  Chain& c = open();
  chain_gen::Builder peer(4);
  peer.one_transfer_blocks(2);
  // A link planted under the name the copy will take is not followed.
  const fs::path victim = dir_ / "victim";
  ASSERT_TRUE(proc::spit(victim, "keep"));
  fs::create_symlink(victim, staging());
  auto r = c.adopt_bytes(peer.bytes());
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string(), error::os_text(EEXIST));
  EXPECT_EQ(proc::slurp(victim), "keep");
  EXPECT_EQ(c.block_count(), 1u);
  fs::remove(staging());
  // The temporary directory plays no part: one that does not exist changes nothing.
  ScopedEnv gone("TMPDIR", (dir_ / "missing").string());
  ASSERT_TRUE(c.adopt_bytes(peer.bytes()));
  EXPECT_EQ(proc::slurp(file()), str(peer.bytes()));
  EXPECT_EQ(staged_files(), 0u);
}

// Our file may hold a record that another writer added; what the peer shares is counted
// in the file, so a transfer of ours after that record is still submitted again.
TEST_F(AdoptTest, SharedRecordsAreCountedInTheFile) {
  chain_gen::Builder b(17);
  b.add({b.mint(2)});
  const Block g = b.blocks()[0];
  const Block theirs = b.blocks()[1];
  const Tx ours = b.spend();
  Chain& c = open();
  {
    auto other = Chain::open(file());
    ASSERT_TRUE(other);
    ASSERT_TRUE(other->append(theirs));
  }
  ASSERT_TRUE(c.seal_txs({ours}));
  ASSERT_EQ(c.block_count(), 3u);  // their record was taken in before ours was written
  const Block p2 = chain_gen::make_block(2, theirs.hash, {chain_gen::work_tx({}, 1)});
  const Block p3 = chain_gen::make_block(3, p2.hash, {chain_gen::work_tx({}, 2)});
  const Bytes peer = chain_gen::file_bytes(std::vector{g, theirs, p2, p3});
  ASSERT_TRUE(c.adopt_bytes(peer));
  EXPECT_EQ(proc::slurp(file()), str(peer));
  EXPECT_EQ(c.state().mempool, std::vector<Bytes>{codec::encode_tx_signed(ours)});
}

// Only the peer's blocks are read from the staged copy: whatever sits under the name of
// its state file does not stop (or stall) the adoption.
TEST_F(AdoptTest, NothingBesideTheStagedCopyIsRead) {
  Chain& c = open();
  chain_gen::Builder peer(6);
  peer.one_transfer_blocks(2);
  fs::create_directory(state::path_for(staging()));
  auto r = c.adopt_bytes(peer.bytes());
  ASSERT_TRUE(r) << r.error().to_string();
  EXPECT_EQ(proc::slurp(file()), str(peer.bytes()));
}

// A chain path that is a symbolic link keeps naming the chain: the file it points to
// receives the peer's bytes and the link stays a link.
TEST_F(AdoptTest, AChainPathThatIsALinkStaysALink) {
  const fs::path real = dir_ / "data" / "quv.chain";
  const fs::path link = dir_ / "link.chain";
  ASSERT_TRUE(Chain::open(real));
  fs::create_symlink(real, link);
  auto c = Chain::open(link);
  ASSERT_TRUE(c) << c.error().to_string();
  chain_gen::Builder peer(8);
  peer.one_transfer_blocks(2);
  ASSERT_TRUE(c->adopt_bytes(peer.bytes()));
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(proc::slurp(real), str(peer.bytes()));
  size_t entries = 0;
  for (const auto& e : fs::directory_iterator(real.parent_path())) entries += e.exists();
  EXPECT_EQ(entries, 1u);  // no staging file is left beside it
  ASSERT_TRUE(c->seal_txs({chain_gen::work_tx({}, 3)}));
  auto again = Chain::open(real);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->block_count(), peer.blocks().size() + 1);
  EXPECT_EQ(again->supply(), c->supply());
}

TEST_F(AdoptTest, LostTransactionsAreSubmittedAgain) {
  std::mt19937_64 rng(77);
  auto pay = [&](std::vector<Owned> in, Owned* to_out = nullptr) {
    Owned to = chain_gen::key_pair(rng);
    Tx tx = chain_gen::transfer(in, {chain_gen::output(to, rng)});
    if (to_out) *to_out = to;
    return tx;
  };
  chain_gen::Builder a(31);
  a.add({a.mint(5)});
  const std::vector<Owned> n(a.unspent.begin(), a.unspent.end());
  const Block g = a.blocks()[0];
  const Block b1 = a.blocks()[1];

  Owned old_out;
  const Tx t_old = pay({n[2]}, &old_out);
  const Tx t_old2 = pay({old_out});  // spends an output of t_old
  Tx mint;
  mint.type = codec::kTxNftMint;
  mint.extra = Bytes(32, 0x44);
  const std::string addr = crypto::encode_address(Key32{3});
  mint.extra.insert(mint.extra.end(), addr.begin(), addr.end());
  std::vector<Owned> fee = {n[3]};
  mint.inputs = chain_gen::inputs_for(fee);
  Owned mo = chain_gen::key_pair(rng);
  mint.outputs = {chain_gen::output(mo, rng)};
  chain_gen::sign(mint, fee);
  Tx work = chain_gen::work_tx({}, 9);
  const Block b2 = chain_gen::make_block(2, b1.hash, {t_old, work});
  const Block b3 = chain_gen::make_block(3, b2.hash, {t_old2, mint});
  ASSERT_TRUE(proc::spit(file(), str(chain_gen::file_bytes(std::vector{g, b1, b2, b3}))));

  Chain& c = open();
  const Tx t_a = pay({n[0]});
  const Tx t_b = pay({n[1]});
  const Tx t_keep = pay({n[4]});
  auto id = [](const Tx& tx) { return hex::encode(codec::txid(tx)); };
  for (const Tx& tx : {t_a, t_b, t_keep}) {
    ASSERT_TRUE(c.submit_tx(tx));
    ASSERT_TRUE(c.ack_tx(id(tx), "peer-1")->kept);
  }

  const Tx t_conf = pay({n[1]});  // the peer spent n[1] differently
  const Block p2 = chain_gen::make_block(2, b1.hash, {t_a, t_conf});
  const Block p3 = chain_gen::make_block(3, p2.hash, {chain_gen::work_tx({}, 1)});
  const Block p4 = chain_gen::make_block(4, p3.hash, {chain_gen::work_tx({}, 2)});
  const Bytes peer = chain_gen::file_bytes(std::vector{g, b1, p2, p3, p4});
  ASSERT_TRUE(c.adopt_bytes(peer));

  // t_a is in the peer's chain, t_b lost its note, t_keep stays, t_old comes back, the
  // mint comes back, the work payout is gone; t_old2 spends an output that is only in the
  // mempool and waits aside for t_old to be sealed.
  EXPECT_EQ(c.state().mempool,
            (std::vector<Bytes>{codec::encode_tx_signed(t_keep), codec::encode_tx_signed(t_old),
                                codec::encode_tx_signed(mint)}));
  ASSERT_EQ(c.set_aside().size(), 1u);
  EXPECT_EQ(c.set_aside()[0].raw, codec::encode_tx_signed(t_old2));
  EXPECT_EQ(c.supply(), 1000u * 5 + 1 + 2);
  auto saved = NodeState::load(file());
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->mempool, c.state().mempool);
  // Acknowledgements gathered before still count for what is in the mempool again; those
  // of the lost and the adopted transfers went with them.
  using Acks = decltype(NodeState::acks);
  EXPECT_EQ(saved->acks, (Acks{{id(t_keep), {"peer-1"}}}));
  ScopedEnv confirms("QUV_CONFIRM_PEERS", "1");
  fs::create_directories(dir_ / "nft");
  ASSERT_TRUE(proc::spit(dir_ / "nft" / (std::string(64, '4') + ".jpg"), "x"));
  ASSERT_TRUE(c.ack_tx(id(t_old), "peer-1")->kept);
  auto sealed = c.seal();
  ASSERT_TRUE(sealed) << sealed.error().to_string();
  // The child follows its parent: in the mempool after the seal, in a block after the next.
  EXPECT_EQ(c.state().mempool, (std::vector<Bytes>{codec::encode_tx_signed(t_old2)}));
  EXPECT_EQ(NodeState::load(file())->mempool, c.state().mempool);
  EXPECT_TRUE(c.set_aside().empty());
  ASSERT_TRUE(c.ack_tx(id(t_old2), "peer-1")->kept);
  ASSERT_TRUE(c.seal());
  EXPECT_TRUE(c.state().mempool.empty());
  EXPECT_EQ(c.nft_ids().size(), 1u);
}

// A long line of children set aside by one adoption: the list takes only so many, each
// seal lets the next one follow its parent, and a later adoption of a chain that holds a
// waiting child forgets it.
TEST_F(AdoptTest, SetAsideChildrenAreBoundedAndFollowTheirParents) {
  ScopedEnv confirms("QUV_CONFIRM_PEERS", "0");
  std::mt19937_64 rng(78);
  chain_gen::Builder a(32);
  a.add({a.mint(1)});
  const Block g = a.blocks()[0];
  const Block b1 = a.blocks()[1];
  // Each transfer spends the output of the one before it.
  std::vector<Tx> line;
  Owned note = a.unspent.front();
  for (size_t i = 0; i < chain::kMaxSetAside + 20; ++i) {
    Owned to = chain_gen::key_pair(rng);
    line.push_back(chain_gen::transfer(std::vector<Owned>{note}, {chain_gen::output(to, rng)}));
    note = to;
  }
  const Block b2 = chain_gen::make_block(2, b1.hash, line);
  ASSERT_TRUE(proc::spit(file(), str(chain_gen::file_bytes(std::vector{g, b1, b2}))));
  Chain& c = open();
  const Block p2 = chain_gen::make_block(2, b1.hash, {chain_gen::work_tx({}, 1)});
  const Block p3 = chain_gen::make_block(3, p2.hash, {chain_gen::work_tx({}, 2)});
  ASSERT_TRUE(c.adopt_bytes(chain_gen::file_bytes(std::vector{g, b1, p2, p3})));
  EXPECT_EQ(c.state().mempool, (std::vector<Bytes>{codec::encode_tx_signed(line[0])}));
  ASSERT_EQ(c.set_aside().size(), chain::kMaxSetAside);
  EXPECT_EQ(c.set_aside().front().raw, codec::encode_tx_signed(line[1]));

  for (size_t i = 1; i <= 3; ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(c.seal());
    EXPECT_EQ(c.state().mempool, (std::vector<Bytes>{codec::encode_tx_signed(line[i])}));
    EXPECT_EQ(c.set_aside().size(), chain::kMaxSetAside - i);
  }
  // A peer's chain that sealed line[3] and line[4] elsewhere: line[3] leaves the mempool,
  // line[4] the list, and line[5] finds its parent on the chain.
  // A block spends only what blocks before it made, so the two go in two blocks.
  const std::string own = proc::slurp(file());
  const size_t n = c.block_count();
  const Block q = chain_gen::make_block(n, c.tip_hash(), {line[3]});
  const Block q2 = chain_gen::make_block(n + 1, q.hash, {line[4]});
  Bytes peer(own.begin(), own.end());
  const Bytes extra = chain_gen::file_bytes(std::vector{q, q2});
  peer.insert(peer.end(), extra.begin() + 4, extra.end());
  auto adopted = c.adopt_bytes(peer);
  ASSERT_TRUE(adopted) << adopted.error().to_string();
  EXPECT_EQ(c.block_count(), n + 2);
  EXPECT_EQ(c.state().mempool, (std::vector<Bytes>{codec::encode_tx_signed(line[5])}));
  EXPECT_EQ(c.set_aside().size(), chain::kMaxSetAside - 5);
  EXPECT_EQ(c.set_aside().front().raw, codec::encode_tx_signed(line[6]));
}

// Large children of orphaned blocks that fill the list ahead of a small ordinary one: the
// small one takes the place of a large one.
TEST_F(AdoptTest, LargeSetAsideEntriesGiveWayToASmallOne) {
  ScopedEnv confirms("QUV_CONFIRM_PEERS", "0");
  std::mt19937_64 rng(79);
  chain_gen::Builder a(34);
  a.add({a.mint(65)});
  // Sixty-four children of 64 KiB each fill the list; the last child is a small transfer.
  std::vector<Tx> parents, children;
  auto pay = [&](const Owned& from, Owned& to, size_t body) {
    to = chain_gen::key_pair(rng);
    return chain_gen::transfer(std::vector<Owned>{from}, {chain_gen::output(to, rng, body)});
  };
  Owned mid, to;
  const size_t body = 1000 + 65536 - codec::encode_tx_signed(pay(a.unspent[0], to, 1000)).size();
  for (size_t i = 0; i < 65; ++i) {
    parents.push_back(pay(a.unspent[i], mid, 180));
    children.push_back(pay(mid, to, i < 64 ? body : 180));
  }
  const std::vector<Block> own{a.blocks()[0], a.blocks()[1],
                               chain_gen::make_block(2, a.blocks()[1].hash, parents)};
  ASSERT_TRUE(proc::spit(
      file(), str(chain_gen::file_bytes(std::vector{
                  own[0], own[1], own[2], chain_gen::make_block(3, own[2].hash, children)}))));
  Chain& c = open();
  const Block p2 = chain_gen::make_block(2, own[1].hash, {chain_gen::work_tx({}, 1)});
  const Block p3 = chain_gen::make_block(3, p2.hash, {chain_gen::work_tx({}, 2)});
  const Block p4 = chain_gen::make_block(4, p3.hash, {chain_gen::work_tx({}, 3)});
  ASSERT_TRUE(c.adopt_bytes(chain_gen::file_bytes(std::vector{own[0], own[1], p2, p3, p4})));
  ASSERT_EQ(c.set_aside().size(), 64u);
  EXPECT_TRUE(c.set_aside().back().raw == codec::encode_tx_signed(children.back()));
}

}  // namespace

// ---------------------------------------------------------------------------
// Blocks that continue our chain, staged from our last record on, are appended alone.

class ExtendTest : public AdoptTest {
 protected:
  // Stages `peer` from the offset of our last record on and appends what follows it.
  Result<uint64_t> extend(Chain& c, const Bytes& peer) {
    const fs::path staged = chain::staging_path(file(), "fetch");
    const size_t from = static_cast<size_t>(c.offsets().back());
    EXPECT_TRUE(proc::spit(staged, str(peer).substr(std::min(from, peer.size()))));
    auto r = c.extend_staged(staged);
    EXPECT_FALSE(fs::exists(staged));
    return r;
  }
};

TEST_F(ExtendTest, BlocksThatContinueOurChainAreCheckedAndAppended) {
  chain_gen::Builder own(31);
  own.one_transfer_blocks(3);
  own.write(file());
  const std::vector<Block> mine = own.blocks();
  // Three good blocks on ours; the same with the second one lacking its proof of work;
  // and a chain that forked before our tip.
  chain_gen::Builder longer = own;
  longer.one_transfer_blocks(3);
  std::vector<Block> bad = longer.blocks();
  bad[mine.size() + 1].nonce ^= 1;
  bad[mine.size() + 1].hash = codec::block_hash(codec::encode_header(bad[mine.size() + 1]));
  std::vector<Block> forked(mine.begin(), mine.end() - 1);
  forked.push_back(chain_gen::make_block(mine.size() - 1, forked.back().hash, {}, true));
  forked.push_back(chain_gen::make_block(mine.size(), forked.back().hash, {}, true));
  Bytes cut = longer.bytes();
  cut.resize(cut.size() - 5);

  const std::string p = "Peer chain rejected: ";
  const std::string next = std::to_string(mine.size());
  struct Case {
    std::string name;
    Bytes peer;
    uint64_t appended;
    std::string error;  // "" for success
  };
  const Case cases[] = {
      {"three good blocks", longer.bytes(), 3, ""},
      {"nothing past ours", own.bytes(), 0, ""},
      {"a bad second block", chain_gen::file_bytes(bad), 1,
       p + "block " + std::to_string(mine.size() + 1) + " lacks its proof of work."},
      {"the last record cut short", cut, 2,
       p + "block " + std::to_string(mine.size() + 2) + ": failed to fill whole buffer"},
      {"a fork", chain_gen::file_bytes(forked), 0, p + "it does not continue our chain."},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    own.write(file());
    Chain& c = open();
    auto r = extend(c, tc.peer);
    if (tc.error.empty()) {
      ASSERT_TRUE(r) << r.error().to_string();
      EXPECT_EQ(*r, tc.appended);
    } else {
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error().to_string(), tc.error);
    }
    // The file holds ours and the blocks that passed, and the ledger is what opening it
    // yields.
    EXPECT_EQ(c.block_count(), mine.size() + tc.appended);
    const std::string want = str(chain_gen::file_bytes(
        std::span<const Block>(longer.blocks()).first(mine.size() + tc.appended)));
    EXPECT_EQ(proc::slurp(file()), want);
    auto fresh = Chain::open(file());
    ASSERT_TRUE(fresh);
    EXPECT_EQ(sets_of(c), sets_of(*fresh));
    EXPECT_EQ(c.state().height, static_cast<int64_t>(c.block_count()) - 1);
    EXPECT_EQ(c.state().tip, c.tip_hash_hex());
    EXPECT_EQ(staged_files(), 0u);
  }
}

TEST_F(ExtendTest, WhatTheNewBlocksHoldLeavesTheMempool) {
  proc::ScopedEnv need("QUV_CONFIRM_PEERS", "0");
  chain_gen::Builder own(32);
  own.add({own.mint(4)});
  own.write(file());
  Chain& c = open();
  chain_gen::Builder longer = own;
  const codec::Tx sealed = longer.spend();
  const codec::Tx kept = longer.spend();
  longer.add({sealed});
  ASSERT_TRUE(c.submit_tx(sealed));
  ASSERT_TRUE(c.submit_tx(kept));
  auto r = extend(c, longer.bytes());
  ASSERT_TRUE(r) << r.error().to_string();
  EXPECT_EQ(*r, 1u);
  EXPECT_EQ(c.state().mempool, std::vector<Bytes>{codec::encode_tx_signed(kept)});
  auto saved = NodeState::load(file());
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->mempool, c.state().mempool);
  EXPECT_EQ(saved->height, static_cast<int64_t>(own.blocks().size()));
}

// A staged chain that is adopted is renamed into place; one that is refused or not
// better is removed.
TEST_F(AdoptTest, AStagedChainIsGoneOnEveryPath) {
  Chain& c = open();
  chain_gen::Builder peer(33);
  peer.one_transfer_blocks(2);
  Bytes bad = peer.bytes();
  bad[bad.size() - 3] ^= 1;
  const fs::path staged = chain::staging_path(file(), "fetch");
  for (const Bytes& b : {bad, raw(std::string(chain::kMagic)), peer.bytes()}) {
    ASSERT_TRUE(proc::spit(staged, str(b)));
    (void)c.adopt_staged(staged);
    EXPECT_FALSE(fs::exists(staged));
  }
  EXPECT_EQ(proc::slurp(file()), str(peer.bytes()));
  EXPECT_EQ(c.block_count(), peer.blocks().size());
}

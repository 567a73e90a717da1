#include "ledger/work.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>

#include "core/codec.h"
#include "core/crypto.h"
#include "core/hex.h"
#include "core/peers.h"
#include "proc.h"

namespace {

constexpr int64_t kT = 1700000000;

// A wallet key set without the cost of a mnemonic derivation.
WalletKeys keys_for(uint8_t fill) {
  crypto::MasterKey master;
  std::fill(master.data(), master.data() + master.size(), fill);
  return WalletKeys::from_master(master, 0);
}

class WorkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    crypto::init();
    auto opened = Chain::open(dir_ / "quv.chain");
    ASSERT_TRUE(opened) << opened.error().to_string();
    chain_ = std::make_unique<Chain>(std::move(*opened));
  }

  Chain& chain() { return *chain_; }
  const NodeState& st() { return chain_->state(); }
  // Changes the node state as another writer would, saved.
  void edit(const std::function<void(NodeState&)>& f) { ASSERT_TRUE(chain_->edit_state(f)); }

  // The state as the file on disk holds it now.
  NodeState saved() {
    auto s = NodeState::load(chain_->path());
    EXPECT_TRUE(s);
    return s ? *s : NodeState{};
  }

  // The last block of the chain, read back from the file.
  codec::Block last_block() {
    std::string file = proc::slurp(chain_->path());
    uint64_t off = chain_->offsets().back();
    uint32_t len = bytes::load_u32(reinterpret_cast<const uint8_t*>(file.data()) + off);
    auto block = codec::decode_block_body(
        ByteView(reinterpret_cast<const uint8_t*>(file.data()) + off + 4, len));
    EXPECT_TRUE(block);
    return block ? *block : codec::Block{};
  }

  proc::TempDir dir_;
  std::unique_ptr<Chain> chain_;
};

TEST_F(WorkTest, FirstBeatOpensTheWindowWithoutCredit) {
  auto paid = work::beat(chain(), kT);
  ASSERT_TRUE(paid);
  EXPECT_EQ(*paid, 0u);
  EXPECT_EQ(st().window_start, kT);
  EXPECT_EQ(st().last_beat, kT);
  EXPECT_EQ(st().work_seconds, 0u);
  EXPECT_EQ(saved().window_start, kT);
}

TEST_F(WorkTest, BeatCreditsOnlyShortGapsAndAtMostTwoSeconds) {
  struct Case {
    int64_t gap;
    uint64_t credit;
  };
  const Case cases[] = {{1, 1}, {2, 2},  {5, 2},   {30, 2},    {31, 0},
                        {0, 0}, {-1, 0}, {-30, 0}, {50000, 0}, {1, 1}};
  ASSERT_TRUE(work::beat(chain(), kT));
  int64_t now = kT;
  uint64_t expected = 0;
  for (const auto& c : cases) {
    now += c.gap;
    auto paid = work::beat(chain(), now);
    ASSERT_TRUE(paid) << "gap " << c.gap;
    EXPECT_EQ(*paid, 0u) << "gap " << c.gap;
    expected += c.credit;
    EXPECT_EQ(st().work_seconds, expected) << "gap " << c.gap;
    EXPECT_EQ(st().last_beat, now) << "gap " << c.gap;
    EXPECT_EQ(saved().work_seconds, expected) << "every beat saves";
  }
  EXPECT_EQ(st().window_start, kT);
}

TEST_F(WorkTest, BeatNeverCreditsPastTheCap) {
  struct Case {
    uint64_t before;
    uint64_t after;
  };
  const Case cases[] = {{86399, 86400},
                        {86400, 86400},
                        {90000, 86400},
                        {std::numeric_limits<uint64_t>::max() - 1, 86400}};
  for (const auto& c : cases) {
    edit([&](NodeState& s) {
      s.window_start = kT;
      s.last_beat = kT + 10;
      s.work_seconds = c.before;
    });
    ASSERT_TRUE(work::beat(chain(), kT + 12));
    EXPECT_EQ(st().work_seconds, c.after) << c.before;
  }
}

TEST_F(WorkTest, BeatAfterAClockBeforeTheEpochCreditsNothing) {
  // A previous beat time of 0 means "never": no gap can be measured.
  edit([&](NodeState& s) {
    s.window_start = kT;
    s.last_beat = 0;
  });
  ASSERT_TRUE(work::beat(chain(), kT + 1));
  EXPECT_EQ(st().work_seconds, 0u);
  EXPECT_EQ(st().last_beat, kT + 1);
}

TEST_F(WorkTest, DayOldWindowPaysTheDropOnTheBeat) {
  auto keys = keys_for(7);
  ASSERT_TRUE(work::set_reward_address(chain(), keys.address));
  // As if the node had beaten every second since kT.
  edit([&](NodeState& s) {
    s.window_start = kT;
    s.last_beat = kT + 86399;
    s.work_seconds = 86399;
    s.validated = 5;
  });
  uint64_t blocks = chain().block_count();

  auto early = work::beat(chain(), kT + 86399);  // gap 0: no credit, window 86399 s old
  ASSERT_TRUE(early);
  EXPECT_EQ(*early, 0u);
  EXPECT_EQ(chain().block_count(), blocks);

  auto paid = work::beat(chain(), kT + 86400);
  ASSERT_TRUE(paid) << paid.error().to_string();
  EXPECT_EQ(*paid, 86400u + 5);
  EXPECT_EQ(chain().block_count(), blocks + 1);
  EXPECT_EQ(chain().supply(), 86405u);
  EXPECT_EQ(st().work_seconds, 0u);
  EXPECT_EQ(st().validated, 0u);
  EXPECT_EQ(st().window_start, kT + 86400);
  EXPECT_EQ(st().last_drop, kT + 86400);
  codec::Block b = last_block();
  ASSERT_EQ(b.txs.size(), 1u);
  EXPECT_EQ(b.txs[0].work_amount, 86405u);
  EXPECT_EQ(b.txs[0].work_seconds, 86400u);
  EXPECT_EQ(b.txs[0].work_validated, 5u);
}

TEST_F(WorkTest, DueDropWithoutRewardAddressWaitsAndKeepsAccruing) {
  edit([&](NodeState& s) {
    s.window_start = kT;
    s.last_beat = kT + 86399;
    s.work_seconds = 1000;
  });
  for (int64_t now : {kT + 86400, kT + 86401}) {
    auto paid = work::beat(chain(), now);
    ASSERT_FALSE(paid);
    EXPECT_EQ(paid.error().to_string(), "No reward address — drop waiting.");
  }
  EXPECT_EQ(st().work_seconds, 1002u);
  EXPECT_EQ(st().window_start, kT);
  EXPECT_EQ(st().last_drop, 0);
  EXPECT_EQ(saved().work_seconds, 1002u);
}

TEST_F(WorkTest, IdleDropReopensTheWindowWithoutPaying) {
  edit([&](NodeState& s) {
    s.window_start = kT;
    s.last_drop = 42;
  });
  uint64_t blocks = chain().block_count();
  auto paid = work::drop_now(chain(), kT + 5);
  ASSERT_TRUE(paid);
  EXPECT_EQ(*paid, 0u);
  EXPECT_EQ(st().window_start, kT + 5);
  EXPECT_EQ(st().last_drop, 42);
  EXPECT_EQ(chain().block_count(), blocks);
  EXPECT_EQ(saved().window_start, kT + 5);
}

TEST_F(WorkTest, DropPaysOneWorkTransactionToTheRewardAddress) {
  auto keys = keys_for(9);
  ASSERT_TRUE(work::set_reward_address(chain(), keys.address));
  edit([&](NodeState& s) {
    s.work_seconds = 100;
    s.validated = 3;
  });
  uint64_t blocks = chain().block_count();
  uint64_t supply = chain().supply();

  auto paid = work::drop_now(chain(), kT);
  ASSERT_TRUE(paid) << paid.error().to_string();
  EXPECT_EQ(*paid, 103u);
  EXPECT_EQ(chain().block_count(), blocks + 1);
  EXPECT_EQ(chain().supply(), supply + 103);
  EXPECT_EQ(st().work_seconds, 0u);
  EXPECT_EQ(st().validated, 0u);
  EXPECT_EQ(st().last_drop, kT);
  EXPECT_EQ(st().window_start, kT);
  EXPECT_EQ(saved().last_drop, kT);

  codec::Block b = last_block();
  EXPECT_EQ(b.height, blocks);
  EXPECT_TRUE(hex::encode(b.hash).starts_with("000"));
  ASSERT_EQ(b.txs.size(), 1u);
  const codec::Tx& tx = b.txs[0];
  EXPECT_EQ(tx.type, codec::kTxWork);
  EXPECT_EQ(tx.extra, Bytes({'w', 'o', 'r', 'k'}));
  EXPECT_TRUE(tx.tag.empty());
  EXPECT_TRUE(tx.inputs.empty());
  EXPECT_EQ(tx.work_amount, 103u);
  EXPECT_EQ(tx.work_seconds, 100u);
  EXPECT_EQ(tx.work_validated, 3u);
  ASSERT_EQ(tx.outputs.size(), 1u);
  auto note = crypto::try_open_output(keys, tx.outputs[0], b.height, "t");
  ASSERT_TRUE(note);
  EXPECT_EQ(note->amount, 103);
  EXPECT_EQ(note->memo, "node-work");
  EXPECT_EQ(note->from, "work");
}

TEST_F(WorkTest, DropCapsWorkSecondsFromAnOldStateFile) {
  ASSERT_TRUE(work::set_reward_address(chain(), keys_for(1).address));
  edit([&](NodeState& s) {
    s.work_seconds = 90000;
    s.validated = 2;
  });
  auto paid = work::drop_now(chain(), kT);
  ASSERT_TRUE(paid);
  EXPECT_EQ(*paid, 86402u);
  EXPECT_EQ(last_block().txs[0].work_seconds, 86400u);
}

TEST_F(WorkTest, FailedPayoutChangesNoCounter) {
  // A reward address that no longer decodes (edited state file): the payout fails.
  edit([&](NodeState& s) {
    s.reward_address = "quv1nonsense";
    s.work_seconds = 10;
    s.validated = 1;
    s.window_start = kT;
  });
  uint64_t blocks = chain().block_count();
  auto paid = work::drop_now(chain(), kT + 1);
  ASSERT_FALSE(paid);
  EXPECT_EQ(paid.error().to_string(), "Invalid QÚV address.");
  EXPECT_EQ(st().work_seconds, 10u);
  EXPECT_EQ(st().validated, 1u);
  EXPECT_EQ(st().window_start, kT);
  EXPECT_EQ(st().last_drop, 0);
  EXPECT_EQ(chain().block_count(), blocks);
}

// A payout whose state cannot be recorded is not made: the failure is reported before the
// block reaches the chain file, so a retry cannot pay twice.
TEST_F(WorkTest, UnwritableStateFailsThePayoutBeforeTheBlock) {
  ASSERT_TRUE(work::set_reward_address(chain(), keys_for(2).address));
  edit([&](NodeState& s) { s.work_seconds = 10; });
  const uint64_t blocks = chain().block_count();
  const uint64_t size = std::filesystem::file_size(chain().path());
  // The state file's place is taken by a directory: every save fails from now on.
  std::filesystem::path node = dir_ / "quv.node";
  std::filesystem::remove(node);
  std::filesystem::create_directory(node);
  std::filesystem::create_directory(node / "keep");
  for (int attempt = 0; attempt < 2; ++attempt) {
    auto paid = work::drop_now(chain(), kT);
    ASSERT_FALSE(paid);
    EXPECT_EQ(paid.error().to_string(), "Is a directory (os error 21)");
    EXPECT_EQ(chain().block_count(), blocks);
    EXPECT_EQ(std::filesystem::file_size(chain().path()), size);
    auto minted = work::mint(chain(), keys_for(3).address, 5);
    ASSERT_FALSE(minted);
    EXPECT_EQ(chain().block_count(), blocks);
  }
  EXPECT_FALSE(work::beat(chain(), kT + 1));
}

TEST_F(WorkTest, MintPaysAnyAddressAndLeavesRewardAndCountersAlone) {
  auto owner = keys_for(3);
  auto other = keys_for(4);
  ASSERT_TRUE(work::set_reward_address(chain(), owner.address));
  edit([&](NodeState& s) {
    s.work_seconds = 77;
    s.validated = 4;
    s.window_start = kT;
  });
  std::string typed = other.address;
  std::transform(typed.begin(), typed.end(), typed.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  typed = "  " + typed + " \t";

  auto block = work::mint(chain(), typed, 150000);
  ASSERT_TRUE(block) << block.error().to_string();
  EXPECT_EQ(block->height, chain().block_count() - 1);
  EXPECT_EQ(block->hash, chain().tip_hash_hex());
  EXPECT_EQ(chain().supply(), 150000u);
  EXPECT_EQ(st().reward_address, owner.address);
  EXPECT_EQ(saved().reward_address, owner.address);
  EXPECT_EQ(st().work_seconds, 77u);
  EXPECT_EQ(st().validated, 4u);
  EXPECT_EQ(st().window_start, kT);
  EXPECT_EQ(st().last_drop, 0);

  codec::Block b = last_block();
  ASSERT_EQ(b.txs.size(), 1u);
  EXPECT_EQ(b.txs[0].work_amount, 150000u);
  EXPECT_EQ(b.txs[0].work_seconds, 0u);
  EXPECT_EQ(b.txs[0].work_validated, 0u);
  EXPECT_TRUE(crypto::try_open_output(other, b.txs[0].outputs[0], b.height, "t"));
  EXPECT_FALSE(crypto::try_open_output(owner, b.txs[0].outputs[0], b.height, "t"));
}

TEST_F(WorkTest, MintRefusals) {
  struct Case {
    std::string address;
    uint64_t amount;
    std::string message;
  };
  const Case cases[] = {
      {"not an address", 0, "Nothing to pay out."},  // the amount is looked at first
      {keys_for(5).address, 0, "Nothing to pay out."},
      {"not an address", 5, "Invalid QÚV address."},
      {"", 5, "Invalid QÚV address."},
  };
  ASSERT_TRUE(work::set_reward_address(chain(), keys_for(6).address));
  uint64_t blocks = chain().block_count();
  for (const auto& c : cases) {
    auto block = work::mint(chain(), c.address, c.amount);
    ASSERT_FALSE(block) << c.address;
    EXPECT_EQ(block.error().to_string(), c.message) << c.address;
    EXPECT_EQ(chain().block_count(), blocks);
    EXPECT_EQ(st().reward_address, keys_for(6).address);
  }
}

TEST_F(WorkTest, MintWithoutRewardAddressRestoresTheEmptyOne) {
  auto block = work::mint(chain(), keys_for(8).address, 1);
  ASSERT_TRUE(block);
  EXPECT_EQ(st().reward_address, "");
  EXPECT_EQ(saved().reward_address, "");
}

TEST_F(WorkTest, RewardAddressIsTrimmedLowerCasedCheckedOrCleared) {
  const std::string addr = keys_for(10).address;
  std::string upper = addr;
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  struct Case {
    std::string typed;
    bool ok;
    std::string stored;  // after the call
  };
  const Case cases[] = {
      {" " + upper + "\n", true, addr},
      {"quv1xyz", false, addr},  // refused: the old one stays
      {"   ", true, ""},         // spaces only clear it
      {"", true, ""},
      {addr, true, addr},
      {"", true, ""},
  };
  for (const auto& c : cases) {
    auto set = work::set_reward_address(chain(), c.typed);
    EXPECT_EQ(set.has_value(), c.ok) << c.typed;
    if (!c.ok) {
      EXPECT_EQ(set.error().to_string(), "Invalid QÚV address.");
    }
    EXPECT_EQ(work::reward_address(chain()), c.stored) << c.typed;
    EXPECT_EQ(saved().reward_address, c.stored) << c.typed;
  }
}

TEST_F(WorkTest, SetPeersNormalisesAndForgetsLinksOfDroppedPeers) {
  ASSERT_TRUE(work::set_peers(chain(), {"a.example", "HTTP://B.example:7/", "c.example:9"}));
  EXPECT_EQ(st().peers,
            (std::vector<std::string>{"a.example:19191", "b.example:7", "c.example:9"}));
  edit([&](NodeState& s) {
    s.peer_link = {{"a.example:19191", "up"}, {"b.example:7", "down"}, {"c.example:9", "self"}};
  });

  ASSERT_TRUE(work::set_peers(chain(), {"c.example:9", "a.example", "d.example"}));
  EXPECT_EQ(st().peers,
            (std::vector<std::string>{"c.example:9", "a.example:19191", "d.example:19191"}));
  EXPECT_EQ(st().peer_link, (std::unordered_map<std::string, std::string>{
                                {"a.example:19191", "up"}, {"c.example:9", "self"}}));
  EXPECT_EQ(saved().peers, st().peers);

  auto bad = work::set_peers(chain(), {"ok.example", "bad_host"});
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().to_string(), "Invalid peer address.");
  EXPECT_EQ(st().peers.size(), 3u);
  EXPECT_EQ(st().peer_link.size(), 2u);

  ASSERT_TRUE(work::set_peers(chain(), {" ", ""}));
  EXPECT_EQ(st().peers, std::vector<std::string>{std::string(codec::kDefaultSeedPeer)});
  EXPECT_TRUE(st().peer_link.empty());
}

TEST_F(WorkTest, StatusReportsCappedPendingAndTheRate) {
  ASSERT_TRUE(work::set_reward_address(chain(), keys_for(11).address));
  ASSERT_TRUE(work::mint(chain(), keys_for(12).address, 500));
  edit([&](NodeState& s) {
    s.work_seconds = 90000;
    s.validated = 7;
    s.last_beat = kT;
    s.last_drop = kT - 5;
  });
  WorkStatus ws = work::status(chain());
  EXPECT_EQ(
      ws, (WorkStatus{keys_for(11).address, "0,00001 QÚV/s", 1, 90000, 86407, kT, kT - 5, 500, 7}));
}

}  // namespace

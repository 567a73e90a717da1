// The wallet-side transfer builder: note selection, outputs, signatures and refusals.
#include <gtest/gtest.h>
#include <sodium.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "chain_gen.h"
#include "core/codec.h"
#include "core/crypto.h"
#include "core/hex.h"
#include "core/transfer.h"
#include "ledger/chain.h"
#include "proc.h"

namespace fs = std::filesystem;
using codec::Tx;

namespace {

WalletKeys keys_for(uint8_t fill) {
  crypto::MasterKey master;
  std::fill(master.data(), master.data() + master.size(), fill);
  return WalletKeys::from_master(master, 0);
}

// A note as a wallet holds it, for an output that exists nowhere but here.
OpenedNote note_of(const WalletKeys& owner, int64_t amount) {
  auto out = crypto::make_output("someone", owner.box_pk, amount, "");
  EXPECT_TRUE(out);
  auto opened = crypto::try_open_output(owner, *out, 1, "txid");
  EXPECT_TRUE(opened);
  return *opened;
}

std::vector<OpenedNote> notes_of(const WalletKeys& owner, std::vector<int64_t> amounts) {
  std::vector<OpenedNote> notes;
  for (int64_t a : amounts) notes.push_back(note_of(owner, a));
  return notes;
}

class TransferTest : public ::testing::Test {
 protected:
  void SetUp() override { crypto::init(); }
  WalletKeys me_ = keys_for(1);
  WalletKeys you_ = keys_for(2);
};

TEST_F(TransferTest, RefusalsComeInTheirOrder) {
  const auto notes = notes_of(me_, {5});
  const std::string memo281 = std::string(280, 'a') + "b";
  // An address of a small-order key is well formed but no output can be sealed for it.
  const std::string small = crypto::encode_address(Key32{});
  struct Case {
    std::string name;
    std::string to;
    int64_t amount;
    std::string memo;
    std::string message;
  };
  const Case cases[] = {
      {"bad address before amount", "quv1nope", 0, "", "Invalid QÚV address."},
      {"small-order key", small, 1, "", "Invalid QÚV address."},
      {"zero", you_.address, 0, "", "Amount must be positive."},
      {"negative", you_.address, -5, memo281, "Amount must be positive."},
      {"memo", you_.address, 1, memo281, "Memo too long."},
      {"balance", you_.address, 6, "", "Insufficient balance."},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    auto r = chain::make_transfer(me_, notes, tc.to, tc.amount, tc.memo);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().to_string(), tc.message);
  }
  auto none = chain::make_transfer(me_, {}, you_.address, 1, "");
  ASSERT_FALSE(none);
  EXPECT_EQ(none.error().to_string(), "Insufficient balance.");
}

TEST_F(TransferTest, MemoLimitCountsCharactersNotBytes) {
  const auto notes = notes_of(me_, {5});
  std::string memo;
  for (int i = 0; i < 280; ++i) memo += "Ú";
  ASSERT_GT(memo.size(), 280u);
  EXPECT_TRUE(chain::make_transfer(me_, notes, you_.address, 1, memo));
  auto r = chain::make_transfer(me_, notes, you_.address, 1, memo + "x");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string(), "Memo too long.");
}

TEST_F(TransferTest, NotesAreTakenInOrderWithChangeBack) {
  const auto notes = notes_of(me_, {5, 7, 9});
  auto tx = chain::make_transfer(me_, notes, you_.address, 10, "rent");
  ASSERT_TRUE(tx) << tx.error().to_string();
  EXPECT_EQ(tx->type, codec::kTxTransfer);
  EXPECT_TRUE(tx->extra.empty());
  EXPECT_TRUE(tx->tag.empty());
  ASSERT_EQ(tx->inputs.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    auto id = chain::hex_to_32(notes[i].note_id);
    auto pk = chain::hex_to_32(notes[i].auth_pk);
    EXPECT_EQ(tx->inputs[i].note_id, *id);
    EXPECT_EQ(tx->inputs[i].nullifier, codec::nullifier(*id, *pk));
  }
  ASSERT_EQ(tx->outputs.size(), 2u);
  auto paid = crypto::try_open_output(you_, tx->outputs[0], 0, "");
  auto change = crypto::try_open_output(me_, tx->outputs[1], 0, "");
  ASSERT_TRUE(paid);
  ASSERT_TRUE(change);
  EXPECT_EQ(paid->amount, 10);
  EXPECT_EQ(change->amount, 2);
  EXPECT_EQ(paid->memo, "rent");
  EXPECT_EQ(change->memo, "rent");
  EXPECT_EQ(paid->from, me_.address);
  EXPECT_EQ(change->from, me_.address);
  EXPECT_FALSE(crypto::try_open_output(me_, tx->outputs[0], 0, ""));

  auto exact = chain::make_transfer(me_, notes, you_.address, 5, "");
  ASSERT_TRUE(exact);
  EXPECT_EQ(exact->inputs.size(), 1u);
  EXPECT_EQ(exact->outputs.size(), 1u);
}

// Each input is signed over the unsigned encoding and its note id by the note's key;
// any change to the signed bytes breaks every signature.
TEST_F(TransferTest, SignaturesCoverTheWholeTransaction) {
  const auto notes = notes_of(me_, {3, 3, 3});
  auto tx = chain::make_transfer(me_, notes, you_.address, 8, "m");
  ASSERT_TRUE(tx);
  auto verifies = [](const Tx& t, size_t i, const std::string& pk_hex) {
    Bytes m = codec::encode_tx_unsigned(t);
    bytes::put(m, t.inputs[i].note_id);
    auto pk = hex::decode(pk_hex);
    return crypto_sign_verify_detached(t.inputs[i].sig.data(), m.data(), m.size(), pk->data()) == 0;
  };
  for (size_t i = 0; i < 3; ++i) EXPECT_TRUE(verifies(*tx, i, notes[i].auth_pk));
  const Bytes m = codec::encode_tx_unsigned(*tx);
  for (size_t at : {size_t{0}, size_t{5}, m.size() / 2, m.size() - 1}) {
    Bytes changed = m;
    changed[at] ^= 1;
    Bytes signed_form = changed;
    for (const auto& in : tx->inputs) bytes::put(signed_form, in.sig);
    auto d = codec::decode_tx(signed_form);
    if (!d) continue;  // a length field now runs past the end
    for (size_t i = 0; i < 3; ++i) {
      SCOPED_TRACE(at);
      EXPECT_FALSE(verifies(d->tx, i, notes[i].auth_pk));
    }
  }
}

TEST_F(TransferTest, NoteTextsMustBeHexOfThirtyTwoBytes) {
  auto notes = notes_of(me_, {4});
  const std::pair<std::string, std::string> bad[] = {
      {std::string(63, 'a'), "hex"}, {std::string(62, 'a'), "hex len"}, {"zz", "hex"}};
  for (const auto& [text, message] : bad) {
    SCOPED_TRACE(text);
    auto by_id = notes;
    by_id[0].note_id = text;
    auto r = chain::make_transfer(me_, by_id, you_.address, 1, "");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().to_string(), message);
    auto by_key = notes;
    by_key[0].auth_pk = text;
    r = chain::make_transfer(me_, by_key, you_.address, 1, "");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().to_string(), message);
  }
  auto upper = chain::hex_to_32(std::string(64, 'A'));
  ASSERT_TRUE(upper);
  EXPECT_EQ((*upper)[0], 0xaa);
}

TEST_F(TransferTest, TooManyNotesForOneTransactionAreRefused) {
  // Every input adds 128 signed bytes; about 3100 of them pass the limit.
  std::vector<OpenedNote> notes;
  const OpenedNote one = note_of(me_, 1);
  for (int i = 0; i < 3200; ++i) notes.push_back(one.clone());
  auto r = chain::make_transfer(me_, notes, you_.address, 3200, "");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string(), "Transfer too large — spend fewer notes at once.");
  EXPECT_TRUE(chain::make_transfer(me_, notes, you_.address, 3000, ""));
}

TEST_F(TransferTest, ABuiltTransferIsAdmittedAndSealed) {
  proc::TempDir dir;
  auto opened = Chain::open(dir / "quv.chain");
  ASSERT_TRUE(opened);
  Chain& c = *opened;
  // Pay the wallet two notes in a work block, then open them as the wallet does.
  std::vector<codec::TxOutput> outs;
  for (int64_t a : {700, 500}) outs.push_back(*crypto::make_output("work", me_.box_pk, a, ""));
  Tx work = chain_gen::work_tx(outs, 1200);
  ASSERT_TRUE(c.seal_txs({work}));
  const std::string txid = hex::encode(codec::txid(work));
  std::vector<OpenedNote> notes;
  for (const auto& o : work.outputs) notes.push_back(*crypto::try_open_output(me_, o, 1, txid));

  auto tx = chain::make_transfer(me_, notes, you_.address, 1000, "thanks");
  ASSERT_TRUE(tx) << tx.error().to_string();
  auto id = c.submit_tx(*tx);
  ASSERT_TRUE(id) << id.error().to_string();
  auto sealed = [&] {
    proc::ScopedEnv confirm("QUV_CONFIRM_PEERS", "0");
    return c.seal();
  }();
  ASSERT_TRUE(sealed) << sealed.error().to_string();
  EXPECT_EQ(sealed->height, 2u);
  for (const OpenedNote& n : notes) EXPECT_FALSE(c.notes().contains(*chain::hex_to_32(n.note_id)));
  EXPECT_TRUE(c.notes().contains(codec::note_id(tx->outputs[0])));
  EXPECT_TRUE(c.notes().contains(codec::note_id(tx->outputs[1])));
}

}  // namespace

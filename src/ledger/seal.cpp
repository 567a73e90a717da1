// Sealing: picking ready mempool entries into a mined block, and work payments sealed
// alone in a block of their own.
#include <algorithm>
#include <optional>

#include "core/clock.h"
#include "core/crypto.h"
#include "core/hashing.h"
#include "core/hex.h"
#include "ledger/chain.h"
#include "ledger/nft.h"

namespace fs = std::filesystem;
using codec::Block;
using codec::Tx;

namespace {

const char* const kNothingToSeal = "Nothing to seal — mempool empty.";

}  // namespace

namespace chain {

void SealMemo::keep_only(const std::vector<Hash32>& raw_hashes) {
  std::unordered_map<Hash32, EntryCheck, IdHash> kept;
  for (const Hash32& h : raw_hashes) {
    auto it = checks_.find(h);
    if (it != checks_.end()) kept.emplace(h, std::move(it->second));
  }
  checks_ = std::move(kept);
}

}  // namespace chain

void Chain::remember_seal_checks(bool on) {
  use_seal_memo_ = on;
  seal_memo_.clear();
}

const chain::EntryCheck* Chain::seal_check(const Bytes& raw, const Hash32& raw_hash,
                                           std::optional<Tx>& decoded) {
  if (const chain::EntryCheck* c = seal_memo_.find(raw_hash)) {
    // The same test as a full validation while sealing, but for the parts that depend
    // only on the entry's bytes and the keys of its notes, which were checked before.
    bool passes = c->type != codec::kTxNftMint || (c->image && !nft_ids_.contains(*c->image));
    for (size_t k = 0; k < c->inputs.size() && passes; ++k) {
      const chain::CheckedInput& in = c->inputs[k];
      const Key32* key = notes_.find(in.note_id);
      passes = key != nullptr && *key == in.key && !nullifiers_.contains(in.nullifier);
    }
    if (passes) return c;
  }
  auto d = codec::decode_tx(raw);
  if (!d || !validate(d->tx, true)) {
    seal_memo_.forget(raw_hash);
    return nullptr;
  }
  chain::EntryCheck c;
  c.type = d->tx.type;
  c.txid_hex = hex::encode(codec::txid(d->tx));
  c.inputs.reserve(d->tx.inputs.size());
  for (const codec::TxInput& in : d->tx.inputs) {
    // Validation found every note.
    c.inputs.push_back({in.note_id, in.nullifier, *notes_.find(in.note_id)});
  }
  if (c.type == codec::kTxNftMint) {
    if (auto mint = nft::parse_extra(d->tx.extra)) c.image = mint->first;
  }
  decoded = std::move(d->tx);
  seal_memo_.remember(raw_hash, std::move(c));
  return seal_memo_.find(raw_hash);
}

Result<chain::Sealed> Chain::seal() {
  auto lock = lock_writes();
  if (!lock) return std::unexpected(lock.error());
  if (state_.mempool.empty()) return fail(QuvError::Code::NothingToSeal, kNothingToSeal);
  // Without the memo every seal checks every entry in full, as a first seal does.
  if (!use_seal_memo_) seal_memo_.clear();

  std::vector<size_t> selected_at;  // positions of the selected entries
  std::vector<size_t> gone_at;      // positions of the selected and the dropped entries
  std::vector<bool> gone_selected;  // for each of those, whether it was selected
  std::vector<Tx> selected;
  // The acknowledgements of the selected entries, which the save drops with them; they
  // come back with the entries if the block fails.
  std::vector<std::pair<std::string, std::vector<std::string>>> selected_acks;
  std::vector<Hash32> waiting;  // raw hashes of the entries looked at and kept
  chain::IdSet spent;
  uint64_t transfers = 0;
  const fs::path image_dir = nft::dir(path_);
  const Mempool& pool = state_.mempool;

  for (size_t i = 0; i < pool.size(); ++i) {
    if (selected.size() >= chain::kMaxBlockTxs) break;  // the rest is kept unread
    const Hash32 raw_hash = hashing::h32(pool[i]);
    std::optional<Tx> decoded;
    const chain::EntryCheck* c = seal_check(pool[i], raw_hash, decoded);
    bool drop = c == nullptr;
    for (size_t k = 0; !drop && k < c->inputs.size(); ++k) {
      drop = spent.contains(c->inputs[k].note_id);
    }
    if (drop) {
      seal_memo_.forget(raw_hash);
      gone_at.push_back(i);
      gone_selected.push_back(false);
      continue;
    }
    bool ready = true;
    if (c->type == codec::kTxTransfer) {
      const uint64_t need = required_confirms();
      if (need > 0) {
        auto it = state_.acks.find(c->txid_hex);
        ready = it != state_.acks.end() && it->second.size() >= need;
      }
    } else if (c->type == codec::kTxNftMint) {
      ready = c->image && nft::exists(image_dir, hex::encode(*c->image));
    }
    if (!ready) {
      waiting.push_back(raw_hash);
      continue;
    }
    if (!decoded) decoded = std::move(codec::decode_tx(pool[i])->tx);
    // Where the entry lands once the dropped ones before it are gone.
    selected_at.push_back(i - (gone_at.size() - selected_at.size()));
    gone_at.push_back(i);
    gone_selected.push_back(true);
    if (c->type == codec::kTxTransfer) ++transfers;
    for (const chain::CheckedInput& in : c->inputs) spent.insert(in.note_id);
    if (auto it = state_.acks.find(c->txid_hex); it != state_.acks.end()) {
      selected_acks.emplace_back(*it);
    }
    seal_memo_.forget(raw_hash);
    selected.push_back(std::move(*decoded));
  }
  // Checks of entries that left the mempool by other ways (an adoption, another writer)
  // are let go once they outnumber the waiting ones.
  if (seal_memo_.size() > 2 * waiting.size() + 64) seal_memo_.keep_only(waiting);

  const uint32_t validated_before = state_.validated;
  state_.validated =
      static_cast<uint32_t>(std::min<uint64_t>(uint64_t{state_.validated} + transfers, UINT32_MAX));
  std::vector<Bytes> gone = state_.mempool.remove(gone_at);
  // The selected entries, kept aside in case the block fails.
  std::vector<Bytes> taken;
  for (size_t g = 0; g < gone.size(); ++g) {
    if (gone_selected[g]) taken.push_back(std::move(gone[g]));
  }

  // When the block does not make it into the chain, the selected entries go back where
  // they were with their acknowledgements and no longer count as validated, so no
  // transfer is lost to a failed write.
  auto put_back = [&] {
    state_.mempool.restore(selected_at, std::move(taken));
    state_.validated = validated_before;
    for (auto& [txid, nodes] : selected_acks) state_.acks[txid] = std::move(nodes);
  };

  if (auto s = save_state(); !s) {
    put_back();
    return std::unexpected(s.error());
  }
  if (selected.empty()) return fail(QuvError::Code::NothingToSeal, kNothingToSeal);
  auto sealed = seal_txs(std::move(selected));
  if (!sealed) {
    put_back();
    // The failed seal is what the caller hears of; the state file is whole at every save,
    // so one that fails here is made good by the next.
    (void)save_state();
    return sealed;
  }
  // Children of the sealed transactions that an adoption set aside can follow them now;
  // a failed save is made good by the next one.
  if (retry_set_aside() > 0) (void)save_state();
  return sealed;
}

Result<Block> Chain::make_block(std::vector<Tx> txs) const {
  Block b;
  b.height = offsets_.size();
  b.timestamp = static_cast<uint64_t>(sysclock::unix_now());
  std::vector<Hash32> ids;
  ids.reserve(txs.size());
  for (const Tx& tx : txs) ids.push_back(codec::txid(tx));
  b.merkle = codec::merkle(ids);
  b.prev = tip_hash_;
  b.difficulty = b.height == 0 ? 0 : chain::kSealDifficulty;
  b.txs = std::move(txs);
  auto mined = codec::mine_header(codec::encode_header(b), b.difficulty);
  if (!mined) return std::unexpected(mined.error());
  b.nonce = bytes::load_u64(mined->data() + 80);
  b.hash = codec::block_hash(*mined);
  return b;
}

Result<chain::Sealed> Chain::seal_txs(std::vector<Tx> txs) {
  // Height and prev come from the true tip, so the lock is taken before the block is made.
  auto lock = lock_writes();
  if (!lock) return std::unexpected(lock.error());
  auto b = make_block(std::move(txs));
  if (!b) return std::unexpected(b.error());
  if (auto a = append(*b); !a) return std::unexpected(a.error());
  return chain::Sealed{b->height, hex::encode(b->hash)};
}

Result<chain::Sealed> Chain::drop_work(uint64_t amount, uint32_t seconds, uint32_t validated) {
  // The reward address is read as every writer left it.
  auto lock = lock_writes();
  if (!lock) return std::unexpected(lock.error());
  if (state_.reward_address.empty()) return fail("No reward address.");
  if (amount == 0) return fail("Nothing to pay out.");
  return pay_work(state_.reward_address, amount, seconds, validated);
}

Result<chain::Sealed> Chain::pay_work(std::string_view address, uint64_t amount, uint32_t seconds,
                                      uint32_t validated,
                                      const std::function<void(NodeState&)>& then) {
  auto lock = lock_writes();
  if (!lock) return std::unexpected(lock.error());
  auto key = crypto::decode_address(address);
  if (!key) return std::unexpected(key.error());
  Tx tx;
  tx.type = codec::kTxWork;
  tx.timestamp = static_cast<uint64_t>(sysclock::unix_now());
  tx.extra.assign({'w', 'o', 'r', 'k'});
  auto out = crypto::make_output("work", *key, static_cast<int64_t>(amount), "node-work");
  if (!out) return std::unexpected(out.error());
  tx.outputs.push_back(std::move(*out));
  tx.work_amount = amount;
  tx.work_seconds = seconds;
  tx.work_validated = validated;
  std::vector<Tx> txs;
  txs.push_back(std::move(tx));
  auto b = make_block(std::move(txs));
  if (!b) return std::unexpected(b.error());

  // The state file that records the payment is written before the block, and renamed into
  // place after it: whatever can fail (a full disk, a directory that refuses new files)
  // fails before the block is appended, so no payment is reported failed and then paid
  // again by a retry.
  NodeState next = state_;
  if (then) then(next);
  next.height = static_cast<int64_t>(offsets_.size());
  next.tip = hex::encode(b->hash);
  next.supply = supply_ + amount;
  std::optional<fsutil::PreparedFile> prepared;
  if (!hold_) {
    auto p = next.prepare_save(path_);
    if (!p) return std::unexpected(p.error());
    prepared.emplace(std::move(*p));
  }
  if (auto a = append(*b); !a) return std::unexpected(a.error());
  state_ = std::move(next);
  refresh_meta();
  if (prepared) {
    // The block is in: a rename that fails now leaves the save to the next change.
    if (prepared->commit()) {
      stamp_state();
    } else {
      dirty_ = true;
    }
  } else {
    dirty_ = true;
  }
  return chain::Sealed{b->height, hex::encode(b->hash)};
}

// Generator of valid chains for tests and benchmarks: a genesis block, then blocks that
// spend notes whose one-time keys the generator holds, with real signatures, linked, with
// the right merkle hash and (optionally) mined. Single-threaded use; deterministic for a
// seed apart from the mining, which may pick any nonce that meets the difficulty.
#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "core/bytes.h"
#include "core/codec.h"
#include "ledger/chain.h"

namespace chain_gen {

// A note the generator can spend: its id and its one-time key pair.
struct Owned {
  Hash32 note_id{};
  Key32 pk{};
  std::array<uint8_t, 64> sk{};
};

// A fresh ed25519 key pair from the random source.
Owned key_pair(std::mt19937_64& rng);

// An output whose one-time key is `owner.pk`, with random tag, ephemeral key and a sealed
// body of `body` random bytes; fills `owner.note_id`. Nodes never open outputs, so this is
// all a node sees of a real one.
codec::TxOutput output(Owned& owner, std::mt19937_64& rng, size_t body = 180);

// A work transaction (type 1) paying `amount` through the given outputs.
codec::Tx work_tx(std::vector<codec::TxOutput> outputs, uint64_t amount);

// Inputs spending `notes` (note id and right nullifier), unsigned.
std::vector<codec::TxInput> inputs_for(std::span<const Owned> notes);

// Signs input i of `tx` with `notes[i].sk` over the unsigned encoding and its note id.
void sign(codec::Tx& tx, std::span<const Owned> notes);

// A signed transfer (type 2) spending `notes` into the given outputs.
codec::Tx transfer(std::span<const Owned> notes, std::vector<codec::TxOutput> outputs);

// Finds a nonce meeting `difficulty` with every core; any such nonce, not the first.
codec::BlockHeader mine(const codec::BlockHeader& header, uint8_t difficulty);

// A linked block of `txs` at `height` after `prev`, with its merkle hash, difficulty 3
// (0 at height 0) and, when `do_mine`, a header that meets it.
codec::Block make_block(uint64_t height, const Hash32& prev, std::vector<codec::Tx> txs,
                        bool do_mine = true);

// The chain file of `blocks`: magic and one record per block.
Bytes file_bytes(std::span<const codec::Block> blocks);

// Builds a chain block by block, keeping the notes it can still spend.
class Builder {
 public:
  // `do_mine` false leaves headers unmined and `do_sign` false leaves spends unsigned:
  // such chains replay (replay checks neither) but are no valid peer chain.
  explicit Builder(uint64_t seed = 1, bool do_mine = true, bool do_sign = true);

  // The blocks so far, starting with the built-in genesis block.
  const std::vector<codec::Block>& blocks() const { return blocks_; }
  // The chain file of the blocks so far.
  Bytes bytes() const { return file_bytes(blocks_); }
  // Writes the chain file to `path`.
  void write(const std::filesystem::path& path) const;

  // A work transaction paying `n` new notes; they are spendable once its block is added.
  codec::Tx mint(size_t n);
  // A transfer of the oldest `n_in` spendable notes into `n_out` new notes.
  codec::Tx spend(size_t n_in = 1, size_t n_out = 2);
  // Appends a block of `txs` and makes the notes they created spendable.
  const codec::Block& add(std::vector<codec::Tx> txs);

  // `n` blocks of one transfer each (minting notes first when none are left).
  void one_transfer_blocks(size_t n);
  // `n` blocks of 32 transfers each, one input and two outputs apiece.
  void full_blocks(size_t n);

  // Notes that are spendable, oldest first.
  std::deque<Owned> unspent;
  std::mt19937_64 rng;

 private:
  Owned next_key();

  bool mine_;
  bool sign_;
  // One-time keys are drawn from a fixed pool: a key pair costs as much as a signature,
  // and nodes do not care whether two notes share a key.
  std::vector<Owned> keys_;
  size_t next_ = 0;
  std::vector<codec::Block> blocks_;
  std::vector<Owned> pending_;
};

// The sets that replay derives from a chain file, for comparing two ledgers.
struct Sets {
  std::vector<uint64_t> offsets;
  chain::NoteMap notes;
  chain::IdSet nullifiers;
  chain::IdSet nft_ids;
  Hash32 tip{};
  uint64_t supply = 0;
  bool operator==(const Sets&) const = default;
};
inline Sets sets_of(const Chain& c) {
  return {c.offsets(), c.notes(), c.nullifiers(), c.nft_ids(), c.tip_hash(), c.supply()};
}

}  // namespace chain_gen

// The node's ledger: the append-only chain file, the unspent notes, nullifiers and NFT ids
// replayed from it, the mempool and acknowledgements kept in the node state, sealing of
// blocks, adoption of a better peer chain, and the wallet-side transfer builder.
// A `Chain` belongs to one thread at a time (the node loop, the node UI or one command);
// `chain::make_transfer` and the other free functions are pure and safe on any thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/bytes.h"
#include "core/codec.h"
#include "core/error.h"
#include "core/fsutil.h"
#include "ledger/state.h"

struct WalletKeys;
struct OpenedNote;

namespace chain {

// The first four bytes of every chain file: "QUV" and the byte 1.
inline constexpr std::string_view kMagic{"QUV\x01", 4};
// What a reader of the chain file reports for a wrong magic and for a record cut short.
inline constexpr const char* kBadMagic = "not a QÚV chain file (magic QUV\\x01)";
inline constexpr const char* kShortRead = "failed to fill whole buffer";
// Most transactions one sealed block holds.
inline constexpr size_t kMaxBlockTxs = 32;
// Leading zero hex digits every block above the genesis block must show.
inline constexpr uint8_t kSealDifficulty = 3;
// Acknowledgements a transfer needs when QUV_CONFIRM_PEERS says nothing usable.
inline constexpr uint64_t kDefaultConfirms = 2;
// Largest signed transfer the builder hands out, in bytes.
inline constexpr size_t kMaxTransferBytes = 400000;
// Longest memo, in Unicode scalar values.
inline constexpr size_t kMaxMemoChars = 280;

// Hashes a 32-byte id for the in-memory tables. Ids in a peer's file are chosen by that
// peer, so the hash is keyed with a per-process random value rather than taken from the
// id's first bytes: a crafted chain cannot pile its ids into one run of slots.
struct IdHash {
  uint64_t operator()(const Hash32& id) const noexcept;
};

// A hash table keyed by 32-byte ids, with a value of type V (or none, for `IdSet`). Open
// addressing in one flat array: replay inserts a note and a nullifier for every output
// and input of the chain, and a node-per-entry table spends more time allocating and
// chasing pointers than hashing the chain.
template <typename V>
class IdMap {
 public:
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  void clear() {
    slots_.clear();
    size_ = 0;
  }
  // The value stored under `id`, or null.
  const V* find(const Hash32& id) const {
    if (slots_.empty()) return nullptr;
    const size_t i = locate(id, IdHash{}(id) | kUsed);
    return slots_[i].h != 0 ? &slots_[i].value : nullptr;
  }
  bool contains(const Hash32& id) const { return find(id) != nullptr; }
  // Starts loading the slot of `id` into the cache, so that a batch of lookups can wait
  // for memory together instead of one after another.
  void prefetch(const Hash32& id) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[IdHash{}(id) & (slots_.size() - 1)]);
  }
  // Stores `value` under `id` unless the id is present; true when it was new.
  bool insert(const Hash32& id, const V& value = V{}) { return put(id, value, false); }
  // Stores `value` under `id`, replacing a present value.
  void insert_or_assign(const Hash32& id, const V& value) { put(id, value, true); }
  // The value under `id`, default-made first when absent.
  V& operator[](const Hash32& id) {
    put(id, V{}, false);
    return slots_[locate(id, IdHash{}(id) | kUsed)].value;
  }
  // Removes `id`; true when it was present.
  bool erase(const Hash32& id) {
    if (slots_.empty()) return false;
    const size_t mask = slots_.size() - 1;
    size_t i = locate(id, IdHash{}(id) | kUsed);
    if (slots_[i].h == 0) return false;
    // Later entries of the same run move back, so lookups never meet a hole.
    for (size_t j = (i + 1) & mask; slots_[j].h != 0; j = (j + 1) & mask) {
      const size_t home = slots_[j].h & mask;
      const bool stays = i <= j ? (i < home && home <= j) : (i < home || home <= j);
      if (!stays) {
        slots_[i] = slots_[j];
        i = j;
      }
    }
    slots_[i].h = 0;
    --size_;
    return true;
  }
  // Calls f(id, value) for every entry, in no particular order.
  template <typename F>
  void for_each(F&& f) const {
    for (const Slot& s : slots_) {
      if (s.h != 0) f(s.key, s.value);
    }
  }
  bool operator==(const IdMap& o) const {
    if (size_ != o.size_) return false;
    for (const Slot& s : slots_) {
      if (s.h == 0) continue;
      const V* v = o.find(s.key);
      if (v == nullptr || !(*v == s.value)) return false;
    }
    return true;
  }

 private:
  // The top bit marks a used slot; the low bits pick the home slot.
  static constexpr uint64_t kUsed = uint64_t{1} << 63;
  struct Slot {
    uint64_t h = 0;
    Hash32 key{};
    [[no_unique_address]] V value{};
  };

  size_t locate(const Hash32& id, uint64_t h) const {
    const size_t mask = slots_.size() - 1;
    size_t i = h & mask;
    while (slots_[i].h != 0 && (slots_[i].h != h || slots_[i].key != id)) i = (i + 1) & mask;
    return i;
  }
  bool put(const Hash32& id, const V& value, bool replace) {
    if ((size_ + 1) * 4 > slots_.size() * 3) grow();
    const uint64_t h = IdHash{}(id) | kUsed;
    Slot& s = slots_[locate(id, h)];
    if (s.h != 0) {
      if (replace) s.value = value;
      return false;
    }
    s.h = h;
    s.key = id;
    s.value = value;
    ++size_;
    return true;
  }
  void grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 16 : old.size() * 2, Slot{});
    const size_t mask = slots_.size() - 1;
    for (const Slot& s : old) {
      if (s.h == 0) continue;
      size_t i = s.h & mask;
      while (slots_[i].h != 0) i = (i + 1) & mask;
      slots_[i] = s;
    }
  }

  std::vector<Slot> slots_;
  size_t size_ = 0;
};

// No value: a set of ids.
struct NoValue {
  bool operator==(const NoValue&) const = default;
};

// Note id to the one-time ed25519 key that must sign the note's spend.
using NoteMap = IdMap<Key32>;
// A set of 32-byte ids (nullifiers, NFT image ids).
using IdSet = IdMap<NoValue>;

// The open chain file, closed when dropped.
using Fd = fsutil::Fd;

// A block that sealing appended: its height and its hash as 64 lower-case hex digits.
struct Sealed {
  uint64_t height = 0;
  std::string hash;
  bool operator==(const Sealed&) const = default;
};

// The three preamble transactions that open every chain this node creates.
std::vector<codec::Tx> genesis_txs();
// The genesis block: height 0, timestamp 0, unmined, holding `genesis_txs`.
codec::Block genesis_block();

// Decodes hex text (either case) that must give exactly 32 bytes: "hex" or "hex len".
Result<Hash32> hex_to_32(std::string_view text);

// Builds and signs a transfer of `amount` base units to the address `to`, spending the
// given notes in order until they cover it, with change back to the sender.
Result<codec::Tx> make_transfer(const WalletKeys& keys, std::span<const OpenedNote> notes,
                                std::string_view to, int64_t amount, std::string_view memo);

}  // namespace chain

// The node's ledger object: the open chain file and every set derived from it.
class Chain {
 public:
  // The chain file's path as given to `open`.
  std::filesystem::path path;
  // File offset of each block record's length prefix, in file order.
  std::vector<uint64_t> offsets;
  // The node state loaded beside the chain file.
  NodeState state;
  // Every unspent output: note id to the key that must sign its spend.
  chain::NoteMap notes;
  // Every input nullifier ingested so far.
  chain::IdSet nullifiers;
  // Image ids of every NFT mint ingested so far.
  chain::IdSet nft_ids;
  // Hash of the last block; all zero before the first.
  Hash32 tip_hash{};
  // Sum of the work amounts of every work transaction ingested, modulo 2^64.
  uint64_t supply = 0;
  // The chain file, open for reading and writing.
  chain::Fd file;

  Chain(Chain&&) noexcept = default;
  Chain& operator=(Chain&&) noexcept = default;

  // Opens or creates the chain file and its state, replays it, and writes the genesis
  // block into a chain that has none.
  static Result<Chain> open(const std::filesystem::path& path);
  // Reads the whole file from the start and ingests every block into the current sets.
  Status replay();
  // Builds the genesis block and appends it.
  Status write_genesis();
  // Appends one block record at the end of the file (flushed to disk) and applies it.
  Status append(const codec::Block& block);
  // Applies transactions to the in-memory sets; never fails and checks nothing.
  void ingest(std::span<const codec::Tx> txs);
  // Copies height, tip hex and supply into `state`.
  void refresh_meta();
  // `tip_hash` as 64 lower-case hex digits.
  std::string tip_hash_hex() const;
  // The current length of the chain file; 0 when the file system cannot tell.
  uint64_t file_size() const;
  // The number of blocks in the chain.
  uint64_t block_count() const { return offsets.size(); }

  // Checks a transaction against the chain (and, when not sealing, the mempool).
  Status validate(const codec::Tx& tx, bool sealing) const;
  // Checks every input: known unspent note, fresh and right nullifier, good signature.
  Status validate_spends(const codec::Tx& tx) const;
  // Acknowledgements a transfer needs: QUV_CONFIRM_PEERS, read at every call, default 2.
  static uint64_t required_confirms();
  // The id this node acknowledges under: node id, else reward address, else "anonymous".
  std::string own_id() const;
  // Validates a transaction, appends it to the mempool, saves the state; returns its txid.
  Result<std::string> submit_tx(const codec::Tx& tx);
  // `submit_tx` without the save, for callers that admit many transactions and save once.
  Result<std::string> admit(const codec::Tx& tx);
  // Records another node's acknowledgement of a txid; returns the count now stored.
  Result<uint64_t> ack_tx(std::string_view txid, std::string_view node);

  // Seals up to 32 ready mempool transactions into a mined block.
  Result<chain::Sealed> seal();
  // Builds, mines and appends one block holding exactly these transactions, unchecked.
  Result<chain::Sealed> seal_txs(std::vector<codec::Tx> txs);
  // Pays `amount` to the reward address in a work transaction sealed alone in a block.
  Result<chain::Sealed> drop_work(uint64_t amount, uint32_t seconds, uint32_t validated);

  // Replaces this chain by a peer's chain file when that chain is better (longer, or as
  // long with a smaller tip hash) and valid: our genesis block, heights in order, linked,
  // proof of work, right merkle hashes, and only transactions that sealing would accept.
  // The file is replaced atomically; lost transfers and mints are submitted again.
  // Spend signatures are verified on worker threads that live only during the call.
  Status adopt_bytes(ByteView bytes);

 private:
  struct AdoptCheck;
  // A signature check: inline for admission and sealing, queued to worker threads when a
  // peer's chain is checked.
  using SigCheck = bool (*)(void* ctx, const Key32& pk, const Sig64& sig, ByteView msg,
                            const Hash32& note_id);

  Chain() = default;

  static Result<Chain> open_impl(const std::filesystem::path& path, AdoptCheck* check);
  Status replay_from(int fd, AdoptCheck* check);
  void check_block(const codec::Block& block, AdoptCheck& check) const;
  Status check_tx(const codec::Tx& tx, bool sealing, ByteView unsigned_tx, SigCheck sig,
                  void* ctx) const;
  Status check_spends(const codec::Tx& tx, ByteView unsigned_tx, SigCheck sig, void* ctx) const;

  // Mempool index: how often each txid and each pending NFT image id occurs in the
  // mempool, so that admission does not walk the whole mempool.
  struct PoolIndex {
    chain::IdMap<uint32_t> txids;
    chain::IdMap<uint32_t> nft_ids;
    // What the index was built for; a mempool changed behind its back is indexed anew.
    size_t size = 0;
    Bytes first;
    Bytes last;
    bool built = false;
  };
  const PoolIndex& pool_index() const;
  void index_add(const codec::Tx& tx, const Hash32& txid) const;
  void index_remove(const codec::Tx& tx, const Hash32& txid) const;
  void index_mark() const;

  // End of the last whole record read or written; a torn tail after the whole records of
  // the file is cut before appending.
  uint64_t end_ = 0;
  // Hash of block 0, which a peer's chain must share.
  Hash32 genesis_hash_{};
  mutable PoolIndex pool_;
};

// The node's ledger: the append-only chain file, the unspent notes, nullifiers and NFT ids
// replayed from it, the mempool and acknowledgements kept in the node state, sealing of
// blocks and adoption of a better peer chain (each in a file of its own beside this one).
// A `Chain` belongs to one thread at a time (the node loop, the node UI or one command);
// the free functions are pure and safe on any thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/bytes.h"
#include "core/codec.h"
#include "core/error.h"
#include "core/fsutil.h"
#include "ledger/genesis.h"
#include "ledger/ids.h"
#include "ledger/seal.h"
#include "ledger/state.h"

namespace chain {
class RecordReader;
struct BlockScan;
}  // namespace chain

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

// Longest node id an acknowledgement may carry. Ids are "seed-" and twelve hex digits, or a
// reward address (59 characters); anything longer is not an id this system makes.
inline constexpr size_t kMaxAckNodeId = 128;
// Node ids kept per mempool entry when QUV_CONFIRM_PEERS asks for fewer. A node has at
// most five peers of its own, and nodes that list it as their peer acknowledge too; 16
// leaves room for those, while what anyone can make a node store stays at 16 short ids
// per waiting transaction. A node that asks for more keeps as many as it asks for, so a
// transfer can always be sealed: its operator chose that bound.
inline constexpr size_t kMaxAcksPerTx = 16;

// Whether a node id may be stored with an acknowledgement: 1 to `kMaxAckNodeId` bytes of
// printable ASCII (no control characters, which would break log lines).
bool ack_node_ok(std::string_view node);
// Node ids kept per txid with the current QUV_CONFIRM_PEERS.
size_t acks_kept_per_tx();

// What an acknowledgement did: the count now stored for its txid, and whether it added a
// node id (false when it was refused, repeated or our own).
struct Acked {
  uint64_t count = 0;
  bool kept = false;
};

// A block that sealing appended: its height and its hash as 64 lower-case hex digits.
struct Sealed {
  uint64_t height = 0;
  std::string hash;
  bool operator==(const Sealed&) const = default;
};

}  // namespace chain

// The node's ledger object: the open chain file and every set derived from it. Invariant:
// the sets, the tip and the supply are what replaying the file's records yields, and the
// state's height, tip and supply copy them. Every change of the chain file or the node
// state file happens under the chain's writer lock, after taking in what other writers
// (a running node, one-shot commands) wrote meanwhile.
class Chain {
 public:
  // A writer lock held on the chain file; released when dropped (and by the last of
  // nested holds).
  class WriteLock {
   public:
    WriteLock(WriteLock&& o) noexcept : chain_(std::exchange(o.chain_, nullptr)) {}
    WriteLock& operator=(WriteLock&&) = delete;
    ~WriteLock();

   private:
    friend class Chain;
    explicit WriteLock(Chain* c) : chain_(c) {}
    Chain* chain_;
  };

  Chain(Chain&&) noexcept = default;
  Chain& operator=(Chain&&) noexcept = default;
  ~Chain();

  // Opens or creates the chain file and its state, replays it, and writes the genesis
  // block into a chain that has none.
  [[nodiscard]] static Result<Chain> open(const std::filesystem::path& path);

  // The chain file's path as given to `open`.
  const std::filesystem::path& path() const { return path_; }
  // The node state as this chain last read or wrote it.
  const NodeState& state() const { return state_; }
  // File offset of each block record's length prefix, in file order.
  const std::vector<uint64_t>& offsets() const { return offsets_; }
  // Every unspent output: note id to the key that must sign its spend.
  const chain::NoteMap& notes() const { return notes_; }
  // Every input nullifier ingested so far.
  const chain::IdSet& nullifiers() const { return nullifiers_; }
  // Image ids of every NFT mint ingested so far.
  const chain::IdSet& nft_ids() const { return nft_ids_; }
  // Hash of the last block; all zero before the first.
  const Hash32& tip_hash() const { return tip_hash_; }
  // `tip_hash` as 64 lower-case hex digits.
  std::string tip_hash_hex() const;
  // Sum of the work amounts of every work transaction ingested, modulo 2^64.
  uint64_t supply() const { return supply_; }
  // The number of blocks in the chain.
  uint64_t block_count() const { return offsets_.size(); }
  // The current length of the chain file; 0 when the file system cannot tell.
  uint64_t file_size() const;

  // Reads the whole file from the start and ingests every block into the current sets.
  [[nodiscard]] Status replay();
  // Builds the genesis block and appends it.
  [[nodiscard]] Status write_genesis();
  // Appends one block record at the end of the file (flushed to disk) and applies it.
  [[nodiscard]] Status append(const codec::Block& block);
  // Applies transactions to the in-memory sets; never fails and checks nothing.
  void ingest(std::span<const codec::Tx> txs);
  // Copies height, tip hex and supply into the state.
  void refresh_meta();

  // Checks a transaction against the chain (and, when not sealing, the mempool).
  [[nodiscard]] Status validate(const codec::Tx& tx, bool sealing) const;
  // Acknowledgements a transfer needs: QUV_CONFIRM_PEERS, read at every call, default 2.
  static uint64_t required_confirms();
  // The id this node acknowledges under: node id, else reward address, else "anonymous".
  std::string own_id() const;
  // Validates a transaction, appends it to the mempool, saves the state; returns its txid.
  // A full mempool refuses with "Mempool full.".
  [[nodiscard]] Result<std::string> submit_tx(const codec::Tx& tx);
  // `submit_tx` for callers that admit many transactions and save once: between
  // `hold_saves` and `flush_saves` it does not save; outside a hold it saves as
  // `submit_tx` does.
  [[nodiscard]] Result<std::string> admit(const codec::Tx& tx);
  // Records another node's acknowledgement of a mempool transaction and saves the state.
  // Kept only while the txid (64 lower-case hex digits) names a mempool entry, from a
  // node id that `chain::ack_node_ok` allows, up to `chain::acks_kept_per_tx` ids per txid;
  // anything else changes and saves nothing.
  [[nodiscard]] Result<chain::Acked> ack_tx(std::string_view txid, std::string_view node);

  // Seals up to 32 ready mempool transactions into a mined block.
  [[nodiscard]] Result<chain::Sealed> seal();
  // Whether the seal step remembers the checks of waiting entries between seals (on by
  // default); off, every seal checks every entry in full. The outcome is the same.
  void remember_seal_checks(bool on);
  // Re-submissions of the last adoptions waiting for their parent to reach the chain.
  const std::vector<chain::SetAside>& set_aside() const { return set_aside_; }
  // Builds, mines and appends one block holding exactly these transactions, unchecked.
  [[nodiscard]] Result<chain::Sealed> seal_txs(std::vector<codec::Tx> txs);
  // Pays `amount` to the reward address in a work transaction sealed alone in a block.
  [[nodiscard]] Result<chain::Sealed> drop_work(uint64_t amount, uint32_t seconds,
                                                uint32_t validated);
  // Pays `amount` to `address` (already checked) in a work transaction sealed alone in a
  // block; `then` changes the state in the same save as the block's own figures, so the
  // state file never misses a block that reached the chain file.
  [[nodiscard]] Result<chain::Sealed> pay_work(std::string_view address, uint64_t amount,
                                               uint32_t seconds, uint32_t validated,
                                               const std::function<void(NodeState&)>& then = {});

  // Replaces this chain by a peer's chain file when that chain is better (longer, or as
  // long with a smaller tip hash) and valid: our genesis block, heights in order, linked,
  // proof of work, right merkle hashes, and only transactions that sealing would accept.
  // The file is replaced atomically; lost transfers and mints are submitted again.
  // Spend signatures are verified on worker threads that live only during the call.
  [[nodiscard]] Status adopt_bytes(ByteView bytes);
  // `adopt_bytes` for a peer's chain file already staged beside ours (at a path that
  // `chain::staging_path` gave): it is renamed over the chain file when adopted and
  // removed otherwise, so it is gone on every path.
  [[nodiscard]] Status adopt_staged(const std::filesystem::path& staged);
  // Appends the blocks that continue our chain: `staged` (from `chain::staging_path`)
  // holds a peer's chain file from the offset of our last record on, and must begin with
  // that record byte for byte. Each block after it is checked as adoption checks it and
  // appended; a fault ends the walk with an error and keeps the blocks before it. The
  // file is removed on every path. Returns the number of blocks appended.
  [[nodiscard]] Result<uint64_t> extend_staged(const std::filesystem::path& staged);

  // Changes the node state (reward address, counters, peers, link states, node id) and
  // saves it: `edit` sees the state as every writer left it.
  [[nodiscard]] Status edit_state(const std::function<void(NodeState&)>& edit);
  // Takes the writer lock (nested holds share it) and takes in what other writers wrote
  // meanwhile; for callers that read the state and then change it in one step.
  [[nodiscard]] Result<WriteLock> lock_writes();
  // From now on admissions, acknowledgements and state edits mark the state as changed
  // instead of saving it; the writer lock stays held until `flush_saves`.
  void hold_saves();
  // Saves the state once if it changed since `hold_saves`, and ends the hold.
  [[nodiscard]] Status flush_saves();

 private:
  // Tests swap the file descriptor to make writes fail.
  friend struct ChainFaults;
  struct AdoptCheck;
  // A signature check: inline for admission and sealing, queued to worker threads when a
  // peer's chain is checked.
  using SigCheck = bool (*)(void* ctx, const Key32& pk, const Sig64& sig, ByteView msg,
                            const Hash32& note_id);

  Chain() = default;

  [[nodiscard]] static Result<Chain> open_impl(const std::filesystem::path& path,
                                               AdoptCheck* check);
  // Replays the file from its magic on, or (`from_end`) takes in the whole records after
  // the last one read.
  [[nodiscard]] Status replay_from(int fd, AdoptCheck* check, bool from_end);
  // Reads records from `r` to the end of the file and ingests them; with
  // `stop_at_damage` a record cut short or failing its checksum ends the walk quietly.
  [[nodiscard]] Status read_records(chain::RecordReader& r, AdoptCheck* check, bool stop_at_damage);
  // Grows the tables ahead of the block `scan` of the record `r` has just read, when they
  // could not take its ids.
  void make_room(const chain::RecordReader& r, const chain::BlockScan& scan);
  // Ingest, one transaction at a time: its type (supply, NFT id), each spend, each output.
  void ingest_kind(uint8_t type, uint64_t work_amount, ByteView extra);
  void ingest_spend(const Hash32& note_id, const Hash32& nullifier);
  void ingest_output(const Hash32& note_id, const Key32& key);
  // Forgets every block: no offsets, empty sets, zero tip and supply.
  void reset_ledger();
  void check_block(const codec::Block& block, AdoptCheck& check) const;
  // Adoption steps. The peer's bytes, staged beside the chain, opened and checked as a
  // chain of their own:
  [[nodiscard]] Result<Chain> verify_peer(const std::filesystem::path& staged,
                                          AdoptCheck& check) const;
  // the staged file renamed over the chain file once every check passed, with the old
  // chain's transfers and mints kept aside in `old_list`:
  [[nodiscard]] Status swap_in(Chain& peer, const std::filesystem::path& staged, AdoptCheck& check,
                               std::vector<Bytes>& old_list);
  // and the mempool and that list submitted again, but for what the peer's chain holds.
  void resubmit(const std::vector<Bytes>& old_list, const chain::IdSet& peer_txids);
  [[nodiscard]] Status check_tx(const codec::Tx& tx, bool sealing, ByteView unsigned_tx,
                                SigCheck sig, void* ctx) const;
  [[nodiscard]] Status check_spends(const codec::Tx& tx, ByteView unsigned_tx, SigCheck sig,
                                    void* ctx) const;

  // Drops acknowledgements that the rules would not keep: of txids no longer in the
  // mempool, from node ids not allowed, past the bound per txid. Every save does this.
  void prune_acks();
  // Sets a refused re-submission aside when a note it spends is one of `produced`.
  void set_aside_if_child(const codec::Tx& tx, const chain::IdSet& produced);
  // Submits again the set-aside entries whose inputs are all on the chain now, forgets
  // the expired ones and those in `on_chain`; returns how many were admitted.
  size_t retry_set_aside(const chain::IdSet* on_chain = nullptr);
  // Checks one mempool entry for sealing, from the memo when its check still holds.
  // Null when the entry is to be dropped.
  const chain::EntryCheck* seal_check(const Bytes& raw, const Hash32& raw_hash,
                                      std::optional<codec::Tx>& decoded);
  // Validates and appends one transaction to the mempool; the caller holds the lock and
  // saves.
  [[nodiscard]] Result<std::string> admit_one(const codec::Tx& tx);
  // Mines a block of exactly these transactions on the current tip.
  [[nodiscard]] Result<codec::Block> make_block(std::vector<codec::Tx> txs) const;
  // Saves the state now, or marks it changed while saves are held.
  [[nodiscard]] Status save_state();
  // Remembers how the state file looks now, to notice another writer's save later.
  void stamp_state();
  // Takes in the records and the state file that other writers wrote since we last looked.
  [[nodiscard]] Status take_in(AdoptCheck* check);
  // Takes the writer lock on the chain file when this is the outermost hold, then takes in
  // what other writers wrote.
  [[nodiscard]] Status lock_file(AdoptCheck* check = nullptr);
  void unlock_file();

  std::filesystem::path path_;
  std::vector<uint64_t> offsets_;
  NodeState state_;
  chain::NoteMap notes_;
  chain::IdSet nullifiers_;
  chain::IdSet nft_ids_;
  Hash32 tip_hash_{};
  uint64_t supply_ = 0;
  // The chain file, open for reading and writing.
  fsutil::Fd file_;
  // End of the last whole record read or written; a torn tail after the whole records of
  // the file is cut before appending.
  uint64_t end_ = 0;
  // Hash of block 0, which a peer's chain must share.
  Hash32 genesis_hash_{};
  // Nested holds of the writer lock; saves held by `hold_saves`, and whether the state
  // changed meanwhile.
  int lock_depth_ = 0;
  bool hold_ = false;
  bool dirty_ = false;
  // Whether this chain has a state file (a peer's chain opened for checking has none), and
  // whether it was read yet.
  bool own_state_ = true;
  bool loaded_ = false;
  // How the state file looked when this chain last read or wrote it.
  fsutil::FileStamp state_stamp_;
  // The checks of waiting entries that later seals reuse.
  chain::SealMemo seal_memo_;
  bool use_seal_memo_ = true;
  // Re-submissions waiting for their parent, oldest first.
  std::vector<chain::SetAside> set_aside_;
};

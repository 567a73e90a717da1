// What the seal step remembers between seals, so that a mempool of entries waiting for
// acknowledgements or images is not checked again from scratch every tick, and the
// re-submissions of an adoption that wait for their parent to reach the chain. Both live
// inside `Chain` and belong to its thread; neither is saved in the state file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/bytes.h"
#include "ledger/ids.h"

namespace chain {

// One spend of a checked entry: the note, its nullifier, and the key its signature and
// nullifier were found good for.
struct CheckedInput {
  Hash32 note_id{};
  Hash32 nullifier{};
  Key32 key{};
};

// What a full check of one mempool entry found. Signatures and nullifiers depend only on
// the entry's bytes and the keys of the notes it spends, so while every note is still
// unspent under the same key and no nullifier has been seen, the entry still passes;
// only the chain's sets need to be looked at again.
struct EntryCheck {
  uint8_t type = 0;
  std::string txid_hex;
  std::vector<CheckedInput> inputs;
  // The image id of an NFT mint.
  std::optional<Hash32> image;
};

// Entries that passed a full check, keyed by the hash of their raw bytes. Invariant: an
// entry is here only while its check still describes those bytes; its size stays within
// a small multiple of the mempool's (see `Chain::seal`).
class SealMemo {
 public:
  const EntryCheck* find(const Hash32& raw_hash) const {
    auto it = checks_.find(raw_hash);
    return it == checks_.end() ? nullptr : &it->second;
  }
  void remember(const Hash32& raw_hash, EntryCheck c) { checks_[raw_hash] = std::move(c); }
  void forget(const Hash32& raw_hash) { checks_.erase(raw_hash); }
  // Keeps only the entries under these hashes.
  void keep_only(const std::vector<Hash32>& raw_hashes);
  size_t size() const { return checks_.size(); }
  void clear() { checks_.clear(); }

 private:
  std::unordered_map<Hash32, EntryCheck, IdHash> checks_;
};

// A transaction that an adoption could not submit again because a note it spends is
// created by another re-submitted transaction that is not on the chain yet.
struct SetAside {
  Bytes raw;
  // Unix seconds at which it was set aside.
  int64_t since = 0;
};

// A re-submitted child waits this long for its parent at most. A transfer waits for
// acknowledgements for a few ticks and for a seal of at most 32 transactions; an hour
// leaves room for a long chain of children and for slow peers, and a child whose input
// was spent by another transaction does not linger for ever.
inline constexpr int64_t kSetAsideSeconds = 3600;
// Most set-aside entries, and most bytes of them together: what an adoption can lose is
// the old chain's transfers, and a peer could send a chain built to fill this list.
inline constexpr size_t kMaxSetAside = 256;
inline constexpr size_t kMaxSetAsideBytes = size_t{4} << 20;

}  // namespace chain

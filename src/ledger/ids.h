// Hash tables keyed by 32-byte ids (note ids, nullifiers, txids, image ids), used by the
// ledger's in-memory sets and the mempool index. Plain containers: one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/bytes.h"

namespace chain {

// Zeroed memory for the slot arrays of the id tables. An array of 2 MB or more is mapped
// on its own, aligned to 2 MB and offered to the kernel for huge pages: replay fills
// tables of tens of megabytes at random, and with 4 KB pages nearly every insert would
// pay a page fault on the way up and a TLB miss afterwards. Smaller arrays come from the
// heap.
void* table_alloc(size_t bytes);
void table_free(void* p, size_t bytes);

template <typename T>
struct TableAllocator {
  using value_type = T;
  TableAllocator() = default;
  template <typename U>
  TableAllocator(const TableAllocator<U>&) {}
  T* allocate(size_t n) { return static_cast<T*>(table_alloc(n * sizeof(T))); }
  void deallocate(T* p, size_t n) { table_free(p, n * sizeof(T)); }
  // Growing a vector of trivial slots leaves them as they came: zeroed.
  template <typename U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
  template <typename U>
  bool operator==(const TableAllocator<U>&) const {
    return true;
  }
};

// Hashes a 32-byte id for the in-memory tables. Ids in a peer's file are chosen by that
// peer, so the hash is keyed with a per-process random value rather than taken from the
// id's first bytes: a crafted chain cannot pile its ids into one run of slots.
struct IdHash {
  uint64_t operator()(const Hash32& id) const noexcept;
};

// A hash table keyed by 32-byte ids, with a value of type V (or none, for `IdSet`). Open
// addressing in flat arrays: replay inserts a note and a nullifier for every output and
// input of the chain, and a node-per-entry table spends more time allocating and chasing
// pointers than hashing the chain. The hashes of the slots lie in an array of their own,
// eight to a cache line, apart from the ids and values: a probe walks the small array,
// an insert into a free slot only writes the large one, and only a hash that matches
// makes a lookup read the id it has to compare.
template <typename V>
class IdMap {
 public:
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  void clear() {
    tags_.clear();
    entries_.clear();
    size_ = 0;
  }
  // Whether `more` new entries fit without the table growing.
  bool fits(size_t more) const { return (size_ + more) * 4 <= tags_.size() * 3; }
  // Makes room for `n` entries in all, so that the table does not grow before it holds them.
  void reserve(size_t n) {
    size_t slots = tags_.empty() ? kFirstSlots : tags_.size();
    while (n * 4 > slots * 3) slots *= 2;
    if (slots > tags_.size()) rehash(slots);
  }
  // The value stored under `id`, or null.
  const V* find(const Hash32& id) const {
    if (tags_.empty()) return nullptr;
    const size_t i = locate(id, IdHash{}(id) | kUsed);
    return tags_[i] != 0 ? &entries_[i].value : nullptr;
  }
  bool contains(const Hash32& id) const { return find(id) != nullptr; }
  // Starts loading the slot of `id` into the cache, so that a batch of lookups can wait
  // for memory together instead of one after another.
  void prefetch(const Hash32& id) const {
    if (tags_.empty()) return;
    const size_t i = IdHash{}(id) & (tags_.size() - 1);
    __builtin_prefetch(&tags_[i]);
    __builtin_prefetch(&entries_[i]);
  }
  // Stores `value` under `id` unless the id is present; true when it was new.
  bool insert(const Hash32& id, const V& value = V{}) {
    return (put(id, value, false) & kNew) != 0;
  }
  // Stores `value` under `id`, replacing a present value.
  void insert_or_assign(const Hash32& id, const V& value) { put(id, value, true); }
  // The value under `id`, default-made first when absent.
  V& operator[](const Hash32& id) { return entries_[put(id, V{}, false) & kIndex].value; }
  // Removes `id`; true when it was present.
  bool erase(const Hash32& id) {
    if (tags_.empty()) return false;
    const size_t mask = tags_.size() - 1;
    size_t i = locate(id, IdHash{}(id) | kUsed);
    if (tags_[i] == 0) return false;
    // Later entries of the same run move back, so lookups never meet a hole.
    for (size_t j = (i + 1) & mask; tags_[j] != 0; j = (j + 1) & mask) {
      const size_t home = tags_[j] & mask;
      const bool stays = i <= j ? (i < home && home <= j) : (i < home || home <= j);
      if (!stays) {
        tags_[i] = tags_[j];
        entries_[i] = entries_[j];
        i = j;
      }
    }
    tags_[i] = 0;
    --size_;
    return true;
  }
  // Calls f(id, value) for every entry, in no particular order.
  template <typename F>
  void for_each(F&& f) const {
    for (size_t i = 0; i < tags_.size(); ++i) {
      if (tags_[i] != 0) f(entries_[i].key, entries_[i].value);
    }
  }
  bool operator==(const IdMap& o) const {
    if (size_ != o.size_) return false;
    for (size_t i = 0; i < tags_.size(); ++i) {
      if (tags_[i] == 0) continue;
      const V* v = o.find(entries_[i].key);
      if (v == nullptr || !(*v == entries_[i].value)) return false;
    }
    return true;
  }

 private:
  // The top bit marks a used slot; the low bits pick the home slot.
  static constexpr uint64_t kUsed = uint64_t{1} << 63;
  static constexpr size_t kFirstSlots = 16;
  // What `put` returns: the slot's index, with kNew set when the id was not present.
  static constexpr size_t kNew = size_t{1} << 63;
  static constexpr size_t kIndex = kNew - 1;
  // An entry's bytes mean something only where its tag is set, so a new array of entries
  // is left unwritten.
  struct Entry {
    Hash32 key;
    [[no_unique_address]] V value;
  };
  static_assert(std::is_trivially_copyable_v<Entry>);

  size_t locate(const Hash32& id, uint64_t h) const {
    const size_t mask = tags_.size() - 1;
    size_t i = h & mask;
    while (tags_[i] != 0 && (tags_[i] != h || entries_[i].key != id)) i = (i + 1) & mask;
    return i;
  }
  size_t put(const Hash32& id, const V& value, bool replace) {
    if ((size_ + 1) * 4 > tags_.size() * 3) rehash(tags_.empty() ? kFirstSlots : tags_.size() * 2);
    const uint64_t h = IdHash{}(id) | kUsed;
    const size_t i = locate(id, h);
    if (tags_[i] != 0) {
      if (replace) entries_[i].value = value;
      return i;
    }
    tags_[i] = h;
    entries_[i].key = id;
    entries_[i].value = value;
    ++size_;
    return i | kNew;
  }
  void rehash(size_t slots) {
    std::vector<uint64_t, TableAllocator<uint64_t>> old_tags = std::move(tags_);
    std::vector<Entry, TableAllocator<Entry>> old_entries = std::move(entries_);
    // Fresh arrays: the tags come zeroed, every slot free.
    tags_.resize(slots);
    entries_.resize(slots);
    const size_t mask = slots - 1;
    for (size_t k = 0; k < old_tags.size(); ++k) {
      if (old_tags[k] == 0) continue;
      size_t i = old_tags[k] & mask;
      while (tags_[i] != 0) i = (i + 1) & mask;
      tags_[i] = old_tags[k];
      entries_[i] = old_entries[k];
    }
  }

  // The hash of each slot with kUsed set, or 0 for a free slot.
  std::vector<uint64_t, TableAllocator<uint64_t>> tags_;
  std::vector<Entry, TableAllocator<Entry>> entries_;
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

}  // namespace chain

// Hash tables keyed by 32-byte ids (note ids, nullifiers, txids, image ids), used by the
// ledger's in-memory sets and the mempool index. Plain containers: one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/bytes.h"

namespace chain {

// Memory for the slot arrays of the id tables. An array of 2 MB or more is mapped on its
// own, aligned to 2 MB and offered to the kernel for huge pages: replay fills tables of
// tens of megabytes at random, and with 4 KB pages nearly every insert would pay a page
// fault on the way up and a TLB miss afterwards. Smaller arrays come from the heap.
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
    std::vector<Slot, TableAllocator<Slot>> old = std::move(slots_);
    slots_.assign(old.empty() ? 16 : old.size() * 2, Slot{});
    const size_t mask = slots_.size() - 1;
    for (const Slot& s : old) {
      if (s.h == 0) continue;
      size_t i = s.h & mask;
      while (slots_[i].h != 0) i = (i + 1) & mask;
      slots_[i] = s;
    }
  }

  std::vector<Slot, TableAllocator<Slot>> slots_;
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

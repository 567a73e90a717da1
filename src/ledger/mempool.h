// The mempool: raw signed transactions waiting to be sealed, in arrival order, with an
// index of their txids and pending NFT image ids so that admission does not walk the list.
// It lives in the node state (`NodeState::mempool`) and is changed only through its own
// operations, so the index always describes the list exactly. Owned by one thread.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

#include "core/bytes.h"
#include "core/codec.h"
#include "ledger/ids.h"

class Mempool {
 public:
  // Most entries a mempool holds.
  static constexpr size_t kMaxEntries = 10000;
  // Most bytes of raw transactions a mempool holds.
  static constexpr size_t kMaxBytes = size_t{16} << 20;

  Mempool() = default;
  // A mempool holding these entries, in this order.
  explicit Mempool(std::vector<Bytes> entries);
  Mempool(std::initializer_list<Bytes> entries) : Mempool(std::vector<Bytes>(entries)) {}

  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  // Bytes of all raw entries together.
  size_t bytes() const { return bytes_; }
  const Bytes& operator[](size_t i) const { return entries_[i]; }
  const Bytes& front() const { return entries_.front(); }
  const Bytes& back() const { return entries_.back(); }
  auto begin() const { return entries_.begin(); }
  auto end() const { return entries_.end(); }
  const std::vector<Bytes>& entries() const { return entries_; }

  // Whether one more entry of `raw_size` bytes would pass either bound.
  bool full_for(size_t raw_size) const;
  // Whether an entry with this txid is waiting; entries that do not decode count for nothing.
  bool has_txid(const Hash32& txid) const;
  // Whether an NFT mint of this image id is waiting.
  bool has_image(const Hash32& image_id) const;

  // Appends `raw`, the signed encoding of `tx` whose txid is `txid`.
  void push(Bytes raw, const codec::Tx& tx, const Hash32& txid);
  // Appends a raw entry as it is (it may not decode).
  void push_raw(Bytes raw);
  // Removes the entries at these ascending positions and returns them in order.
  std::vector<Bytes> remove(std::span<const size_t> positions);
  // Puts entries taken by `remove` back at the positions they came from.
  void restore(std::span<const size_t> positions, std::vector<Bytes> taken);
  // Empties the mempool and returns its entries.
  std::vector<Bytes> take_all();

  bool operator==(const Mempool& o) const { return entries_ == o.entries_; }
  bool operator==(const std::vector<Bytes>& o) const { return entries_ == o; }

 private:
  void index(const Bytes& raw, int delta) const;
  // Indexes the entries once, at the first question or change: a mempool read only for
  // its bytes (the status document) never decodes them.
  void build_index() const;

  std::vector<Bytes> entries_;
  size_t bytes_ = 0;
  // How often each txid and each pending image id occurs among the entries.
  mutable chain::IdMap<uint32_t> txids_;
  mutable chain::IdMap<uint32_t> images_;
  mutable bool indexed_ = true;
};

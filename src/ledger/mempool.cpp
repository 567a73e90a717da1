#include "ledger/mempool.h"

#include <utility>

#include "ledger/nft.h"

Mempool::Mempool(std::vector<Bytes> entries) : entries_(std::move(entries)) {
  for (const Bytes& raw : entries_) bytes_ += raw.size();
  indexed_ = entries_.empty();
}

bool Mempool::full_for(size_t raw_size) const {
  return entries_.size() >= kMaxEntries || raw_size > kMaxBytes - std::min(bytes_, kMaxBytes);
}

bool Mempool::has_txid(const Hash32& txid) const {
  build_index();
  return txids_.contains(txid);
}

bool Mempool::has_image(const Hash32& image_id) const {
  build_index();
  return images_.contains(image_id);
}

void Mempool::push(Bytes raw, const codec::Tx& tx, const Hash32& txid) {
  build_index();
  ++txids_[txid];
  if (tx.type == codec::kTxNftMint) {
    if (auto mint = nft::parse_extra(tx.extra)) ++images_[mint->first];
  }
  bytes_ += raw.size();
  entries_.push_back(std::move(raw));
}

void Mempool::push_raw(Bytes raw) {
  build_index();
  index(raw, 1);
  bytes_ += raw.size();
  entries_.push_back(std::move(raw));
}

std::vector<Bytes> Mempool::remove(std::span<const size_t> positions) {
  build_index();
  std::vector<Bytes> taken;
  taken.reserve(positions.size());
  std::vector<Bytes> kept;
  kept.reserve(entries_.size() - positions.size());
  size_t p = 0;
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (p < positions.size() && positions[p] == i) {
      ++p;
      index(entries_[i], -1);
      bytes_ -= entries_[i].size();
      taken.push_back(std::move(entries_[i]));
    } else {
      kept.push_back(std::move(entries_[i]));
    }
  }
  entries_ = std::move(kept);
  return taken;
}

void Mempool::restore(std::span<const size_t> positions, std::vector<Bytes> taken) {
  build_index();
  std::vector<Bytes> merged;
  merged.reserve(entries_.size() + taken.size());
  size_t kept = 0;
  size_t p = 0;
  while (kept < entries_.size() || p < taken.size()) {
    if (p < taken.size() && positions[p] == merged.size()) {
      index(taken[p], 1);
      bytes_ += taken[p].size();
      merged.push_back(std::move(taken[p++]));
    } else if (kept < entries_.size()) {
      merged.push_back(std::move(entries_[kept++]));
    } else {
      // A position past the end: the rest goes last, in order.
      index(taken[p], 1);
      bytes_ += taken[p].size();
      merged.push_back(std::move(taken[p++]));
    }
  }
  entries_ = std::move(merged);
}

std::vector<Bytes> Mempool::take_all() {
  std::vector<Bytes> out = std::move(entries_);
  entries_.clear();
  bytes_ = 0;
  txids_.clear();
  images_.clear();
  indexed_ = true;
  return out;
}

void Mempool::index(const Bytes& raw, int delta) const {
  auto d = codec::decode_tx(raw);
  if (!d) return;
  auto bump = [delta](chain::IdMap<uint32_t>& map, const Hash32& key) {
    if (delta > 0) {
      ++map[key];
    } else if (map.contains(key) && --map[key] == 0) {
      map.erase(key);
    }
  };
  bump(txids_, codec::txid(d->tx));
  if (d->tx.type == codec::kTxNftMint) {
    if (auto mint = nft::parse_extra(d->tx.extra)) bump(images_, mint->first);
  }
}

void Mempool::build_index() const {
  if (indexed_) return;
  indexed_ = true;
  for (const Bytes& raw : entries_) index(raw, 1);
}

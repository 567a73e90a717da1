#include "chain_gen.h"

#include <sodium.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <thread>

#include "core/crypto.h"
#include "ledger/chain.h"

namespace chain_gen {

namespace {

void random_bytes(std::mt19937_64& rng, uint8_t* out, size_t n) {
  for (size_t i = 0; i < n; i += 8) {
    uint64_t v = rng();
    std::memcpy(out + i, &v, std::min<size_t>(8, n - i));
  }
}

}  // namespace

Owned key_pair(std::mt19937_64& rng) {
  std::array<uint8_t, 32> seed;
  random_bytes(rng, seed.data(), seed.size());
  Owned o;
  if (crypto_sign_seed_keypair(o.pk.data(), o.sk.data(), seed.data()) != 0) std::abort();
  return o;
}

codec::TxOutput output(Owned& owner, std::mt19937_64& rng, size_t body) {
  codec::TxOutput out;
  random_bytes(rng, out.stealth_tag.data(), out.stealth_tag.size());
  random_bytes(rng, out.eph_pub.data(), out.eph_pub.size());
  out.auth_pk = owner.pk;
  out.ciphertext.resize(body);
  random_bytes(rng, out.ciphertext.data(), body);
  owner.note_id = codec::note_id(out);
  return out;
}

codec::Tx work_tx(std::vector<codec::TxOutput> outputs, uint64_t amount) {
  codec::Tx tx;
  tx.type = codec::kTxWork;
  tx.timestamp = 1700000000;
  tx.extra = {'w', 'o', 'r', 'k'};
  tx.outputs = std::move(outputs);
  tx.work_amount = amount;
  return tx;
}

std::vector<codec::TxInput> inputs_for(std::span<const Owned> notes) {
  std::vector<codec::TxInput> ins;
  for (const Owned& n : notes) {
    codec::TxInput in;
    in.note_id = n.note_id;
    in.nullifier = codec::nullifier(n.note_id, n.pk);
    ins.push_back(in);
  }
  return ins;
}

void sign(codec::Tx& tx, std::span<const Owned> notes) {
  Bytes m = codec::encode_tx_unsigned(tx);
  const size_t len = m.size();
  m.resize(len + 32);
  for (size_t i = 0; i < tx.inputs.size() && i < notes.size(); ++i) {
    std::memcpy(m.data() + len, tx.inputs[i].note_id.data(), 32);
    crypto_sign_detached(tx.inputs[i].sig.data(), nullptr, m.data(), m.size(), notes[i].sk.data());
  }
}

codec::Tx transfer(std::span<const Owned> notes, std::vector<codec::TxOutput> outputs) {
  codec::Tx tx;
  tx.type = codec::kTxTransfer;
  tx.timestamp = 1700000000;
  tx.inputs = inputs_for(notes);
  tx.outputs = std::move(outputs);
  sign(tx, notes);
  return tx;
}

codec::BlockHeader mine(const codec::BlockHeader& header, uint8_t difficulty) {
  if (difficulty == 0) return header;
  const unsigned n = std::max(1u, std::thread::hardware_concurrency());
  std::atomic<bool> found{false};
  codec::BlockHeader result = header;
  std::atomic<uint64_t> winner{~uint64_t{0}};
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < n; ++t) {
    threads.emplace_back([&, t] {
      codec::BlockHeader h = header;
      for (uint64_t nonce = t; !found.load(std::memory_order_relaxed); nonce += n) {
        bytes::store_u64(h.data() + 80, nonce);
        if (codec::meets_difficulty(codec::block_hash(h), difficulty)) {
          uint64_t expect = ~uint64_t{0};
          if (winner.compare_exchange_strong(expect, nonce)) found = true;
          return;
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  bytes::store_u64(result.data() + 80, winner.load());
  return result;
}

codec::Block make_block(uint64_t height, const Hash32& prev, std::vector<codec::Tx> txs,
                        bool do_mine) {
  codec::Block b;
  b.height = height;
  b.timestamp = 1700000000 + height;
  b.prev = prev;
  std::vector<Hash32> ids;
  for (const codec::Tx& tx : txs) ids.push_back(codec::txid(tx));
  b.merkle = codec::merkle(ids);
  b.difficulty = height == 0 ? 0 : chain::kSealDifficulty;
  b.txs = std::move(txs);
  codec::BlockHeader h = codec::encode_header(b);
  if (do_mine) h = mine(h, b.difficulty);
  b.nonce = bytes::load_u64(h.data() + 80);
  b.hash = codec::block_hash(h);
  return b;
}

Bytes file_bytes(std::span<const codec::Block> blocks) {
  Bytes out(chain::kMagic.begin(), chain::kMagic.end());
  for (const codec::Block& b : blocks) bytes::put(out, codec::encode_record(b));
  return out;
}

Builder::Builder(uint64_t seed, bool do_mine, bool do_sign)
    : rng(seed), mine_(do_mine), sign_(do_sign) {
  blocks_.push_back(chain::genesis_block());
  for (int i = 0; i < 256; ++i) keys_.push_back(key_pair(rng));
}

Owned Builder::next_key() { return keys_[next_++ % keys_.size()]; }

void Builder::write(const std::filesystem::path& path) const {
  Bytes b = bytes();
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

codec::Tx Builder::mint(size_t n) {
  std::vector<codec::TxOutput> outs;
  for (size_t i = 0; i < n; ++i) {
    Owned o = next_key();
    outs.push_back(output(o, rng));
    pending_.push_back(o);
  }
  return work_tx(std::move(outs), 1000 * n);
}

codec::Tx Builder::spend(size_t n_in, size_t n_out) {
  std::vector<Owned> in;
  for (size_t i = 0; i < n_in && !unspent.empty(); ++i) {
    in.push_back(unspent.front());
    unspent.pop_front();
  }
  std::vector<codec::TxOutput> outs;
  for (size_t i = 0; i < n_out; ++i) {
    Owned o = next_key();
    outs.push_back(output(o, rng));
    pending_.push_back(o);
  }
  if (sign_) return transfer(in, std::move(outs));
  codec::Tx tx;
  tx.type = codec::kTxTransfer;
  tx.timestamp = 1700000000;
  tx.inputs = inputs_for(in);
  tx.outputs = std::move(outs);
  return tx;
}

const codec::Block& Builder::add(std::vector<codec::Tx> txs) {
  const codec::Block& last = blocks_.back();
  blocks_.push_back(make_block(blocks_.size(), last.hash, std::move(txs), mine_));
  for (Owned& o : pending_) unspent.push_back(o);
  pending_.clear();
  return blocks_.back();
}

void Builder::one_transfer_blocks(size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (unspent.empty()) {
      add({mint(1)});
      continue;
    }
    add({spend(1, 2)});
  }
}

void Builder::full_blocks(size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (unspent.size() < chain::kMaxBlockTxs) {
      add({mint(chain::kMaxBlockTxs)});
      continue;
    }
    std::vector<codec::Tx> txs;
    for (size_t t = 0; t < chain::kMaxBlockTxs; ++t) txs.push_back(spend(1, 2));
    add(std::move(txs));
  }
}

}  // namespace chain_gen

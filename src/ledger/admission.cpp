// Admission to the mempool and acknowledgements from other nodes.
#include <algorithm>

#include "core/hashing.h"
#include "core/hex.h"
#include "ledger/chain.h"

using codec::Tx;

std::string Chain::own_id() const {
  if (!state_.node_id.empty()) return state_.node_id;
  if (!state_.reward_address.empty()) return state_.reward_address;
  return "anonymous";
}

Result<std::string> Chain::submit_tx(const Tx& tx) {
  auto lock = lock_writes();
  if (!lock) return std::unexpected(lock.error());
  auto id = admit_one(tx);
  if (!id) return id;
  if (auto s = save_state(); !s) return std::unexpected(s.error());
  return id;
}

Result<std::string> Chain::admit(const Tx& tx) {
  // Outside a hold an admission left unsaved could be overwritten by the next writer's
  // save, so it saves as `submit_tx` does; inside one the save waits for the flush.
  return submit_tx(tx);
}

Result<std::string> Chain::admit_one(const Tx& tx) {
  // The stored entry is our own encoding; its unsigned part is what txid and signatures cover.
  Bytes raw = codec::encode_tx_signed(tx);
  const size_t n_in = tx.inputs.size() <= 0xffff ? tx.inputs.size() : 0;
  const ByteView m = ByteView(raw).first(raw.size() - 64 * n_in);
  Bytes scratch;
  if (auto v = check_tx(tx, false, m, nullptr, &scratch); !v) {
    return std::unexpected(v.error());
  }
  const Hash32 id = hashing::h32(m);
  if (state_.mempool.has_txid(id)) return fail("Transaction already known.");
  // Bounded, so that peers cannot grow the state file and every save without limit.
  if (state_.mempool.full_for(raw.size())) return fail("Mempool full.");
  state_.mempool.push(std::move(raw), tx, id);
  return hex::encode(id);
}

Result<uint64_t> Chain::ack_tx(std::string_view txid, std::string_view node) {
  auto lock = lock_writes();
  if (!lock) return std::unexpected(lock.error());
  if (node.empty() || node == own_id()) {
    auto it = state_.acks.find(std::string(txid));
    return it == state_.acks.end() ? 0 : it->second.size();
  }
  auto& list = state_.acks[std::string(txid)];
  if (std::find(list.begin(), list.end(), node) == list.end()) list.emplace_back(node);
  const uint64_t count = list.size();
  if (auto s = save_state(); !s) return std::unexpected(s.error());
  return count;
}

// Admission to the mempool and acknowledgements from other nodes.
#include <algorithm>
#include <limits>
#include <optional>

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

namespace chain {

bool ack_node_ok(std::string_view node) {
  if (node.empty() || node.size() > kMaxAckNodeId) return false;
  return std::all_of(node.begin(), node.end(), [](char c) { return c >= 0x20 && c <= 0x7e; });
}

size_t acks_kept_per_tx() {
  const uint64_t kept = std::max<uint64_t>(Chain::required_confirms(), kMaxAcksPerTx);
  return static_cast<size_t>(std::min<uint64_t>(kept, std::numeric_limits<size_t>::max()));
}

}  // namespace chain

namespace {

// The txid that a 64-digit lower-case hex text names; nothing for any other text.
std::optional<Hash32> txid_of_text(std::string_view text) {
  if (text.size() != 64) return std::nullopt;
  auto bytes = hex::decode(text);
  if (!bytes || bytes->size() != 32 || hex::encode(*bytes) != text) return std::nullopt;
  Hash32 id;
  std::copy(bytes->begin(), bytes->end(), id.begin());
  return id;
}

}  // namespace

Result<chain::Acked> Chain::ack_tx(std::string_view txid, std::string_view node) {
  auto lock = lock_writes();
  if (!lock) return std::unexpected(lock.error());
  auto it = state_.acks.find(std::string(txid));
  const uint64_t count = it == state_.acks.end() ? 0 : it->second.size();
  // What anyone may make us store is bounded: an acknowledgement lives only as long as
  // the mempool entry it names, from an id of bounded size, up to a few ids per entry.
  if (node == own_id() || !chain::ack_node_ok(node)) return chain::Acked{count, false};
  auto id = txid_of_text(txid);
  if (!id || !state_.mempool.has_txid(*id)) return chain::Acked{count, false};
  auto& list = state_.acks[std::string(txid)];
  if (std::find(list.begin(), list.end(), node) != list.end() ||
      list.size() >= chain::acks_kept_per_tx()) {
    return chain::Acked{list.size(), false};
  }
  list.emplace_back(node);
  const uint64_t now = list.size();
  if (auto s = save_state(); !s) return std::unexpected(s.error());
  return chain::Acked{now, true};
}

void Chain::prune_acks() {
  if (state_.acks.empty()) return;
  const size_t bound = chain::acks_kept_per_tx();
  for (auto it = state_.acks.begin(); it != state_.acks.end();) {
    auto& entry = *it;
    auto id = txid_of_text(entry.first);
    if (!id || !state_.mempool.has_txid(*id)) {
      it = state_.acks.erase(it);
      continue;
    }
    // The first ids in arrival order that the rules allow, each once (a list written by
    // an older writer may hold any number of any texts).
    std::vector<std::string> kept;
    for (std::string& n : entry.second) {
      if (kept.size() >= bound) break;
      if (chain::ack_node_ok(n) && std::find(kept.begin(), kept.end(), n) == kept.end()) {
        kept.push_back(std::move(n));
      }
    }
    entry.second = std::move(kept);
    it = entry.second.empty() ? state_.acks.erase(it) : std::next(it);
  }
}

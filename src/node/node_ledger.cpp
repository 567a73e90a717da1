#include "node/node_ledger.h"

namespace node {

std::vector<std::string> peers_of(const Chain& chain) { return chain.state().peers; }
const std::vector<Bytes>& mempool_of(const Chain& chain) { return chain.state().mempool.entries(); }
int64_t height_of(const Chain& chain) { return static_cast<int64_t>(chain.block_count()) - 1; }
uint64_t supply_of(const Chain& chain) { return chain.supply(); }
uint64_t work_seconds_of(const Chain& chain) { return chain.state().work_seconds; }

void set_link(Chain& chain, const std::string& peer, const char* state) {
  // Saves are held while links are set: the failure that matters is the flush's.
  (void)chain.edit_state([&](NodeState& s) { s.peer_link[peer] = state; });
}

Status fill_identity(Chain& chain, const std::string& fresh_id, const std::string& seed_peer) {
  Status first;
  auto keep = [&](Status s) {
    if (!s && first) first = std::move(s);
  };
  if (chain.state().node_id.empty()) {
    keep(chain.edit_state([&](NodeState& s) { s.node_id = fresh_id; }));
  }
  if (chain.state().peers.empty()) {
    keep(chain.edit_state([&](NodeState& s) { s.peers.push_back(seed_peer); }));
  }
  // Every edit brings height, tip and supply up to date before it saves.
  keep(chain.edit_state([](NodeState&) {}));
  return first;
}

}  // namespace node

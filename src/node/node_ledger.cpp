#include "node/node_ledger.h"

namespace node {

namespace {
// Whether the current batch changed the state without saving it.
thread_local bool batch_dirty = false;
}  // namespace

std::vector<std::string> peers_of(const Chain& chain) { return chain.state.peers; }
const std::vector<Bytes>& mempool_of(const Chain& chain) { return chain.state.mempool; }
const std::string& node_id_of(const Chain& chain) { return chain.state.node_id; }
int64_t height_of(const Chain& chain) { return static_cast<int64_t>(chain.block_count()) - 1; }
uint64_t supply_of(const Chain& chain) { return chain.supply; }
uint64_t work_seconds_of(const Chain& chain) { return chain.state.work_seconds; }

void set_link(Chain& chain, const std::string& peer, const char* state) {
  chain.state.peer_link[peer] = state;
}

void fill_identity(Chain& chain, const std::string& fresh_id, const std::string& seed_peer) {
  if (chain.state.node_id.empty()) {
    chain.state.node_id = fresh_id;
    (void)chain.state.save(chain.path);
  }
  if (chain.state.peers.empty()) {
    chain.state.peers.push_back(seed_peer);
    (void)chain.state.save(chain.path);
  }
  chain.refresh_meta();
  (void)chain.state.save(chain.path);
}

void begin_batch(Chain&) { batch_dirty = false; }

Result<std::string> admit(Chain& chain, const codec::Tx& tx) {
  auto id = chain.admit(tx);
  if (id) batch_dirty = true;
  return id;
}

Status end_batch(Chain& chain, bool force) {
  const bool dirty = batch_dirty || force;
  batch_dirty = false;
  if (!dirty) return {};
  return chain.state.save(chain.path);
}

}  // namespace node

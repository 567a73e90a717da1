// The node loop's few reaches into the ledger object beyond its operations: the peer
// list, the mempool, the link map and batched state saves. Kept in one place so that the
// loop and gossip read the ledger the same way. Loop thread only.
#pragma once

#include <string>
#include <vector>

#include "core/bytes.h"
#include "core/codec.h"
#include "core/error.h"
#include "ledger/chain.h"

namespace node {

// A copy of the node's peer endpoints, in list order.
std::vector<std::string> peers_of(const Chain& chain);
// The node's mempool entries as stored.
const std::vector<Bytes>& mempool_of(const Chain& chain);
// The node's id, or "" before it has one.
const std::string& node_id_of(const Chain& chain);
// Height of the tip block: block count minus 1.
int64_t height_of(const Chain& chain);
// Sum of every work amount in the chain.
uint64_t supply_of(const Chain& chain);
// Work seconds credited in the current window.
uint64_t work_seconds_of(const Chain& chain);

// Records the link state of one peer ("up", "down" or "self").
void set_link(Chain& chain, const std::string& peer, const char* state);
// Gives the node its id, its first peer and its chain summary where they are missing;
// saves the state when anything was set; a failed save is left for the next one.
void fill_identity(Chain& chain, const std::string& fresh_id, const std::string& seed_peer);

// Within a batch the changes a tick makes to the node state share one save at its end;
// the state file then reads as it would after one save per change.
void begin_batch(Chain& chain);
// Admits a transaction to the mempool; its save waits for `end_batch`.
Result<std::string> admit(Chain& chain, const codec::Tx& tx);
// Ends the batch with one save when anything changed (or `force`).
Status end_batch(Chain& chain, bool force = false);

}  // namespace node

// The node loop's reads of the ledger object and its few state edits (peer links, the
// node's identity), kept in one place so that the loop and gossip read the ledger the
// same way. Loop thread only.
#pragma once

#include <string>
#include <vector>

#include "core/bytes.h"
#include "ledger/chain.h"

namespace node {

// A copy of the node's peer endpoints, in list order.
std::vector<std::string> peers_of(const Chain& chain);
// The node's mempool entries as stored.
const std::vector<Bytes>& mempool_of(const Chain& chain);
// Height of the tip block: block count minus 1.
int64_t height_of(const Chain& chain);
// Sum of every work amount in the chain.
uint64_t supply_of(const Chain& chain);
// Work seconds credited in the current window.
uint64_t work_seconds_of(const Chain& chain);

// Records the link state of one peer ("up", "down" or "self"). The gossip tick sets links
// while it holds saves, so the save, and its failure, come at the tick's flush.
void set_link(Chain& chain, const std::string& peer, const char* state);
// Gives the node its id and its first peer where they are missing and brings the chain
// summary up to date, saving each; every edit is tried, and the first failed save comes back.
[[nodiscard]] Status fill_identity(Chain& chain, const std::string& fresh_id,
                                   const std::string& seed_peer);

}  // namespace node

// The genesis block that opens every chain this node creates: three preamble transactions
// whose texts fix the genesis hash and with it the identity of the chain. Pure; safe on
// any thread.
#pragma once

#include <vector>

#include "core/codec.h"

namespace chain {

// The three preamble transactions that open every chain this node creates.
std::vector<codec::Tx> genesis_txs();
// The genesis block: height 0, timestamp 0, unmined, holding `genesis_txs`.
codec::Block genesis_block();

}  // namespace chain

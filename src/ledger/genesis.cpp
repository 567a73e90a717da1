#include "ledger/genesis.h"

#include <string_view>
#include <utility>

namespace {

// The preamble texts of the genesis block. They fix the genesis hash and with it the
// identity of the chain, so they never change.
constexpr std::string_view kMeaning =
    "QÚV — meaning\n"
    "\n"
    "QÚV is a unit of time and of mutual aid. It belongs to no one and no one issues it: no "
    "bank, no company and no state stands behind it, and nobody can print more of it at will. "
    "One unit stands for a moment that one person freely gives to another.\n"
    "\n"
    "It is free to hold and free to pass on. A node earns it for the time it spends keeping "
    "the ledger, and whoever receives it may hand it on to the next neighbour who needs a "
    "helping hand now.\n"
    "\n"
    "This preamble is written into the first transactions of the chain. Every block that "
    "follows rests on it, so it cannot be rewritten without rewriting the whole chain itself.";

constexpr std::string_view kFunction =
    "QÚV — how it works\n"
    "\n"
    "The ledger is private. A transfer names no sender, no recipient and no amount in the "
    "clear: every note is sealed for its recipient, who alone can open it, and nodes check "
    "only that each spent note exists, that it is spent only once and that it is signed by its "
    "one-time key.\n"
    "\n"
    "A wallet is born from a seed of thirteen Latin words. From those words it derives its "
    "keys and its addresses again on any machine, so the words are the wallet; whoever keeps "
    "them keeps the notes, and whoever loses them loses the notes.\n"
    "\n"
    "New units are emitted only for node work: one unit of the smallest kind for each second "
    "a node keeps the ledger running, and one for each transfer it seals, paid once a day to "
    "its own operator.\n"
    "\n"
    "Blocks order the ledger. A node gathers the transfers that other nodes have seen, seals "
    "them into a block with a small proof of work and appends it to the chain, which every "
    "node copies from the others until they agree.";

constexpr std::string_view kAim =
    "QÚV — aim\n"
    "\n"
    "QÚV is a tool released for anyone and owned by no one. It asks no permission, keeps no "
    "records of who people are, and has no gatekeeper who could close the door on a neighbour "
    "or decide who may help whom.\n"
    "\n"
    "Its aim is small and near at hand: favours among neighbours, the hour spent fixing a "
    "bicycle, the meal carried to someone who is sick, the lesson given to a child next door, "
    "the shelf put up for an old friend, counted so that giving can travel further than one "
    "street or a town.\n"
    "\n"
    "Run a node, keep your words safe, and pass the units on to those who helped you. The "
    "chain remembers the favours; the people who did them remain free, and nothing here "
    "belongs to anyone but all of us.";

}  // namespace

namespace chain {

using codec::Block;
using codec::Tx;

std::vector<Tx> genesis_txs() {
  std::vector<Tx> txs;
  const std::pair<std::string_view, std::string_view> texts[] = {
      {"meaning", kMeaning}, {"function", kFunction}, {"aim", kAim}};
  for (const auto& [tag, text] : texts) {
    Tx tx;
    tx.type = codec::kTxPreamble;
    tx.extra.assign(text.begin(), text.end());
    tx.tag.assign(tag.begin(), tag.end());
    txs.push_back(std::move(tx));
  }
  return txs;
}

Block genesis_block() {
  Block b;
  b.txs = genesis_txs();
  std::vector<Hash32> ids;
  for (const Tx& tx : b.txs) ids.push_back(codec::txid(tx));
  b.merkle = codec::merkle(ids);
  b.hash = codec::block_hash(codec::encode_header(b));
  return b;
}

}  // namespace chain

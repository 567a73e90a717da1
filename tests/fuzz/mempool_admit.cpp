// Transactions and acknowledgements as the node loop applies them from its queue, on a
// small chain of a genesis block, a work payment of four notes and a transfer. Whatever
// arrives, the mempool holds each txid once and every entry is a transaction that decodes
// to its txid, a refused transaction changes nothing, an acknowledgement is counted once
// per other node, and the state file reads back as the state in memory.
//
// The input is a list of steps; each begins with a byte that picks its kind: raw bytes
// as POST /tx delivers them (a length u16, then the bytes), one of a few valid transfers
// with one byte changed (pick, position u16, xor), or an acknowledgement (of a waiting
// txid or of a text, from a node id text).
#include <set>
#include <system_error>

#include "chain_gen.h"
#include "core/crypto.h"
#include "core/hex.h"
#include "core/text.h"
#include "fuzz.h"
#include "ledger/chain.h"
#include "node/node.h"

namespace {

constexpr size_t kMaxSteps = 16;

struct Node {
  std::filesystem::path path;
  std::vector<Bytes> transfers;
  std::optional<Chain> chain;

  Node() {
    crypto::init();
    std::error_code ec;
    std::filesystem::create_directories(fuzz::scratch() / "admit", ec);
    path = fuzz::scratch() / "admit" / "quv.chain";
    chain_gen::Builder b(7, /*do_mine=*/false, /*do_sign=*/true);
    b.add({b.mint(4)});
    b.add({b.spend(1, 2)});
    // Spends of notes that are still unspent, one of them twice, and one of a note that
    // the chain already spent.
    chain_gen::Owned first = b.unspent[0];
    auto spend_of = [&](const chain_gen::Owned& note) {
      std::vector<chain_gen::Owned> notes = {note};
      chain_gen::Owned to = chain_gen::key_pair(b.rng);
      chain_gen::Owned change = chain_gen::key_pair(b.rng);
      std::vector<codec::TxOutput> outs = {chain_gen::output(to, b.rng, 64),
                                           chain_gen::output(change, b.rng, 64)};
      return codec::encode_tx_signed(chain_gen::transfer(notes, std::move(outs)));
    };
    transfers.push_back(spend_of(first));
    transfers.push_back(spend_of(first));
    transfers.push_back(spend_of(b.unspent[1]));
    transfers.push_back(codec::encode_tx_signed(b.spend(2, 1)));
    transfers.push_back(codec::encode_tx_signed(b.blocks()[2].txs[0]));
    b.write(path);
  }

  void open() {
    chain.reset();
    auto c = Chain::open(path);
    fuzz::check(c.has_value(), "open the chain");
    chain.emplace(std::move(*c));
  }
  void reset() {
    chain.reset();
    std::error_code ec;
    std::filesystem::remove(state::path_for(path.string()), ec);
    open();
  }
};

std::string text_of(fuzz::Input& in, size_t max) {
  return text::lossy_utf8(in.take(in.u8() % (max + 1)));
}

void check_mempool(const Chain& chain) {
  std::set<Hash32> ids;
  for (const Bytes& raw : chain.state().mempool) {
    auto d = codec::decode_tx(raw);
    fuzz::check(d.has_value() && d->consumed == raw.size(), "a waiting entry decodes whole");
    fuzz::check(ids.insert(codec::txid(d->tx)).second, "each txid waits once");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Node node;
  node.reset();
  Chain& chain = *node.chain;
  fuzz::Input in(data, size);
  for (size_t step = 0; step < kMaxSteps && in.left() > 0; ++step) {
    const uint8_t kind = in.u8() % 3;
    net::NetMsg msg;
    if (kind == 0) {
      ByteView raw = in.take(in.u16() % 4096);
      msg.msg = net::NetMsg::Tx{Bytes(raw.begin(), raw.end())};
    } else if (kind == 1) {
      Bytes raw = node.transfers[in.u8() % node.transfers.size()];
      const size_t at = in.u16();
      const uint8_t flip = in.u8();
      if (at < raw.size()) raw[at] ^= flip;
      msg.msg = net::NetMsg::Tx{std::move(raw)};
    } else {
      std::string txid;
      const auto& pool = chain.state().mempool;
      if ((in.u8() & 1) && !pool.empty()) {
        txid = hex::encode(codec::txid(codec::decode_tx(pool[in.u8() % pool.size()])->tx));
      } else {
        txid = text_of(in, 80);
      }
      msg.msg = net::NetMsg::Ack{txid, text_of(in, 16)};
    }

    const size_t before = chain.state().mempool.size();
    const auto acks_before = chain.state().acks;
    node::LogLine line = node::apply(chain, msg);
    if (const auto* tx = std::get_if<net::NetMsg::Tx>(&msg.msg)) {
      (void)tx;
      fuzz::check(chain.state().mempool.size() == before + (line.ok ? 1 : 0),
                  "an admitted transaction waits, a refused one changes nothing");
      fuzz::check(chain.state().acks == acks_before, "a transaction leaves the acknowledgements");
    } else {
      const auto& ack = std::get<net::NetMsg::Ack>(msg.msg);
      fuzz::check(line.ok, "an acknowledgement is taken");
      fuzz::check(chain.state().mempool.size() == before, "an acknowledgement leaves the mempool");
      auto it = chain.state().acks.find(ack.txid);
      if (ack.node_id.empty() || ack.node_id == chain.own_id()) {
        fuzz::check(chain.state().acks == acks_before, "no acknowledgement from nobody or self");
      } else {
        fuzz::check(it != chain.state().acks.end(), "an acknowledgement is recorded");
        std::set<std::string> nodes(it->second.begin(), it->second.end());
        fuzz::check(nodes.size() == it->second.size() && nodes.contains(ack.node_id),
                    "each node counts once");
      }
    }
    check_mempool(chain);
  }
  // What the state file holds is what the node had in memory.
  const std::vector<Bytes> pool = chain.state().mempool.entries();
  const auto acks = chain.state().acks;
  node.open();
  fuzz::check(node.chain->state().mempool == pool, "the mempool reads back from the state file");
  fuzz::check(node.chain->state().acks == acks, "acknowledgements read back from the state file");
  return 0;
}

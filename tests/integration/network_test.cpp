// A network of real nodes: `quv node --plain` processes, each in its own network
// namespace on one bridge. A transfer posted to one node is acknowledged by the others,
// sealed once, and every node ends on one chain; a node started late catches up; a node
// that serves a forged longer chain is refused and logged.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "chain_gen.h"
#include "core/codec.h"
#include "core/crypto.h"
#include "core/hex.h"
#include "core/seed.h"
#include "core/transfer.h"
#include "ledger/chain.h"
#include "ledger/state.h"
#include "netns.h"
#include "nodes.h"
#include "proc.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using nodes::wait_until;

class Network : public nodes::NetTest {
 protected:
  using Node = nodes::Node;

  void SetUp() override { make_net(4); }

  // A node's chain path in the scratch directory; the file is made by `peers`.
  Node make(const std::string& name, size_t index) {
    Node n{name, index, tmp_ / name / "quv.chain", nullptr};
    fs::create_directories(n.chain.parent_path());
    return n;
  }
  void set_peers(const Node& n, std::vector<std::string> peers) {
    auto o = nodes::set_peers(QUV_BIN, n.chain, peers);
    ASSERT_EQ(o.status, 0) << o.err;
  }
  void start(Node& n) {
    n.proc = nodes::start(QUV_BIN, net_->ns(n.index), n.chain, "2", out(n), err(n));
  }
  fs::path out(const Node& n) const { return tmp_ / (n.name + ".out"); }
  fs::path err(const Node& n) const { return tmp_ / (n.name + ".err"); }
  NodeState state(const Node& n) const { return nodes::state(n.chain); }
  std::string addr(const Node& n) const { return net_->addr(n.index); }

  void show_logs(const std::vector<const Node*>& nodes) const {
    for (const Node* n : nodes) {
      std::cout << "---- " << n->name << " stdout\n" << proc::slurp(out(*n));
      std::cout << "---- " << n->name << " stderr\n" << proc::slurp(err(*n));
    }
  }

  proc::TempDir dir_;
  fs::path tmp_ = dir_.path();
};

TEST_F(Network, TransferIsSealedOnceAndEveryNodeConverges) {
  Node a = make("a", 0), b = make("b", 1), c = make("c", 2), f = make("forger", 3);
  const auto test_start = Clock::now();

  // A holds a minted note of a wallet; the others start from the genesis block.
  const auto payer = WalletKeys::from_mnemonic(seed::to_mnemonic(seed::generate()));
  const auto payee = WalletKeys::from_mnemonic(seed::to_mnemonic(seed::generate()));
  auto minted = proc::run(QUV_BIN, {"--chain", a.chain.string(), "mint", payer.address, "5"});
  ASSERT_EQ(minted.status, 0) << minted.err;

  // The transfer, built from A's chain before any node runs; and the forger's chain: A's
  // chain with two more blocks that carry no proof of work.
  codec::Tx transfer;
  Bytes forged;
  {
    auto chain = Chain::open(a.chain);
    ASSERT_TRUE(chain) << chain.error().to_string();
    const std::string text = proc::slurp(a.chain);
    const Bytes file(text.begin(), text.end());
    // The mint block is the last record: find the payer's note in it.
    auto body_len = bytes::load_u32(file.data() + chain->offsets().back());
    auto block =
        codec::decode_block_body(ByteView(file).subspan(chain->offsets().back() + 4, body_len));
    ASSERT_TRUE(block);
    std::vector<OpenedNote> notes;
    for (const auto& tx : block->txs) {
      for (const auto& o : tx.outputs) {
        auto opened = crypto::try_open_output(payer, o, 1, hex::encode(codec::txid(tx)));
        if (opened) notes.push_back(*opened);
      }
    }
    ASSERT_EQ(notes.size(), 1u);
    auto t = chain::make_transfer(payer, notes, payee.address, 100000, "for the network");
    ASSERT_TRUE(t) << t.error().to_string();
    transfer = *t;

    std::mt19937_64 rng(5);
    chain_gen::Owned owner = chain_gen::key_pair(rng);
    const auto b2 = chain_gen::make_block(
        2, chain->tip_hash(), {chain_gen::work_tx({chain_gen::output(owner, rng)}, 900)}, false);
    const auto b3 = chain_gen::make_block(
        3, b2.hash, {chain_gen::work_tx({chain_gen::output(owner, rng)}, 900)}, false);
    const Bytes extra = chain_gen::file_bytes(std::vector<codec::Block>{b2, b3});
    forged = file;
    forged.insert(forged.end(), extra.begin() + 4, extra.end());
  }
  ASSERT_TRUE(proc::spit(f.chain, std::string(forged.begin(), forged.end())));

  set_peers(a, {addr(b), addr(c), addr(f)});
  set_peers(b, {addr(a), addr(c), addr(f)});
  set_peers(c, {addr(a), addr(b), addr(f)});
  set_peers(f, {"127.0.0.1"});
  for (Node* n : {&f, &a, &b, &c}) start(*n);
  const std::vector<const Node*> all{&a, &b, &c, &f};

  // B and C take A's chain (height 1), never the forger's.
  ASSERT_TRUE(wait_until([&] { return state(b).height == 1 && state(c).height == 1; },
                         std::chrono::seconds(15)))
      << (show_logs(all), "B and C did not catch up");

  const std::string id = hex::encode(codec::txid(transfer));
  auto posted = netns::call_in(net_->ns(a.index), "127.0.0.1:19191", "POST", "/tx",
                               codec::encode_tx_signed(transfer), "application/octet-stream");
  ASSERT_TRUE(posted);
  EXPECT_EQ(std::string(posted->begin(), posted->end()), R"({"ok":true})");

  auto converged = [&](std::initializer_list<const Node*> nodes) {
    const NodeState first = state(**nodes.begin());
    if (first.height != 2) return false;
    for (const Node* n : nodes) {
      const NodeState s = state(*n);
      if (s.height != 2 || s.tip != first.tip || !s.mempool.empty()) return false;
    }
    return true;
  };
  ASSERT_TRUE(wait_until(
      [&] {
        return converged({&a, &b, &c});
      },
      std::chrono::seconds(25)))
      << (show_logs(all), "the nodes did not converge");

  // Sealed once: the transfer's bytes occur once in the chain every node holds.
  const std::string raw = [&] {
    Bytes r = codec::encode_tx_signed(transfer);
    return std::string(r.begin(), r.end());
  }();
  for (const Node* n : {&a, &b, &c}) {
    const std::string file = proc::slurp(n->chain);
    const size_t at = file.find(raw);
    ASSERT_NE(at, std::string::npos) << n->name;
    EXPECT_EQ(file.find(raw, at + 1), std::string::npos) << n->name;
    EXPECT_EQ(file, proc::slurp(a.chain)) << n->name;
  }
  // B and C acknowledged it. Acknowledgements leave the state with their sealed entry;
  // the node that received one logged it.
  std::string logs;
  for (const Node* n : {&a, &b, &c}) logs += proc::slurp(out(*n));
  EXPECT_NE(logs.find("ack " + id + " from " + state(b).node_id + " ("), std::string::npos);
  EXPECT_NE(logs.find("ack " + id + " from " + state(c).node_id + " ("), std::string::npos);
  const std::set<std::string> ids{state(a).node_id, state(b).node_id, state(c).node_id,
                                  state(f).node_id};
  EXPECT_EQ(ids.size(), 4u);

  // A fourth node started late catches up by adoption.
  auto d_index = net_->add();
  ASSERT_TRUE(d_index);
  Node d = make("d", *d_index);
  set_peers(d, {addr(a)});
  start(d);
  ASSERT_TRUE(wait_until(
      [&] {
        return converged({&a, &b, &c, &d});
      },
      std::chrono::seconds(15)))
      << (show_logs({&a, &b, &c, &d, &f}), "the late node did not catch up");
  EXPECT_NE(proc::slurp(out(d)).find("chain fetched from peer"), std::string::npos);

  // The forged chain was refused, with a line saying why (and which of its blocks, shared
  // with ours, were kept), and nobody holds it.
  for (const Node* n : {&a, &b, &c}) {
    const std::string log = proc::slurp(err(*n));
    const size_t at = log.find("Peer chain rejected: ");
    ASSERT_NE(at, std::string::npos) << n->name << log;
    const size_t line = log.rfind('\n', at);
    EXPECT_EQ(log.compare(line == std::string::npos ? 0 : line + 1, 6, "sync: "), 0) << log;
    EXPECT_EQ(state(*n).peer_link[addr(f) + ":19191"], "up");
  }
  EXPECT_GE(state(f).height, 3);
  EXPECT_NE(state(f).tip, state(a).tip);
  for (const Node* n : {&a, &b, &c, &d}) EXPECT_TRUE(n->proc->alive()) << n->name;

  std::cout << "three-node log, node a:\n" << proc::slurp(out(a)) << proc::slurp(err(a));
  std::cout << "node b:\n" << proc::slurp(out(b)) << proc::slurp(err(b));
  std::cout << "took "
            << std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - test_start).count()
            << " s\n";
}

}  // namespace

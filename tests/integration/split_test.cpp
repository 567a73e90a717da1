// A network split and its heal with real nodes (`quv node --plain`, each in its own
// network namespace on one bridge). While node C is cut off it seals a transfer and a
// second transfer that spends the first one's output; A and B seal a longer chain. After
// the heal C adopts the longer chain, and both of its lost transfers are sealed again,
// the child after its parent, on every node.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "chain_gen.h"
#include "core/codec.h"
#include "core/crypto.h"
#include "core/hex.h"
#include "ledger/state.h"
#include "netns.h"
#include "nodes.h"
#include "proc.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using chain_gen::Owned;
using nodes::ip_bin;
using nodes::wait_until;

const std::string kQuv = nodes::bin_under_test(QUV_BIN);

std::string text(const Bytes& b) { return std::string(b.begin(), b.end()); }

class Split : public nodes::NetTest {
 protected:
  using Node = nodes::Node;

  void SetUp() override { make_net(3); }

  Node make(const std::string& name, size_t index, const chain_gen::Builder& gen) {
    Node n{name, index, dir_ / name / "quv.chain", nullptr};
    fs::create_directories(n.chain.parent_path());
    gen.write(n.chain);
    return n;
  }
  void set_peers(const Node& n, const std::vector<const Node*>& others) {
    std::vector<std::string> peers;
    for (const Node* o : others) peers.push_back(net_->addr(o->index));
    auto o = nodes::set_peers(kQuv, n.chain, peers);
    ASSERT_EQ(o.status, 0) << o.err;
  }
  void start(Node& n) {
    n.proc = nodes::start(kQuv, net_->ns(n.index), n.chain, "1", dir_ / (n.name + ".out"),
                          dir_ / (n.name + ".err"));
  }
  // Takes node n's one link down or up again.
  void link(const Node& n, bool up) {
    auto o =
        proc::run(ip_bin(), {"-n", net_->ns(n.index), "link", "set", "e0", up ? "up" : "down"});
    ASSERT_EQ(o.status, 0) << o.err;
  }
  NodeState state(const Node& n) const { return nodes::state(n.chain); }
  bool post(const Node& n, const std::string& path, const Bytes& body, const std::string& type) {
    auto r = netns::call_in(net_->ns(n.index), "127.0.0.1:19191", "POST", path, body, type);
    return r && text(*r) == R"({"ok":true})";
  }
  bool post_tx(const Node& n, const codec::Tx& tx) {
    return post(n, "/tx", codec::encode_tx_signed(tx), "application/octet-stream");
  }
  // An acknowledgement as a peer on the same side of the split would send it.
  bool ack(const Node& n, const codec::Tx& tx, const std::string& from) {
    const std::string body =
        R"({"node_id":")" + from + R"(","txid":")" + hex::encode(codec::txid(tx)) + R"("})";
    return post(n, "/ack", Bytes(body.begin(), body.end()), "application/json");
  }
  // Whether the transaction's bytes are in the node's chain file.
  bool sealed_in(const Node& n, const codec::Tx& tx) const {
    return proc::slurp(n.chain).find(text(codec::encode_tx_signed(tx))) != std::string::npos;
  }
  void show_logs(const std::vector<const Node*>& nodes) const {
    for (const Node* n : nodes) {
      std::cout << "---- " << n->name << " stdout\n" << proc::slurp(dir_ / (n->name + ".out"));
      std::cout << "---- " << n->name << " stderr\n" << proc::slurp(dir_ / (n->name + ".err"));
    }
  }

  proc::TempDir dir_;
};

TEST_F(Split, ChainedTransfersOfTheLosingSideAreSealedAfterTheHeal) {
  // Every node starts from the same chain: the genesis block and a block of notes that
  // the test can spend.
  chain_gen::Builder gen(21);
  gen.add({gen.mint(6)});
  Node a = make("a", 0, gen), b = make("b", 1, gen), c = make("c", 2, gen);
  set_peers(a, {&b, &c});
  set_peers(b, {&a, &c});
  set_peers(c, {&a, &b});
  for (Node* n : {&a, &b, &c}) start(*n);
  const std::vector<const Node*> all{&a, &b, &c};
  ASSERT_TRUE(wait_until(
      [&] {
        for (const Node* n : all) {
          if (state(*n).peer_link.size() != 2) return false;
        }
        return true;
      },
      std::chrono::seconds(15)))
      << (show_logs(all), "the nodes did not start");

  // The losing side: C alone seals a parent and a child that spends its output.
  link(c, false);
  std::mt19937_64 rng(4);
  Owned mid = chain_gen::key_pair(rng);
  Owned end = chain_gen::key_pair(rng);
  const codec::Tx parent =
      chain_gen::transfer(std::vector<Owned>{gen.unspent[0]}, {chain_gen::output(mid, rng)});
  const codec::Tx child =
      chain_gen::transfer(std::vector<Owned>{mid}, {chain_gen::output(end, rng)});
  int64_t want = 2;
  for (const codec::Tx* tx : {&parent, &child}) {
    ASSERT_TRUE(post_tx(c, *tx));
    ASSERT_TRUE(wait_until([&] { return state(c).mempool.size() == 1; }, std::chrono::seconds(5)));
    ASSERT_TRUE(ack(c, *tx, "c-side-peer"));
    ASSERT_TRUE(wait_until([&] { return state(c).height == want; }, std::chrono::seconds(10)))
        << (show_logs(all), "C did not seal");
    ++want;
  }
  ASSERT_TRUE(sealed_in(c, parent) && sealed_in(c, child));

  // The winning side: A and B seal three blocks of their own, one transfer each.
  std::vector<codec::Tx> winners;
  for (int i = 1; i <= 3; ++i) {
    Owned to = chain_gen::key_pair(rng);
    winners.push_back(
        chain_gen::transfer(std::vector<Owned>{gen.unspent[i]}, {chain_gen::output(to, rng)}));
    ASSERT_TRUE(post_tx(a, winners.back()));
    ASSERT_TRUE(wait_until([&] { return state(a).height == 1 + i && state(b).height == 1 + i; },
                           std::chrono::seconds(20)))
        << (show_logs(all), "A and B did not seal");
  }
  ASSERT_GT(state(a).height, state(c).height);

  // The heal: C adopts the longer chain and loses its two blocks; what they held comes
  // back into the network and is sealed again.
  const auto healed = Clock::now();
  link(c, true);
  std::vector<const codec::Tx*> every{&parent, &child};
  for (const codec::Tx& t : winners) every.push_back(&t);
  double parent_s = -1;
  const bool done = wait_until(
      [&] {
        if (parent_s < 0 && sealed_in(a, parent) && !sealed_in(a, child)) {
          parent_s = std::chrono::duration<double>(Clock::now() - healed).count();
        }
        const NodeState first = state(a);
        for (const Node* n : all) {
          const NodeState s = state(*n);
          if (s.tip != first.tip || !s.mempool.empty()) return false;
          for (const codec::Tx* tx : every) {
            if (!sealed_in(*n, *tx)) return false;
          }
        }
        return true;
      },
      std::chrono::seconds(60));
  const double all_s = std::chrono::duration<double>(Clock::now() - healed).count();
  std::cout << "after the heal: parent sealed on A after " << parent_s
            << " s, everything sealed and one chain on every node after " << all_s << " s (height "
            << state(a).height << ")\n";
  ASSERT_TRUE(done) << (show_logs(all), "a transfer was lost or the nodes did not converge");
  // Each once: the child is not in the chain twice.
  const std::string file = proc::slurp(a.chain);
  const std::string raw = text(codec::encode_tx_signed(child));
  EXPECT_EQ(file.find(raw, file.find(raw) + 1), std::string::npos);
  for (const Node* n : all) EXPECT_TRUE(n->proc->alive()) << n->name;
}

}  // namespace

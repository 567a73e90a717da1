// Three real nodes under load: `quv node --plain` processes, each in its own network
// namespace, share a chain whose one block pays 1 000 notes; 1 000 transfers spending them
// are posted to the nodes in turn. Every transfer must be sealed exactly once and the
// nodes must end on one chain; each node's resident memory is printed at its peak and
// 15 seconds after the mempools have drained, when a node that gives memory back is small
// again.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "chain_gen.h"
#include "core/codec.h"
#include "core/crypto.h"
#include "core/hex.h"
#include "ledger/chain.h"
#include "ledger/state.h"
#include "netns.h"
#include "nodes.h"
#include "proc.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using nodes::wait_until;

constexpr size_t kTransfers = 1000;
constexpr size_t kNodes = 3;
// What a node may hold at its busiest, and once it has drained and rested.
constexpr double kPeakLimitMb = 256;
constexpr double kRestLimitMb = 100;

// A /proc/<pid>/status field in MB ("VmRSS", "VmHWM"), 0 when the process is gone.
double proc_mb(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.starts_with(field + ":")) return std::stod(line.substr(field.size() + 1)) / 1024.0;
  }
  return 0;
}

struct Node {
  std::string name;
  fs::path chain;
  std::unique_ptr<netns::Bg> proc;
  double peak_mb = 0;
};

TEST(Load, ThousandTransfersThroughThreeNodesAndMemoryComesBack) {
  crypto::init();
  std::string why;
  auto net = netns::Net::make(kNodes, &why);
  if (!net) GTEST_SKIP() << "cannot create network namespaces (needs root): " << why;
  proc::TempDir dir;

  // The shared chain: genesis and one block of 1 000 notes; then the transfers.
  chain_gen::Builder b(7);
  const fs::path seed_chain = dir / "seed" / "quv.chain";
  fs::create_directories(seed_chain.parent_path());
  {
    auto c = Chain::open(seed_chain);
    ASSERT_TRUE(c) << c.error().to_string();
    codec::Tx paid = b.mint(kTransfers);
    ASSERT_TRUE(c->seal_txs({paid}));
    b.add({paid});
  }
  std::vector<Bytes> transfers;
  for (size_t i = 0; i < kTransfers; ++i)
    transfers.push_back(codec::encode_tx_signed(b.spend(1, 2)));

  std::vector<Node> nodes(kNodes);
  for (size_t i = 0; i < kNodes; ++i) {
    nodes[i].name = std::string(1, static_cast<char>('a' + i));
    nodes[i].chain = dir / nodes[i].name / "quv.chain";
    fs::create_directories(nodes[i].chain.parent_path());
    fs::copy_file(seed_chain, nodes[i].chain);
    std::vector<std::string> peers;
    for (size_t j = 0; j < kNodes; ++j) {
      if (j != i) peers.push_back(net->addr(j));
    }
    auto o = ::nodes::set_peers(QUV_BIN, nodes[i].chain, peers);
    ASSERT_EQ(o.status, 0) << o.err;
  }
  auto out = [&](const Node& n) { return dir / (n.name + ".out"); };
  auto err = [&](const Node& n) { return dir / (n.name + ".err"); };
  auto state = [&](const Node& n) { return ::nodes::state(n.chain); };
  auto logs = [&] {
    std::string all;
    for (const Node& n : nodes) {
      all += "---- " + n.name + "\n" + proc::slurp(err(n)).substr(0, 4000);
    }
    return all;
  };
  for (size_t i = 0; i < kNodes; ++i) {
    nodes[i].proc =
        ::nodes::start(QUV_BIN, net->ns(i), nodes[i].chain, "2", out(nodes[i]), err(nodes[i]));
  }
  ASSERT_TRUE(wait_until(
      [&] {
        for (const Node& n : nodes) {
          if (proc::slurp(out(n)).find("Ctrl+C to stop.") == std::string::npos) return false;
        }
        return true;
      },
      std::chrono::seconds(10)))
      << "the nodes did not start\n"
      << logs();
  auto sample = [&] {
    for (Node& n : nodes) n.peak_mb = std::max(n.peak_mb, proc_mb(n.proc->pid(), "VmHWM"));
  };

  // Feed: the transfers go to the nodes in turn, as wallets would spread them.
  const auto start = Clock::now();
  size_t refused = 0;
  for (size_t i = 0; i < transfers.size(); ++i) {
    auto r = netns::call_in(net->ns(i % kNodes), "127.0.0.1:19191", "POST", "/tx", transfers[i],
                            "application/octet-stream");
    if (!r || std::string(r->begin(), r->end()) != R"({"ok":true})") ++refused;
  }
  ASSERT_EQ(refused, 0u);
  const double fed_s = std::chrono::duration<double>(Clock::now() - start).count();

  // Sealed and converged: every mempool empty, one tip, and every transfer in the chain.
  const uint64_t min_height = 1 + (kTransfers + chain::kMaxBlockTxs - 1) / chain::kMaxBlockTxs;
  const bool drained = wait_until(
      [&] {
        sample();
        const NodeState first = state(nodes[0]);
        if (first.height < static_cast<int64_t>(min_height)) return false;
        for (const Node& n : nodes) {
          const NodeState s = state(n);
          if (!s.mempool.empty() || s.tip != first.tip || s.height != first.height) return false;
        }
        return true;
      },
      std::chrono::seconds(150));
  const double drained_s = std::chrono::duration<double>(Clock::now() - start).count();
  ASSERT_TRUE(drained) << "the nodes did not seal everything and converge\n" << logs();

  auto chain = Chain::open(nodes[0].chain);
  ASSERT_TRUE(chain) << chain.error().to_string();
  const std::string file = proc::slurp(nodes[0].chain);
  size_t sealed = 0;
  for (const Bytes& raw : transfers) {
    const std::string needle(raw.begin(), raw.end());
    const size_t at = file.find(needle);
    if (at != std::string::npos && file.find(needle, at + 1) == std::string::npos) ++sealed;
  }
  EXPECT_EQ(sealed, kTransfers);
  for (const Node& n : nodes) EXPECT_EQ(proc::slurp(n.chain), file) << n.name;

  std::vector<double> drained_mb;
  for (const Node& n : nodes) drained_mb.push_back(proc_mb(n.proc->pid(), "VmRSS"));
  std::this_thread::sleep_for(std::chrono::seconds(15));
  sample();
  std::cout << "fed " << kTransfers << " transfers in " << fed_s
            << " s; sealed and converged after " << drained_s << " s at height "
            << state(nodes[0]).height << "\n";
  for (size_t i = 0; i < kNodes; ++i) {
    const Node& n = nodes[i];
    const double rest = proc_mb(n.proc->pid(), "VmRSS");
    std::cout << "node " << n.name << ": RSS peak " << n.peak_mb << " MB, at drain "
              << drained_mb[i] << " MB, 15 s later " << rest << " MB\n";
    EXPECT_TRUE(n.proc->alive()) << n.name;
    EXPECT_LE(n.peak_mb, kPeakLimitMb) << n.name;
    EXPECT_LE(rest, kRestLimitMb) << n.name;
  }
}

}  // namespace

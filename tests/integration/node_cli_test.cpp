// `quv node` as an operator starts it: with standard output redirected it runs the plain
// loop without being asked, names itself once and gets the seed peer; a second node on
// the same machine stops with the port-in-use text. Runs in a network namespace of its
// own, as the node port is fixed.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>

#include "core/peers.h"
#include "ledger/state.h"
#include "netns.h"
#include "proc.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

TEST(QuvNode, PlainLoopWhenRedirectedAndOneNodePerPort) {
  std::string why;
  auto net = netns::Net::make(1, &why);
  if (!net) GTEST_SKIP() << "cannot create network namespaces (needs root): " << why;
  proc::TempDir dir;
  const std::string ip = fs::exists("/usr/sbin/ip") ? "/usr/sbin/ip" : "/sbin/ip";
  const fs::path chain = dir / "first" / "quv.chain";
  fs::create_directories(chain.parent_path());

  // No --plain: the output is a file, so the plain loop runs.
  netns::Bg first({ip, "netns", "exec", net->ns(0), QUV_BIN, "--chain", chain.string(), "node"}, {},
                  dir / "first.out", dir / "first.err");
  const std::string want_start =
      "listen 0.0.0.0:19191  (P2P / wallet RPC)\n"
      "QÚV node  file=" +
      chain.string() + "\nheight=0  2494 bytes  reward=(no address)\n" +
      "0,00001 QÚV/s · cap 0,86400/day · +0,00001 per tx · drop 24h · P2P :19191\n"
      "Ctrl+C to stop.\n";
  const auto end = Clock::now() + std::chrono::seconds(15);
  while (Clock::now() < end && proc::slurp(dir / "first.out").size() < want_start.size()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(proc::slurp(dir / "first.out"), want_start) << proc::slurp(dir / "first.err");
  ASSERT_TRUE(first.alive());

  // A fresh node names itself with random digits and takes the seed peer.
  auto st = state::parse(proc::slurp(state::path_for(chain)));
  ASSERT_TRUE(st);
  EXPECT_TRUE(std::regex_match(st->node_id, std::regex("seed-[0-9a-f]{12}"))) << st->node_id;
  EXPECT_NE(st->node_id, "seed-" + st->tip.substr(0, 12));
  EXPECT_EQ(st->peers, std::vector<std::string>{std::string(codec::kDefaultSeedPeer)});

  // A second node in the same namespace finds the port taken.
  proc::Spec second;
  second.bin = ip;
  second.args = {"netns", "exec",   net->ns(0), QUV_BIN, "--chain", (dir / "second.chain").string(),
                 "node",  "--plain"};
  second.timeout = std::chrono::milliseconds(15000);
  auto o = proc::run(second);
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(o.err,
            "Error: Port 19191 is already in use — a node is running. In a terminal, `quv node` "
            "attaches to it.\n");
  EXPECT_TRUE(first.alive());
}

}  // namespace

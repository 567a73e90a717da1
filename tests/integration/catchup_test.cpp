// A follower keeps up with a leader block by block: two real nodes, each in its own
// network namespace, on chains of 1 000 and 30 000 blocks. The leader gains blocks from
// `quv mint` beside it; the follower, whose chain is a prefix of the leader's, fetches
// only the bytes past its own chain and appends them. Printed per new block: the bytes
// the follower received (its interface counter) and the CPU time it spent, which must not
// grow with the chain's length.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "chain_gen.h"
#include "core/crypto.h"
#include "core/seed.h"
#include "netns.h"
#include "nodes.h"
#include "proc.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using nodes::ip_bin;

struct Figures {
  double bytes_per_block = 0;
  double cpu_ms_per_block = 0;
  double median_s = 0;
  double peak_rss_mb = 0;
};

class CatchUp : public nodes::NetTest {
 protected:
  void SetUp() override { make_net(2); }

  int64_t height(size_t i) { return nodes::height(net_->ns(i)); }
  // Bytes received on the namespace's link to the bridge.
  uint64_t rx_bytes(size_t i) {
    auto o = proc::run(
        ip_bin(), {"netns", "exec", net_->ns(i), "cat", "/sys/class/net/e0/statistics/rx_bytes"});
    return o.status == 0 ? std::stoull(o.out) : 0;
  }
  // User and system CPU time of a process in milliseconds.
  static double cpu_ms(pid_t pid) {
    const std::string stat = proc::slurp("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream in(stat.substr(stat.rfind(')') + 2));
    std::string field;
    uint64_t utime = 0, stime = 0;
    for (int i = 3; i <= 15 && in >> field; ++i) {
      if (i == 14) utime = std::stoull(field);
      if (i == 15) stime = std::stoull(field);
    }
    return 1000.0 * static_cast<double>(utime + stime) /
           static_cast<double>(::sysconf(_SC_CLK_TCK));
  }
  static double peak_rss_mb(pid_t pid) {
    const std::string status = proc::slurp("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find("VmHWM:");
    return at == std::string::npos ? -1 : std::stod(status.substr(at + 6)) / 1024.0;
  }

  // Both nodes on the same chain of `blocks` blocks; the leader gains `rounds` blocks one
  // at a time and the follower catches up with each before the next.
  Figures follow(size_t blocks, size_t rounds) {
    Figures f;
    proc::TempDir dir;
    const fs::path lead = dir / "lead" / "quv.chain";
    const fs::path follow = dir / "follow" / "quv.chain";
    {
      // Old blocks need no proof of work: only new blocks are checked by the follower.
      chain_gen::Builder b(blocks, false, true);
      b.one_transfer_blocks(blocks - 1);
      fs::create_directories(lead.parent_path());
      fs::create_directories(follow.parent_path());
      b.write(lead);
      b.write(follow);
    }
    const std::string lead_addr = net_->addr(0) + ":19191";
    const std::string follow_addr = net_->addr(1) + ":19191";
    EXPECT_EQ(nodes::set_peers(QUV_BIN, lead, {follow_addr}).status, 0);
    EXPECT_EQ(nodes::set_peers(QUV_BIN, follow, {lead_addr}).status, 0);
    auto start = [&](size_t i, const fs::path& chain) {
      return nodes::start(QUV_BIN, net_->ns(i), chain, std::nullopt,
                          dir / ("out" + std::to_string(i)), dir / ("err" + std::to_string(i)));
    };
    auto leader = start(0, lead);
    auto follower = start(1, follow);
    nodes::wait_until([&] { return height(0) >= 0 && height(1) >= 0; }, std::chrono::seconds(30),
                      std::chrono::milliseconds(100));
    EXPECT_EQ(height(1), static_cast<int64_t>(blocks) - 1);
    std::this_thread::sleep_for(std::chrono::seconds(2));

    const std::string payee =
        WalletKeys::from_mnemonic(seed::to_mnemonic(seed::generate())).address;
    const uint64_t rx0 = rx_bytes(1);
    const double cpu0 = cpu_ms(follower->pid());
    std::vector<double> waits;
    for (size_t r = 0; r < rounds; ++r) {
      auto minted = proc::run(QUV_BIN, {"--chain", lead.string(), "mint", payee, "1"});
      EXPECT_EQ(minted.status, 0) << minted.err;
      const int64_t want = static_cast<int64_t>(blocks + r);
      const auto t0 = Clock::now();
      while (height(1) < want && Clock::now() - t0 < std::chrono::seconds(15)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      waits.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
      EXPECT_EQ(height(1), want) << "round " << r;
    }
    const uint64_t rx1 = rx_bytes(1);
    const double cpu1 = cpu_ms(follower->pid());
    f.peak_rss_mb = peak_rss_mb(follower->pid());
    leader->stop();
    follower->stop();
    EXPECT_EQ(proc::slurp(follow), proc::slurp(lead));
    std::sort(waits.begin(), waits.end());
    f.bytes_per_block = static_cast<double>(rx1 - rx0) / static_cast<double>(rounds);
    f.cpu_ms_per_block = (cpu1 - cpu0) / static_cast<double>(rounds);
    f.median_s = waits[waits.size() / 2];
    std::cout << "follower at " << blocks << " blocks: " << f.bytes_per_block
              << " bytes received and " << f.cpu_ms_per_block << " ms CPU per new block, "
              << "median " << f.median_s << " s from mint to follower, peak RSS " << f.peak_rss_mb
              << " MB\n";
    if (HasFailure()) {
      for (int i = 0; i < 2; ++i) {
        std::cout << "---- node " << i << "\n"
                  << proc::slurp(dir / ("out" + std::to_string(i)))
                  << proc::slurp(dir / ("err" + std::to_string(i)));
      }
    }
    return f;
  }
};

TEST_F(CatchUp, AFollowerFetchesOnlyTheNewBlocks) {
  const Figures small = follow(1000, 12);
  const Figures large = follow(30000, 12);
  EXPECT_LE(small.bytes_per_block, 64 * 1024);
  EXPECT_LE(large.bytes_per_block, 64 * 1024);
  // The same work per block whatever the chain's length; a few milliseconds of slack for
  // the clock's granularity.
  EXPECT_LE(large.cpu_ms_per_block, 2 * small.cpu_ms_per_block + 5);
}

}  // namespace

// A real node at the edge of its resources: readers that stop reading the chain, many more
// than it has descriptors, and a small disk. The figures are printed; QUV_LIMITS_READERS,
// QUV_LIMITS_NOFILE (0: the machine's limit) and QUV_LIMITS_DISK_MB change the load.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <thread>

#include "chain_gen.h"
#include "core/codec.h"
#include "nodes.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::seconds;

size_t env_or(const char* name, size_t fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? std::stoul(v) : fallback;
}

double since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// `n` clients in namespace `ns` that ask for the chain with a tiny receive buffer and then
// read nothing, so that each reply waits.
std::vector<int> slow_readers(const std::string& ns, size_t n) {
  std::vector<int> fds;
  std::thread([&] {
    int nsfd = ::open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    const bool in = nsfd >= 0 && ::setns(nsfd, CLONE_NEWNET) == 0;
    ::close(nsfd);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(19191);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string request = "GET /chain HTTP/1.1\r\n\r\n";
    for (size_t i = 0; in && i < n; ++i) {
      fds.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
      int small = 4096;
      timeval wait{1, 0};
      ::setsockopt(fds.back(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
      ::setsockopt(fds.back(), SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
      if (::connect(fds.back(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        (void)!::send(fds.back(), request.data(), request.size(), MSG_NOSIGNAL);
      }
    }
  }).join();
  return fds;
}

class Limits : public nodes::NetTest {
 protected:
  void SetUp() override { make_net(2); }
  void TearDown() override {
    for (int fd : readers_) ::close(fd);
    if (peer_) peer_->stop();
    if (node_) node_->stop();
    if (mounted_) ::umount2(small_.c_str(), MNT_DETACH);
  }
  bool answers(size_t i) {
    return nodes::wait_until([&] { return nodes::height(net_->ns(i)) >= 0; }, seconds(20));
  }
  std::string log() const {
    return proc::slurp(dir_ / "node.out") + "\n" + proc::slurp(dir_ / "node.err");
  }

  const std::string bin_ = nodes::bin_under_test(QUV_BIN);
  proc::TempDir tmp_;
  fs::path dir_ = tmp_.path();
  chain_gen::Builder gen_{43};
  std::unique_ptr<netns::Bg> node_, peer_;
  std::vector<int> readers_;
  fs::path small_ = dir_ / "small";
  bool mounted_ = false;
};

// Thousands of readers that stop reading the chain, more than the node has descriptors:
// it still answers its status, takes a transfer, seals it and saves its state.
TEST_F(Limits, ReadersThatStopReadingLeaveTheNodeItsDescriptors) {
  const size_t nofile = env_or("QUV_LIMITS_NOFILE", 1024);
  const size_t count = env_or("QUV_LIMITS_READERS", 2500);
  const fs::path chain = dir_ / "quv.chain";
  gen_.full_blocks(120);  // a few megabytes: no reply fits the socket buffers
  gen_.write(chain);
  std::vector<std::string> args{nodes::ip_bin(), "netns", "exec", net_->ns(0)};
  const std::string lim = std::to_string(nofile);
  if (nofile > 0) args.insert(args.end(), {"prlimit", "--nofile=" + lim + ":" + lim});
  args.insert(args.end(), {bin_, "--chain", chain.string(), "node", "--plain"});
  node_ = std::make_unique<netns::Bg>(
      args, std::vector<std::pair<std::string, std::string>>{{"QUV_CONFIRM_PEERS", "0"}},
      dir_ / "node.out", dir_ / "node.err");
  ASSERT_TRUE(answers(0)) << log();
  readers_ = slow_readers(net_->ns(0), count);
  std::this_thread::sleep_for(seconds(1));

  const int64_t before = static_cast<int64_t>(gen_.blocks().size()) - 1;
  auto t0 = Clock::now();
  EXPECT_EQ(nodes::height(net_->ns(0)), before) << log();
  std::cout << count << " readers, open-file limit " << nofile << ": GET /status " << since(t0)
            << " s, ";
  t0 = Clock::now();
  netns::call_in(net_->ns(0), "127.0.0.1:19191", "POST", "/tx",
                 codec::encode_tx_signed(gen_.spend()), "application/octet-stream");
  const bool sealed = nodes::wait_until([&] { return nodes::state(chain).height > before; },
                                        seconds(20), std::chrono::milliseconds(50));
  std::cout << "transfer sealed " << (sealed ? "after " : "not within ") << since(t0) << " s\n";
  EXPECT_TRUE(sealed) << log();
  EXPECT_EQ(log().find("Too many open files"), std::string::npos) << log();
}

// A node whose chain lies on a small disk, a megabyte behind its peer, catches up; once
// the disk has no room for the next tail, it says what the download needs.
TEST_F(Limits, ASmallDiskStillCatchesUp) {
  const size_t disk_mb = env_or("QUV_LIMITS_DISK_MB", 40);
  ASSERT_TRUE(fs::create_directories(small_));
  const std::string size = "size=" + std::to_string(disk_mb) + "m";
  if (::mount("tmpfs", small_.c_str(), "tmpfs", 0, size.c_str()) != 0) {
    GTEST_SKIP() << "cannot mount a small file system here: " << std::strerror(errno);
  }
  mounted_ = true;
  const fs::path mine = small_ / "quv.chain", theirs = dir_ / "peer.chain";
  gen_.full_blocks(10);
  gen_.write(mine);
  gen_.full_blocks(40);
  gen_.write(theirs);
  auto start_peer = [&] {
    peer_ = nodes::start(bin_, net_->ns(0), theirs, "0", dir_ / "peer.out", dir_ / "peer.err");
    return answers(0);
  };
  ASSERT_TRUE(start_peer());
  const std::string peer = net_->addr(0) + ":19191";
  ASSERT_EQ(nodes::set_peers(bin_, mine, {peer}).status, 0);
  const auto t0 = Clock::now();
  node_ = nodes::start(bin_, net_->ns(1), mine, "0", dir_ / "node.out", dir_ / "node.err");
  const int64_t peer_height = static_cast<int64_t>(gen_.blocks().size()) - 1;
  const bool caught_up =
      nodes::wait_until([&] { return nodes::height(net_->ns(1)) >= peer_height; }, seconds(30));
  std::cout << "on a " << disk_mb
            << " MiB disk: " << (caught_up ? "caught up after " : "not within ") << since(t0)
            << " s\n";
  EXPECT_TRUE(caught_up) << log();

  // The peer comes back with more blocks, and a filler leaves 10 MiB free: less than the
  // tail and the margin beside it.
  peer_->stop();
  const auto free = fs::space(small_).available;
  ASSERT_TRUE(proc::spit(small_ / "filler", std::string(free - (uint64_t{10} << 20), 'f')));
  gen_.full_blocks(5);
  gen_.write(theirs);
  ASSERT_TRUE(start_peer());
  const std::string refused = "download from " + peer + " refused: needs ";
  ASSERT_TRUE(
      nodes::wait_until([&] { return log().find(refused) != std::string::npos; }, seconds(20)))
      << log();
  const std::string text = log();
  std::cout << text.substr(text.find(refused),
                           text.find('\n', text.find(refused)) - text.find(refused))
            << "\n";
}

}  // namespace

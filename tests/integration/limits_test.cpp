// A real node at the edge of its resources: clients that ask for the chain and then read
// nothing, more of them than the node has descriptors, must not keep it from answering,
// saving its state or sealing; and a node on a small disk must still catch up, and say
// why when the disk has no room for a download. The figures are printed;
// QUV_LIMITS_READERS, QUV_LIMITS_NOFILE ("0": the machine's own limit) and
// QUV_LIMITS_DISK_MB change the load for a measurement.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "chain_gen.h"
#include "core/codec.h"
#include "netns.h"
#include "nodes.h"
#include "proc.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

size_t env_number(const char* name, size_t fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? std::stoul(v) : fallback;
}

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// `n` clients inside namespace `ns` that ask the node there for its chain with a tiny
// receive buffer and never read: each keeps its reply waiting. Their sockets; those
// that could not connect within a second are left out.
std::vector<int> slow_readers(const std::string& ns, size_t n) {
  std::vector<int> fds;
  std::thread([&] {
    int nsfd = ::open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    if (nsfd < 0) return;
    const bool in = ::setns(nsfd, CLONE_NEWNET) == 0;
    ::close(nsfd);
    if (!in) return;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(19191);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string request = "GET /chain HTTP/1.1\r\n\r\n";
    for (size_t i = 0; i < n; ++i) {
      int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      if (fd < 0) break;
      int small = 4096;
      ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
      pollfd p{fd, POLLOUT, 0};
      const bool connected =
          (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 || errno == EINPROGRESS) &&
          ::poll(&p, 1, 1000) == 1 && (p.revents & POLLOUT) != 0 &&
          ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
              static_cast<ssize_t>(request.size());
      if (!connected) {
        ::close(fd);
        continue;
      }
      fds.push_back(fd);
    }
  }).join();
  return fds;
}

class Limits : public nodes::NetTest {
 protected:
  void SetUp() override {
    make_net(2);
    if (IsSkipped()) return;
    fs::create_directories(chain_.parent_path());
  }
  void TearDown() override {
    for (int fd : readers_) ::close(fd);
    if (peer_) peer_->stop();
    if (node_) node_->stop();
    if (mounted_) ::umount2(small_.c_str(), MNT_DETACH);
  }

  // Starts the node on `chain_` in namespace `i` under an open-file limit of `nofile`
  // (0: the machine's), sealing without acknowledgements; true once it answers.
  bool start(size_t i, size_t nofile) { return start(i, nofile, chain_, node_, "node"); }
  bool start(size_t i, size_t nofile, const fs::path& chain, std::unique_ptr<netns::Bg>& proc,
             const std::string& name) {
    std::vector<std::string> args{nodes::ip_bin(), "netns", "exec", net_->ns(i)};
    if (nofile > 0) {
      args.insert(args.end(),
                  {"prlimit", "--nofile=" + std::to_string(nofile) + ":" + std::to_string(nofile)});
    }
    args.insert(args.end(), {bin_, "--chain", chain.string(), "node", "--plain"});
    proc = std::make_unique<netns::Bg>(
        args, std::vector<std::pair<std::string, std::string>>{{"QUV_CONFIRM_PEERS", "0"}},
        dir_ / (name + ".out"), dir_ / (name + ".err"));
    return nodes::wait_until([&] { return nodes::height(net_->ns(i)) >= 0; },
                             std::chrono::seconds(20), milliseconds(100));
  }
  std::string log() const {
    return proc::slurp(dir_ / "node.out") + "\n" + proc::slurp(dir_ / "node.err");
  }

  const std::string bin_ = nodes::bin_under_test(QUV_BIN);
  proc::TempDir tmp_;
  fs::path dir_ = tmp_.path();
  fs::path chain_ = dir_ / "n" / "quv.chain";
  chain_gen::Builder gen_{43};
  std::unique_ptr<netns::Bg> node_;
  std::unique_ptr<netns::Bg> peer_;
  std::vector<int> readers_;
  fs::path small_ = dir_ / "small";
  bool mounted_ = false;
};

// Thousands of readers that stop reading the chain, several times the node's descriptors:
// the node still answers its status, takes a transfer, seals it and saves its state.
TEST_F(Limits, ReadersThatStopReadingLeaveTheNodeItsDescriptors) {
  const size_t nofile = env_number("QUV_LIMITS_NOFILE", 1024);
  const size_t count = env_number("QUV_LIMITS_READERS", 2500);
  // A chain of a few megabytes: no reply fits the socket buffers, so each waits.
  gen_.full_blocks(120);
  gen_.write(chain_);
  ASSERT_TRUE(start(0, nofile)) << log();
  const std::string ns = net_->ns(0);

  auto t0 = Clock::now();
  readers_ = slow_readers(ns, count);
  std::cout << readers_.size() << " of " << count << " readers connected in " << seconds_since(t0)
            << " s (open-file limit " << (nofile ? std::to_string(nofile) : "default") << ")\n";
  std::this_thread::sleep_for(milliseconds(1000));

  const int64_t before = static_cast<int64_t>(gen_.blocks().size()) - 1;
  t0 = Clock::now();
  const int64_t answered = nodes::height(ns);
  std::cout << "GET /status during the readers: " << (answered >= 0 ? "" : "no answer, ")
            << seconds_since(t0) << " s\n";
  EXPECT_EQ(answered, before) << log();
  const Bytes raw = codec::encode_tx_signed(gen_.spend());
  t0 = Clock::now();
  EXPECT_TRUE(netns::call_in(ns, "127.0.0.1:19191", "POST", "/tx", raw, "application/octet-stream"))
      << log();
  const bool sealed = nodes::wait_until([&] { return nodes::state(chain_).height > before; },
                                        std::chrono::seconds(20), milliseconds(50));
  std::cout << "transfer sealed " << (sealed ? "after " : "not within ") << seconds_since(t0)
            << " s\n";
  EXPECT_TRUE(sealed) << log();
  EXPECT_EQ(nodes::state(chain_).height, before + 1);
  EXPECT_EQ(log().find("Too many open files"), std::string::npos) << log();
}

// A node whose chain lies on a small disk, behind a peer by a megabyte: it catches up;
// and once the disk has no room for the next tail it refuses the download, saying what
// it needs.
TEST_F(Limits, ASmallDiskStillCatchesUp) {
  const size_t disk_mb = env_number("QUV_LIMITS_DISK_MB", 40);
  ASSERT_TRUE(fs::create_directories(small_));
  const std::string size = "size=" + std::to_string(disk_mb) + "m";
  if (::mount("tmpfs", small_.c_str(), "tmpfs", 0, size.c_str()) != 0) {
    GTEST_SKIP() << "cannot mount a small file system here: " << std::strerror(errno);
  }
  mounted_ = true;
  const fs::path mine = small_ / "quv.chain";
  gen_.full_blocks(10);
  gen_.write(mine);
  gen_.full_blocks(40);
  gen_.write(chain_);
  const std::string peer = net_->addr(0) + ":19191";
  ASSERT_TRUE(start(0, 0, chain_, peer_, "peer")) << log();
  ASSERT_EQ(nodes::set_peers(bin_, mine, {peer}).status, 0);
  const auto t0 = Clock::now();
  ASSERT_TRUE(start(1, 0, mine, node_, "node")) << log();
  const int64_t peer_height = static_cast<int64_t>(gen_.blocks().size()) - 1;
  const bool caught_up = nodes::wait_until(
      [&] { return nodes::height(net_->ns(1)) >= peer_height; }, std::chrono::seconds(30));
  std::cout << "on a " << disk_mb
            << " MiB disk: " << (caught_up ? "caught up after " : "not caught up within ")
            << seconds_since(t0) << " s\n";
  EXPECT_TRUE(caught_up) << log();

  // The peer comes back with more blocks, and a filler leaves 10 MiB free: less than the
  // tail and the margin beside it.
  peer_->stop();
  {
    const auto free = fs::space(small_).available;
    ASSERT_GT(free, uint64_t{10} << 20);
    ASSERT_TRUE(proc::spit(small_ / "filler", std::string(free - (uint64_t{10} << 20), 'f')));
  }
  gen_.full_blocks(5);
  gen_.write(chain_);
  ASSERT_TRUE(start(0, 0, chain_, peer_, "peer")) << log();
  const std::string refused = "download from " + peer + " refused: needs ";
  ASSERT_TRUE(nodes::wait_until([&] { return log().find(refused) != std::string::npos; },
                                std::chrono::seconds(20)))
      << log();
  const std::string text = log();
  const size_t at = text.find(refused);
  std::cout << text.substr(at, text.find('\n', at) - at) << "\n";
}

}  // namespace

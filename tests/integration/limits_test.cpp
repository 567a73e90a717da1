// A real node at the edge of its resources: readers that stop reading the chain, many more
// than it has descriptors, requests whose bodies stop short, and a small disk. The figures
// are printed; QUV_LIMITS_READERS, QUV_LIMITS_NOFILE (0: the machine's limit),
// QUV_LIMITS_BODIES and QUV_LIMITS_DISK_MB change the load.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>

#include "chain_gen.h"
#include "core/codec.h"
#include "nodes.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;
constexpr uint64_t kMiB = uint64_t{1} << 20;

size_t env_or(const char* name, size_t fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? std::stoul(v) : fallback;
}

double since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Moves the calling thread into namespace `ns`.
bool enter(const std::string& ns) {
  int fd = ::open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
  const bool in = fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0;
  if (fd >= 0) ::close(fd);
  return in;
}

// A connection to the node of the calling thread's namespace that sends `request`, or -1;
// `rcvbuf` makes its receive buffer small, for a reader that will not read.
int connect_node(std::string_view request, int rcvbuf = 0) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (rcvbuf > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  timeval wait{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(19191);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size())) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// A client that asks for the chain with a tiny receive buffer and then reads nothing, so
// that the reply waits.
int slow_reader() { return connect_node("GET /chain HTTP/1.1\r\n\r\n", 4096); }

// `n` slow readers in namespace `ns`.
std::vector<int> slow_readers(const std::string& ns, size_t n) {
  std::vector<int> fds;
  std::thread([&] {
    for (size_t i = 0; i < n && (i > 0 || enter(ns)); ++i) fds.push_back(slow_reader());
  }).join();
  return fds;
}

uint64_t resident(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/statm");
  uint64_t size = 0, pages = 0;
  in >> size >> pages;
  return pages * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
}

class Limits : public nodes::NetTest {
 protected:
  void SetUp() override {
    make_net(2);
    // Some clients here need thousands of descriptors.
    rlimit lim{};
    ::getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = lim.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &lim);
  }
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
  // Starts the node on `chain` in the first namespace with an open-file limit of `nofile`
  // (0: the machine's).
  void start_node(const fs::path& chain, size_t nofile) {
    std::vector<std::string> args{nodes::ip_bin(), "netns", "exec", net_->ns(0)};
    const std::string lim = std::to_string(nofile);
    if (nofile > 0) args.insert(args.end(), {"prlimit", "--nofile=" + lim + ":" + lim});
    args.insert(args.end(), {bin_, "--chain", chain.string(), "node", "--plain"});
    node_ = std::make_unique<netns::Bg>(
        args, std::vector<std::pair<std::string, std::string>>{{"QUV_CONFIRM_PEERS", "0"}},
        dir_ / "node.out", dir_ / "node.err");
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
  start_node(chain, nofile);
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

// The connection cap is full of readers that stopped reading and two more connect every
// millisecond: a POST /tx sent as its header and, 50 ms later, its body is still served.
TEST_F(Limits, TwoWriteRequestsGetThroughAtTheCap) {
  const fs::path chain = dir_ / "quv.chain";
  gen_.full_blocks(120);
  gen_.write(chain);
  start_node(chain, 1024);
  ASSERT_TRUE(answers(0)) << log();
  std::atomic<bool> attacking{true};
  size_t attackers = 0;
  std::thread attack([&] {
    std::deque<std::pair<Clock::time_point, int>> open;  // each given up after a second
    if (!enter(net_->ns(0))) return;
    for (auto next = Clock::now(); attacking; ++attackers) {
      open.emplace_back(Clock::now() + seconds(1), slow_reader());
      for (; open.front().first < Clock::now(); open.pop_front()) ::close(open.front().second);
      if (attackers % 2 == 1) std::this_thread::sleep_until(next += milliseconds(1));
    }
    for (auto& [at, fd] : open) ::close(fd);
  });
  const Bytes tx = codec::encode_tx_signed(gen_.spend());
  const std::string raw(tx.begin(), tx.end());
  const std::string head =
      "POST /tx HTTP/1.1\r\nContent-Length: " + std::to_string(raw.size()) + "\r\n\r\n";
  const size_t tries = 20;
  size_t served = 0;
  std::thread([&] {
    std::this_thread::sleep_for(seconds(2));
    if (!enter(net_->ns(0))) return;
    for (size_t i = 0; i < tries; ++i) {
      int fd = connect_node(head);
      std::this_thread::sleep_for(milliseconds(50));
      char reply[64] = {0};
      if (fd >= 0 && ::send(fd, raw.data(), raw.size(), MSG_NOSIGNAL) == ssize_t(raw.size()) &&
          ::recv(fd, reply, sizeof reply - 1, MSG_WAITALL) > 0 &&
          std::string_view(reply).starts_with("HTTP/1.1 200 OK\r\n")) {
        ++served;
      }
      if (fd >= 0) ::close(fd);
      std::this_thread::sleep_for(milliseconds(100));
    }
  }).join();
  attacking = false;
  attack.join();
  std::cout << "at the cap, " << attackers << " stalled readers connecting: " << served << " of "
            << tries << " two-write requests served\n";
  EXPECT_GE(served * 4, tries * 3) << log();
}

// Thousands of POST /tx bodies that stop one byte short and wait: the node holds about its
// request budget (32 MiB) of them, answers its status meanwhile, and gives the memory back
// once they are gone.
TEST_F(Limits, HalfSentBodiesAreHeldWithinTheBudget) {
  const size_t count = env_or("QUV_LIMITS_BODIES", 3000);
  const fs::path chain = dir_ / "quv.chain";
  gen_.write(chain);
  start_node(chain, 0);
  ASSERT_TRUE(answers(0)) << log();
  const pid_t pid = node_->pid();
  const uint64_t base = resident(pid);
  std::atomic<bool> attacking{true};
  uint64_t peak = 0;
  std::thread watch([&] {
    for (; attacking; std::this_thread::sleep_for(milliseconds(50))) {
      peak = std::max(peak, resident(pid));
    }
  });
  // The bodies go out in turns, so that no client waits for the one before it.
  const std::string body(399000, 'x');
  std::vector<int> fds;
  std::thread attack([&] {
    if (!enter(net_->ns(0))) return;
    for (size_t i = 0; i < count; ++i) {
      int fd = connect_node("POST /tx HTTP/1.1\r\nContent-Length: 400000\r\n\r\n");
      if (fd >= 0) fds.push_back(fd);
    }
    std::vector<size_t> sent(fds.size(), 0);
    for (auto end = Clock::now() + seconds(20); Clock::now() < end;) {
      size_t done = 0;
      for (size_t i = 0; i < fds.size(); ++i) {
        const ssize_t n = ::send(fds[i], body.data() + sent[i], body.size() - sent[i],
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) sent[i] += static_cast<size_t>(n);
        // Closed by the node: it takes nothing more.
        if (n < 0 && errno != EAGAIN) sent[i] = body.size();
        done += sent[i] == body.size();
      }
      if (done == fds.size()) break;
    }
  });
  std::this_thread::sleep_for(seconds(2));
  auto t0 = Clock::now();
  EXPECT_GE(nodes::height(net_->ns(0)), 0) << log();
  const double status_s = std::chrono::duration<double>(Clock::now() - t0).count();
  attack.join();
  attacking = false;
  watch.join();
  for (int fd : fds) ::close(fd);
  t0 = Clock::now();
  nodes::wait_until([&] { return resident(pid) < base + 16 * kMiB; }, seconds(5),
                    milliseconds(100));
  const uint64_t after = resident(pid);
  std::cout << fds.size() << " half-sent bodies: resident " << base / kMiB << " MiB idle, "
            << peak / kMiB << " MiB at most, " << after / kMiB << " MiB "
            << std::chrono::duration<double>(Clock::now() - t0).count()
            << " s after they closed; GET /status in " << status_s << " s\n";
  EXPECT_LT(peak, base + 96 * kMiB);
  EXPECT_LT(after, base + 16 * kMiB);
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

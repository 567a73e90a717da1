// A real node under clients that hold its server's resources: thousands of requests whose
// bodies stop one byte short, and a stream of readers that stop reading while its
// connections are at their cap. The node's memory must stay near its request budget and
// come back afterwards, and clients that send at a normal pace must still be served. The
// figures are printed; QUV_BUDGET_CONNS and QUV_BUDGET_TRIES change the load.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
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

// Moves the calling thread into namespace `ns`.
bool enter(const std::string& ns) {
  int fd = ::open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
  const bool in = fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0;
  if (fd >= 0) ::close(fd);
  return in;
}

// A blocking connection to the node of the calling thread's namespace, or -1. `rcvbuf`
// makes the receive buffer small, for a reader that will not read.
int connect_node(int rcvbuf = 0) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (rcvbuf > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  timeval wait{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(19191);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool send_all(int fd, std::string_view s) {
  while (!s.empty()) {
    const ssize_t n = ::send(fd, s.data(), s.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    s.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// A reader of the chain that takes nothing of the reply.
int stalled_reader() {
  int fd = connect_node(4096);
  if (fd >= 0 && !send_all(fd, "GET /chain HTTP/1.1\r\n\r\n")) {
    ::close(fd);
    return -1;
  }
  return fd;
}

uint64_t resident(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/statm");
  uint64_t size = 0, pages = 0;
  in >> size >> pages;
  return pages * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
}

class ServerBudget : public nodes::NetTest {
 protected:
  void SetUp() override {
    make_net(1);
    if (IsSkipped()) return;
    // The clients of these tests need thousands of descriptors.
    rlimit lim{};
    ::getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = lim.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &lim);
  }
  void TearDown() override {
    if (node_) node_->stop();
  }
  void start_node(size_t blocks, size_t nofile) {
    gen_.full_blocks(blocks);
    gen_.write(chain_);
    std::vector<std::string> args{nodes::ip_bin(), "netns", "exec", net_->ns(0)};
    const std::string lim = std::to_string(nofile);
    if (nofile > 0) args.insert(args.end(), {"prlimit", "--nofile=" + lim + ":" + lim});
    args.insert(args.end(), {bin_, "--chain", chain_.string(), "node", "--plain"});
    node_ = std::make_unique<netns::Bg>(
        args, std::vector<std::pair<std::string, std::string>>{{"QUV_CONFIRM_PEERS", "0"}},
        dir_ / "node.out", dir_ / "node.err");
    ASSERT_TRUE(answers()) << log();
  }
  bool answers() {
    return nodes::wait_until([&] { return nodes::height(net_->ns(0)) >= 0; }, seconds(20));
  }
  std::string log() const {
    return proc::slurp(dir_ / "node.out") + "\n" + proc::slurp(dir_ / "node.err");
  }

  const std::string bin_ = nodes::bin_under_test(QUV_BIN);
  proc::TempDir tmp_;
  fs::path dir_ = tmp_.path();
  fs::path chain_ = dir_ / "quv.chain";
  chain_gen::Builder gen_{47};
  std::unique_ptr<netns::Bg> node_;
};

// Thousands of POST /tx bodies that stop one byte short and wait: the node holds about its
// request budget of them (32 MiB) and no more, answers its status meanwhile, and gives the
// memory back once they are gone.
TEST_F(ServerBudget, HalfSentBodiesAreHeldWithinTheBudget) {
  const size_t count = env_or("QUV_BUDGET_CONNS", 3000);
  start_node(2, 0);
  const pid_t pid = node_->pid();
  const uint64_t base = resident(pid);

  std::atomic<bool> attacking{true};
  std::atomic<uint64_t> peak{0};
  std::thread watch([&] {
    while (attacking) {
      peak = std::max<uint64_t>(peak, resident(pid));
      std::this_thread::sleep_for(milliseconds(50));
    }
  });
  // Every connection gets its bytes in turns, so that none waits for the one before it.
  const std::string head = "POST /tx HTTP/1.1\r\nContent-Length: 400000\r\n\r\n";
  const std::string body(399000, 'x');
  std::vector<int> fds;
  std::thread attack([&] {
    if (!enter(net_->ns(0))) return;
    std::vector<size_t> sent;
    for (size_t i = 0; i < count; ++i) {
      int fd = connect_node();
      if (fd < 0) continue;
      (void)send_all(fd, head);
      fds.push_back(fd);
      sent.push_back(0);
    }
    const auto end = Clock::now() + seconds(20);
    for (bool more = true; more && Clock::now() < end;) {
      more = false;
      for (size_t i = 0; i < fds.size(); ++i) {
        if (sent[i] == body.size()) continue;
        const ssize_t n = ::send(fds[i], body.data() + sent[i], body.size() - sent[i],
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) sent[i] += static_cast<size_t>(n);
        // Closed by the node: it has nothing more to take.
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) sent[i] = body.size();
        if (sent[i] < body.size()) more = true;
      }
    }
  });
  std::this_thread::sleep_for(seconds(2));
  const auto t0 = Clock::now();
  const bool answered = nodes::height(net_->ns(0)) >= 0;
  const double status_s = std::chrono::duration<double>(Clock::now() - t0).count();
  attack.join();
  attacking = false;
  watch.join();
  const uint64_t during = resident(pid);
  for (int fd : fds) ::close(fd);
  // Time for the node to notice every close and give the memory back.
  const auto closed = Clock::now();
  nodes::wait_until([&] { return resident(pid) < base + 16 * kMiB; }, seconds(5),
                    milliseconds(100));
  const uint64_t after = resident(pid);
  const double back_s = std::chrono::duration<double>(Clock::now() - closed).count();
  std::cout << fds.size() << " half-sent bodies: resident " << base / kMiB << " MiB before, "
            << peak / kMiB << " MiB at most, " << during / kMiB << " MiB at the end, "
            << after / kMiB << " MiB " << back_s << " s after they closed; GET /status in "
            << status_s << " s\n";
  EXPECT_TRUE(answered) << log();
  EXPECT_LT(peak, base + 96 * kMiB);
  EXPECT_LT(after, base + 16 * kMiB);
  EXPECT_TRUE(node_->alive()) << log();
}

// The connection cap is full of readers that stopped reading and more of them connect all
// the time: a POST /tx sent as its header and, 50 ms later, its body is still served.
TEST_F(ServerBudget, TwoWriteRequestsGetThroughAtTheCap) {
  const size_t tries = env_or("QUV_BUDGET_TRIES", 20);
  start_node(120, 1024);  // a few megabytes: no reply fits the socket buffers

  std::atomic<bool> attacking{true};
  std::atomic<size_t> attackers{0};
  std::thread attack([&] {
    if (!enter(net_->ns(0))) return;
    std::deque<std::pair<Clock::time_point, int>> open;
    for (int i = 0; i < 1000; ++i) {
      int fd = stalled_reader();
      if (fd >= 0) open.emplace_back(Clock::now() + seconds(30), fd);
    }
    // Then two new ones every millisecond, each given up by its client after a second.
    auto next = Clock::now();
    while (attacking) {
      for (int k = 0; k < 2; ++k) {
        int fd = stalled_reader();
        if (fd >= 0) open.emplace_back(Clock::now() + seconds(1), fd);
        ++attackers;
      }
      while (!open.empty() && open.front().first < Clock::now()) {
        ::close(open.front().second);
        open.pop_front();
      }
      next += milliseconds(1);
      std::this_thread::sleep_until(next);
    }
    for (auto& [at, fd] : open) ::close(fd);
  });

  const std::string raw = [&] {
    const Bytes tx = codec::encode_tx_signed(gen_.spend());
    return std::string(tx.begin(), tx.end());
  }();
  const std::string head =
      "POST /tx HTTP/1.1\r\nContent-Length: " + std::to_string(raw.size()) + "\r\n\r\n";
  size_t served = 0;
  std::thread honest([&] {
    if (!enter(net_->ns(0))) return;
    std::this_thread::sleep_for(seconds(2));
    for (size_t i = 0; i < tries; ++i) {
      std::this_thread::sleep_for(milliseconds(100));
      int fd = connect_node();
      if (fd < 0) continue;
      std::string reply;
      if (send_all(fd, head)) {
        std::this_thread::sleep_for(milliseconds(50));
        if (send_all(fd, raw)) {
          char buf[512];
          for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) reply.append(buf, n);
        }
      }
      ::close(fd);
      if (reply.starts_with("HTTP/1.1 200 OK\r\n")) ++served;
    }
  });
  honest.join();
  attacking = false;
  attack.join();
  std::cout << "at the cap, " << attackers << " stalled readers connecting: " << served << " of "
            << tries << " two-write requests served\n";
  EXPECT_GE(served * 4, tries * 3) << log();
  EXPECT_TRUE(node_->alive()) << log();
}

}  // namespace

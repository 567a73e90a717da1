// Runs `quv wallet` under tmux against a node that answers one byte a second, in a network
// namespace of the test's own (the node on 127.0.0.1:19191 there): Q on the welcome screen
// and Ctrl+C must end the wallet while it waits on that node.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "proc.h"
#include "tmux.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The node: in a network namespace of its own, it takes every connection and sends a reply
// that never ends, one byte a second.
[[noreturn]] void trickling_node(int ready) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::unshare(CLONE_NEWNET) != 0 || std::system("ip link set lo up") != 0) ::_exit(2);
  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(19191);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (s < 0 || ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(s, 16) != 0) {
    ::_exit(3);
  }
  (void)!::write(ready, "1", 1);
  for (;;) {
    int c = ::accept(s, nullptr, nullptr);
    if (c < 0) continue;
    std::thread([c] {
      char req[4096];
      (void)::recv(c, req, sizeof req, 0);
      const std::string head = "HTTP/1.1 200 OK\r\n\r\n{\"ok\":true,\"height\":40";
      for (size_t i = 0;; ++i) {
        char b = i < head.size() ? head[i] : ' ';
        if (::send(c, &b, 1, MSG_NOSIGNAL) != 1) break;
        std::this_thread::sleep_for(1s);
      }
      ::close(c);
    }).detach();
  }
}

class WalletSlowNode : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!tmux_.available()) GTEST_SKIP() << "tmux is not installed";
    if (proc::run("/bin/sh", {"-c", "unshare -n true"}).status != 0) {
      GTEST_SKIP() << "needs its own network namespace (unshare -n, as root)";
    }
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    node_ = ::fork();
    ASSERT_GE(node_, 0);
    if (node_ == 0) {
      ::close(p[0]);
      trickling_node(p[1]);
    }
    ::close(p[1]);
    pollfd w{p[0], POLLIN, 0};
    char b = 0;
    bool ready = ::poll(&w, 1, 10000) == 1 && ::read(p[0], &b, 1) == 1;
    ::close(p[0]);
    ASSERT_TRUE(ready) << "the slow node did not start";
  }
  void TearDown() override {
    if (node_ > 0) {
      ::kill(node_, SIGKILL);
      ::waitpid(node_, nullptr, 0);
    }
  }

  // Waits (at most `limit`) until a file exists.
  static bool wait_file(const std::filesystem::path& p, std::chrono::milliseconds limit) {
    for (auto end = Clock::now() + limit; Clock::now() < end; std::this_thread::sleep_for(50ms)) {
      if (std::filesystem::exists(p)) return true;
    }
    return false;
  }

  pid_t node_ = -1;
  tmux::Server tmux_{"quv-slow-node-test-" + std::to_string(::getpid())};
  proc::TempDir dir_;
};

TEST_F(WalletSlowNode, QAndCtrlCEndTheWalletWhileANodeTrickles) {
  const std::string d = dir_.path().string();
  const std::string bin = QUV_BIN;
  std::string script =
      "export QUV_WALLET_PATH=" + d + "/quv.wallet HOME=" + d + " TERM=xterm-256color\n";
  for (const char* run : {"1", "2"}) {
    script +=
        "'" + bin + "' wallet\necho $? > " + d + "/t; mv " + d + "/t " + d + "/ended" + run + "\n";
  }
  script += "exec sleep 60\n";
  ASSERT_TRUE(proc::spit(dir_ / "run.sh", script));
  ASSERT_TRUE(
      tmux_.start("w", 100, 26,
                  "nsenter --net=/proc/" + std::to_string(node_) + "/ns/net sh " + d + "/run.sh"));
  for (const char* run : {"1", "2"}) {
    ASSERT_TRUE(tmux_.wait_for("w", {"┌ welcome"}, 20s)) << tmux_.screen("w");
    // The node list editor pings the local node, which answers a byte a second.
    tmux_.key("w", "p");
    std::this_thread::sleep_for(1500ms);
    const auto pressed = Clock::now();
    tmux_.key("w", std::string(run) == "1" ? "q" : "C-c");
    ASSERT_TRUE(wait_file(dir_ / (std::string("ended") + run), 10s))
        << "run " << run << " still waits on the node\n"
        << tmux_.screen("w");
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - pressed);
    std::cout << "run " << run << " ended " << took.count() << " ms after the key\n";
    EXPECT_EQ(proc::slurp(dir_ / (std::string("ended") + run)), "0\n");
  }
}

}  // namespace

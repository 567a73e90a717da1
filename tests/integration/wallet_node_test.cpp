// Runs `quv wallet` under tmux against a node that answers one byte a second, in a network
// namespace of the test's own (the node on 127.0.0.1:19191 there): Q on the welcome screen
// and Ctrl+C must end the wallet while it waits on that node.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
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

// The node: in a network namespace of its own, it takes every connection and sends a reply
// that never ends, one byte a second. Writes a byte to `ready` once it listens.
[[noreturn]] void trickling_node(int ready) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::unshare(CLONE_NEWNET) != 0 || std::system("ip link set lo up") != 0) ::_exit(2);
  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{AF_INET, htons(19191), {htonl(INADDR_LOOPBACK)}, {}};
  if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(s, 16) != 0) ::_exit(3);
  (void)!::write(ready, "1", 1);
  for (int c; (c = ::accept(s, nullptr, nullptr)) >= 0;) {
    std::thread([c] {
      char req[4096];
      (void)::recv(c, req, sizeof req, 0);
      const std::string head = "HTTP/1.1 200 OK\r\n\r\n{\"ok\":true,\"height\":40";
      for (size_t i = 0; ::send(c, i < head.size() ? &head[i] : " ", 1, MSG_NOSIGNAL) == 1; ++i) {
        std::this_thread::sleep_for(1s);
      }
      ::close(c);
    }).detach();
  }
  ::_exit(4);
}

TEST(WalletSlowNode, QAndCtrlCEndTheWalletWhileANodeTrickles) {
  tmux::Server tmux("quv-slow-node-test-" + std::to_string(::getpid()));
  if (!tmux.available()) GTEST_SKIP() << "tmux is not installed";
  if (proc::run("/bin/sh", {"-c", "unshare -n true"}).status != 0) {
    GTEST_SKIP() << "needs its own network namespace (unshare -n, as root)";
  }
  int p[2];
  ASSERT_EQ(::pipe(p), 0);
  const pid_t node = ::fork();
  if (node == 0) trickling_node(p[1]);
  ::close(p[1]);
  char b = 0;
  const bool listening = ::read(p[0], &b, 1) == 1;
  ::close(p[0]);
  struct Reap {
    pid_t pid;
    ~Reap() { ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0); }
  } reap{node};
  ASSERT_TRUE(listening) << "the slow node did not start";

  proc::TempDir dir;
  const std::string d = dir.path().string();
  std::string script =
      "export QUV_WALLET_PATH=" + d + "/quv.wallet HOME=" + d + " TERM=xterm-256color\n";
  for (const char* run : {"1", "2"}) {
    script +=
        "'" QUV_BIN "' wallet\necho $? > " + d + "/t; mv " + d + "/t " + d + "/end" + run + "\n";
  }
  ASSERT_TRUE(proc::spit(dir / "run.sh", script + "exec sleep 60\n"));
  ASSERT_TRUE(tmux.start(
      "w", 100, 26, "nsenter --net=/proc/" + std::to_string(node) + "/ns/net sh " + d + "/run.sh"));
  for (std::string run : {"1", "2"}) {
    ASSERT_TRUE(tmux.wait_for("w", {"┌ welcome"}, 20s)) << tmux.screen("w");
    // The node list editor pings the local node, which answers a byte a second.
    tmux.key("w", "p");
    std::this_thread::sleep_for(1500ms);
    const auto pressed = std::chrono::steady_clock::now();
    tmux.key("w", run == "1" ? "q" : "C-c");
    // A wallet that reads no keys while it waits never ends while the node trickles.
    while (!std::filesystem::exists(dir / ("end" + run)) &&
           std::chrono::steady_clock::now() - pressed < 10s) {
      std::this_thread::sleep_for(50ms);
    }
    ASSERT_EQ(proc::slurp(dir / ("end" + run)), "0\n") << "run " << run << "\n" << tmux.screen("w");
    std::cout << "run " << run << " ended "
              << std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - pressed)
                     .count()
              << " ms after the key\n";
  }
}

}  // namespace

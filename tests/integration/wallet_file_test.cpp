// Two `quv wallet` processes on one wallet file, each in a tmux pane inside a network
// namespace of its own: one at a time has the file open, and a lock key or a crash lets
// the other one in.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "proc.h"
#include "tmux.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kInUse = "The wallet file is open in another window. Close it there first.";

TEST(WalletFile, OneWindowHasTheFileOpenAtATime) {
  tmux::Server tmux("quv-wallet-file-test-" + std::to_string(::getpid()));
  if (!tmux.available()) GTEST_SKIP() << "tmux is not installed";
  if (proc::run("/bin/sh", {"-c", "unshare -n true"}).status != 0) {
    GTEST_SKIP() << "needs its own network namespace (unshare -n, as root)";
  }
  proc::TempDir dir;
  const std::string d = dir.path().string();
  for (std::string w : {"a", "b"}) {
    ASSERT_TRUE(proc::spit(dir / w, "ip link set lo up\nexport QUV_WALLET_PATH=" + d +
                                        "/quv.wallet HOME=" + d + " TERM=xterm-256color\n" +
                                        "sh -c 'echo $$ > " + d + "/pid-" + w +
                                        "; exec \"$0\" wallet' '" + QUV_BIN +
                                        "'\necho ended\n"
                                        "exec sleep 60\n"));
    ASSERT_TRUE(tmux.start(w, 100, 26, "unshare -n sh " + d + "/" + w));
  }
  auto shows = [&](const std::string& w, const std::string& text) {
    return tmux.wait_for(w, {text}, 20s);
  };
  auto open = [&](const std::string& w) {
    tmux.key(w, "o");
    tmux.keys(w, "correct horse");
    tmux.key(w, "Enter");
  };
  ASSERT_TRUE(shows("a", "┌ welcome") && shows("b", "┌ welcome")) << tmux.screen("b");

  // Window a makes the wallet and has it open: window b may not open it.
  tmux.key("a", "n");
  for (int i = 0; i < 2; ++i) tmux.keys("a", "correct horse"), tmux.key("a", "Enter");
  ASSERT_TRUE(shows("a", "Saved. Sync later")) << tmux.screen("a");
  open("b");
  ASSERT_TRUE(shows("b", kInUse)) << tmux.screen("b");
  EXPECT_TRUE(shows("b", "┌ open")) << tmux.screen("b");

  // Locked in window a, the file opens in b; then a is refused until b crashes.
  tmux.key("a", "Escape");
  ASSERT_TRUE(shows("a", "┌ welcome")) << tmux.screen("a");
  tmux.key("b", "Enter");
  ASSERT_TRUE(shows("b", "Wallet opened.")) << tmux.screen("b");
  open("a");
  ASSERT_TRUE(shows("a", kInUse)) << tmux.screen("a");
  ASSERT_EQ(proc::run("/bin/sh", {"-c", "kill -KILL " + proc::slurp(dir / "pid-b")}).status, 0);
  ASSERT_TRUE(shows("b", "ended")) << tmux.screen("b");
  tmux.key("a", "Enter");
  EXPECT_TRUE(shows("a", "Wallet opened.")) << tmux.screen("a");
}

}  // namespace

// Runs two `quv wallet` processes on one wallet file, each in a tmux pane inside a network
// namespace of its own (no node is reachable and no lookup leaves the machine): only one
// of them may have the file open at a time, and the lock goes with a lock key, a quit or
// a crash.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "proc.h"
#include "tmux.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kInUse = "The wallet file is open in another window. Close it there first.";

class WalletFile : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!tmux_.available()) GTEST_SKIP() << "tmux is not installed";
    if (proc::run("/bin/sh", {"-c", "unshare -n true"}).status != 0) {
      GTEST_SKIP() << "needs its own network namespace (unshare -n, as root)";
    }
  }

  // Starts pane `name` running the wallet on the shared file; its pid goes to "pid-NAME".
  bool start(const std::string& name) {
    std::string d = dir_.path().string();
    std::string script = "ip link set lo up\n";
    script += "export QUV_WALLET_PATH=" + d + "/quv.wallet QUV_CHAIN_PATH=" + d +
              "/quv.chain HOME=" + d + " TERM=xterm-256color\n";
    script += "sh -c 'echo $$ > " + d + "/pid-" + name + "; exec \"$0\" wallet' '" + QUV_BIN +
              "'\necho ended\nexec sleep 60\n";
    return proc::spit(dir_ / (name + ".sh"), script) &&
           tmux_.start(name, 100, 26, "unshare -n sh " + d + "/" + name + ".sh");
  }
  // Waits (at most 20 s) until pane `name` shows `text`.
  bool shows(const std::string& name, const std::string& text) {
    return tmux_.wait_for(name, {text}, 20s);
  }
  std::string screen(const std::string& name) { return tmux_.screen(name); }
  void open(const std::string& name) {
    tmux_.key(name, "o");
    ASSERT_TRUE(shows(name, "┌ open")) << screen(name);
    tmux_.keys(name, "correct horse");
    tmux_.key(name, "Enter");
  }

  tmux::Server tmux_{"quv-wallet-file-test-" + std::to_string(::getpid())};
  proc::TempDir dir_;
};

TEST_F(WalletFile, OneWindowHasTheFileOpenAtATime) {
  ASSERT_TRUE(start("a"));
  ASSERT_TRUE(start("b"));
  ASSERT_TRUE(shows("a", "┌ welcome")) << screen("a");
  ASSERT_TRUE(shows("b", "┌ welcome")) << screen("b");

  // Window a makes the wallet and has it open; window b may not open it.
  tmux_.key("a", "n");
  ASSERT_TRUE(shows("a", "┌ passphrase")) << screen("a");
  tmux_.keys("a", "correct horse");
  tmux_.key("a", "Enter");
  ASSERT_TRUE(shows("a", "┌ repeat")) << screen("a");
  tmux_.keys("a", "correct horse");
  tmux_.key("a", "Enter");
  ASSERT_TRUE(shows("a", "Saved. Sync later")) << screen("a");
  open("b");
  ASSERT_TRUE(shows("b", kInUse)) << screen("b");
  EXPECT_NE(screen("b").find("┌ open"), std::string::npos) << screen("b");

  // Locked in window a, the file opens in window b, and now a is the one refused.
  tmux_.key("a", "Escape");
  ASSERT_TRUE(shows("a", "┌ welcome")) << screen("a");
  tmux_.key("b", "Enter");
  ASSERT_TRUE(shows("b", "Wallet opened.")) << screen("b");
  open("a");
  ASSERT_TRUE(shows("a", kInUse)) << screen("a");

  // Window b crashes: its lock goes with it.
  std::string pid = proc::slurp(dir_ / "pid-b");
  ASSERT_EQ(proc::run("/bin/sh", {"-c", "kill -KILL " + pid}).status, 0);
  ASSERT_TRUE(shows("b", "ended")) << screen("b");
  tmux_.key("a", "Enter");
  ASSERT_TRUE(shows("a", "Wallet opened.")) << screen("a");
  tmux_.key("a", "q");
  ASSERT_TRUE(shows("a", "ended")) << screen("a");
}

}  // namespace

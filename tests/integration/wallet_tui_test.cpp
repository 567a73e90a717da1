// Runs `quv wallet` on a real terminal: a tmux pane inside a network namespace of the
// test's own (so no node is reachable and no lookup leaves the machine). Creates a wallet,
// locks it, opens it again and quits, then ends a second run with SIGTERM and a third with
// SIGSEGV; after each run the terminal must be back in its normal mode and off the
// alternate screen, and the fatal signal must still end the process.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "proc.h"
#include "tmux.h"

namespace {

using namespace std::chrono_literals;

class WalletTmux : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!tmux_.available()) GTEST_SKIP() << "tmux is not installed";
    if (proc::run("/bin/sh", {"-c", "unshare -n true"}).status != 0) {
      GTEST_SKIP() << "needs its own network namespace (unshare -n, as root)";
    }
  }

  std::string screen() { return tmux_.screen("w"); }
  std::string alternate() { return tmux_.alternate("w"); }
  void keys(const std::string& literal) { tmux_.keys("w", literal); }
  void key(const std::string& name) { tmux_.key("w", name); }
  // Waits (at most 20 s) until the pane shows `text`.
  bool wait_for(const std::string& text) { return tmux_.wait_for("w", {text}, 20s); }

  // Waits (at most 20 s) until a file exists.
  static bool wait_file(const std::filesystem::path& p) {
    for (int i = 0; i < 200; ++i) {
      if (std::filesystem::exists(p)) return true;
      std::this_thread::sleep_for(100ms);
    }
    return false;
  }

  // True when `stty -a` output shows a terminal in its normal (cooked, echoing) mode.
  static bool cooked(const std::string& stty) {
    return stty.find(" icanon") != std::string::npos && stty.find(" echo ") != std::string::npos &&
           stty.find("-icanon") == std::string::npos;
  }

  tmux::Server tmux_{"quv-wallet-test-" + std::to_string(::getpid())};
  proc::TempDir dir_;
};

TEST_F(WalletTmux, CreateLockReopenQuitAndASignalRestoreTheTerminal) {
  std::string d = dir_.path().string();
  // Each run leaves the terminal's mode in a file (written whole, then moved into place).
  const std::string bin = QUV_BIN;
  std::string script = "ip link set lo up\n";
  script += "export QUV_WALLET_PATH=" + d + "/quv.wallet QUV_CHAIN_PATH=" + d +
            "/quv.chain HOME=" + d + " TERM=xterm-256color\n";
  script += "'" + bin + "' wallet\n";
  script += "stty -a > " + d + "/t1; mv " + d + "/t1 " + d + "/stty1\n";
  script += "sh -c 'echo $$ > " + d + "/pid; exec \"$0\" wallet' '" + bin + "'\n";
  script += "stty -a > " + d + "/t2; mv " + d + "/t2 " + d + "/stty2\n";
  script += "sh -c 'echo $$ > " + d + "/pid3; exec \"$0\" wallet' '" + bin + "'\n";
  script += "echo \"status $?\" > " + d + "/t3; stty -a >> " + d + "/t3; mv " + d + "/t3 " + d +
            "/stty3\n";
  script += "echo finished\nexec sleep 60\n";
  ASSERT_TRUE(proc::spit(dir_ / "run.sh", script));
  ASSERT_TRUE(tmux_.start("w", 100, 26, "unshare -n sh " + d + "/run.sh"));
  ASSERT_TRUE(wait_for("┌ welcome")) << screen();
  EXPECT_EQ(alternate(), "1\n");

  key("n");
  ASSERT_TRUE(wait_for("┌ passphrase")) << screen();
  keys("correct horse");
  key("Enter");
  ASSERT_TRUE(wait_for("┌ repeat")) << screen();
  keys("correct horse");
  key("Enter");
  ASSERT_TRUE(wait_for("Saved. Sync later: No node reachable.")) << screen();
  EXPECT_NE(screen().find("Receive address"), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(dir_ / "quv.wallet"));

  key("Escape");
  ASSERT_TRUE(wait_for("┌ welcome")) << screen();
  key("o");
  ASSERT_TRUE(wait_for("┌ open")) << screen();
  keys("correct horse");
  key("Enter");
  ASSERT_TRUE(wait_for("Wallet opened. No node reachable.")) << screen();
  EXPECT_NE(screen().find("┌ wallet"), std::string::npos);

  key("q");
  ASSERT_TRUE(wait_file(dir_ / "stty1"));
  EXPECT_TRUE(cooked(proc::slurp(dir_ / "stty1"))) << proc::slurp(dir_ / "stty1");

  // The second run ends by SIGTERM while it waits for a key.
  ASSERT_TRUE(wait_file(dir_ / "pid"));
  ASSERT_TRUE(wait_for("┌ welcome")) << screen();
  std::string pid = proc::slurp(dir_ / "pid");
  ASSERT_EQ(proc::run("/bin/sh", {"-c", "kill -TERM " + pid}).status, 0);
  ASSERT_TRUE(wait_file(dir_ / "stty2"));
  EXPECT_TRUE(cooked(proc::slurp(dir_ / "stty2"))) << proc::slurp(dir_ / "stty2");

  // The third run gets SIGSEGV on the import screen, where a typed key is text.
  ASSERT_TRUE(wait_file(dir_ / "pid3"));
  ASSERT_TRUE(wait_for("┌ welcome")) << screen();
  key("i");
  ASSERT_TRUE(wait_for("┌ import")) << screen();
  EXPECT_EQ(alternate(), "1\n");
  std::string pid3 = proc::slurp(dir_ / "pid3");
  ASSERT_EQ(proc::run("/bin/sh", {"-c", "kill -SEGV " + pid3}).status, 0);
  ASSERT_TRUE(wait_for("finished")) << screen();
  EXPECT_EQ(alternate(), "0\n");
  std::string third = proc::slurp(dir_ / "stty3");
  EXPECT_TRUE(third.starts_with("status 139\n")) << third;
  EXPECT_TRUE(cooked(third)) << third;
}

}  // namespace

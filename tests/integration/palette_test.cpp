// Runs both terminal UIs on a real terminal (a tmux pane, in a network namespace of its
// own) as most terminals announce themselves, TERM=xterm-256color with or without
// COLORTERM, and reads the colours of the screen back with capture-pane -e.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "proc.h"
#include "tmux.h"

namespace {

TEST(PaletteIntegration, ScreensAre24BitWhereColortermSaysSo) {
  tmux::Server tmux("quv-palette-test-" + std::to_string(::getpid()));
  if (!tmux.available()) GTEST_SKIP() << "tmux is not installed";
  if (proc::run("/bin/sh", {"-c", "unshare -n true"}).status != 0) {
    GTEST_SKIP() << "needs its own network namespace (unshare -n, as root)";
  }
  proc::TempDir dir;
  struct Case {
    std::string ui;
    std::string colorterm;  // empty: not set
    std::string brand, background;
  };
  const Case cases[] = {
      {"node", "truecolor", "38;2;226;91;42", "48;2;11;12;16"},
      {"node", "24bit", "38;2;226;91;42", "48;2;11;12;16"},
      {"node", "", "38;5;166", "48;5;233"},
      {"wallet", "truecolor", "38;2;226;91;42", "48;2;11;12;16"},
      {"wallet", "24bit", "38;2;226;91;42", "48;2;11;12;16"},
      {"wallet", "", "38;5;166", "48;5;233"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ui + " COLORTERM=" + c.colorterm);
    const std::string d = dir.path().string();
    std::string env = "env -u COLORTERM TERM=xterm-256color LANG=C.UTF-8 HOME=" + d +
                      " QUV_CHAIN_PATH=" + d + "/quv.chain QUV_WALLET_PATH=" + d + "/quv.wallet";
    if (!c.colorterm.empty()) env += " COLORTERM=" + c.colorterm;
    const std::string script = "ip link set lo up; exec " + env + " '" + QUV_BIN + "' " + c.ui;
    ASSERT_TRUE(proc::spit(dir / "run.sh", script));
    ASSERT_TRUE(tmux.start("p", 100, 30, "unshare -n sh " + d + "/run.sh"));
    ASSERT_TRUE(tmux.wait_for("p", {" QÚV ", "┌"}, std::chrono::seconds(20))) << tmux.screen("p");
    const std::string seen = tmux.run({"capture-pane", "-e", "-p", "-t", "p"}).out;
    EXPECT_NE(seen.find(c.brand), std::string::npos) << seen;
    EXPECT_NE(seen.find(c.background), std::string::npos) << seen;
    // Never the other kind of colour.
    EXPECT_EQ(seen.find(c.colorterm.empty() ? "8;2;" : "8;5;"), std::string::npos) << seen;
    tmux.run({"kill-session", "-t", "p"});
  }
}

}  // namespace

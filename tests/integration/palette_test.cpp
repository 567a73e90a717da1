// Both UIs on a tmux pane (in a network namespace of its own) under TERM=xterm-256color,
// with and without COLORTERM; the colours of the screen are read back with capture-pane -e.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "proc.h"
#include "tmux.h"

TEST(PaletteIntegration, ScreensAre24BitWhereColortermSaysSo) {
  tmux::Server tmux("quv-palette-test-" + std::to_string(::getpid()));
  if (!tmux.available() || proc::run("/bin/sh", {"-c", "unshare -n true"}).status != 0) {
    GTEST_SKIP() << "needs tmux and a network namespace of its own (unshare -n, as root)";
  }
  proc::TempDir dir;
  const std::string d = dir.path().string();
  for (std::string ui : {"node", "wallet"}) {
    for (std::string colorterm : {"truecolor", "24bit", ""}) {
      SCOPED_TRACE(ui + " COLORTERM=" + colorterm);
      ASSERT_TRUE(proc::spit(
          dir / "run.sh", "ip link set lo up; exec env -u COLORTERM " +
                              (colorterm.empty() ? "" : "COLORTERM=" + colorterm) +
                              " TERM=xterm-256color LANG=C.UTF-8 HOME=" + d + " QUV_CHAIN_PATH=" +
                              d + "/c QUV_WALLET_PATH=" + d + "/w " QUV_BIN " " + ui));
      ASSERT_TRUE(tmux.start("p", 100, 30, "unshare -n sh " + d + "/run.sh"));
      ASSERT_TRUE(tmux.wait_for("p", {" QÚV ", "┌"}, std::chrono::seconds(20))) << tmux.screen("p");
      const std::string seen = tmux.run({"capture-pane", "-e", "-p", "-t", "p"}).out;
      // Brand and background in 24 bits, or the nearest of 256; never the other kind.
      const bool direct = !colorterm.empty();
      EXPECT_NE(seen.find(direct ? "38;2;226;91;42" : "38;5;166"), std::string::npos) << seen;
      EXPECT_NE(seen.find(direct ? "48;2;11;12;16" : "48;5;233"), std::string::npos) << seen;
      EXPECT_EQ(seen.find(direct ? "8;5;" : "8;2;"), std::string::npos) << seen;
      tmux.run({"kill-session", "-t", "p"});
    }
  }
}

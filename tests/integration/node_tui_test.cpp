// Runs `quv node` on a terminal: a tmux pane inside a network namespace of the test's own
// (the node port is fixed, so the node needs a namespace to itself). The first UI runs
// the node in-process; a second UI attaches to it. The test reads the screens with
// tmux capture-pane and types with send-keys.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <random>
#include <string>
#include <thread>

#include "chain_gen.h"
#include "ledger/chain.h"
#include "ledger/work.h"
#include "net/net.h"
#include "proc.h"
#include "tmux.h"

namespace {

bool ok(const std::string& cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0; }

std::string sh_quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// A network namespace and a tmux server of the test's own, removed with every process
// in them when the test ends.
class Rig {
 public:
  Rig()
      : ns_("quvtui" + std::to_string(::getpid())), tmux_("quvtui" + std::to_string(::getpid())) {}
  ~Rig() {
    if (made_) {
      ok("ip netns pids " + ns_ + " | xargs -r kill -9");
      ok("ip netns del " + ns_);
    }
  }
  bool make() {
    made_ = ok("ip netns add " + ns_);
    return made_ && ok("ip netns exec " + ns_ + " ip link set lo up");
  }
  const std::string& ns() const { return ns_; }

  // Starts `command` in the namespace on a new 100 x 40 pane named `name`; when it ends
  // the pane shows its exit status and the terminal's modes.
  bool start(const std::string& name, const std::string& command) {
    std::string script = "ip netns exec " + ns_ + " " + command +
                         "; echo QUV-EXIT=$?; stty -a | tr -s ' ' '\\n' | grep -x -e icanon -e "
                         "-icanon -e echo -e -echo | tr '\\n' ' '; echo; sleep 600";
    return tmux_.start(name, 100, 40, script);
  }
  std::string screen(const std::string& name) { return tmux_.screen(name); }
  void keys(const std::string& name, const std::string& key) { tmux_.key(name, key); }
  // Waits up to `secs` for the pane to show every one of `texts`.
  bool wait_for(const std::string& name, std::vector<std::string> texts, int secs = 20) {
    return tmux_.wait_for(name, texts, std::chrono::seconds(secs));
  }

  // One HTTP request to the node inside the namespace, from a thread that joins it.
  std::optional<Bytes> call(const std::string& method, const std::string& path, Bytes body) {
    std::optional<Bytes> reply;
    std::thread t([&] {
      int fd = ::open(("/var/run/netns/" + ns_).c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0 || ::setns(fd, CLONE_NEWNET) != 0) return;
      ::close(fd);
      reply = net::http_call_timeout("127.0.0.1:19191", method, path, body, "application/json", 3);
    });
    t.join();
    return reply;
  }

 private:
  std::string ns_;
  tmux::Server tmux_;
  bool made_ = false;
};

TEST(NodeTuiIntegration, OwnModeThenAttached) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to create a network namespace";
  if (tmux::which("tmux").empty()) GTEST_SKIP() << "tmux is not installed";
  Rig rig;
  if (!rig.make()) GTEST_SKIP() << "cannot create a network namespace here";

  // A chain with a transfer in its mempool, acknowledged and ready to seal, and a peer
  // that refuses at once.
  proc::TempDir dir;
  const std::string chain_path = (dir / "quv.chain").string();
  {
    std::mt19937_64 rng(11);
    auto c = Chain::open(chain_path);
    ASSERT_TRUE(c) << c.error().to_string();
    chain_gen::Owned note = chain_gen::key_pair(rng);
    ASSERT_TRUE(c->seal_txs({chain_gen::work_tx({chain_gen::output(note, rng)}, 10)}));
    ASSERT_TRUE(work::set_peers(*c, {"127.0.0.1:19192"}));
    chain_gen::Owned to = chain_gen::key_pair(rng);
    std::vector<chain_gen::Owned> in = {note};
    auto txid = c->submit_tx(chain_gen::transfer(in, {chain_gen::output(to, rng)}));
    ASSERT_TRUE(txid) << txid.error().to_string();
    ASSERT_TRUE(c->ack_tx(*txid, "peer-a"));
    ASSERT_TRUE(c->ack_tx(*txid, "peer-b"));
  }
  const std::string env = "env LANG=C.UTF-8 QUV_CHAIN_PATH=" + sh_quote(chain_path) + " ";

  ASSERT_TRUE(rig.start("own", env + QUV_BIN " node"));
  ASSERT_TRUE(rig.wait_for("own", {" QÚV  Node · Neighbourhood", "┌ node ─", "height 1 ",
                                   "mempool 1", "listen 0.0.0.0:19191", "[Q] Quit"}))
      << rig.screen("own");
  // S seals it (the node's own tick would too, a second later, if the key came late).
  rig.keys("own", "S");
  ASSERT_TRUE(rig.wait_for("own", {"  seal height=2 ", "height 2 ", "mempool 0"}))
      << rig.screen("own");
  std::cout << "--- own mode ---\n" << rig.screen("own");

  // A second UI finds the node running and attaches to it.
  ASSERT_TRUE(rig.start("attached", env + QUV_BIN " node"));
  ASSERT_TRUE(
      rig.wait_for("attached", {" QÚV  attached", "┌ node (attached) ─", "height 2 ",
                                "Attached to the node already running on :19191. [Q] closes this "
                                "TUI only.",
                                "[Q] Close TUI (node keeps running)"}))
      << rig.screen("attached");
  rig.keys("attached", "s");
  ASSERT_TRUE(rig.wait_for("attached", {"  seal requested"})) << rig.screen("attached");
  std::cout << "--- attached mode ---\n" << rig.screen("attached");
  rig.keys("attached", "q");
  ASSERT_TRUE(rig.wait_for("attached", {"QUV-EXIT=0", "icanon", "echo"})) << rig.screen("attached");
  EXPECT_EQ(rig.screen("attached").find("-icanon"), std::string::npos);
  EXPECT_TRUE(rig.call("GET", "/status", {})) << "the node outlives the attached UI";
  EXPECT_TRUE(rig.wait_for("own", {"height 2 "}));

  rig.keys("own", "Q");
  ASSERT_TRUE(rig.wait_for("own", {"QUV-EXIT=0", "icanon", "echo"})) << rig.screen("own");
  std::string after = rig.screen("own");
  EXPECT_EQ(after.find("-icanon"), std::string::npos) << after;
  EXPECT_EQ(after.find("-echo"), std::string::npos) << after;
  EXPECT_EQ(after.find("┌ node"), std::string::npos) << "the alternate screen is gone";
  EXPECT_FALSE(rig.call("GET", "/status", {})) << "the node ends with its UI";

  // --plain on a terminal runs the log loop instead of the UI.
  ASSERT_TRUE(rig.start("plain", env + QUV_BIN " node --plain"));
  ASSERT_TRUE(rig.wait_for("plain", {"listen 0.0.0.0:19191", "QÚV node  file=", "Ctrl+C to stop."}))
      << rig.screen("plain");
  EXPECT_EQ(rig.screen("plain").find("┌ node"), std::string::npos);
  rig.keys("plain", "C-c");
  bool gone = false;
  for (int i = 0; i < 100 && !gone; ++i) {
    gone = !rig.call("GET", "/status", {});
    if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(gone) << "Ctrl+C ends the plain loop";

  // A chain that cannot be opened: the error is printed on a terminal in its normal mode.
  ASSERT_TRUE(rig.start(
      "broken", "env LANG=C.UTF-8 QUV_CHAIN_PATH=/proc/version/quv.chain " QUV_BIN " node"));
  ASSERT_TRUE(rig.wait_for("broken", {"Error: ", "QUV-EXIT=1", "icanon", "echo"}))
      << rig.screen("broken");
  std::string broken = rig.screen("broken");
  EXPECT_EQ(broken.find("-icanon"), std::string::npos) << broken;
  EXPECT_EQ(broken.find("Error: "), 0u) << "printed after the alternate screen was left";
}

}  // namespace

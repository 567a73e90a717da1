// A wallet against a real node: the node runs in a network namespace of its own (its port is
// fixed, and other nodes may be running on this machine), the wallet's calls are made from a
// thread that has joined that namespace. Mint to one wallet, sync, send part of it to a
// second wallet, let the node seal, sync both.
#include "wallet/light.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/seed.h"
#include "core/transfer.h"
#include "ledger/chain.h"
#include "proc.h"
#include "wallet/walletdb.h"

namespace fs = std::filesystem;

namespace {

const std::string kNode = "127.0.0.1:19191";

// A network namespace with only its loopback up, deleted when dropped.
class Netns {
 public:
  Netns() : name_("quvlt" + std::to_string(::getpid())) {
    proc::run("/usr/sbin/ip", {"netns", "delete", name_});
    auto add = proc::run("/usr/sbin/ip", {"netns", "add", name_});
    if (add.status != 0) {
      error_ = add.err.empty() ? "ip netns add failed" : add.err;
      return;
    }
    auto up = proc::run("/usr/sbin/ip", {"-n", name_, "link", "set", "lo", "up"});
    if (up.status != 0) {
      error_ = up.err;
      return;
    }
    ok_ = true;
  }
  ~Netns() { proc::run("/usr/sbin/ip", {"netns", "delete", name_}); }
  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }
  const std::string& name() const { return name_; }

  // Runs `fn` on a thread that has joined the namespace, and waits for it.
  bool run_inside(const std::function<void()>& fn) const {
    bool joined = false;
    std::thread t([&] {
      int fd = ::open(("/var/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) return;
      joined = ::setns(fd, CLONE_NEWNET) == 0;
      ::close(fd);
      if (joined) fn();
    });
    t.join();
    return joined;
  }

 private:
  std::string name_;
  std::string error_;
  bool ok_ = false;
};

// `quv node --plain` inside the namespace, its output in a file, stopped when dropped.
class NodeProcess {
 public:
  NodeProcess(const Netns& ns, const fs::path& chain, const fs::path& log) {
    pid_ = ::fork();
    if (pid_ != 0) return;
    int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
      ::dup2(fd, 1);
      ::dup2(fd, 2);
    }
    ::setenv("QUV_CONFIRM_PEERS", "0", 1);
    ::setenv("QUV_CHAIN_PATH", chain.c_str(), 1);
    ::execl("/usr/sbin/ip", "ip", "netns", "exec", ns.name().c_str(), QUV_BIN, "--chain",
            chain.c_str(), "node", "--plain", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ~NodeProcess() {
    if (!running()) return;
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 50 && running(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!running()) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    reaped_ = true;
  }
  // False once the process has ended (and has been reaped, so its pid is never signalled
  // again).
  bool running() {
    if (pid_ <= 0 || reaped_) return false;
    if (::waitpid(pid_, nullptr, WNOHANG) == 0) return true;
    reaped_ = true;
    return false;
  }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
};

// The wallet talks to the one node; the built-in seed nodes are never tried.
const light::Transport& only_local() {
  static const light::Transport t = [](const light::Call& c) -> std::optional<Bytes> {
    if (c.host != kNode) return std::nullopt;
    return light::http()(c);
  };
  return t;
}

struct Wallet {
  walletdb::Book book;
  light::Keyring keys;
  std::string address;
  explicit Wallet(uint8_t fill) {
    book = walletdb::blank(seed::to_mnemonic(seed::from_entropy(Bytes(16, fill)).value()));
    address = walletdb::recv_address(book);
  }
  Result<light::WalletView> sync() {
    std::vector<std::string> nodes = {kNode};
    return light::sync(nodes, book, keys, light::SyncOptions{&only_local(), 0});
  }
};

// Waits (at most `secs` seconds) until the node answers with a height of at least `height`;
// false at once when the node process has ended.
bool wait_for_height(int64_t height, int secs, NodeProcess& node) {
  for (int i = 0; i < secs * 10 && node.running(); ++i) {
    auto info = light::ping(kNode, only_local());
    if (info && info->height >= height) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

TEST(LightEndToEnd, MintSyncSendSealSync) {
  crypto::init();
  if (::geteuid() != 0) GTEST_SKIP() << "a network namespace needs root";
  if (!fs::exists("/usr/sbin/ip")) GTEST_SKIP() << "no ip command to make a network namespace";
  Netns ns;
  if (!ns.ok()) GTEST_SKIP() << "cannot make a network namespace: " << ns.error();
  proc::TempDir dir;
  const fs::path chain = dir / "quv.chain";
  Wallet alice(0x11), bob(0x22);

  auto mint = proc::run(QUV_BIN, {"--chain", chain.string(), "mint", alice.address, "5"});
  ASSERT_EQ(mint.status, 0) << mint.err;

  NodeProcess node(ns, chain, dir / "node.log");
  bool ready = false;
  ASSERT_TRUE(ns.run_inside([&] { ready = wait_for_height(1, 20, node); }));
  if (!ready &&
      proc::slurp(dir / "node.log").find("not available in this build") != std::string::npos) {
    GTEST_SKIP() << "this build of quv has no node to sync against";
  }
  ASSERT_TRUE(ready) << "node did not answer: " << proc::slurp(dir / "node.log");
  ASSERT_TRUE(ns.run_inside([&] {
    auto a = alice.sync();
    ASSERT_TRUE(a) << a.error().text();
    EXPECT_EQ(a->balance, 500000);
    ASSERT_EQ(a->history.size(), 1u);
    EXPECT_EQ(a->history[0].dir, "in");
    EXPECT_EQ(a->history[0].amount, 500000);
    EXPECT_EQ(a->history[0].to, alice.address);

    auto keys = walletdb::wallets_from_book(alice.book);
    auto tx = chain::make_transfer(keys.front(), a->notes, bob.address, 120000, "lunch");
    ASSERT_TRUE(tx) << tx.error().to_string();
    auto txid = light::submit_to(kNode, *tx, only_local());
    ASSERT_TRUE(txid) << txid.error().text();
    walletdb::remember_send(alice.book, *txid, 120000, "lunch", bob.address);

    ASSERT_TRUE(wait_for_height(2, 20, node))
        << "no block sealed: " << proc::slurp(dir / "node.log");

    a = alice.sync();
    ASSERT_TRUE(a) << a.error().text();
    EXPECT_EQ(a->balance, 380000);
    EXPECT_EQ(a->reserved, 0);
    ASSERT_EQ(a->notes.size(), 1u);
    EXPECT_EQ(a->notes[0].memo, "lunch");
    EXPECT_EQ(a->notes[0].height, 2u);
    ASSERT_EQ(a->history.size(), 2u);
    EXPECT_EQ(a->history[0], (light::HistRow{"out", "lunch", *txid, alice.address, bob.address,
                                             120000, 2, a->history[0].time, 0, 0}));

    auto b = bob.sync();
    ASSERT_TRUE(b) << b.error().text();
    EXPECT_EQ(b->balance, 120000);
    ASSERT_EQ(b->history.size(), 1u);
    EXPECT_EQ(b->history[0], (light::HistRow{"in", "lunch", *txid, alice.address, bob.address,
                                             120000, 2, a->history[0].time, 0, 0}));
    EXPECT_EQ(bob.book["sync"]["height"], 2);
  }));
  EXPECT_TRUE(node.running()) << proc::slurp(dir / "node.log");
}

}  // namespace

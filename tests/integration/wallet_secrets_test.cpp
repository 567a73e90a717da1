// A locked wallet forgets. The real `quv wallet` runs as an unprivileged user in a tmux pane
// inside a network namespace of the test's own, next to a node whose chain holds notes for
// the wallet. The test imports known words under a known passphrase, syncs the notes, shows
// the seed, locks, opens again and locks again; then, as root, it reads every writable page
// of the wallet process and looks for the passphrase, any two consecutive words of the
// mnemonic and the spending key of every note. It also checks that the process cannot dump
// core and that the wallet still runs where memory cannot be locked.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/crypto.h"
#include "core/hex.h"
#include "core/json_text.h"
#include "core/seed.h"
#include "proc.h"
#include "tmux.h"
#include "wallet/walletdb.h"

namespace {

using namespace std::chrono_literals;

// A needle and what it stands for in the report.
struct Needle {
  std::string what;
  std::string bytes;
};

// What a scan of a process's writable memory found.
struct Scan {
  size_t regions = 0;
  size_t bytes = 0;
  std::vector<std::string> found;
};

// Reads every writable mapping of `pid` through /proc/PID/mem and looks for each needle.
// Needles are searched per region (the regions are read whole, one at a time).
Scan scan_memory(pid_t pid, const std::vector<Needle>& needles) {
  Scan scan;
  std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
  int mem = ::open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
  if (mem < 0) return scan;
  std::string line;
  std::string region;
  while (std::getline(maps, line)) {
    std::istringstream in(line);
    std::string range, perms;
    in >> range >> perms;
    if (perms.size() < 2 || perms[1] != 'w') continue;
    uint64_t start = std::stoull(range.substr(0, range.find('-')), nullptr, 16);
    uint64_t end = std::stoull(range.substr(range.find('-') + 1), nullptr, 16);
    region.assign(end - start, '\0');
    size_t got = 0;
    while (got < region.size()) {
      ssize_t n =
          ::pread(mem, region.data() + got, region.size() - got, static_cast<off_t>(start + got));
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    if (got == 0) continue;
    region.resize(got);
    ++scan.regions;
    scan.bytes += got;
    for (const Needle& n : needles) {
      auto it = std::search(region.begin(), region.end(),
                            std::boyer_moore_horspool_searcher(n.bytes.begin(), n.bytes.end()));
      if (it != region.end()) {
        scan.found.push_back(n.what + " in " + line + " at end-" +
                             std::to_string(region.end() - it));
      }
    }
  }
  ::close(mem);
  return scan;
}

class WalletSecrets : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!tmux_.available()) GTEST_SKIP() << "tmux is not installed";
    if (tmux::which("setpriv").empty()) GTEST_SKIP() << "setpriv is not installed";
    if (::geteuid() != 0 || proc::run("/bin/sh", {"-c", "unshare -n true"}).status != 0) {
      GTEST_SKIP() << "needs root and its own network namespace (unshare -n)";
    }
  }

  std::string screen() { return tmux_.screen("w"); }
  void keys(const std::string& literal) { tmux_.keys("w", literal); }
  void key(const std::string& name) { tmux_.key("w", name); }
  // Waits (at most 60 s) until the pane shows `text`.
  bool wait_for(const std::string& text) { return tmux_.wait_for("w", {text}, 60s); }
  // Waits until the pane shows `text` and no longer waits on the node: keys typed during a
  // wait are dropped.
  bool settled(const std::string& text) {
    for (int i = 0; i < 600; ++i) {
      const std::string s = screen();
      if (s.find(text) != std::string::npos && s.find("Waiting for the node") == std::string::npos) {
        return true;
      }
      std::this_thread::sleep_for(100ms);
    }
    return false;
  }

  tmux::Server tmux_{"quv-secrets-test-" + std::to_string(::getpid())};
  proc::TempDir dir_;
};

TEST_F(WalletSecrets, ALockedWalletHoldsNoPassphraseWordsOrSpendingKeys) {
  crypto::init();
  const std::string d = dir_.path().string();
  const std::string bin = QUV_BIN;
  // Eleven characters: short enough to live inside a string object, on the stack too.
  const std::string pass = "vX9#qLm2!tz";
  const std::vector<std::string> words = seed::generate();
  const std::string mnemonic = seed::to_mnemonic(words);
  const std::string address = WalletKeys::from_mnemonic(mnemonic).address;

  // Notes for the wallet: one mint per block.
  constexpr int kNotes = 12;
  const std::string chain = d + "/quv.chain";
  for (int i = 1; i <= kNotes; ++i) {
    auto minted = proc::run(bin, {"--chain", chain, "mint", address, std::to_string(i)});
    ASSERT_EQ(minted.status, 0) << minted.err;
  }

  // The wallet runs as nobody, so its directory must be open to it.
  std::filesystem::create_directories(dir_ / "w");
  ::chmod(d.c_str(), 0755);
  ::chmod((d + "/w").c_str(), 0777);
  std::string script = "ip link set lo up\n";
  script += "export QUV_WALLET_PATH=" + d + "/w/quv.wallet QUV_CHAIN_PATH=" + chain + " HOME=" + d +
            "/w TERM=xterm-256color\n";
  script += "'" + bin + "' node --plain > " + d + "/node.log 2>&1 &\nnode=$!\n";
  script += "setpriv --reuid=65534 --regid=65534 --clear-groups sh -c 'echo $$ > " + d +
            "/w/pid; exec \"$0\" wallet' '" + bin + "'\n";
  script += "kill $node; wait; echo finished\nexec sleep 60\n";
  ASSERT_TRUE(proc::spit(dir_ / "run.sh", script));
  ASSERT_TRUE(tmux_.start("w", 120, 30, "unshare -n sh " + d + "/run.sh"));
  ASSERT_TRUE(wait_for("┌ welcome")) << screen();

  // Import the words, store them under the passphrase and sync the notes.
  key("i");
  ASSERT_TRUE(wait_for("┌ import")) << screen();
  keys(mnemonic);
  key("Enter");
  ASSERT_TRUE(wait_for("┌ passphrase")) << screen();
  keys(pass);
  key("Enter");
  ASSERT_TRUE(wait_for("┌ repeat")) << screen();
  keys(pass);
  key("Enter");
  ASSERT_TRUE(wait_for("Full sync done.")) << screen();
  ASSERT_TRUE(wait_for("Notes " + std::to_string(kNotes) + " ")) << screen();
  key("b");
  ASSERT_TRUE(wait_for("┌ Seed")) << screen();
  key("Enter");
  key("n");
  ASSERT_TRUE(wait_for("┌ notes")) << screen();
  key("Escape");
  key("h");
  ASSERT_TRUE(settled("┌ history")) << screen();
  key("Escape");
  ASSERT_TRUE(wait_for("┌ wallet")) << screen();

  // Lock, open again with the passphrase, lock again.
  key("Escape");
  ASSERT_TRUE(wait_for("┌ welcome")) << screen();
  key("o");
  ASSERT_TRUE(wait_for("┌ open")) << screen();
  keys(pass);
  key("Enter");
  ASSERT_TRUE(wait_for("Wallet opened. Synced to height")) << screen();
  ASSERT_TRUE(wait_for("Notes " + std::to_string(kNotes) + " ")) << screen();
  key("Escape");
  ASSERT_TRUE(wait_for("┌ welcome")) << screen();
  std::this_thread::sleep_for(600ms);

  // The spending keys of the notes, from the wallet file.
  std::vector<Needle> needles = {{"the passphrase", pass}};
  for (size_t i = 0; i + 1 < words.size(); ++i) {
    needles.push_back({"words " + std::to_string(i + 1) + " and " + std::to_string(i + 2),
                       words[i] + " " + words[i + 1]});
  }
  auto plain = walletdb::decrypt(proc::slurp(dir_ / "w" / "quv.wallet"), pass);
  ASSERT_TRUE(plain) << plain.error().text();
  auto book = jtext::parse(std::string_view(plain->data(), plain->size()));
  ASSERT_TRUE(book);
  const auto& notes = (*book)["sync"]["notes"];
  ASSERT_EQ(notes.size(), size_t{kNotes});
  for (const auto& n : notes) {
    std::string sk_hex = n["auth_sk"].get<std::string>();
    Bytes sk = hex::decode(sk_hex).value();
    // The first half is the secret seed; the second half is the public key, which the
    // outputs of the chain carry in the clear.
    needles.push_back({"a spending key as text", sk_hex.substr(0, 64)});
    needles.push_back({"a spending key", std::string(sk.begin(), sk.begin() + 32)});
  }

  pid_t pid = std::stoi(proc::slurp(dir_ / "w" / "pid"));
  Scan scan = scan_memory(pid, needles);
  std::string status = proc::slurp("/proc/" + std::to_string(pid) + "/status");
  std::string limits = proc::slurp("/proc/" + std::to_string(pid) + "/limits");
  struct stat st {};
  ASSERT_EQ(::stat(("/proc/" + std::to_string(pid) + "/mem").c_str(), &st), 0);
  std::string locked = status.substr(status.find("VmLck:"));
  std::printf("scanned %zu writable regions, %zu bytes, for %zu needles: %zu found\n", scan.regions,
              scan.bytes, needles.size(), scan.found.size());
  std::printf("%s", locked.substr(0, locked.find('\n') + 1).c_str());
  for (const std::string& f : scan.found) std::printf("found %s\n", f.c_str());

  EXPECT_GT(scan.bytes, size_t{64} << 10) << "root could not read the wallet's memory";
  EXPECT_TRUE(scan.found.empty());
  // Not dumpable: the process's files belong to root although it runs as nobody.
  EXPECT_NE(status.find("Uid:\t65534"), std::string::npos) << status;
  EXPECT_EQ(st.st_uid, 0u);
  std::istringstream lim(limits);
  std::string row;
  while (std::getline(lim, row)) {
    if (row.starts_with("Max core file size")) {
      std::istringstream cols(row.substr(std::string("Max core file size").size()));
      std::string soft;
      cols >> soft;
      EXPECT_EQ(soft, "0") << row;
    }
  }

  key("q");
  EXPECT_TRUE(wait_for("finished")) << screen();
}

}  // namespace

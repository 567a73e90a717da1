// Many one-shot commands on one chain at once, and the chain on a full disk, in a
// read-only directory and beside odd files: the real `quv` binary, checked by reading the
// chain file and the node state file independently of the ledger that wrote them.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <thread>

#include "core/codec.h"
#include "core/crypto.h"
#include "core/hashing.h"
#include "core/hex.h"
#include "ledger/chain.h"
#include "ledger/state.h"
#include "proc.h"

namespace fs = std::filesystem;

namespace {

using Env = std::vector<std::pair<std::string, std::optional<std::string>>>;

std::string address(uint8_t fill) {
  crypto::MasterKey master;
  std::fill(master.data(), master.data() + master.size(), fill);
  return WalletKeys::from_master(master, 0).address;
}

proc::Outcome quv(const fs::path& chain, std::vector<std::string> args,
                  std::vector<std::string> prefix = {}) {
  std::vector<std::string> all = {"--chain", chain.string()};
  all.insert(all.end(), args.begin(), args.end());
  Env env{{"QUV_CHAIN_PATH", std::nullopt},
          {"QUV_DB_PATH", std::nullopt},
          {"QUV_CONFIRM_PEERS", std::nullopt}};
  if (prefix.empty()) return proc::run(QUV_BIN, std::move(all), env);
  // Run through a wrapper (another user): the wrapper's arguments first.
  std::vector<std::string> args2(prefix.begin() + 1, prefix.end());
  args2.push_back(QUV_BIN);
  args2.insert(args2.end(), all.begin(), all.end());
  return proc::run(prefix.front(), std::move(args2), env);
}

// Runs every command at once, one thread each, and returns their outcomes in order.
std::vector<proc::Outcome> together(const std::vector<std::function<proc::Outcome()>>& jobs) {
  std::vector<proc::Outcome> out(jobs.size());
  std::vector<std::thread> threads;
  for (size_t i = 0; i < jobs.size(); ++i) threads.emplace_back([&, i] { out[i] = jobs[i](); });
  for (auto& t : threads) t.join();
  return out;
}

// What an independent reader finds in a chain file.
struct Walk {
  std::vector<codec::Block> blocks;
  uint64_t supply = 0;
  // Heights out of order and prev links that do not name the block before.
  int forks = 0;
  // Bytes after the last whole record.
  uint64_t tail = 0;
};

Walk walk(const fs::path& path) {
  const std::string text = proc::slurp(path);
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  Walk w;
  EXPECT_GE(text.size(), 4u);
  size_t at = 4;
  while (text.size() - at >= 4) {
    const size_t len = bytes::load_u32(p + at);
    if (text.size() - at - 4 < len + 32) break;
    auto block = codec::decode_block_body(ByteView(p + at + 4, len));
    EXPECT_TRUE(block) << "record at " << at;
    if (!block) break;
    EXPECT_EQ(hashing::h32(ByteView(p + at + 4, len)), [&] {
      Hash32 h;
      std::copy(p + at + 4 + len, p + at + 36 + len, h.begin());
      return h;
    }());
    const uint64_t height = w.blocks.size();
    if (block->height != height) ++w.forks;
    if (height > 0 && block->prev != w.blocks.back().hash) ++w.forks;
    for (const codec::Tx& tx : block->txs) {
      if (tx.type == codec::kTxWork) w.supply += tx.work_amount;
    }
    w.blocks.push_back(std::move(*block));
    at += 4 + len + 32;
  }
  w.tail = text.size() - at;
  return w;
}

NodeState state_of(const fs::path& chain) {
  auto s = state::parse(proc::slurp(state::path_for(chain)));
  EXPECT_TRUE(s) << "state file does not parse";
  return s.value_or(NodeState{});
}

// "mint 1,00000 QÚV  block 7 <hash>  supply=…": the height and the hash.
std::optional<std::pair<uint64_t, std::string>> minted(const proc::Outcome& r) {
  static const std::regex kLine("^mint [^ ]+ QÚV  block ([0-9]+) ([0-9a-f]{64})  supply=.*\n$");
  std::smatch m;
  if (r.status != 0 || !std::regex_match(r.out, m, kLine)) return std::nullopt;
  return std::make_pair(std::stoull(m[1]), m[2].str());
}

class Writers : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { crypto::init(); }
  fs::path chain() const { return dir_ / "quv.chain"; }
  proc::TempDir dir_;
};

// Every mint that printed its block is in the file exactly once, at the height it
// printed; heights run on, each block names the one before, and supply is the sum.
TEST_F(Writers, ConcurrentMintsLoseNothingAndForkNothing) {
  constexpr int kRounds = 6;
  constexpr int kProcs = 8;
  const std::string to = address(7);
  std::map<std::string, uint64_t> reported;  // block hash -> height printed
  int runs = 0;
  for (int round = 0; round < kRounds; ++round) {
    std::vector<std::function<proc::Outcome()>> jobs;
    for (int i = 0; i < kProcs; ++i) {
      jobs.push_back([&] { return quv(chain(), {"mint", to, "1"}); });
    }
    for (const proc::Outcome& r : together(jobs)) {
      ++runs;
      auto m = minted(r);
      ASSERT_TRUE(m) << r.out << r.err;
      EXPECT_TRUE(r.err.empty()) << r.err;
      EXPECT_TRUE(reported.emplace(m->second, m->first).second) << "block printed twice";
    }
  }
  const Walk w = walk(chain());
  EXPECT_EQ(w.forks, 0);
  EXPECT_EQ(w.tail, 0u);
  ASSERT_EQ(w.blocks.size(), reported.size() + 1) << "runs " << runs;
  std::set<uint64_t> heights;
  for (const auto& [hash, height] : reported) {
    ASSERT_LT(height, w.blocks.size());
    EXPECT_EQ(hex::encode(w.blocks[height].hash), hash) << "lost: block " << height;
    heights.insert(height);
  }
  EXPECT_EQ(heights.size(), reported.size());
  EXPECT_EQ(w.supply, 100000u * reported.size());
  EXPECT_EQ(state_of(chain()).height, static_cast<int64_t>(reported.size()));
  EXPECT_EQ(state_of(chain()).supply, w.supply);
}

// Reward and peer changes made beside mints, drops and seals are all in the state file
// at the end: no writer saves a state it read before another writer's change.
TEST_F(Writers, MixedCommandsKeepEveryReportedChange) {
  constexpr int kRounds = 5;
  int mints = 0;
  for (int round = 0; round < kRounds; ++round) {
    const std::string reward = address(static_cast<uint8_t>(20 + round));
    const std::string peer = "10.0.0." + std::to_string(round + 1) + ":19191";
    std::vector<std::function<proc::Outcome()>> jobs = {
        [&] {
          return quv(chain(), {"mint", address(3), "2"});
        },
        [&] {
          return quv(chain(), {"reward", reward});
        },
        [&] { return quv(chain(), {"drop"}); },
        [&] {
          return quv(chain(), {"mint", address(4), "2"});
        },
        [&] {
          return quv(chain(), {"peers", peer, "10.9.9.9:1"});
        },
        [&] { return quv(chain(), {"seal"}); },
        [&] {
          return quv(chain(), {"mint", address(5), "2"});
        },
    };
    auto out = together(jobs);
    for (size_t i : {0u, 3u, 6u}) {
      ASSERT_TRUE(minted(out[i])) << out[i].out << out[i].err;
      ++mints;
    }
    EXPECT_EQ(out[1].status, 0) << out[1].err;
    EXPECT_EQ(out[1].out, reward + "\n");
    EXPECT_EQ(out[2].status, 0) << out[2].err;
    EXPECT_EQ(out[4].status, 0) << out[4].err;
    EXPECT_EQ(out[5].err, "Error: Nothing to seal — mempool empty.\n");
    const NodeState st = state_of(chain());
    EXPECT_EQ(st.reward_address, reward);
    EXPECT_EQ(st.peers, (std::vector<std::string>{peer, "10.9.9.9:1"}));
  }
  const Walk w = walk(chain());
  EXPECT_EQ(w.forks, 0);
  EXPECT_EQ(w.blocks.size(), static_cast<size_t>(mints) + 1);
  EXPECT_EQ(w.supply, 200000u * static_cast<uint64_t>(mints));
}

// A small file system that fills up: every mint either prints its block, which is then in
// the file, or fails without appending anything, so a retry never pays twice.
TEST_F(Writers, FullDiskNeverReportsFailureForAnAppendedBlock) {
  const fs::path mnt = dir_ / "small";
  fs::create_directory(mnt);
  if (::mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=256k") != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs here: " << std::strerror(errno);
  }
  struct Unmount {
    fs::path p;
    ~Unmount() { ::umount2(p.c_str(), MNT_DETACH); }
  } unmount{mnt};
  const fs::path c = mnt / "quv.chain";
  ASSERT_EQ(quv(c, {"status"}).status, 0);
  // Fill the rest of the file system.
  const fs::path filler = mnt / "filler";
  {
    std::ofstream f(filler, std::ios::binary);
    const std::string page(4096, 'x');
    while (f.write(page.data(), page.size())) {
    }
  }
  int paid = 0;
  int refused = 0;
  // Free one page at a time and mint twice after each step.
  for (int step = 0; step < 12; ++step) {
    const uint64_t size = fs::file_size(filler);
    fs::resize_file(filler, size >= 4096 ? size - 4096 : 0);
    for (int attempt = 0; attempt < 2; ++attempt) {
      const uint64_t before = walk(c).blocks.size();
      auto r = quv(c, {"mint", address(9), "1"});
      const uint64_t after = walk(c).blocks.size();
      if (minted(r)) {
        ++paid;
        EXPECT_EQ(after, before + 1);
      } else {
        ++refused;
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(after, before) << "a block was appended, yet the command said: " << r.err;
      }
    }
  }
  EXPECT_GT(refused, 0) << "the disk never filled";
  EXPECT_GT(paid, 0) << "no mint ever fit";
  const Walk w = walk(c);
  EXPECT_EQ(w.forks, 0);
  EXPECT_EQ(w.supply, 100000u * static_cast<uint64_t>(paid));
  EXPECT_EQ(state_of(c).supply, w.supply);
}

// A directory in which nothing new can be created, holding a writable chain and state
// file: the commands that would change the state refuse before the chain grows.
TEST_F(Writers, ReadOnlyDirectoryPaysNothingItReportsFailed) {
  const fs::path d = dir_ / "ro";
  fs::create_directory(d);
  const fs::path c = d / "quv.chain";
  ASSERT_EQ(quv(c, {"reward", address(2)}).status, 0);
  // The command runs as an unprivileged user, for whom the directory is read-only.
  fs::permissions(dir_.path(), fs::perms(0755));
  fs::permissions(d, fs::perms(0555));
  fs::permissions(c, fs::perms(0666));
  fs::permissions(state::path_for(c), fs::perms(0666));
  const std::vector<std::string> nobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                           "--clear-groups"};
  if (auto probe = quv(c, {"status"}, nobody); probe.status != 0) {
    GTEST_SKIP() << "cannot run quv as another user here: " << probe.err;
  }
  const uint64_t blocks = walk(c).blocks.size();
  const std::string denied = "Error: Permission denied (os error 13)\n";
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"mint", address(3), "5"}, {"drop"}, {"mint", address(3), "5"}}) {
    auto r = quv(c, args, nobody);
    if (args[0] == "drop") {
      // Nothing accrued: the drop only restarts its window, which needs a save.
      EXPECT_EQ(r.err, denied);
    } else {
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.err, denied);
    }
    EXPECT_EQ(walk(c).blocks.size(), blocks) << "paid although reported failed";
  }
  fs::permissions(d, fs::perms(0755));
}

// A state file that is a pipe, or a link to a device that never ends, is a clear error
// at once, never a hang; so is a chain file of that kind.
TEST_F(Writers, OddFilesInPlaceOfTheChainOrStateFailAtOnce) {
  struct Case {
    std::string name;
    bool state;  // in place of the state file, else of the chain file
    bool fifo;   // a pipe, else a link to /dev/zero
  };
  const Case cases[] = {
      {"state link to /dev/zero", true, false},
      {"state pipe", true, true},
      {"chain link to /dev/zero", false, false},
      {"chain pipe", false, true},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    proc::TempDir d;
    const fs::path c = d / "quv.chain";
    const fs::path odd = tc.state ? state::path_for(c) : c;
    if (tc.fifo) {
      ASSERT_EQ(::mkfifo(odd.c_str(), 0666), 0);
    } else {
      fs::create_symlink("/dev/zero", odd);
    }
    const auto start = std::chrono::steady_clock::now();
    auto r = quv(c, {"status"});
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(1));
    EXPECT_EQ(r.status, 1);
    const std::string what = tc.state ? "Node state file is not a regular file: " + odd.string()
                                      : "Chain file is not a regular file: " + odd.string();
    EXPECT_EQ(r.err, "Error: chain\n\nCaused by:\n    " + what + "\n");
    auto m = quv(c, {"mint", address(1), "1"});
    EXPECT_EQ(m.status, 1);
    EXPECT_EQ(m.err, "Error: chain\n\nCaused by:\n    " + what + "\n");
  }
}

// Temporary files of state saves whose writer was killed are removed by the next writer;
// those of a writer that still runs stay.
TEST_F(Writers, LitterOfKilledWritersIsRemoved) {
  ASSERT_EQ(quv(chain(), {"status"}).status, 0);
  // A process that has ended: its pid is free (and not reused this quickly).
  auto gone = proc::run("/bin/sh", {"-c", "echo $$"});
  const std::string dead = std::to_string(std::stoi(gone.out));
  const std::string alive = std::to_string(::getpid());
  const std::vector<std::pair<std::string, bool>> files = {
      {".quv.node.part-" + dead + "-0", false},  {".quv.node.part-" + dead + "-17", false},
      {".quv.chain.adopt-" + dead, false},       {".quv.node.part-" + alive + "-3", true},
      {".quv.chain.adopt-" + alive, true},       {".quv.node.part-x-1", true},
      {".other.node.part-" + dead + "-0", true},
  };
  for (const auto& [name, keep] : files) ASSERT_TRUE(proc::spit(dir_ / name, "{}"));
  ASSERT_EQ(quv(chain(), {"reward", address(2)}).status, 0);
  for (const auto& [name, keep] : files) EXPECT_EQ(fs::exists(dir_ / name), keep) << name;
}

}  // namespace

// Runs the built `quv` binary in a scratch directory and checks what it prints on both
// streams and how it exits, byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <regex>

#include "core/codec.h"
#include "core/crypto.h"
#include "core/hex.h"
#include "core/seed.h"
#include "ledger/chain.h"
#include "proc.h"

namespace {

using Env = std::vector<std::pair<std::string, std::optional<std::string>>>;

const char* const kHint = "\nFor more information, try '--help'.\n";

class QuvCli : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { crypto::init(); }

  // Runs quv in the scratch directory. The test's own chain variables are removed and
  // HOME points into the scratch directory, so no run can reach a file outside it.
  proc::Outcome quv(std::vector<std::string> args, Env extra = {}) {
    Env env{{"QUV_CHAIN_PATH", std::nullopt},
            {"QUV_DB_PATH", std::nullopt},
            {"QUV_CONFIRM_PEERS", std::nullopt},
            {"HOME", dir_.path().string()}};
    env.insert(env.end(), extra.begin(), extra.end());
    return proc::run(QUV_BIN, std::move(args), env, dir_.path());
  }

  std::string chain() const { return (dir_ / "data" / "quv.chain").string(); }

  // The status lines of a fresh chain at `shown` (the path as quv prints it).
  static std::string fresh_status(const std::string& shown) {
    codec::Block g = chain::genesis_block();
    std::string tip = hex::encode(codec::block_hash(codec::encode_header(g)));
    size_t size = chain::kMagic.size() + codec::encode_record(g).size();
    return "QÚV  height=0 supply=0,00000 QÚV work=0s validated=0 rate=0,00001 QÚV/s tip=" + tip +
           "\nfile " + shown + "  " + std::to_string(size) + " bytes\n";
  }

  static std::string address(uint8_t fill) {
    crypto::MasterKey master;
    std::fill(master.data(), master.data() + master.size(), fill);
    return WalletKeys::from_master(master, 0).address;
  }

  static void expect(const proc::Outcome& r, int status, const std::string& out,
                     const std::string& err) {
    EXPECT_EQ(r.status, status);
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, err);
  }

  proc::TempDir dir_;
};

TEST_F(QuvCli, OperatorStoryOnOneChain) {
  const std::string addr = address(21);
  const std::string path = chain();

  expect(quv({"--chain", path, "status"}), 0, fresh_status(path), "");

  std::string typed = addr;
  std::transform(typed.begin(), typed.end(), typed.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  expect(quv({"reward", "  " + typed + "  ", "--chain", path}), 0, addr + "\n", "");

  auto minted = quv({"--chain", path, "mint", addr, "1,5"});
  EXPECT_EQ(minted.status, 0);
  EXPECT_EQ(minted.err, "");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(
      minted.out, m,
      std::regex("mint 1,50000 QÚV  block 1 (000[0-9a-f]{61})  supply=1,50000 QÚV\n")))
      << minted.out;
  const std::string tip = m[1];

  auto size = std::to_string(std::filesystem::file_size(path));
  const std::string status1 =
      "QÚV  height=1 supply=1,50000 QÚV work=0s validated=0 rate=0,00001 QÚV/s tip=" + tip +
      "\nreward " + addr + "\nfile " + path + "  " + size + " bytes\n";
  expect(quv({"--chain", path, "status"}), 0, status1, "");

  const std::string peers = "alpha:19191\nbeta:7\ngamma:19191\n";
  expect(quv({"--chain", path, "peers", "Alpha", "http://beta:7/", "gamma", "alpha"}), 0, peers,
         "");
  expect(quv({"--chain", path, "peers"}), 0, peers, "");

  expect(quv({"--chain", path, "seal"}), 1, "", "Error: Nothing to seal — mempool empty.\n");
  expect(quv({"--chain", path, "drop"}), 0, "drop 0,00000 QÚV\n", "");
  expect(quv({"--chain", path, "status"}), 0, status1, "");
}

TEST_F(QuvCli, ChainOptionBeforeOrAfterTheNameOverridesTheVariable) {
  const std::string opt = (dir_ / "opt.chain").string();
  Env env{{"QUV_CHAIN_PATH", (dir_ / "env.chain").string()}};
  auto before = quv({"--chain", opt, "status"}, env);
  auto after = quv({"status", "--chain", opt}, env);
  auto joined = quv({"status", "--chain=" + opt}, env);
  expect(before, 0, fresh_status(opt), "");
  expect(after, 0, fresh_status(opt), "");
  expect(joined, 0, fresh_status(opt), "");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "env.chain"));
}

TEST_F(QuvCli, ChainPathFromTheEnvironment) {
  struct Case {
    const char* what;
    std::vector<std::string> args;
    Env env;
    std::string shown;
  };
  const Case cases[] = {
      {"chain variable, relative to the working directory",
       {"status"},
       {{"QUV_CHAIN_PATH", "v/q.chain"}, {"QUV_DB_PATH", "db/x.db"}},
       "v/q.chain"},
      {"empty chain variable: the db variable decides",
       {"status"},
       {{"QUV_CHAIN_PATH", ""}, {"QUV_DB_PATH", "db/main.db"}},
       "db/main.chain"},
      {"db variable without extension",
       {"status"},
       {{"QUV_DB_PATH", "db/plain"}},
       "db/plain.chain"},
      {"empty option value: the db variable decides",
       {"--chain", "", "status"},
       {{"QUV_CHAIN_PATH", "v/other.chain"}, {"QUV_DB_PATH", "db/opt.x"}},
       "db/opt.chain"},
  };
  for (const auto& c : cases) {
    expect(quv(c.args, c.env), 0, fresh_status(c.shown), "");
    EXPECT_TRUE(std::filesystem::is_regular_file(dir_ / c.shown)) << c.what;
  }
  EXPECT_FALSE(std::filesystem::exists(dir_ / "v" / "other.chain"));
}

TEST_F(QuvCli, HomeFallbackIsUsedWhenItExists) {
  if (std::filesystem::exists("/var/lib/quv/quv.chain")) {
    GTEST_SKIP() << "this machine has a system chain file, which comes first";
  }
  expect(quv({"--chain", ".quv/quv.chain", "status"}), 0, fresh_status(".quv/quv.chain"), "");
  std::string home_chain = (dir_ / ".quv" / "quv.chain").string();
  // Without any variable or option, the file in the home directory is found.
  expect(quv({"status"}), 0, fresh_status(home_chain), "");
}

TEST_F(QuvCli, MintAmountErrorsTouchNoFile) {
  struct Case {
    const char* amount;
    const char* err;
  };
  const Case cases[] = {
      {"0", "Error: Amount must be positive.\n"},
      {"0,000", "Error: Amount must be positive.\n"},
      {"lots", "Error: amount\n"},
      {"0,000001", "Error: amount\n"},
      {"1.234.567", "Error: amount\n"},
  };
  for (const auto& c : cases) {
    expect(quv({"--chain", chain(), "mint", address(1), c.amount}), 1, "", c.err);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "data")) << c.amount;
  }
  // A negative amount is an unknown option to the parser; after "--" it is a value that
  // does not parse.
  auto negative = quv({"--chain", chain(), "mint", address(1), "-5"});
  EXPECT_EQ(negative.status, 2);
  EXPECT_EQ(negative.out, "");
  EXPECT_TRUE(negative.err.starts_with("error: unexpected argument '-5' found\n")) << negative.err;
  expect(quv({"--chain", chain(), "mint", address(1), "--", "-5"}), 1, "", "Error: amount\n");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "data"));
  // Nor is a dash and a digit ever taken as the chain file's name.
  EXPECT_EQ(quv({"--chain", "-5", "status"}).status, 2);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "-5"));
}

TEST_F(QuvCli, MintAndRewardRefuseBadAddresses) {
  expect(quv({"--chain", chain(), "mint", "quv1nope", "1"}), 1, "",
         "Error: Invalid QÚV address.\n");
  expect(quv({"--chain", chain(), "reward", "quv1nope"}), 1, "", "Error: Invalid QÚV address.\n");
  expect(quv({"--chain", chain(), "status"}), 0, fresh_status(chain()), "");
}

TEST_F(QuvCli, PeersAndRewardOnAFreshChain) {
  expect(quv({"--chain", chain(), "peers"}), 0, "(no peers)\n", "");
  expect(quv({"--chain", chain(), "peers", "bad_host"}), 1, "", "Error: Invalid peer address.\n");
  expect(quv({"--chain", chain(), "peers", " ", ""}), 0, "seed.quv.network:19191\n", "");
  expect(quv({"--chain", chain(), "reward", address(2)}), 0, address(2) + "\n", "");
  // An empty address clears it and prints an empty line; status then shows no reward line.
  expect(quv({"--chain", chain(), "reward", ""}), 0, "\n", "");
  expect(quv({"--chain", chain(), "status"}), 0, fresh_status(chain()), "");
}

TEST_F(QuvCli, DamagedChainFileReportsItsCause) {
  ASSERT_EQ(quv({"--chain", chain(), "status"}).status, 0);
  std::string file = proc::slurp(chain());
  std::string bad_sum = file;
  bad_sum.back() ^= 1;
  std::string bad_magic = file;
  bad_magic[3] = 2;
  struct Case {
    std::string content;
    std::vector<std::string> args;
    std::string err;
  };
  const std::string checksum = "Block checksum mismatch — file corrupt.";
  const std::string magic = "not a QÚV chain file (magic QUV\\x01)";
  const Case cases[] = {
      {bad_sum, {"status"}, "Error: chain\n\nCaused by:\n    " + checksum + "\n"},
      {bad_sum, {"mint", address(3), "1"}, "Error: chain\n\nCaused by:\n    " + checksum + "\n"},
      {bad_sum, {"reward", ""}, "Error: " + checksum + "\n"},
      {bad_sum, {"seal"}, "Error: " + checksum + "\n"},
      {bad_sum, {"drop"}, "Error: " + checksum + "\n"},
      {bad_sum, {"peers"}, "Error: " + checksum + "\n"},
      {bad_magic, {"status"}, "Error: chain\n\nCaused by:\n    " + magic + "\n"},
      {"QU", {"status"}, "Error: chain\n\nCaused by:\n    failed to fill whole buffer\n"},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(proc::spit(chain(), c.content));
    std::vector<std::string> args{"--chain", chain()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    expect(quv(args), 1, "", c.err);
    EXPECT_EQ(proc::slurp(chain()), c.content) << "nothing is repaired";
  }
}

TEST_F(QuvCli, UnopenableChainPathNamesThePlatformError) {
  std::filesystem::create_directories(dir_ / "data" / "quv.chain");
  auto r = quv({"--chain", chain(), "status"});
  expect(r, 1, "", "Error: chain\n\nCaused by:\n    Is a directory (os error 21)\n");
}

TEST_F(QuvCli, UsageErrorsGoToStandardErrorWithStatusTwo) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const Case cases[] = {
      {{"foo"}, "error: unrecognized subcommand 'foo'\n\nUsage: quv [OPTIONS] SUBCOMMAND\n"},
      {{"reward"}, "error: ADDRESS is required\n\nUsage: quv reward [OPTIONS] ADDRESS\n"},
      {{"mint", "quv1x"},
       "error: AMOUNT is required\n\nUsage: quv mint [OPTIONS] ADDRESS AMOUNT\n"},
      {{"node", "now"},
       "error: The following argument was not expected: now\n\nUsage: quv node [OPTIONS]\n"},
      {{"node", "--plain=1"},
       "error: unexpected value '1' for '--plain' found; no more were expected\n\n"
       "Usage: quv node [OPTIONS]\n"},
      {{"status", "\xc3("},
       "error: invalid UTF-8 was detected in one or more arguments\n\n"
       "Usage: quv [OPTIONS] SUBCOMMAND\n"},
  };
  for (const auto& c : cases) {
    expect(quv(c.args), 2, "", c.err + kHint);
  }
  EXPECT_FALSE(std::filesystem::exists(dir_ / ".quv"));
}

TEST_F(QuvCli, HelpVersionAndNoArguments) {
  auto help = quv({"--help"});
  expect(help, 0, help.out, "");
  EXPECT_TRUE(
      help.out.starts_with("QÚV — Node TUI, chain, wallet TUI\nUsage: quv [OPTIONS] "
                           "SUBCOMMAND\n"))
      << help.out;
  expect(quv({"-h"}), 0, help.out, "");
  expect(quv({"help"}), 0, help.out, "");
  expect(quv({}), 2, "", help.out);
  expect(quv({"-V"}), 0, "quv 0.1.0\n", "");
  expect(quv({"--version"}), 0, "quv 0.1.0\n", "");
  auto sub = quv({"help", "mint"});
  expect(sub, 0, quv({"mint", "--help"}).out, "");
  EXPECT_TRUE(
      sub.out.starts_with("Testnet: mint QÚV without the work cap (reset the chain before launch)\n"
                          "Usage: quv mint [OPTIONS] ADDRESS AMOUNT\n"))
      << sub.out;
}

TEST_F(QuvCli, SeedPrintsThirteenValidWords) {
  auto r = quv({"seed"});
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  ASSERT_TRUE(r.out.ends_with("\n"));
  std::string line = r.out.substr(0, r.out.size() - 1);
  auto words = seed::parse(line);
  ASSERT_TRUE(words) << line;
  EXPECT_EQ(seed::to_mnemonic(*words), line);
  EXPECT_NE(quv({"seed"}).out, r.out);
  EXPECT_FALSE(std::filesystem::exists(dir_ / ".quv")) << "seed opens no chain";
}

TEST_F(QuvCli, LostOutputIsAFailure) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  // Standard output on a full device: the lines cannot be written, so the run failed.
  auto r = proc::run("/bin/sh", {"-c", std::string("exec \"$0\" seed >/dev/full"), QUV_BIN});
  expect(r, 1, "", "Error: No space left on device (os error 28)\n");
}

// The node runs for real (tests/integration/node_cli_test.cpp).
TEST_F(QuvCli, WalletWithoutATerminalReportsWhy) {
  // Standard input is a pipe here, so the terminal cannot be put into raw mode.
  expect(quv({"wallet", "--chain", chain()}), 1, "",
         "Error: Inappropriate ioctl for device (os error 25)\n");
}

}  // namespace

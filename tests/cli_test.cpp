#include "app/cli.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <set>

#include "core/crypto.h"
#include "proc.h"

namespace {

using cli::Cli;
using cli::Cmd;

std::vector<std::string> argv_of(std::initializer_list<const char*> rest) {
  std::vector<std::string> out{"quv"};
  out.insert(out.end(), rest.begin(), rest.end());
  return out;
}

TEST(CliParse, SubcommandsAndTheirValues) {
  struct Case {
    std::vector<std::string> args;
    Cli want;
  };
  const std::string a = "quv1abc";
  const Case cases[] = {
      {argv_of({"node"}), {std::nullopt, {Cmd::Node{false}}}},
      {argv_of({"node", "--plain"}), {std::nullopt, {Cmd::Node{true}}}},
      {argv_of({"wallet"}), {std::nullopt, {Cmd::Wallet{}}}},
      {argv_of({"seed"}), {std::nullopt, {Cmd::Seed{}}}},
      {argv_of({"status"}), {std::nullopt, {Cmd::Status{}}}},
      {argv_of({"reward", "quv1abc"}), {std::nullopt, {Cmd::Reward{a}}}},
      {argv_of({"reward", ""}), {std::nullopt, {Cmd::Reward{""}}}},
      // A value that happens to be a subcommand name is still the value.
      {argv_of({"reward", "status"}), {std::nullopt, {Cmd::Reward{"status"}}}},
      {argv_of({"peers"}), {std::nullopt, {Cmd::Peers{}}}},
      {argv_of({"peers", "a", "b", "seal"}), {std::nullopt, {Cmd::Peers{{"a", "b", "seal"}}}}},
      {argv_of({"seal"}), {std::nullopt, {Cmd::Seal{}}}},
      {argv_of({"drop"}), {std::nullopt, {Cmd::Drop{}}}},
      {argv_of({"mint", "quv1abc", "1,5"}), {std::nullopt, {Cmd::Mint{a, "1,5"}}}},
      {argv_of({"--chain", "x.chain", "status"}), {"x.chain", {Cmd::Status{}}}},
      {argv_of({"status", "--chain", "x.chain"}), {"x.chain", {Cmd::Status{}}}},
      {argv_of({"--chain=x.chain", "node", "--plain"}), {"x.chain", {Cmd::Node{true}}}},
      {argv_of({"node", "--plain", "--chain", "y"}), {"y", {Cmd::Node{true}}}},
      {argv_of({"mint", "--chain", "c", "quv1abc", "5"}), {"c", {Cmd::Mint{a, "5"}}}},
      {argv_of({"--chain", "", "drop"}), {"", {Cmd::Drop{}}}},
      // Given on both sides of the name, the later one counts.
      {argv_of({"--chain", "a", "seal", "--chain", "b"}), {"b", {Cmd::Seal{}}}},
      // After "--" a dash starts a value.
      {argv_of({"mint", "quv1abc", "--", "-5"}), {std::nullopt, {Cmd::Mint{a, "-5"}}}},
      {argv_of({"peers", "--", "-1", "b"}), {std::nullopt, {Cmd::Peers{{"-1", "b"}}}}},
  };
  for (const auto& c : cases) {
    auto got = cli::parse(c.args);
    ASSERT_TRUE(std::holds_alternative<Cli>(got))
        << c.args[1] << ": " << std::get<cli::Exit>(got).err;
    EXPECT_EQ(std::get<Cli>(got), c.want) << c.args[1];
  }
}

const char* const kTopHelp =
    "QÚV — Node TUI, chain, wallet TUI\n"
    "Usage: quv [OPTIONS] SUBCOMMAND\n"
    "\n"
    "Options:\n"
    "  -h,--help                   Print this help message and exit\n"
    "  --chain CHAIN               Chain file (else QUV_CHAIN_PATH or "
    "/var/www/blockchain-data/quv.chain)\n"
    "  -V,--version                Display program version information and exit\n"
    "\n"
    "Subcommands:\n"
    "  node                        Node — TUI when a terminal is attached; background loop "
    "otherwise\n"
    "  wallet                      Wallet — terminal UI\n"
    "  seed                        Generate 13 Latin words\n"
    "  status                      Height, supply, file size\n"
    "  reward                      Node reward address\n"
    "  peers                       Gossip peers (1–5, host:port) — no args: list\n"
    "  seal                        Seal the mempool\n"
    "  drop                        Daily drop now (test)\n"
    "  mint                        Testnet: mint QÚV without the work cap (reset the chain "
    "before launch)\n"
    "  help                        Print this message or the help of the given "
    "subcommand(s)\n"
    "\n";

TEST(CliParse, HelpVersionAndUsageErrors) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out;  // exact, when `err_has` is empty
    std::string err_has;
  };
  const std::string usage_top = "\n\nUsage: quv [OPTIONS] SUBCOMMAND\n";
  const Case cases[] = {
      {argv_of({"--help"}), 0, kTopHelp, ""},
      {argv_of({"--chain"}), 2, "", usage_top},
      {argv_of({"--chain", "x"}), 2, "", "error: A subcommand is required" + usage_top},
      {argv_of({"--bogus", "status"}), 2, "", "--bogus"},
      {argv_of({"reward", "a", "b"}), 2, "", "not expected: b"},
      {argv_of({"mint", "a"}), 2, "", "error: AMOUNT is required\n"},
      {argv_of({"mint"}), 2, "", "error: ADDRESS is required\n"},
      {argv_of({"node", "--plain=true"}), 2, "", "'true' for '--plain'"},
      {argv_of({"status", "--plain"}), 2, "", "--plain"},
      {argv_of({"seal", "now"}), 2, "", "not expected: now"},
      {argv_of({"reward", "quv1\xc3"}), 2, "", "invalid UTF-8"},
      {argv_of({"help", "nope"}), 2, "", "unrecognized subcommand 'nope'"},
      {argv_of({"node", "--plain", "--plain"}), 2, "", "--plain"},
      // A dash and a digit is an unknown option, not a value, until "--" ends the options.
      {argv_of({"mint", "quv1abc", "-5"}), 2, "",
       "unexpected argument '-5' found\n\n"
       "Usage: quv mint [OPTIONS] ADDRESS AMOUNT\n"},
      {argv_of({"peers", "a", "-1"}), 2, "", "'-1'"},
      {argv_of({"--chain", "-5", "status"}), 2, "", "'-5'"},
      {argv_of({"status", "--chain", "-1,5"}), 2, "", "'-1,5'"},
      {argv_of({"reward", "---x"}), 2, "", "'---x'"},
  };
  for (const auto& c : cases) {
    auto got = cli::parse(c.args);
    ASSERT_TRUE(std::holds_alternative<cli::Exit>(got)) << c.args.back();
    const auto& e = std::get<cli::Exit>(got);
    EXPECT_EQ(e.status, c.status) << c.args.back();
    if (c.status == 0) {
      EXPECT_EQ(e.out, c.out) << c.args.back();
      EXPECT_EQ(e.err, "");
    } else {
      EXPECT_EQ(e.out, "");
      EXPECT_NE(e.err.find(c.err_has), std::string::npos) << c.args.back() << ":\n" << e.err;
      EXPECT_TRUE(e.err.ends_with("For more information, try '--help'.\n")) << e.err;
    }
  }
}

TEST(CliParse, NoArgumentsPrintsTheHelpOnStandardError) {
  for (const auto& args : {std::vector<std::string>{}, std::vector<std::string>{"quv"}}) {
    auto got = cli::parse(args);
    ASSERT_TRUE(std::holds_alternative<cli::Exit>(got));
    const auto& e = std::get<cli::Exit>(got);
    EXPECT_EQ(e.status, 2);
    EXPECT_EQ(e.out, "");
    EXPECT_EQ(e.err, kTopHelp);
  }
}

TEST(CliParse, SubcommandHelpCarriesItsNamesAndTexts) {
  struct Case {
    const char* name;
    std::vector<std::string> lines;
  };
  const std::string chain_line =
      "  --chain CHAIN               Chain file (else QUV_CHAIN_PATH or "
      "/var/www/blockchain-data/quv.chain)";
  const Case cases[] = {
      {"node",
       {"Node — TUI when a terminal is attached; background loop otherwise",
        "Usage: quv node [OPTIONS]",
        "  --plain                     Force the old log loop (no TUI), e.g. systemd", chain_line}},
      {"wallet", {"Wallet — terminal UI", "Usage: quv wallet [OPTIONS]", chain_line}},
      {"seed", {"Generate 13 Latin words", "Usage: quv seed [OPTIONS]"}},
      {"status", {"Height, supply, file size", "Usage: quv status [OPTIONS]"}},
      {"reward",
       {"Node reward address", "Usage: quv reward [OPTIONS] ADDRESS", "  ADDRESS REQUIRED"}},
      {"peers",
       {"Gossip peers (1–5, host:port) — no args: list", "Usage: quv peers [OPTIONS] [ADDRS...]",
        "  ADDRS ..."}},
      {"seal", {"Seal the mempool", "Usage: quv seal [OPTIONS]"}},
      {"drop", {"Daily drop now (test)", "Usage: quv drop [OPTIONS]"}},
      {"mint",
       {"Testnet: mint QÚV without the work cap (reset the chain before launch)",
        "Usage: quv mint [OPTIONS] ADDRESS AMOUNT", "  ADDRESS REQUIRED", "  AMOUNT REQUIRED"}},
  };
  for (const auto& c : cases) {
    auto by_flag = cli::parse(argv_of({c.name, "--help"}));
    auto by_help = cli::parse(argv_of({"help", c.name}));
    ASSERT_TRUE(std::holds_alternative<cli::Exit>(by_flag));
    ASSERT_TRUE(std::holds_alternative<cli::Exit>(by_help));
    const auto& text = std::get<cli::Exit>(by_flag).out;
    EXPECT_EQ(std::get<cli::Exit>(by_flag).status, 0);
    EXPECT_EQ(text, std::get<cli::Exit>(by_help).out) << c.name;
    for (const auto& line : c.lines) {
      EXPECT_NE(text.find(line + "\n"), std::string::npos) << c.name << ": " << line << "\n"
                                                           << text;
    }
  }
}

// A probe over a made-up machine: these variables, files and directories, nothing else.
cli::PathProbe fake(std::map<std::string, std::optional<std::string>> env,
                    std::set<std::string> files, std::set<std::string> dirs) {
  cli::PathProbe p;
  p.env = [env](const char* name) -> std::optional<std::string> {
    auto it = env.find(name);
    return it == env.end() ? std::nullopt : it->second;
  };
  p.is_file = [files](const std::filesystem::path& path) { return files.count(path.string()); };
  p.is_dir = [dirs](const std::filesystem::path& path) { return dirs.count(path.string()); };
  return p;
}

TEST(CliChainPath, FirstMatchingStepWins) {
  const std::string lib = "/var/lib/quv/quv.chain";
  const std::string www = "/var/www/blockchain-data/quv.chain";
  const std::string home = "/h/.quv/quv.chain";
  struct Case {
    const char* what;
    std::map<std::string, std::optional<std::string>> env;
    std::set<std::string> files;
    std::set<std::string> dirs;
    std::string want;
  };
  const Case cases[] = {
      {"variable wins over everything",
       {{"QUV_CHAIN_PATH", "rel/x.y"}, {"QUV_DB_PATH", "/d/a.db"}, {"HOME", "/h"}},
       {lib, www, home},
       {"/var/lib/quv"},
       "rel/x.y"},
      {"empty chain variable is ignored",
       {{"QUV_CHAIN_PATH", ""}, {"QUV_DB_PATH", "/d/quv.db"}},
       {lib},
       {},
       "/d/quv.chain"},
      {"unreadable chain variable is ignored",
       {{"QUV_CHAIN_PATH", std::nullopt}, {"QUV_DB_PATH", "/d/main"}},
       {},
       {},
       "/d/main.chain"},
      {"empty db variable is ignored", {{"QUV_DB_PATH", ""}}, {www}, {}, www},
      {"system file", {{"HOME", "/h"}}, {lib, home, www}, {}, lib},
      {"home file", {{"HOME", "/h"}}, {home, www}, {"/var/lib/quv"}, home},
      {"empty home is not a home", {{"HOME", ""}}, {"/.quv/quv.chain"}, {}, www},
      {"web file before the system directory", {}, {www}, {"/var/lib/quv"}, www},
      {"system directory without a file", {{"HOME", "/h"}}, {}, {"/var/lib/quv"}, lib},
      {"a directory is not a chain file", {}, {}, {lib, "/var/lib/quv"}, lib},
      {"nothing at all", {}, {}, {}, www},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(cli::chain_path(fake(c.env, c.files, c.dirs)).string(), c.want) << c.what;
  }
}

TEST(CliChainPath, ExtensionReplacement) {
  const std::pair<const char*, const char*> cases[] = {
      {"/data/quv.db", "/data/quv.chain"},
      {"/data/main", "/data/main.chain"},
      {"quv", "quv.chain"},
      {"a.b.c", "a.b.chain"},
      {".hidden", ".hidden.chain"},
      {"dir.x/file", "dir.x/file.chain"},
      {"dir/", "dir.chain"},
      {"foo.", "foo.chain"},
      {"/d/quv.chain", "/d/quv.chain"},
      // Trailing "." components name no file: the name before them is the last one.
      {"db/quv.db/.", "db/quv.chain"},
      {"db/./", "db.chain"},
      {"x/..", "x/.."},
      {"./", "./"},
      {"/", "/"},
  };
  for (const auto& [in, want] : cases) {
    EXPECT_EQ(cli::with_extension(in, "chain").string(), want) << in;
  }
}

TEST(CliChainPath, SystemProbeTreatsBadUtf8AsUnset) {
  ::setenv("QUV_TEST_PROBE", "ok\xff", 1);
  EXPECT_EQ(cli::system_probe().env("QUV_TEST_PROBE"), std::nullopt);
  ::setenv("QUV_TEST_PROBE", "quv.chain", 1);
  EXPECT_EQ(cli::system_probe().env("QUV_TEST_PROBE"), "quv.chain");
  ::unsetenv("QUV_TEST_PROBE");
  EXPECT_EQ(cli::system_probe().env("QUV_TEST_PROBE"), std::nullopt);
}

TEST(CliRun, ChainOptionIsSetForTheWholeProcess) {
  crypto::init();
  proc::TempDir dir;
  std::string path = (dir / "opt.chain").string();
  ::setenv("QUV_CHAIN_PATH", (dir / "env.chain").c_str(), 1);
  std::vector<std::string> args{"quv", "peers", "--chain", path};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  testing::internal::CaptureStdout();
  int status = cli::run(static_cast<int>(argv.size()), argv.data());
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out, "(no peers)\n");
  // Every later reader of the chain path in this process sees the option's file.
  EXPECT_STREQ(std::getenv("QUV_CHAIN_PATH"), path.c_str());
  EXPECT_EQ(cli::chain_path().string(), path);
  EXPECT_TRUE(std::filesystem::exists(path));
  EXPECT_FALSE(std::filesystem::exists(dir / "env.chain"));
  ::unsetenv("QUV_CHAIN_PATH");
}

}  // namespace

// The command line of the `quv` executable: the grammar of its subcommands, the chain
// file path rule, and the one-shot maintenance commands that open the chain, call the
// ledger once and print a few lines. The entry point calls `cli::main` on the main
// thread; the node terminal UI and the wallet path rule call `cli::chain_path`.
#pragma once

#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/error.h"
#include "core/paths.h"
#include "core/version.h"

namespace cli {

// The subcommands' own values; `Cmd` names them as `Cmd::Node`, `Cmd::Reward`, ...
namespace cmd {

// Run a node: the terminal UI, or the plain log loop when `plain` or no terminal.
struct Node {
  bool plain = false;
  bool operator==(const Node&) const = default;
};
// Run the wallet terminal UI.
struct Wallet {
  bool operator==(const Wallet&) const = default;
};
// Print a fresh mnemonic.
struct Seed {
  bool operator==(const Seed&) const = default;
};
// Print height, supply, work counters and file size.
struct Status {
  bool operator==(const Status&) const = default;
};
// Set (or clear, with an empty text) the reward address and print it.
struct Reward {
  std::string address;
  bool operator==(const Reward&) const = default;
};
// Replace the peer list when `addrs` is not empty, then list the peers.
struct Peers {
  std::vector<std::string> addrs;
  bool operator==(const Peers&) const = default;
};
// Seal the mempool into a block.
struct Seal {
  bool operator==(const Seal&) const = default;
};
// Pay the accrued work now.
struct Drop {
  bool operator==(const Drop&) const = default;
};
// Test mint: pay `amount` (amount text) to `address` in a block of its own.
struct Mint {
  std::string address;
  std::string amount;
  bool operator==(const Mint&) const = default;
};

}  // namespace cmd

// One parsed subcommand, its variants in the order help lists them.
struct Cmd {
  using Node = cmd::Node;
  using Wallet = cmd::Wallet;
  using Seed = cmd::Seed;
  using Status = cmd::Status;
  using Reward = cmd::Reward;
  using Peers = cmd::Peers;
  using Seal = cmd::Seal;
  using Drop = cmd::Drop;
  using Mint = cmd::Mint;
  using Variant = std::variant<Node, Wallet, Seed, Status, Reward, Peers, Seal, Drop, Mint>;

  Variant v;

  bool operator==(const Cmd&) const = default;
};

// The parsed command line.
struct Cli {
  // The value of the global option `--chain`, when given.
  std::optional<std::string> chain;
  // The subcommand; always present.
  Cmd command;

  bool operator==(const Cli&) const = default;
};

// What a run leaves for the process: its exit status and the texts for both streams.
struct Exit {
  int status = 0;
  std::string out;
  std::string err;
};

// Reads the arguments (program name first). Help, version and usage errors come back as
// an `Exit` ready to print: help and version on standard output with status 0, usage
// errors (and no arguments at all) on standard error with status 2.
std::variant<Cli, Exit> parse(const std::vector<std::string>& args);

// Runs one subcommand other than "node" and "wallet" on the chain at `chain`; the lines
// it prints, or the error report.
[[nodiscard]] std::expected<std::string, error::Report> run_oneshot(
    const Cmd& cmd, const std::filesystem::path& chain);

// The whole start-up after the cryptographic library is ready: parse, apply `--chain`,
// resolve the chain path, run the subcommand, print; returns the exit status.
int run(int argc, char** argv);

}  // namespace cli

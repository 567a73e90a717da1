#include "app/cli.h"

#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <utility>

#include "core/seed.h"
#include "core/text.h"
#include "core/units.h"
#include "ledger/chain.h"
#include "ledger/work.h"
#include "node/node.h"
#include "node/node_tui.h"
#include "wallet/tui.h"

namespace cli {

namespace {

constexpr const char* kProgram = "quv";
constexpr const char* kAbout = "QÚV — Node TUI, chain, wallet TUI";
constexpr const char* kChainHelp =
    "Chain file (else QUV_CHAIN_PATH or /var/www/blockchain-data/quv.chain)";

// The parser's help layout, without the padding it leaves after options that have no
// help text of their own.
class TidyFormatter : public CLI::Formatter {
 public:
  std::string make_option(const CLI::Option* opt, bool is_positional) const override {
    std::istringstream in(CLI::Formatter::make_option(opt, is_positional));
    std::string out, line;
    while (std::getline(in, line)) {
      line.erase(line.find_last_not_of(' ') + 1);
      out += line + '\n';
    }
    return out;
  }
};

// The grammar, with the storage its options write into.
struct Grammar {
  CLI::App app{kAbout, kProgram};
  std::string chain;
  bool plain = false;
  std::string address;
  std::string amount;
  std::vector<std::string> addrs;
  std::vector<std::string> help_target;

  CLI::App* node = nullptr;
  CLI::App* wallet = nullptr;
  CLI::App* seed = nullptr;
  CLI::App* status = nullptr;
  CLI::App* reward = nullptr;
  CLI::App* peers = nullptr;
  CLI::App* seal = nullptr;
  CLI::App* drop = nullptr;
  CLI::App* mint = nullptr;
  CLI::App* help = nullptr;
  std::vector<CLI::Option*> chain_options;

  Grammar() {
    app.formatter(std::make_shared<TidyFormatter>());
    chain_options.push_back(app.add_option("--chain", chain, kChainHelp)->type_name("CHAIN"));
    app.set_version_flag("-V,--version", std::string(kProgram) + " " + version::kText);
    app.require_subcommand(1);

    node = sub("node", "Node — TUI when a terminal is attached; background loop otherwise");
    node->add_flag("--plain", plain, "Force the old log loop (no TUI), e.g. systemd")
        ->disable_flag_override()
        ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
    wallet = sub("wallet", "Wallet — terminal UI");
    seed = sub("seed", "Generate 13 Latin words");
    status = sub("status", "Height, supply, file size");
    reward = sub("reward", "Node reward address");
    reward->add_option("ADDRESS", address)->required()->type_name("");
    peers = sub("peers", "Gossip peers (1–5, host:port) — no args: list");
    peers->add_option("ADDRS", addrs)->type_name("");
    seal = sub("seal", "Seal the mempool");
    drop = sub("drop", "Daily drop now (test)");
    mint = sub("mint", "Testnet: mint QÚV without the work cap (reset the chain before launch)");
    mint->add_option("ADDRESS", address)->required()->type_name("");
    mint->add_option("AMOUNT", amount)->required()->type_name("");
    help = app.add_subcommand("help", "Print this message or the help of the given subcommand(s)");
    help->add_option("COMMAND", help_target, "The subcommand whose help to print")->type_name("");
  }

  // A subcommand that also accepts the global `--chain`, so the option may follow the
  // subcommand's name as well as precede it.
  CLI::App* sub(const char* name, const char* about) {
    CLI::App* s = app.add_subcommand(name, about);
    chain_options.push_back(s->add_option("--chain", chain, kChainHelp)->type_name("CHAIN"));
    return s;
  }

  // The subcommand named first among args[1..end), values of "--chain" skipped, or the
  // top level: the command a stray argument belongs to.
  const CLI::App* named_before(const std::vector<std::string>& args, size_t end) const {
    for (size_t i = 1; i < end; ++i) {
      if (args[i] == "--chain") {
        ++i;
        continue;
      }
      for (const CLI::App* s : app.get_subcommands({})) {
        if (s->get_name() == args[i]) return s;
      }
    }
    return &app;
  }

  // The subcommand the parser entered, or the top level.
  const CLI::App* current() const {
    auto subs = app.get_subcommands();
    return subs.empty() ? &app : subs.front();
  }

  std::string usage_of(const CLI::App* a) const {
    std::string name = kProgram;
    if (a != &app) name += " " + a->get_name();
    return CLI::Formatter().make_usage(a, name);
  }
};

// True for an argument that looks like an option but that the parser would quietly take
// as a value: a dash and a digit ("-5", "-1,5") or dashes it cannot name ("---x", "-!").
// Before "--" such an argument is an unknown option, so "mint ADDR -5" is a usage error
// and "--chain -5" never names a file "-5".
bool stray_dash(const std::string& a) {
  if (a.size() < 2 || a[0] != '-' || a == "--") return false;
  auto names = [](char c) { return c != '-' && c != '!' && c != ' ' && c != '\n'; };
  if (a[1] == '-') return !names(a[2]);
  return !names(a[1]) || (a[1] >= '0' && a[1] <= '9');
}

// A usage error: the message, the usage line of the command it concerns, and a hint.
Exit usage_error(const std::string& message, const std::string& usage) {
  return Exit{2, "",
              "error: " + message + "\n\n" + usage + "\nFor more information, try '--help'.\n"};
}

using Output = std::expected<std::string, error::Report>;

std::unexpected<error::Report> as_is(const QuvError& e) {
  return std::unexpected(error::report(e));
}
std::unexpected<error::Report> in_context(const QuvError& e, const char* context) {
  return std::unexpected(error::report(e, std::string(context)));
}

Output run_status(const std::filesystem::path& path) {
  auto chain = Chain::open(path);
  if (!chain) return in_context(chain.error(), "chain");
  WorkStatus ws = work::status(*chain);
  std::ostringstream out;
  out << "QÚV  height=" << static_cast<int64_t>(chain->block_count()) - 1
      << " supply=" << units::amount_text(chain->supply()) << " work=" << ws.work_seconds
      << "s validated=" << ws.validated << " rate=" << ws.rate_text
      << " tip=" << chain->tip_hash_hex() << "\n";
  if (!ws.reward_address.empty()) out << "reward " << ws.reward_address << "\n";
  out << "file " << path.string() << "  " << chain->file_size() << " bytes\n";
  return out.str();
}

Output run_reward(const std::filesystem::path& path, const std::string& address) {
  auto chain = Chain::open(path);
  if (!chain) return as_is(chain.error());
  if (auto set = work::set_reward_address(*chain, address); !set) return as_is(set.error());
  return work::reward_address(*chain) + "\n";
}

Output run_peers(const std::filesystem::path& path, const std::vector<std::string>& addrs) {
  auto chain = Chain::open(path);
  if (!chain) return as_is(chain.error());
  if (!addrs.empty()) {
    if (auto set = work::set_peers(*chain, addrs); !set) return as_is(set.error());
  }
  if (chain->state().peers.empty()) return std::string("(no peers)\n");
  std::string out;
  for (const auto& peer : chain->state().peers) out += peer + "\n";
  return out;
}

Output run_seal(const std::filesystem::path& path) {
  auto chain = Chain::open(path);
  if (!chain) return as_is(chain.error());
  auto block = chain->seal();
  if (!block) return as_is(block.error());
  return "block " + std::to_string(block->height) + " " + block->hash + "\n";
}

Output run_drop(const std::filesystem::path& path) {
  auto chain = Chain::open(path);
  if (!chain) return as_is(chain.error());
  auto paid = work::drop_now(*chain);
  if (!paid) return as_is(paid.error());
  return "drop " + units::amount_text(*paid) + "\n";
}

Output run_mint(const std::filesystem::path& path, const Cmd::Mint& m) {
  // The amount is checked before the chain file is touched, so a typo creates nothing.
  auto amount = units::parse_quv(m.amount);
  if (!amount) return std::unexpected(error::plain("amount"));
  if (*amount <= 0) return std::unexpected(error::plain("Amount must be positive."));
  auto chain = Chain::open(path);
  if (!chain) return in_context(chain.error(), "chain");
  auto block = work::mint(*chain, m.address, static_cast<uint64_t>(*amount));
  if (!block) return as_is(block.error());
  return "mint " + units::amount_text(static_cast<uint64_t>(*amount)) + "  block " +
         std::to_string(block->height) + " " + block->hash +
         "  supply=" + units::amount_text(chain->supply()) + "\n";
}

// Writes all of `text` to a stream; the errno of the failure when the stream refuses (a
// closed pipe, a full disk), so the exit status can say the output was lost; else 0.
int write_all(std::FILE* f, const std::string& text) {
  if (text.empty()) return 0;
  errno = 0;
  if (std::fwrite(text.data(), 1, text.size(), f) != text.size() || std::fflush(f) != 0) {
    return errno != 0 ? errno : EIO;
  }
  return 0;
}

}  // namespace

std::variant<Cli, Exit> parse(const std::vector<std::string>& args) {
  Grammar g;
  if (args.size() <= 1) return Exit{2, "", g.app.help()};
  for (size_t i = 1; i < args.size(); ++i) {
    if (!text::is_utf8(args[i])) {
      return usage_error("invalid UTF-8 was detected in one or more arguments", g.usage_of(&g.app));
    }
  }
  for (size_t i = 1; i < args.size() && args[i] != "--"; ++i) {
    // The parser would read "--plain=yes" as a boolean; the flag takes no value at all.
    if (args[i].rfind("--plain=", 0) == 0) {
      return usage_error(
          "unexpected value '" + args[i].substr(8) + "' for '--plain' found; no more were expected",
          g.usage_of(g.node));
    }
    if (stray_dash(args[i])) {
      return usage_error("unexpected argument '" + args[i] + "' found",
                         g.usage_of(g.named_before(args, i)));
    }
  }
  std::vector<std::string> rest(args.rbegin(), args.rend() - 1);
  try {
    g.app.parse(rest);
  } catch (const CLI::CallForHelp&) {
    return Exit{0, g.app.help(), ""};
  } catch (const CLI::CallForAllHelp&) {
    return Exit{0, g.app.help("", CLI::AppFormatMode::All), ""};
  } catch (const CLI::CallForVersion& e) {
    return Exit{0, std::string(e.what()) + "\n", ""};
  } catch (const CLI::ParseError& e) {
    const CLI::App* at = g.current();
    auto extra = g.app.remaining(true);
    if (at == &g.app && !extra.empty() && extra.front().rfind("-", 0) != 0) {
      return usage_error("unrecognized subcommand '" + extra.front() + "'", g.usage_of(at));
    }
    // Stray arguments explain a failure better than the requirement they crowded out.
    if (!extra.empty()) return usage_error(CLI::ExtrasError(extra).what(), g.usage_of(at));
    return usage_error(e.what(), g.usage_of(at));
  }

  if (g.app.got_subcommand(g.help)) {
    // The parsed grammar would show the help of "help" itself; a fresh one shows the top.
    Grammar fresh;
    if (g.help_target.empty()) return Exit{0, fresh.app.help(), ""};
    if (g.help_target.size() > 1) {
      return usage_error(CLI::ExtrasError({g.help_target.begin() + 1, g.help_target.end()}).what(),
                         g.usage_of(g.help));
    }
    const std::string& name = g.help_target.front();
    for (const CLI::App* s : fresh.app.get_subcommands({})) {
      if (s->get_name() == name) return Exit{0, s->help(kProgram), ""};
    }
    return usage_error("unrecognized subcommand '" + name + "'", g.usage_of(g.help));
  }

  Cli cli;
  for (const CLI::Option* o : g.chain_options) {
    if (o->count() > 0) cli.chain = g.chain;
  }
  if (g.app.got_subcommand(g.node)) {
    cli.command.v = Cmd::Node{g.plain};
  } else if (g.app.got_subcommand(g.wallet)) {
    cli.command.v = Cmd::Wallet{};
  } else if (g.app.got_subcommand(g.seed)) {
    cli.command.v = Cmd::Seed{};
  } else if (g.app.got_subcommand(g.status)) {
    cli.command.v = Cmd::Status{};
  } else if (g.app.got_subcommand(g.reward)) {
    cli.command.v = Cmd::Reward{g.address};
  } else if (g.app.got_subcommand(g.peers)) {
    cli.command.v = Cmd::Peers{g.addrs};
  } else if (g.app.got_subcommand(g.seal)) {
    cli.command.v = Cmd::Seal{};
  } else if (g.app.got_subcommand(g.drop)) {
    cli.command.v = Cmd::Drop{};
  } else {
    cli.command.v = Cmd::Mint{g.address, g.amount};
  }
  return cli;
}

std::expected<std::string, error::Report> run_oneshot(const Cmd& cmd,
                                                      const std::filesystem::path& chain) {
  return std::visit(
      [&](const auto& c) -> Output {
        using T = std::decay_t<decltype(c)>;
        if constexpr (std::is_same_v<T, Cmd::Seed>) {
          return seed::to_mnemonic(seed::generate()) + "\n";
        } else if constexpr (std::is_same_v<T, Cmd::Status>) {
          return run_status(chain);
        } else if constexpr (std::is_same_v<T, Cmd::Reward>) {
          return run_reward(chain, c.address);
        } else if constexpr (std::is_same_v<T, Cmd::Peers>) {
          return run_peers(chain, c.addrs);
        } else if constexpr (std::is_same_v<T, Cmd::Seal>) {
          return run_seal(chain);
        } else if constexpr (std::is_same_v<T, Cmd::Drop>) {
          return run_drop(chain);
        } else if constexpr (std::is_same_v<T, Cmd::Mint>) {
          return run_mint(chain, c);
        } else {
          return std::unexpected(error::plain("not available in this build"));
        }
      },
      cmd.v);
}

int run(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) args.emplace_back(argv[i]);
  if (args.empty()) args.emplace_back(kProgram);
  auto parsed = parse(args);
  if (auto* done = std::get_if<Exit>(&parsed)) {
    if (int err = write_all(stdout, done->out); err != 0) {
      write_all(stderr, error::format_report(error::plain(error::os_text(err))));
      return 1;
    }
    write_all(stderr, done->err);
    return done->status;
  }
  const Cli& cli = std::get<Cli>(parsed);
  // Set for the whole process, so every later reader of the chain path (the node UI, the
  // wallet's path rule) sees the option's file.
  if (cli.chain) ::setenv("QUV_CHAIN_PATH", cli.chain->c_str(), 1);
  std::filesystem::path path = chain_path();

  if (const auto* node_cmd = std::get_if<Cmd::Node>(&cli.command.v)) {
    // On a terminal the node runs under its UI; `--plain`, a pipe or a file gets the log.
    if (!node_cmd->plain && ::isatty(STDOUT_FILENO) == 1) {
      if (auto ran = node_tui::run(path); !ran) {
        write_all(stderr, error::format_report(error::report(ran.error())));
        return 1;
      }
      return 0;
    }
    auto chain = Chain::open(path);
    if (!chain) {
      write_all(stderr, error::format_report(error::report(chain.error(), std::string("chain"))));
      return 1;
    }
    auto ran = node::run(*chain);
    write_all(stderr, error::format_report(error::report(ran.error())));
    return 1;
  }

  if (std::holds_alternative<Cmd::Wallet>(cli.command.v)) {
    if (auto ran = tui::run(); !ran) {
      write_all(stderr, error::format_report(error::report(ran.error())));
      return 1;
    }
    return 0;
  }

  auto result = run_oneshot(cli.command, path);
  if (!result) {
    write_all(stderr, error::format_report(result.error()));
    return 1;
  }
  if (int err = write_all(stdout, *result); err != 0) {
    write_all(stderr, error::format_report(error::plain(error::os_text(err))));
    return 1;
  }
  return 0;
}

}  // namespace cli

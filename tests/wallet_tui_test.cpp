// The wallet terminal UI: every screen rendered into a fixed-size buffer and compared as
// text, the key table driven with synthetic keys over a world of fakes, and the flows
// against a real node in a network namespace of the test's own.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/bytes.h"
#include "core/codec.h"
#include "core/crypto.h"
#include "core/hex.h"
#include "core/seed.h"
#include "ledger/chain.h"
#include "ledger/work.h"
#include "net/net.h"
#include "node/node.h"
#include "proc.h"
#include "ui/buffer.h"
#include "ui/paste.h"
#include "ui/terminal.h"
#include "wallet/secret_memory.h"
#include "wallet/tui.h"
#include "wallet/tui_flows.h"
#include "wallet/tui_keys.h"
#include "wallet/tui_screens.h"
#include "wallet/walletdb.h"

namespace {

using nlohmann::json;
using namespace std::chrono_literals;
using ui::Key;
using ui::KeyCode;

// The words of a fixed valid mnemonic.
std::vector<std::string> fixed_words() {
  static const std::vector<std::string> words = [] {
    std::vector<uint8_t> entropy(16, 0x5a);
    return *seed::from_entropy(entropy);
  }();
  return words;
}

// Key sets without Argon2id: from a fixed master key.
WalletKeys keys_of(uint64_t index) {
  crypto::MasterKey master;
  std::fill(master.data(), master.data() + master.size(), uint8_t{7});
  return WalletKeys::from_master(master, index);
}

chain::HistRow row(std::string dir, int64_t amount, std::string memo, int64_t height,
                   uint64_t acks = 0, uint64_t need = 0) {
  chain::HistRow r;
  r.dir = std::move(dir);
  r.amount = amount;
  r.memo = std::move(memo);
  r.height = height;
  r.acks = acks;
  r.need = need;
  r.txid = std::string(64, 'a');
  r.from = keys_of(0).address;
  r.time = height == 0 ? 0 : 1700000000 + static_cast<uint64_t>(height);
  return r;
}

// A world of fakes behind the UI's services: a wallet file, a node list file, nodes that
// answer or not, a sync outcome and a clock the test moves.
struct World {
  bool file = false;
  json stored;
  std::string stored_pass;
  std::string wrong_pass_text = "Wrong passphrase.";
  std::vector<std::string> node_file;  // empty: the defaults
  std::vector<std::string> saved_nodes;
  std::set<std::string> up{"127.0.0.1:19191"};
  std::vector<std::string> pinged;
  std::optional<std::string> sync_error;
  chain::WalletView next_view;
  int64_t chain_height = 5;
  int syncs = 0;
  int persists = 0;
  std::optional<std::string> persist_error;
  std::vector<std::string> backups;
  std::chrono::steady_clock::time_point clock{1000s};
  std::vector<std::string> submitted;
  // When set, submissions go through the light client to this node.
  light::Transport node;
  // When set, each sync runs it first (a node that keeps the wallet waiting).
  std::function<void()> while_syncing;

  tui::Services services() {
    tui::Services s;
    s.wallet_path = [] { return std::filesystem::path("/w/quv.wallet"); };
    s.exists = [this] { return file; };
    s.load_book = [this](const std::string& pass) -> Result<json> {
      if (!file) return fail("No wallet file.");
      if (pass != stored_pass) return fail(wrong_pass_text);
      return stored;
    };
    s.persist = [this](const json& book, const std::string& pass) -> Result<std::filesystem::path> {
      if (persist_error) return fail(*persist_error);
      ++persists;
      stored = book;
      stored_pass = pass;
      file = true;
      return std::filesystem::path("/w/quv.wallet");
    };
    s.mnemonic_words = [](const json& book) -> Result<std::vector<std::string>> {
      auto w = seed::parse(book.value("mnemonic", ""));
      if (!w) return fail("Seed in file is invalid.");
      return *w;
    };
    s.blank = [](const std::string& mnemonic) {
      return json{
          {"mnemonic", mnemonic},
          {"addresses", json::array({json{
                            {"index", 0}, {"address", keys_of(0).address}, {"label", "primary"}}})},
          {"current_index", 0},
          {"next_index", 1},
          {"sync", json{{"height", 40}}}};
    };
    s.rotate = [](json& book) -> Result<std::pair<uint64_t, std::string>> {
      uint64_t n = book.value("next_index", uint64_t{1});
      std::string addr = keys_of(n).address;
      book["addresses"].push_back(
          json{{"index", n}, {"address", addr}, {"label", "recv-" + std::to_string(n)}});
      book["next_index"] = n + 1;
      book["current_index"] = n;
      return std::make_pair(n, addr);
    };
    s.remember_send = [](json& book, const std::string& txid, int64_t amount,
                         const std::string& memo, const std::string& to) {
      book["sends"][txid] = json{{"amount", amount}, {"memo", memo}, {"to", to}};
    };
    s.wallets_from_book = [](const json& book) {
      std::vector<WalletKeys> out;
      if (book.contains("mnemonic")) out.push_back(keys_of(0));
      return out;
    };
    s.recv_address = [](const json& book) {
      uint64_t cur = book.value("current_index", uint64_t{0});
      for (const auto& a : book.value("addresses", json::array())) {
        if (a.value("index", uint64_t{99}) == cur) return a.value("address", std::string());
      }
      return std::string();
    };
    s.generate_seed = [] { return fixed_words(); };
    s.load_nodes = [this](const std::filesystem::path&) {
      return node_file.empty() ? std::vector<std::string>{"127.0.0.1:19191", "a.example:19191"}
                               : node_file;
    };
    s.save_nodes = [this](const std::filesystem::path&,
                          const std::vector<std::string>& list) -> Status {
      saved_nodes = list;
      return {};
    };
    s.default_nodes = [] { return std::vector<std::string>{"127.0.0.1:19191"}; };
    s.ping = [this](const std::string& entry) -> std::optional<light::NodeInfo> {
      pinged.push_back(entry);
      if (!up.contains(entry)) return std::nullopt;
      light::NodeInfo n;
      n.addr = entry;
      n.height = chain_height;
      n.supply = 250000;
      return n;
    };
    s.first_node = [this](const std::vector<std::string>&) -> Result<light::NodeInfo> {
      if (sync_error) return fail("No node reachable. Start `quv node` or set [P] Peers.");
      light::NodeInfo n;
      n.addr = "127.0.0.1:19191";
      n.height = chain_height;
      n.supply = 250000;
      return n;
    };
    s.submit_to = [this](const std::string& entry, const codec::Tx& tx,
                         bool* unanswered) -> Result<std::string> {
      if (node) return light::submit_to(entry, tx, node, unanswered);
      std::string id = std::string(60, 'b') + std::to_string(1000 + submitted.size());
      submitted.push_back(id);
      (void)tx;
      return id;
    };
    s.sync = [this](const std::vector<std::string>&, json& book) -> Result<chain::WalletView> {
      ++syncs;
      if (while_syncing) while_syncing();
      if (sync_error) return fail(*sync_error);
      book["sync"]["height"] = chain_height;
      chain::WalletView v;
      v.balance = next_view.balance;
      v.reserved = next_view.reserved;
      v.history = next_view.history;
      for (const auto& n : next_view.notes) v.notes.push_back(n.clone());
      return v;
    };
    s.reset_cache = [](json& book) { book["sync"] = json{{"height", -1}}; };
    s.now = [this] { return clock; };
    s.unix_now = [] { return uint64_t{1765000000}; };
    s.backup = [this](const std::filesystem::path& p, uint64_t t) -> Result<std::filesystem::path> {
      backups.push_back(p.string() + ".bak-" + std::to_string(t));
      return std::filesystem::path(backups.back());
    };
    return s;
  }
};

// An App over a world, opened on a wallet when asked.
struct Rig {
  World world;
  tui::App app{world.services()};

  void open_wallet(const std::string& pass = "correct horse") {
    world.file = true;
    world.stored = world.services().blank(seed::to_mnemonic(fixed_words()));
    world.stored_pass = pass;
    app.input = pass;
    app.screen = tui::kOpen;
    tui::open_flow(app);
  }

  std::string screen_text(int w = 80, int h = 20) {
    ui::Buffer buf(w, h);
    tui::draw(buf, app);
    return buf.to_text();
  }
};

Key ch(char32_t c) { return Key::chr(c); }
Key named(KeyCode k) { return Key::of(k); }

void type(tui::App& app, const std::string& text) {
  for (char32_t c : ui::decode(text)) tui::handle_key(app, ch(c));
}

}  // namespace

namespace {

// Puts the rig on a screen, with or without an open wallet.
std::function<void(Rig&)> at(uint8_t screen, bool open = false) {
  return [=](Rig& r) {
    if (open) r.open_wallet();
    r.app.screen = screen;
  };
}

struct KeyCase {
  const char* name;
  std::function<void(Rig&)> setup;
  Key key;
  uint8_t screen;
  // The footer afterwards: nullptr when the key leaves it as it was.
  const char* status = nullptr;
  bool good = true;
  bool quits = false;
  std::function<bool(const Rig&)> check = nullptr;
};

TEST(WalletTuiKeys, EveryRowOfTheKeyTable) {
  auto with_history = [](Rig& r) {
    r.world.next_view.history = {row("in", 100, "a", 3), row("out", 50, "", 2)};
    r.open_wallet();
    r.app.screen = tui::kHistory;
  };
  const std::vector<KeyCase> cases = {
      // Welcome.
      {"N without a file asks for a passphrase", [](Rig& r) { r.app.pass1 = "old"; }, ch('N'),
       tui::kPassphrase, nullptr, true, false,
       [](const Rig& r) { return r.app.pass1.empty() && !r.app.status; }},
      {"n with a file warns of the replacement",
       [](Rig& r) {
         r.world.file = true;
         r.app.pending_seed = fixed_words();
       },
       ch('n'), tui::kPassphrase, "Existing file will be replaced. Enter a passphrase.", true,
       false, [](const Rig& r) { return !r.app.pending_seed; }},
      {"O with a file opens the passphrase entry",
       [](Rig& r) {
         r.world.file = true;
         r.app.input = "x";
       },
       ch('o'), tui::kOpen, nullptr, true, false,
       [](const Rig& r) { return r.app.input.empty(); }},
      {"O without a file", at(tui::kWelcome), ch('O'), tui::kWelcome,
       "No wallet file. [N] New or [I] Import.", false},
      {"I imports", [](Rig& r) { r.app.input = "x"; }, ch('I'), tui::kImport, nullptr, true,
       false, [](const Rig& r) { return r.app.input.empty(); }},
      {"P edits the node list", at(tui::kWelcome), ch('p'), tui::kPeers, nullptr, true, false,
       [](const Rig& r) {
         return r.app.peer_fields[0] == "127.0.0.1:19191" && r.app.peer_state[0] == 1 &&
                r.app.peer_state[1] == 2 && r.app.peer_state[2] == 0;
       }},
      {"Q quits", at(tui::kWelcome), ch('Q'), tui::kWelcome, nullptr, true, true},
      {"q quits", at(tui::kWelcome), ch('q'), tui::kWelcome, nullptr, true, true},
      {"Esc quits", at(tui::kWelcome), named(KeyCode::Esc), tui::kWelcome, nullptr, true, true},
      {"other keys do nothing", at(tui::kWelcome), ch('x'), tui::kWelcome},
      // Seed.
      {"seed Enter", at(tui::kSeed, true), named(KeyCode::Enter), tui::kMain},
      {"seed Space", at(tui::kSeed, true), ch(' '), tui::kMain},
      {"seed Esc with a wallet", at(tui::kSeed, true), named(KeyCode::Esc), tui::kMain},
      {"seed Esc without a wallet", at(tui::kSeed), named(KeyCode::Esc), tui::kWelcome},
      // Open.
      {"open Enter with the right passphrase",
       [](Rig& r) {
         r.world.file = true;
         r.world.stored = r.world.services().blank(seed::to_mnemonic(fixed_words()));
         r.world.stored_pass = "correct horse";
         r.app.screen = tui::kOpen;
         r.app.input = "correct horse";
       },
       named(KeyCode::Enter), tui::kMain, "Wallet opened. Synced to height 5.", true, false,
       [](const Rig& r) {
         return r.app.input.empty() && r.app.keys && r.app.session_pass == "correct horse" &&
                r.app.session_seed == fixed_words();
       }},
      {"open Enter with a wrong passphrase keeps the typed text",
       [](Rig& r) {
         r.world.file = true;
         r.world.stored_pass = "correct horse";
         r.app.screen = tui::kOpen;
         r.app.input = "wrong horse";
       },
       named(KeyCode::Enter), tui::kOpen, "Wrong passphrase.", false, false,
       [](const Rig& r) { return r.app.input == "wrong horse" && !r.app.book; }},
      {"open with a failed sync is open but red",
       [](Rig& r) {
         r.world.sync_error = "Node did not return blocks.";
         r.world.file = true;
         r.world.stored = r.world.services().blank(seed::to_mnemonic(fixed_words()));
         r.world.stored_pass = "correct horse";
         r.app.screen = tui::kOpen;
         r.app.input = "correct horse";
       },
       named(KeyCode::Enter), tui::kMain, "Wallet opened. Node did not return blocks.", false,
       false, [](const Rig& r) { return r.app.keys.has_value(); }},
      {"open Esc", [](Rig& r) { r.app.screen = tui::kOpen, r.app.input = "abc"; },
       named(KeyCode::Esc), tui::kWelcome, nullptr, true, false,
       [](const Rig& r) { return r.app.input.empty(); }},
      // Import.
      {"import Enter with 13 good words",
       [](Rig& r) {
         r.app.screen = tui::kImport;
         r.app.input = " " + seed::to_mnemonic(fixed_words()) + " ";
         r.app.pass1 = "x";
       },
       named(KeyCode::Enter), tui::kPassphrase, "Passphrase to store the file.", true, false,
       [](const Rig& r) {
         return r.app.pending_seed == fixed_words() && r.app.input.empty() && r.app.pass1.empty();
       }},
      {"import Enter with 12 words",
       [](Rig& r) {
         r.app.screen = tui::kImport;
         auto w = fixed_words();
         w.pop_back();
         r.app.input = seed::to_mnemonic(w);
       },
       named(KeyCode::Enter), tui::kImport, "Invalid seed — 13 Latin words.", false},
      {"import Esc", [](Rig& r) { r.app.screen = tui::kImport, r.app.input = "abc"; },
       named(KeyCode::Esc), tui::kWelcome, nullptr, true, false,
       [](const Rig& r) { return r.app.input.empty(); }},
      // Passphrase.
      {"passphrase of 8 bytes", [](Rig& r) { r.app.screen = tui::kPassphrase, r.app.pass1 = "12345678", r.app.pass2 = "x"; },
       named(KeyCode::Enter), tui::kRepeat, nullptr, true, false,
       [](const Rig& r) { return r.app.pass2.empty(); }},
      {"passphrase of 7 bytes", [](Rig& r) { r.app.screen = tui::kPassphrase, r.app.pass1 = "1234567"; },
       named(KeyCode::Enter), tui::kPassphrase, "At least 8 characters.", false},
      {"seven two-byte characters count as 14 bytes",
       [](Rig& r) { r.app.screen = tui::kPassphrase, r.app.pass1 = "ééééééé"; },
       named(KeyCode::Enter), tui::kRepeat},
      {"passphrase Esc forgets the imported words",
       [](Rig& r) {
         r.app.screen = tui::kPassphrase;
         r.app.pass1 = "12345678";
         r.app.pending_seed = fixed_words();
       },
       named(KeyCode::Esc), tui::kWelcome, nullptr, true, false,
       [](const Rig& r) { return r.app.pass1.empty() && !r.app.pending_seed; }},
      // Repeat.
      {"repeat matching makes the wallet",
       [](Rig& r) {
         r.app.screen = tui::kRepeat;
         r.app.pass1 = r.app.pass2 = "12345678";
       },
       named(KeyCode::Enter), tui::kMain, "Saved. [B] Seed to write down. Full sync done.", true,
       false,
       [](const Rig& r) {
         return r.world.stored_pass == "12345678" && r.app.pass1.empty() && r.app.pass2.empty() &&
                r.app.session_seed == fixed_words() && r.world.backups.empty();
       }},
      {"repeat not matching",
       [](Rig& r) {
         r.app.screen = tui::kRepeat;
         r.app.pass1 = "12345678";
         r.app.pass2 = "12345679";
       },
       named(KeyCode::Enter), tui::kRepeat, "Passphrases do not match.", false, false,
       [](const Rig& r) { return r.app.pass2.empty() && r.app.pass1 == "12345678"; }},
      {"repeat with a failing write stays",
       [](Rig& r) {
         r.world.persist_error = "Permission denied (os error 13)";
         r.app.screen = tui::kRepeat;
         r.app.pass1 = r.app.pass2 = "12345678";
       },
       named(KeyCode::Enter), tui::kRepeat, "Permission denied (os error 13)", false},
      {"repeat Esc", [](Rig& r) { r.app.screen = tui::kRepeat, r.app.pass2 = "x"; },
       named(KeyCode::Esc), tui::kPassphrase, nullptr, true, false,
       [](const Rig& r) { return r.app.pass2.empty(); }},
      // Main.
      {"S opens an empty send form",
       [](Rig& r) {
         r.open_wallet();
         r.app.send_to = r.app.send_amount = r.app.send_memo = "x";
         r.app.send_focus = 2;
       },
       ch('s'), tui::kSend, nullptr, true, false,
       [](const Rig& r) {
         return r.app.send_to.empty() && r.app.send_amount.empty() && r.app.send_memo.empty() &&
                r.app.send_focus == 0;
       }},
      {"H syncs into the history", at(tui::kMain, true), ch('H'), tui::kHistory, nullptr, true,
       false, [](const Rig& r) { return r.world.syncs == 2; }},
      {"A", at(tui::kMain, true), ch('a'), tui::kAddresses},
      {"N", at(tui::kMain, true), ch('N'), tui::kNotes},
      {"B with words", at(tui::kMain, true), ch('b'), tui::kSeed},
      {"B without words",
       [](Rig& r) {
         r.open_wallet();
         r.app.session_seed.reset();
       },
       ch('B'), tui::kMain, "No seed in this session.", false},
      {"P", at(tui::kMain, true), ch('P'), tui::kPeers},
      {"Y syncs", at(tui::kMain, true), ch('y'), tui::kMain, "Synced to height 5."},
      {"Y with no node",
       [](Rig& r) {
         r.open_wallet();
         r.world.sync_error = "No node reachable. Start `quv node` or set [P] Peers.";
       },
       ch('Y'), tui::kMain, "No node reachable. Start `quv node` or set [P] Peers.", false},
      {"W starts a new wallet",
       [](Rig& r) {
         r.open_wallet();
         r.app.pending_seed = fixed_words();
         r.app.pass1 = "x";
       },
       ch('w'), tui::kPassphrase, "New wallet — passphrase to store it.", true, false,
       [](const Rig& r) { return !r.app.pending_seed && r.app.pass1.empty(); }},
      {"I from the main screen", at(tui::kMain, true), ch('i'), tui::kImport},
      {"Q quits without locking", at(tui::kMain, true), ch('q'), tui::kMain, nullptr, true, true,
       [](const Rig& r) { return r.app.keys.has_value(); }},
      {"Ctrl+C is the letter c and does nothing here", at(tui::kMain, true), Key::ctrl_chr('c'),
       tui::kMain},
      {"Esc locks", at(tui::kMain, true), named(KeyCode::Esc), tui::kWelcome, nullptr, true, false,
       [](const Rig& r) {
         return !r.app.keys && r.app.wallets.empty() && !r.app.book &&
                r.app.session_pass.empty() && !r.app.session_seed && r.app.history.empty() &&
                !r.app.view && !r.app.node_info && r.app.last_sync && r.app.status;
       }},
      // Send.
      {"Tab", at(tui::kSend, true), named(KeyCode::Tab), tui::kSend, nullptr, true, false,
       [](const Rig& r) { return r.app.send_focus == 1; }},
      {"Down", [](Rig& r) { r.open_wallet(), r.app.screen = tui::kSend, r.app.send_focus = 2; },
       named(KeyCode::Down), tui::kSend, nullptr, true, false,
       [](const Rig& r) { return r.app.send_focus == 0; }},
      {"Up", at(tui::kSend, true), named(KeyCode::Up), tui::kSend, nullptr, true, false,
       [](const Rig& r) { return r.app.send_focus == 2; }},
      {"Enter with an amount that is no amount",
       [](Rig& r) {
         r.open_wallet();
         r.app.screen = tui::kSend;
         r.app.send_amount = "lots";
       },
       named(KeyCode::Enter), tui::kSend, "Amount not understood.", false},
      {"Enter above the balance",
       [](Rig& r) {
         r.world.next_view.balance = 100000;
         r.open_wallet();
         r.app.screen = tui::kSend;
         r.app.send_amount = "1,00001";
       },
       named(KeyCode::Enter), tui::kSend, "Insufficient balance.", false},
      {"send Esc", at(tui::kSend, true), named(KeyCode::Esc), tui::kMain},
      // Notes.
      {"notes q", at(tui::kNotes, true), ch('q'), tui::kMain},
      {"notes Esc", at(tui::kNotes, true), named(KeyCode::Esc), tui::kMain},
      {"notes Q does nothing", at(tui::kNotes, true), ch('Q'), tui::kNotes},
      // Peers.
      {"peers Tab", [](Rig& r) { r.app.screen = tui::kPeers, r.app.peer_focus = 4; },
       named(KeyCode::Tab), tui::kPeers, nullptr, true, false,
       [](const Rig& r) { return r.app.peer_focus == 0; }},
      {"peers Down", at(tui::kPeers), named(KeyCode::Down), tui::kPeers, nullptr, true, false,
       [](const Rig& r) { return r.app.peer_focus == 1; }},
      {"peers Up", at(tui::kPeers), named(KeyCode::Up), tui::kPeers, nullptr, true, false,
       [](const Rig& r) { return r.app.peer_focus == 4; }},
      {"peers Enter without a wallet",
       [](Rig& r) {
         r.app.screen = tui::kPeers;
         r.app.peer_fields = {" 127.0.0.1:19191 ", "", "b.example", "127.0.0.1:19191", ""};
       },
       named(KeyCode::Enter), tui::kWelcome, "2 peers saved.", true, false,
       [](const Rig& r) {
         return r.world.saved_nodes ==
                    std::vector<std::string>{"127.0.0.1:19191", "b.example:19191"} &&
                r.app.peer_fields[2] == "b.example" && r.app.peer_state[2] == 2;
       }},
      {"peers Enter with a wallet writes its book too",
       [](Rig& r) {
         r.open_wallet();
         r.app.screen = tui::kPeers;
         r.app.peer_fields = {"c.example:1", "", "", "", ""};
       },
       named(KeyCode::Enter), tui::kMain, "1 peers saved.", true, false,
       [](const Rig& r) { return r.world.stored["nodes"] == json::array({"c.example:1"}); }},
      {"peers Enter with all rows empty stores the seed peer", at(tui::kPeers),
       named(KeyCode::Enter), tui::kWelcome, "1 peers saved.", true, false,
       [](const Rig& r) {
         return r.world.saved_nodes == std::vector<std::string>{"seed.quv.network:19191"};
       }},
      {"peers Enter with a bad entry stays",
       [](Rig& r) {
         r.app.screen = tui::kPeers;
         r.app.peer_fields[0] = "host:notaport";
       },
       named(KeyCode::Enter), tui::kPeers, nullptr, false, false,
       [](const Rig& r) { return r.app.status && !r.app.status->first; }},
      {"peers Esc with a wallet", at(tui::kPeers, true), named(KeyCode::Esc), tui::kMain},
      {"peers Esc without a wallet", at(tui::kPeers), named(KeyCode::Esc), tui::kWelcome},
      // History.
      {"history Down", with_history, named(KeyCode::Down), tui::kHistory, nullptr, true, false,
       [](const Rig& r) { return r.app.hist_sel.selected == 1u; }},
      {"history Up wraps", with_history, named(KeyCode::Up), tui::kHistory, nullptr, true, false,
       [](const Rig& r) { return r.app.hist_sel.selected == 1u; }},
      {"history Enter shows the row",
       [&](Rig& r) {
         with_history(r);
         r.app.hist_sel.selected = 0;
       },
       named(KeyCode::Enter), tui::kTransaction},
      {"history Enter with nothing selected", with_history, named(KeyCode::Enter),
       tui::kHistory},
      {"history H syncs again", with_history, ch('h'), tui::kHistory, nullptr, true, false,
       [](const Rig& r) { return r.world.syncs == 2; }},
      {"history q", with_history, ch('q'), tui::kMain},
      {"history Esc", with_history, named(KeyCode::Esc), tui::kMain},
      {"history Q does nothing", with_history, ch('Q'), tui::kHistory},
      // Transaction.
      {"transaction q", at(tui::kTransaction, true), ch('q'), tui::kHistory},
      {"transaction Esc", at(tui::kTransaction, true), named(KeyCode::Esc), tui::kHistory},
      // Addresses.
      {"addresses Enter", at(tui::kAddresses, true), named(KeyCode::Enter), tui::kAddresses,
       "Receive address #1.", true, false,
       [](const Rig& r) { return r.world.stored["current_index"] == 1; }},
      {"addresses N", at(tui::kAddresses, true), ch('N'), tui::kAddresses,
       "Receive address #1."},
      {"addresses N without a passphrase",
       [](Rig& r) {
         r.open_wallet();
         r.app.session_pass.clear();
         r.app.screen = tui::kAddresses;
       },
       ch('n'), tui::kAddresses, "No passphrase in this session — open again.", false},
      {"addresses N without a book",
       [](Rig& r) {
         r.app.session_pass = "12345678";
         r.app.screen = tui::kAddresses;
       },
       ch('n'), tui::kAddresses, "No wallet file.", false},
      {"addresses q", at(tui::kAddresses, true), ch('q'), tui::kMain},
      {"addresses Esc", at(tui::kAddresses, true), named(KeyCode::Esc), tui::kMain},
  };
  for (const KeyCase& c : cases) {
    Rig r;
    c.setup(r);
    auto before = r.app.status;
    bool quit = tui::handle_key(r.app, c.key);
    EXPECT_EQ(quit, c.quits) << c.name;
    EXPECT_EQ(int(r.app.screen), int(c.screen)) << c.name;
    if (c.status) {
      ASSERT_TRUE(r.app.status) << c.name;
      EXPECT_EQ(r.app.status->second, c.status) << c.name;
      EXPECT_EQ(r.app.status->first, c.good) << c.name;
    } else if (!c.check) {
      EXPECT_EQ(r.app.status, before) << c.name;
    }
    if (c.check) {
      EXPECT_TRUE(c.check(r)) << c.name;
    }
  }
}

struct EntryCase {
  const char* name;
  uint8_t screen;
  std::vector<Key> keys;
  std::function<std::string(const tui::App&)> field;
  std::string want;
};

TEST(WalletTuiKeys, TextEntry) {
  auto input = [](const tui::App& a) { return a.input; };
  auto bs = named(KeyCode::Backspace);
  const std::vector<EntryCase> cases = {
      {"passphrase fields take no control characters",
       tui::kOpen,
       {ch('a'), ch(0x01), ch(0x1f), ch('b'), ch(0x7f), ch(0x85), ch(0x9f), ch(0xa0), ch('c')},
       input,
       "ab\u00a0c"},
      {"Backspace removes a whole character", tui::kOpen, {ch('a'), ch(U'é'), bs}, input, "a"},
      {"Backspace on an empty field", tui::kImport, {bs, ch('x'), bs, bs}, input, ""},
      {"letters that are keys elsewhere are text here",
       tui::kImport,
       {ch('q'), ch('Q'), ch(' '), ch('n')},
       input,
       "qQ n"},
      {"Ctrl+C types c",
       tui::kPassphrase,
       {Key::ctrl_chr('c')},
       [](const tui::App& a) { return a.pass1; },
       "c"},
      {"repeat field",
       tui::kRepeat,
       {ch('x'), ch(0x1b), ch(U'€')},
       [](const tui::App& a) { return a.pass2; },
       "x€"},
      {"send fields take every character",
       tui::kSend,
       {ch('a'), ch(0x01), Key::ctrl_chr('c')},
       [](const tui::App& a) { return a.send_to; },
       "a\x01"
       "c"},
      {"the focused send field",
       tui::kSend,
       {named(KeyCode::Tab), ch('1'), ch(','), ch('5'), named(KeyCode::Tab), ch('h'), ch('i')},
       [](const tui::App& a) { return a.send_amount + "|" + a.send_memo + "|" + a.send_to; },
       "1,5|hi|"},
      {"the focused node row",
       tui::kPeers,
       {named(KeyCode::Down), named(KeyCode::Down), ch('h'), ch('q'), bs, ch(0x02)},
       [](const tui::App& a) { return a.peer_fields[2] + "|" + a.peer_fields[0]; },
       "h\x02|"},
  };
  for (const EntryCase& c : cases) {
    Rig r;
    r.app.screen = c.screen;
    for (const Key& k : c.keys) tui::handle_key(r.app, k);
    EXPECT_EQ(c.field(r.app), c.want) << c.name;
    EXPECT_EQ(int(r.app.screen), int(c.screen)) << c.name;
  }
}

// A paste is text for the focused field: a line break in it is no Enter, its letters are
// no commands, and with no field focused it does nothing at all.
TEST(WalletTuiKeys, PastesAreTextNeverKeys) {
  const Key two_lines = Key::paste(ui::paste_text(U"first line\r\np\tq"));
  struct Case {
    const char* name;
    uint8_t screen;
    bool open;
    std::function<std::string(const tui::App&)> field;
    std::string want;
  };
  const std::vector<Case> cases = {
      {"memo", tui::kSend, true, [](const tui::App& a) { return a.send_memo + "|" + a.send_to; },
       "first linepq|"},
      {"passphrase to open", tui::kOpen, false, [](const tui::App& a) { return a.input; },
       "first linepq"},
      {"words to import", tui::kImport, false, [](const tui::App& a) { return a.input; },
       "first linepq"},
      {"new passphrase", tui::kPassphrase, false, [](const tui::App& a) { return a.pass1; },
       "first linepq"},
      {"repeated passphrase", tui::kRepeat, false, [](const tui::App& a) { return a.pass2; },
       "first linepq"},
      {"focused node row", tui::kPeers, false, [](const tui::App& a) { return a.peer_fields[3]; },
       "first linepq"},
      {"welcome: nothing", tui::kWelcome, false, [](const tui::App& a) { return a.input; }, ""},
      {"main screen: nothing", tui::kMain, true, [](const tui::App& a) { return a.input; }, ""},
      {"history: nothing", tui::kHistory, true, [](const tui::App& a) { return a.input; }, ""},
  };
  for (const Case& c : cases) {
    Rig r;
    if (c.open) r.open_wallet();
    r.app.screen = c.screen;
    r.app.send_focus = 2;
    r.app.peer_focus = 3;
    const auto status = r.app.status;
    const int syncs = r.world.syncs;
    EXPECT_FALSE(tui::handle_key(r.app, two_lines)) << c.name;
    EXPECT_EQ(c.field(r.app), c.want) << c.name;
    EXPECT_EQ(int(r.app.screen), int(c.screen)) << c.name;
    EXPECT_EQ(r.app.status, status) << c.name;
    EXPECT_EQ(r.world.syncs, syncs) << c.name;
    EXPECT_TRUE(r.world.submitted.empty()) << c.name;
  }
}

struct MoveCase {
  size_t rows;
  std::optional<size_t> from;
  int32_t delta;
  std::optional<size_t> want;
};

TEST(WalletTuiKeys, HistoryMovesWrapAround) {
  const std::vector<MoveCase> cases = {
      {3, std::nullopt, 1, 1},
      {3, std::nullopt, -1, 2},
      {3, 2, 1, 0},
      {3, 0, -1, 2},
      {3, 1, -7, 0},
      {1, 0, 1, 0},
      {0, std::nullopt, 1, std::nullopt},
      {0, 4, -1, 4},
  };
  for (const MoveCase& c : cases) {
    Rig r;
    r.app.history.assign(c.rows, row("in", 1, "", 1));
    r.app.hist_sel.selected = c.from;
    tui::hist_move(r.app, c.delta);
    EXPECT_EQ(r.app.hist_sel.selected, c.want) << c.rows << " rows, delta " << c.delta;
  }
}

}  // namespace

namespace {

// Screens are compared whole, at 78 columns by 17 rows, with each run of empty rows inside
// the body block shown as one.
std::string compact(const std::string& screen) {
  static const std::string kEmptyRow = "│" + std::string(76, ' ') + "│";
  std::string out, last;
  size_t at = 0;
  while (at <= screen.size()) {
    size_t nl = std::min(screen.find('\n', at), screen.size());
    std::string line = screen.substr(at, nl - at);
    if (!(line == kEmptyRow && last == kEmptyRow)) out += line + (nl < screen.size() ? "\n" : "");
    last = line;
    at = nl + 1;
  }
  return out;
}
struct ScreenCase {
  const char* name;
  std::function<void(Rig&)> setup;
  std::string want;
};

// An open wallet with one note, a pending send and two confirmed rows, on `screen`.
std::function<void(Rig&)> busy(uint8_t screen) {
  return [=](Rig& r) {
    OpenedNote n;
    n.amount = 125000;
    n.memo = "rent";
    n.height = 4;
    r.world.next_view.notes.push_back(n.clone());
    n.amount = 7;
    n.memo = "";
    n.height = 5;
    r.world.next_view.notes.push_back(n.clone());
    r.world.next_view.balance = 125007;
    r.world.next_view.reserved = 50000;
    r.world.next_view.history = {row("pending", 50000, "", 0, 1, 2), row("in", 125000, "rent", 4),
                                 row("out", 300, "tea", 3), row("odd", 1, "", 2)};
    r.open_wallet();
    r.app.status.reset();
    r.app.screen = screen;
  };
}

TEST(WalletTuiScreens, EveryScreenAsText) {
  const std::vector<ScreenCase> cases = {
      {"welcome", at(tui::kWelcome),
       R"( QÚV  Neighbourhood · Time · Voucher

──────────────────────────────────────────────────────────────────────────────
┌ welcome ───────────────────────────────────────────────────────────────────┐
│                                                                            │
│  Wallet (terminal)                                                         │
│                                                                            │
│  13 Latin words. No account. No issuer.                                    │
│  Amount and memo only for you and the recipient.                           │
│                                                                            │
│  [N] New — create a wallet with a passphrase                               │
│  [O] Open — stored file                                                    │
│  [I] Import — 13 words, then passphrase                                    │
│  [P] Peers — other nodes (1–5)                                             │
└────────────────────────────────────────────────────────────────────────────┘
  [N] New  [O] Open  [I] Import  [P] Peers  [Q] Quit)"},
      {"seed", busy(tui::kSeed),
       R"( QÚV  Neighbourhood · Time · Voucher

──────────────────────────────────────────────────────────────────────────────
┌ Seed ──────────────────────────────────────────────────────────────────────┐
│  Write these down. Whoever has the words has the coins.                    │
│                                                                            │
│   1. fronte       2. socerum      3. nomen        4. proinde               │
│   5. panis        6. coquito      7. ignarus      8. evenit                │
│   9. fronte      10. socerum     11. nomen       12. proelio               │
│  13. sacra                                                                 │
│                                                                            │
│  Enter → continue                                                          │
│                                                                            │
└────────────────────────────────────────────────────────────────────────────┘
  Enter continue  Esc back)"},
      {"open", [](Rig& r) { r.app.screen = tui::kOpen, r.app.input = "pässwörd"; },
       R"( QÚV  Neighbourhood · Time · Voucher

──────────────────────────────────────────────────────────────────────────────
┌ open ──────────────────────────────────────────────────────────────────────┐
│  Passphrase of the wallet file.                                            │
│                                                                            │
│  ••••••••                                                                  │
│                                                                            │
│  Enter continue · Esc back                                                 │
│                                                                            │
└────────────────────────────────────────────────────────────────────────────┘
  Enter opens  Esc back)"},
      {"import", [](Rig& r) { r.app.screen = tui::kImport, r.app.input = "abc def"; },
       R"( QÚV  Neighbourhood · Time · Voucher

──────────────────────────────────────────────────────────────────────────────
┌ import ────────────────────────────────────────────────────────────────────┐
│  13 Latin words, spaces between them.                                      │
│  Then a passphrase — that is how you open the file again.                  │
│                                                                            │
│  abc def                                                                   │
│                                                                            │
│  Enter continue · Esc back                                                 │
│                                                                            │
└────────────────────────────────────────────────────────────────────────────┘
  Enter continue  Esc back)"},
      {"pass", [](Rig& r) { r.app.screen = tui::kPassphrase, r.app.pass1 = "123456789"; },
       R"( QÚV  Neighbourhood · Time · Voucher

──────────────────────────────────────────────────────────────────────────────
┌ passphrase ────────────────────────────────────────────────────────────────┐
│  At least 8 characters. Stores the wallet file.                            │
│                                                                            │
│  •••••••••                                                                 │
│                                                                            │
│  Enter continue · Esc back                                                 │
│                                                                            │
└────────────────────────────────────────────────────────────────────────────┘
  Enter continue  Esc back)"},
      {"repeat", [](Rig& r) { r.app.screen = tui::kRepeat, r.app.pass2 = "12"; },
       R"( QÚV  Neighbourhood · Time · Voucher

──────────────────────────────────────────────────────────────────────────────
┌ repeat ────────────────────────────────────────────────────────────────────┐
│  Passphrase once more.                                                     │
│                                                                            │
│  ••                                                                        │
│                                                                            │
│  Enter continue · Esc back                                                 │
│                                                                            │
└────────────────────────────────────────────────────────────────────────────┘
  Enter continue  Esc back)"},
      {"main", busy(tui::kMain),
       R"( QÚV  Neighbourhood · Time · Voucher

──────────────────────────────────────────────────────────────────────────────
┌ wallet ────────────────────────────────────────────────────────────────────┐
│  Balance (only you)                                                        │
│  1,25007 QÚV                                                               │
│                                                                            │
│  Receive address                                                           │
│  quv1ererhv430g9s37fykn6htnqhfsjks34s821dyprkfe8a1bkevxt9gk8               │
│                                                                            │
│  Notes 2   node 127.0.0.1:19191   height 5   synced 5   supply 2,50000 QÚV │
│  Reserved 0,50000 QÚV                                                      │
│                                                                            │
│  [S] Send  [H] History  [A] Addresses  [N] Notes  [B] Seed  [P] Peers  [Y] │
└────────────────────────────────────────────────────────────────────────────┘
  [S] Send  [H] History  [A] Addresses  [N] Notes  [B] Seed  [P] Peers  [Y] Sy)"},
      {"main none", at(tui::kMain),
       R"( QÚV  Neighbourhood · Time · Voucher

──────────────────────────────────────────────────────────────────────────────












  [S] Send  [H] History  [A] Addresses  [N] Notes  [B] Seed  [P] Peers  [Y] Sy)"},
      {"send",
       [](Rig& r) {
         busy(tui::kSend)(r), r.app.send_to = "quv1xyz", r.app.send_amount = "1,5",
                              r.app.send_focus = 1;
       },
       R"( QÚV  Neighbourhood · Time · Voucher

──────────────────────────────────────────────────────────────────────────────
┌ send ──────────────────────────────────────────────────────────────────────┐
│   To     quv1xyz                                                           │
│ > Amount 1,5                                                               │
│   Memo                                                                     │
│                                                                            │
│  Tab fields · Enter send · Esc back                                        │
│  Only the two of you can read the memo.                                    │
│                                                                            │
└────────────────────────────────────────────────────────────────────────────┘
  Tab fields  Enter send  Esc back)"},
      {"notes", busy(tui::kNotes),
       R"( QÚV  Neighbourhood · Time · Voucher

──────────────────────────────────────────────────────────────────────────────
┌ notes ─────────────────────────────────────────────────────────────────────┐
│  1,25000 QÚV  rent  h4                                                     │
│  0,00007 QÚV  —  h5                                                        │
│                                                                            │
└────────────────────────────────────────────────────────────────────────────┘
  Esc back)"},
      {"notes failed",
       [](Rig& r) {
         busy(tui::kNotes)(r);
         r.world.sync_error = "x";
         r.world.clock += 4s;
       },
       R"( QÚV  Neighbourhood · Time · Voucher

──────────────────────────────────────────────────────────────────────────────
┌ notes ─────────────────────────────────────────────────────────────────────┐
│  (sync failed)                                                             │
│                                                                            │
└────────────────────────────────────────────────────────────────────────────┘
  Esc back)"},
      {"peers",
       [](Rig& r) {
         r.app.screen = tui::kPeers;
         tui::load_peer_fields(r.app);
         r.app.peer_focus = 1;
       },
       R"( QÚV  Neighbourhood · Time · Voucher

──────────────────────────────────────────────────────────────────────────────
┌ peers ─────────────────────────────────────────────────────────────────────┐
│  Remote nodes (1–5). The wallet never reads the chain file.                │
│  ● reachable  ● down                                                       │
│                                                                            │
│   ● 1:  127.0.0.1:19191                                                    │
│ > ● 2:  a.example:19191                                                    │
│   ○ 3:                                                                     │
│   ○ 4:                                                                     │
│   ○ 5:                                                                     │
│                                                                            │
│  Enter saves · Esc back                                                    │
└────────────────────────────────────────────────────────────────────────────┘
  Tab fields  Enter save  Esc back)"},
      {"history",
       [](Rig& r) {
         busy(tui::kHistory)(r);
         tui::load_history(r.app);
         tui::hist_move(r.app, 2);
       },
       R"( QÚV  Neighbourhood · Time · Voucher

──────────────────────────────────────────────────────────────────────────────
┌ history ───────────────────────────────────────────────────────────────────┐
│    open   0,50000 QÚV  —  1/2                                              │
│    in     1,25000 QÚV  rent  h4                                            │
│ >  out    0,00300 QÚV  tea  h3                                             │
│    ?      0,00001 QÚV  —  h2                                               │
│                                                                            │
└────────────────────────────────────────────────────────────────────────────┘
  ↑↓ select  Enter details  Esc back)"},
      {"history empty", at(tui::kHistory, true),
       R"( QÚV  Neighbourhood · Time · Voucher

──────────────────────────────────────────────────────────────────────────────
┌ history ───────────────────────────────────────────────────────────────────┐
│                                                                            │
│  No movements yet.                                                         │
│  Esc back                                                                  │
│                                                                            │
└────────────────────────────────────────────────────────────────────────────┘
Wallet opened. Synced to height 5.)"},
      {"tx pending",
       [](Rig& r) {
         busy(tui::kTransaction)(r);
         r.app.hist_sel.selected = 0;
       },
       R"( QÚV  Neighbourhood · Time · Voucher

──────────────────────────────────────────────────────────────────────────────
┌ transaction ───────────────────────────────────────────────────────────────┐
│  Direction  open                                                           │
│  Amount     0,50000 QÚV                                                    │
│  Memo       —                                                              │
│  From       quv1ererhv430g9s37fykn6htnqhfsjks34s821dyprkfe8a1bkevxt9gk8    │
│  To         —                                                              │
│  Time       —                                                              │
│  Height     Mempool  1/2                                                   │
│                                                                            │
│  TxHash                                                                    │
│  aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa          │
└────────────────────────────────────────────────────────────────────────────┘
  Esc back to list)"},
      {"tx in",
       [](Rig& r) {
         busy(tui::kTransaction)(r);
         r.app.hist_sel.selected = 1;
       },
       R"( QÚV  Neighbourhood · Time · Voucher

──────────────────────────────────────────────────────────────────────────────
┌ transaction ───────────────────────────────────────────────────────────────┐
│  Direction  in                                                             │
│  Amount     1,25000 QÚV                                                    │
│  Memo       rent                                                           │
│  From       quv1ererhv430g9s37fykn6htnqhfsjks34s821dyprkfe8a1bkevxt9gk8    │
│  To         —                                                              │
│  Time       2023-11-14 22:13:24                                            │
│  Height     4                                                              │
│                                                                            │
│  TxHash                                                                    │
│  aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa          │
└────────────────────────────────────────────────────────────────────────────┘
  Esc back to list)"},
      {"tx none", busy(tui::kTransaction),
       R"( QÚV  Neighbourhood · Time · Voucher

──────────────────────────────────────────────────────────────────────────────












  Esc back to list)"},
      {"addresses",
       [](Rig& r) {
         busy(tui::kAddresses)(r);
         tui::new_address_flow(r.app);
       },
       R"( QÚV  Neighbourhood · Time · Voucher

──────────────────────────────────────────────────────────────────────────────
┌ addresses ─────────────────────────────────────────────────────────────────┐
│  Current receive address                                                   │
│  quv1n795fww2db33z4d4m1f9abnpgpg68cpwheapbh7rpmgjq93s0sv6z0g               │
│                                                                            │
│  [N] New receive address                                                   │
│                                                                            │
│  List                                                                      │
│  #0  quv1ererhv430g9s37fykn6htnqhfsjks34s821dyprkfe8a1bkevxt9gk8           │
│      primary                                                               │
│  #1  quv1n795fww2db33z4d4m1f9abnpgpg68cpwheapbh7rpmgjq93s0sv6z0g           │
│      recv-1                                                                │
└────────────────────────────────────────────────────────────────────────────┘
Receive address #1.)"},
  };
  for (const ScreenCase& c : cases) {
    Rig r;
    c.setup(r);
    EXPECT_EQ(compact(r.screen_text(78, 17)), c.want + "\n") << c.name;  // the footer's second row
  }
}

}  // namespace

namespace {

struct ColourCase {
  const char* name;
  std::function<void(Rig&)> setup;
  int x, y;
  ui::Rgb fg;
  bool bold;
};

TEST(WalletTuiScreens, Colours) {
  namespace p = ::palette;
  auto failed_open = [](Rig& r) {
    r.world.sync_error = "Node did not return blocks.";
    r.open_wallet();
  };
  auto detail = [](std::string dir) {
    return [=](Rig& r) {
      r.app.history = {row(dir, 5, "", 3)};
      r.app.hist_sel.selected = 0;
      r.app.screen = tui::kTransaction;
    };
  };
  const std::vector<ColourCase> cases = {
      {"brand in the header", at(tui::kWelcome), 1, 0, p::kBrand, true},
      {"tagline in the header", at(tui::kWelcome), 6, 0, p::kTagline, false},
      {"body border", at(tui::kWelcome), 0, 3, p::kTagline, false},
      {"key hint", at(tui::kWelcome), 2, 15, p::kDim, false},
      {"good news", at(tui::kMain, true), 0, 15, p::kGood, false},
      {"an error", [](Rig& r) { tui::handle_key(r.app, ch('o')); }, 0, 15, p::kBad, false},
      {"a failed sync on opening is an error", failed_open, 0, 15, p::kBad, false},
      {"balance", busy(tui::kMain), 3, 5, p::kHeading, true},
      {"address", busy(tui::kMain), 3, 8, p::kTagline, false},
      {"in", detail("in"), 14, 4, p::kGood, true},
      {"out", detail("out"), 14, 4, p::kBrand, true},
      {"open", detail("pending"), 14, 4, p::kHeading, true},
      {"unknown kind", detail("swap"), 14, 4, p::kDim, true},
      {"selected history row", [](Rig& r) { busy(tui::kHistory)(r), tui::load_history(r.app); }, 5,
       4, p::kHeading, true},
      {"answering node", [](Rig& r) { r.app.screen = tui::kPeers, tui::load_peer_fields(r.app); },
       4, 7, p::kGood, false},
      {"silent node", [](Rig& r) { r.app.screen = tui::kPeers, tui::load_peer_fields(r.app); }, 4,
       8, p::kBad, false},
  };
  for (const ColourCase& c : cases) {
    Rig r;
    c.setup(r);
    ui::Buffer buf(78, 17);
    tui::draw(buf, r.app);
    const ui::Cell& cell = buf.at(c.x, c.y);
    EXPECT_EQ(cell.fg, c.fg) << c.name;
    EXPECT_EQ(cell.bold, c.bold) << c.name;
    EXPECT_EQ(cell.bg, p::kBackground) << c.name;
  }
}

TEST(WalletTuiFlows, ViewIsFreshForThreeSecondsExactly) {
  const std::vector<std::pair<std::chrono::nanoseconds, int>> cases = {
      {0s, 0}, {2999ms, 0}, {3s, 0}, {3s + 1ns, 1}, {10s, 1}};
  for (const auto& [elapsed, more] : cases) {
    Rig r;
    r.open_wallet();
    int before = r.world.syncs;
    r.world.clock += std::chrono::duration_cast<std::chrono::steady_clock::duration>(elapsed);
    ASSERT_TRUE(tui::wallet_view(r.app)) << elapsed.count();
    r.app.screen = tui::kHistory;
    r.screen_text();
    EXPECT_EQ(r.world.syncs - before, more) << elapsed.count() << " ns";
  }
}

TEST(WalletTuiFlows, ViewWithoutAnySync) {
  Rig r;
  r.world.sync_error = "Node did not return blocks.";
  r.open_wallet();
  auto v = tui::wallet_view(r.app);
  ASSERT_FALSE(v);
  EXPECT_EQ(v.error().to_string(), "Node did not return blocks.");
  r.world.sync_error.reset();
  r.app.book.reset();
  EXPECT_EQ(tui::wallet_view(r.app).error().to_string(), "Open a wallet first.");
}

TEST(WalletTuiFlows, NewWalletKeepsTheOldFile) {
  struct Case {
    const char* name;
    bool existing;
    std::optional<std::string> persist_error;
    std::vector<std::string> backups;
    const char* status;
    bool good;
  };
  const std::string bak = "/w/quv.wallet.bak-1765000000";
  const std::vector<Case> cases = {
      {"no file: nothing to keep",
       false,
       std::nullopt,
       {},
       "Saved. [B] Seed to write down. Full sync done.",
       true},
      {"an existing file is copied first",
       true,
       std::nullopt,
       {bak},
       "Saved. [B] Seed to write down. Full sync done. Old wallet kept as "
       "/w/quv.wallet.bak-1765000000.",
       true},
      {"a failed write leaves the old file and its copy",
       true,
       "No space left on device (os error 28)",
       {bak},
       "No space left on device (os error 28)",
       false},
  };
  for (const Case& c : cases) {
    Rig r;
    r.world.file = c.existing;
    r.world.persist_error = c.persist_error;
    r.app.screen = tui::kRepeat;
    r.app.pass1 = r.app.pass2 = "12345678";
    tui::handle_key(r.app, named(KeyCode::Enter));
    EXPECT_EQ(r.world.backups, c.backups) << c.name;
    EXPECT_EQ(r.world.file, c.existing || c.good) << c.name;
    ASSERT_TRUE(r.app.status) << c.name;
    EXPECT_EQ(r.app.status->second, c.status) << c.name;
    EXPECT_EQ(r.app.status->first, c.good) << c.name;
    EXPECT_EQ(int(r.app.screen), c.good ? tui::kMain : tui::kRepeat) << c.name;
  }
}

// A wallet at rest: with the main screen drawn every 200 ms for ten idle seconds, the file
// is not written again, the key sets are not derived again, and a failing node is asked
// once per three seconds like an answering one.
TEST(WalletTuiFlows, AWalletAtRestRests) {
  struct Case {
    const char* name;
    bool node_fails;
    uint8_t screen;
  } cases[] = {
      {"main screen, node answers", false, tui::kMain},
      {"main screen, node fails", true, tui::kMain},
      {"notes screen, node fails", true, tui::kNotes},
      {"history screen, node fails", true, tui::kHistory},
  };
  for (const Case& c : cases) {
    Rig r;
    int derived = 0;
    r.app.ops.wallets_from_book = [&, inner = r.app.ops.wallets_from_book](const json& book) {
      ++derived;
      return inner(book);
    };
    r.open_wallet();
    ASSERT_EQ(int(r.app.screen), tui::kMain) << c.name;
    r.world.sync_error =
        c.node_fails ? std::optional<std::string>("Node did not return blocks.") : std::nullopt;
    r.app.screen = c.screen;
    const int syncs = r.world.syncs, persists = r.world.persists, keys = derived;
    for (int frame = 0; frame < 50; ++frame) {
      r.world.clock += 200ms;
      (void)r.screen_text();
    }
    // Ten seconds: a sync at the first frame past each three-second window.
    EXPECT_EQ(r.world.syncs - syncs, 3) << c.name;
    EXPECT_EQ(r.world.persists - persists, 0) << c.name;
    EXPECT_EQ(derived - keys, 0) << c.name;
  }
  // A sync that changes the book writes it once; the key sets follow a changed book.
  Rig r;
  r.open_wallet();
  const int persists = r.world.persists;
  r.world.chain_height = 9;
  ASSERT_TRUE(tui::do_sync(r.app, false));
  ASSERT_TRUE(tui::do_sync(r.app, false));
  EXPECT_EQ(r.world.persists - persists, 1);
}

TEST(WalletTuiFlows, ImportedWordsBecomeTheWallet) {
  Rig r;
  r.app.screen = tui::kImport;
  type(r.app, seed::to_mnemonic(fixed_words()));
  tui::handle_key(r.app, named(KeyCode::Enter));
  type(r.app, "12345678");
  tui::handle_key(r.app, named(KeyCode::Enter));
  type(r.app, "12345678");
  tui::handle_key(r.app, named(KeyCode::Enter));
  EXPECT_EQ(int(r.app.screen), tui::kMain);
  EXPECT_EQ(r.world.stored["mnemonic"], seed::to_mnemonic(fixed_words()));
  EXPECT_FALSE(r.app.pending_seed);
  EXPECT_EQ(r.app.session_seed, fixed_words());
}

// Syncs find one spendable note of 5 QÚV.
void fund(World& w) {
  OpenedNote note;
  note.note_id = std::string(64, 'c');
  note.txid = std::string(64, 'd');
  note.amount = 500000;
  note.auth_pk = std::string(64, '0');
  w.next_view.notes.push_back(note.clone());
  w.next_view.balance = 500000;
}

TEST(WalletTuiFlows, SendSubmitsRemembersAndReturns) {
  Rig r;
  fund(r.world);
  r.open_wallet();
  tui::handle_key(r.app, ch('s'));
  type(r.app, " " + keys_of(1).address + " ");
  tui::handle_key(r.app, named(KeyCode::Tab));
  type(r.app, "1,5");
  tui::handle_key(r.app, named(KeyCode::Tab));
  type(r.app, " tea ");
  tui::handle_key(r.app, named(KeyCode::Enter));
  ASSERT_EQ(r.world.submitted.size(), 1u);
  const std::string& id = r.world.submitted[0];
  EXPECT_EQ(int(r.app.screen), tui::kMain);
  EXPECT_EQ(r.app.status, std::make_pair(true, "Submitted " + id.substr(0, 10) +
                                                   ". Waiting for node confirmations."));
  EXPECT_EQ(r.world.stored["sends"][id],
            (json{{"amount", 150000}, {"memo", "tea"}, {"to", keys_of(1).address}}));
}

// A transfer the node may have taken (the whole request went out, no reply came) is
// remembered with its memo and closes the form; a refusal keeps the form.
TEST(WalletTuiFlows, ANodeThatTookTheTransferAndSaidNothingIsNoRefusal) {
  struct Case {
    const char* name;
    bool sent;
    std::optional<std::string> reply;
    uint8_t screen;
    std::string status;
    bool remembered;
  };
  const std::vector<Case> cases = {
      {"sent whole, no reply in time", true, std::nullopt, tui::kMain,
       std::string(light::kNoAnswer), true},
      {"no connection", false, std::nullopt, tui::kSend, std::string(light::kNotAccepted), false},
      {"a refusal", true, R"({"ok":false,"error":"Unknown or spent note."})", tui::kSend,
       "Unknown or spent note.", false},
  };
  for (const Case& c : cases) {
    Rig r;
    fund(r.world);
    r.world.node = [&](const light::Call& call) -> std::optional<Bytes> {
      if (call.sent != nullptr) *call.sent = c.sent;
      if (!c.reply) return std::nullopt;
      return Bytes(c.reply->begin(), c.reply->end());
    };
    r.open_wallet();
    tui::handle_key(r.app, ch('s'));
    type(r.app, keys_of(1).address);
    tui::handle_key(r.app, named(KeyCode::Tab));
    type(r.app, "1");
    tui::handle_key(r.app, named(KeyCode::Tab));
    type(r.app, "tea");
    tui::handle_key(r.app, named(KeyCode::Enter));
    EXPECT_EQ(int(r.app.screen), c.screen) << c.name;
    EXPECT_EQ(r.app.status, std::make_pair(false, c.status)) << c.name;
    const json sends = r.world.stored.value("sends", json::object());
    ASSERT_EQ(sends.size(), c.remembered ? 1u : 0u) << c.name;
    if (c.remembered) {
      EXPECT_EQ(sends.begin()->at("memo"), "tea") << c.name;
      EXPECT_EQ(sends.begin()->at("to"), keys_of(1).address) << c.name;
    }
  }
}

// A small tmpfs of the test's own, unmounted when dropped.
struct SmallDisk {
  proc::TempDir dir;
  bool mounted = ::mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=256k") == 0;
  ~SmallDisk() {
    if (mounted) ::umount2(dir.path().c_str(), MNT_DETACH);
  }
  void fill() {
    (void)std::system(("cat /dev/zero >" + (dir / "fill").string() + " 2>&-").c_str());
  }
  void make_room() { std::filesystem::remove(dir / "fill"); }
};

// With the disk full, a transfer the node took is sent, and what the book then holds is
// written at the next sync or at a quit; a quit that cannot save warns once.
TEST(WalletTuiFlows, AFailedSaveIsKeptAndWrittenLater) {
  SmallDisk disk;
  if (!disk.mounted) GTEST_SKIP() << "needs to mount a tmpfs (as root)";
  proc::ScopedEnv wallet_env("QUV_WALLET_PATH", (disk.dir / "quv.wallet").string());
  Rig r;
  tui::Services real = tui::real_services();
  r.app.ops.lock_file = real.lock_file;
  r.app.ops.persist = real.persist;
  fund(r.world);
  r.app.screen = tui::kRepeat;
  r.app.pass1 = r.app.pass2 = "correct horse";
  tui::handle_key(r.app, named(KeyCode::Enter));
  auto stored = [] { return *walletdb::load_book("correct horse"); };

  disk.fill();
  r.app.screen = tui::kSend;
  r.app.send_to = keys_of(1).address;
  r.app.send_amount = "1";
  r.app.send_memo = "tea";
  tui::handle_key(r.app, named(KeyCode::Enter));
  ASSERT_EQ(r.world.submitted.size(), 1u);
  const std::string id = r.world.submitted[0];
  EXPECT_EQ(int(r.app.screen), tui::kMain);
  EXPECT_EQ(r.app.status->second,
            "Submitted " + id.substr(0, 10) + ". Waiting for node confirmations.");
  EXPECT_NE(r.screen_text().find("Not saved: No space left on device"), std::string::npos);
  EXPECT_FALSE(stored().contains("sends"));
  disk.make_room();
  r.world.clock += 4s;
  ASSERT_TRUE(tui::do_sync(r.app, false));
  EXPECT_EQ(stored()["sends"][id]["memo"], "tea");
  EXPECT_EQ(r.screen_text().find("Not saved"), std::string::npos);

  disk.fill();
  r.app.screen = tui::kAddresses;
  tui::handle_key(r.app, ch('n'));
  r.app.screen = tui::kMain;
  EXPECT_FALSE(tui::handle_key(r.app, ch('q')));
  EXPECT_EQ(r.app.status->second,
            "Not saved: No space left on device (os error 28). Q again quits without saving.");
  disk.make_room();
  EXPECT_TRUE(tui::handle_key(r.app, ch('q')));
  EXPECT_EQ(stored()["current_index"], 1);
}

TEST(WalletTuiFlows, NodeListPrecedence) {
  struct Case {
    const char* name;
    std::optional<json> book_nodes;
    std::vector<std::string> file;
    std::vector<std::string> want;
  };
  const std::vector<Case> cases = {
      {"no book: the file", std::nullopt, {"f:1"}, {"f:1"}},
      {"book entries win, untrimmed, others skipped",
       json::array({" b:1", 5, "", "c:2"}),
       {"f:1"},
       {" b:1", "c:2"}},
      {"a book list of nothing usable falls back", json::array({"", 7}), {"f:1"}, {"f:1"}},
      {"a book member of another type falls back", json("b:1"), {"f:1"}, {"f:1"}},
  };
  for (const Case& c : cases) {
    Rig r;
    r.world.node_file = c.file;
    if (c.book_nodes) {
      r.open_wallet();
      (*r.app.book)["nodes"] = *c.book_nodes;
    }
    EXPECT_EQ(tui::app_nodes(r.app), c.want) << c.name;
    tui::load_peer_fields(r.app);
    EXPECT_EQ(r.app.peer_fields[0], c.want[0]) << c.name;
  }
}

// A terminal of the test's own: a script of poll results for the UI loop, keys typed while
// a call waits (read only by the key watch, on a thread of its own), and the frames drawn.
// Past its script the loop gets a few q presses, then a failed read.
class ScriptScreen : public ui::Screen {
 public:
  std::vector<Result<std::optional<Key>>> script;
  std::vector<Key> typed_while_waiting;
  std::optional<std::string> draw_error;
  std::vector<std::string> frames;

  ui::Rect area() const override { return ui::Rect{0, 0, 78, 17}; }
  Status draw(const ui::Buffer& buf) override {
    frames.push_back(buf.to_text());
    if (draw_error) return fail(*draw_error);
    return {};
  }
  Result<std::optional<Key>> poll(int) override {
    if (std::this_thread::get_id() != ui_thread_) {
      size_t i = typed_.load();
      if (i < typed_while_waiting.size()) {
        typed_.store(i + 1);
        return std::optional<Key>(typed_while_waiting[i]);
      }
      std::this_thread::sleep_for(1ms);
      return std::optional<Key>();
    }
    if (next_ >= script.size()) {
      if (next_++ < script.size() + 3) return std::optional<Key>(Key::chr('q'));
      return fail("script ended");
    }
    return script[next_++];
  }
  // Waits (at most 5 s) until the key watch has read every key typed while waiting.
  void await_typing() const {
    for (int i = 0; i < 5000 && typed_.load() < typed_while_waiting.size(); ++i) {
      std::this_thread::sleep_for(1ms);
    }
  }
  // Script entries the loop has not read.
  size_t left() const { return next_ < script.size() ? script.size() - next_ : 0; }

 private:
  std::thread::id ui_thread_ = std::this_thread::get_id();
  size_t next_ = 0;
  std::atomic<size_t> typed_{0};
};

std::vector<Result<std::optional<Key>>> presses(const std::vector<Key>& keys) {
  std::vector<Result<std::optional<Key>>> out;
  for (const Key& k : keys) out.push_back(std::optional<Key>(k));
  return out;
}

std::vector<Key> chars(const std::string& text) {
  std::vector<Key> out;
  for (char32_t c : ui::decode(text)) out.push_back(Key::chr(c));
  return out;
}

// While a sync waits, the frame says so and keys typed meanwhile act on nothing (a
// passphrase typed again while the wallet opens), but q, which ends the wait and then goes
// back from the history screen instead of quitting the wallet.
TEST(WalletTuiRun, KeysTypedWhileACallWaitsAreDropped) {
  struct Case {
    const char* name;
    std::function<void(Rig&)> setup;
    std::vector<Key> keys;
    std::vector<Key> typed_while_waiting;
    const char* waiting;
    uint8_t screen;
  };
  const std::vector<Case> cases = {
      {"a passphrase typed again while the wallet opens",
       [](Rig& r) {
         r.world.file = true;
         r.world.stored = r.world.services().blank(seed::to_mnemonic(fixed_words()));
         r.world.stored_pass = "secretpass";
         r.app.input = "secretpass";
         r.app.screen = tui::kOpen;
       },
       {named(KeyCode::Enter), ch('q')},
       chars("secretpass"),
       "┌ wallet",
       tui::kMain},
      // q goes back at once, and Esc then locks the wallet on the main screen.
      {"q while the history syncs",
       [](Rig& r) { r.open_wallet(); },
       {ch('h'), named(KeyCode::Esc)},
       {ch('q')},
       "┌ history",
       tui::kWelcome},
  };
  for (const Case& c : cases) {
    ScriptScreen s;
    Rig r;
    c.setup(r);
    s.script = presses(c.keys);
    s.typed_while_waiting = c.typed_while_waiting;
    r.world.while_syncing = [&s] { s.await_typing(); };
    auto ran = tui::run_on(s, r.app);
    EXPECT_TRUE(ran) << c.name << ": " << (ran ? "" : ran.error().to_string());
    EXPECT_EQ(s.left(), 0u) << c.name;
    EXPECT_EQ(int(r.app.screen), c.screen) << c.name;
    EXPECT_EQ(r.app.send_to, "") << c.name;
    auto waiting = std::find_if(s.frames.begin(), s.frames.end(), [&](const std::string& f) {
      return f.find("Waiting for the node…") != std::string::npos;
    });
    if (waiting == s.frames.end()) {
      ADD_FAILURE() << c.name << ": no frame says that the wallet waits";
    } else {
      EXPECT_NE(waiting->find(c.waiting), std::string::npos) << c.name << "\n" << *waiting;
    }
    for (const std::string& f : s.frames) {
      EXPECT_EQ(f.find("ecretpass"), std::string::npos) << c.name << "\n" << f;
    }
  }
}

// With a book the disk would not take, a Q while a sync waits is refused as any first Q
// is, and the next one quits.
TEST(WalletTuiRun, QWhileACallWaitsKeepsTheUnsavedGuard) {
  ScriptScreen s;
  Rig r;
  fund(r.world);
  r.open_wallet();
  r.world.persist_error = "No space left on device (os error 28)";
  r.app.screen = tui::kSend;
  r.app.send_to = keys_of(1).address;
  r.app.send_amount = "1";
  r.app.send_memo = "tea";
  tui::handle_key(r.app, named(KeyCode::Enter));
  ASSERT_TRUE(r.app.unsaved);
  r.world.clock += 4s;
  s.script = {std::optional<Key>(), std::optional<Key>(ch('q'))};
  s.typed_while_waiting = {ch('Q')};
  r.world.while_syncing = [&s] { s.await_typing(); };
  ASSERT_TRUE(tui::run_on(s, r.app));
  EXPECT_EQ(s.left(), 0u);
  ASSERT_GE(s.frames.size(), 2u);
  EXPECT_NE(s.frames[0].find("Waiting for the node… Q quits."), std::string::npos) << s.frames[0];
  EXPECT_NE(s.frames[1].find("Not saved: No space left on device (os error 28). Q again quits"),
            std::string::npos)
      << s.frames[1];
}

TEST(WalletTuiRun, OnlyKeyPressesCountAndFailuresEndTheLoop) {
  Key release = Key::chr('i');
  release.kind = ui::KeyKind::Release;
  Key repeat = Key::chr('i');
  repeat.kind = ui::KeyKind::Repeat;
  {
    ScriptScreen s;
    s.script = {std::optional<Key>(),
                std::optional<Key>(release),
                std::optional<Key>(repeat),
                std::optional<Key>(Key::chr('p')),
                std::optional<Key>(Key::of(KeyCode::Esc)),
                std::optional<Key>(Key::of(KeyCode::Esc))};
    Rig r;
    EXPECT_TRUE(tui::run_on(s, r.app));
    // The pings of the node list editor wait behind a frame of their own.
    EXPECT_EQ(s.frames.size(), 7u);
    EXPECT_NE(s.frames[4].find("Waiting for the node… Q quits."), std::string::npos);
    EXPECT_NE(s.frames[5].find("┌ peers "), std::string::npos);
    EXPECT_NE(s.frames[6].find("┌ welcome "), std::string::npos);
  }
  {
    ScriptScreen s;
    s.script = {std::optional<Key>(), fail("Input/output error (os error 5)")};
    Rig r;
    auto ran = tui::run_on(s, r.app);
    ASSERT_FALSE(ran);
    EXPECT_EQ(ran.error().to_string(), "Input/output error (os error 5)");
  }
  {
    ScriptScreen s;
    s.draw_error = "Broken pipe (os error 32)";
    Rig r;
    auto ran = tui::run_on(s, r.app);
    ASSERT_FALSE(ran);
    EXPECT_EQ(ran.error().to_string(), "Broken pipe (os error 32)");
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Against a real node: the node's own start-up and ticks run in-process on 0.0.0.0:19191
// inside a network namespace of the test's own, so no lookup of a seed node leaves the
// machine. The test mints through the ledger's test mint, as `quv mint` does.

namespace {

constexpr int kNoNamespace = 77;

// The current screen as text, on a terminal of 100 by 26.
std::string shown(tui::App& app) {
  ui::Buffer buf(100, 26);
  tui::draw(buf, app);
  return buf.to_text();
}

void press(tui::App& app, KeyCode k) { tui::handle_key(app, Key::of(k)); }

// The whole road of a wallet; runs in the child that owns the namespace.
void wallet_road() {
  proc::TempDir dir;
  std::filesystem::path chain = dir / "quv.chain";
  proc::ScopedEnv wallet_env("QUV_WALLET_PATH", (dir / "quv.wallet").string());
  proc::ScopedEnv chain_env("QUV_CHAIN_PATH", chain.string());
  proc::ScopedEnv home_env("HOME", dir.path().string());
  proc::ScopedEnv confirm_env("QUV_CONFIRM_PEERS", "1");
  auto node = Chain::open(chain);
  ASSERT_TRUE(node) << node.error().to_string();
  auto started = node::prepare(*node);
  ASSERT_TRUE(started) << started.error().to_string();
  auto tick = [&] { node::pulse(*node, started->session); };

  tui::App app;
  // New wallet: passphrase twice, then the seed screen with 13 words the parser takes.
  tui::handle_key(app, ch('n'));
  type(app, "correct horse");
  press(app, KeyCode::Enter);
  type(app, "correct horse");
  press(app, KeyCode::Enter);
  ASSERT_EQ(int(app.screen), tui::kMain);
  EXPECT_EQ(app.status, std::make_pair(true, std::string("Saved. [B] Seed to write down. "
                                                         "Full sync done.")));
  tui::handle_key(app, ch('b'));
  std::string seed_screen = shown(app);
  std::vector<std::string> words;
  for (size_t n = 1; n <= 13; ++n) {
    std::string mark = (n < 10 ? " " : "") + std::to_string(n) + ". ";
    size_t at = seed_screen.find(mark);
    ASSERT_NE(at, std::string::npos) << n;
    at += mark.size();
    // A word of twelve letters runs straight into the next two-digit number.
    size_t end =
        std::min(seed_screen.find(' ', at), seed_screen.find(std::to_string(n + 1) + ". ", at));
    words.push_back(seed_screen.substr(at, end - at));
  }
  auto parsed = seed::parse(seed::to_mnemonic(words));
  ASSERT_TRUE(parsed) << seed_screen;
  EXPECT_EQ(*parsed, *app.session_seed);
  press(app, KeyCode::Enter);

  // A mint to the receive address shows as the balance after a sync.
  std::string address = app.keys->address;
  auto minted = work::mint(*node, address, 500000);
  ASSERT_TRUE(minted) << minted.error().to_string();
  std::string mint_height = "h" + std::to_string(minted->height);
  tui::handle_key(app, ch('y'));
  EXPECT_EQ(app.status,
            std::make_pair(true, "Synced to height " + std::to_string(minted->height) + "."));
  EXPECT_NE(shown(app).find("  5,00000 QÚV"), std::string::npos) << shown(app);

  // Send to a second wallet: a pending row, acknowledged, then sealed into an "out" row.
  std::string other = WalletKeys::from_mnemonic(seed::to_mnemonic(seed::generate())).address;
  tui::handle_key(app, ch('s'));
  type(app, other);
  press(app, KeyCode::Tab);
  type(app, "1,5");
  press(app, KeyCode::Tab);
  type(app, "tea");
  press(app, KeyCode::Enter);
  ASSERT_EQ(int(app.screen), tui::kMain) << (app.status ? app.status->second : "");
  tick();
  const auto& pool = node->state().mempool;
  ASSERT_EQ(pool.size(), 1u);
  std::string id = hex::encode(codec::txid(codec::decode_tx(pool[0])->tx));
  EXPECT_EQ(app.status, std::make_pair(true, "Submitted " + id.substr(0, 10) +
                                                 ". Waiting for node confirmations."));
  tui::handle_key(app, ch('h'));
  EXPECT_NE(shown(app).find(" >  open   1,50000 QÚV  tea  0/1"), std::string::npos) << shown(app);
  // Another node acknowledges the transfer; the next tick seals it.
  auto acked = net::http_call_timeout("127.0.0.1:19191", "POST", "/ack",
                                      bytes::of(json{{"txid", id}, {"node_id", "peer-one"}}.dump()),
                                      "application/json", 5);
  ASSERT_TRUE(acked);
  tick();
  tui::handle_key(app, ch('h'));
  std::string history = shown(app);
  EXPECT_NE(history.find(" >  out    1,50000 QÚV  tea  h"), std::string::npos) << history;
  EXPECT_NE(history.find("    in     5,00000 QÚV  node-work  " + mint_height), std::string::npos)
      << history;
  tui::handle_key(app, ch('q'));
  EXPECT_NE(shown(app).find("  3,50000 QÚV"), std::string::npos) << shown(app);

  // Locked, the wallet does not open under another passphrase.
  press(app, KeyCode::Esc);
  tui::handle_key(app, ch('o'));
  type(app, "wrong horse");
  press(app, KeyCode::Enter);
  EXPECT_EQ(int(app.screen), tui::kOpen);
  EXPECT_EQ(app.status, std::make_pair(false, std::string("Wrong passphrase.")));
  press(app, KeyCode::Esc);

  // The node list editor pings its rows, saves them beside the wallet and pings again.
  tui::handle_key(app, ch('p'));
  EXPECT_EQ(app.peer_fields[0], "127.0.0.1:19191");
  EXPECT_EQ(app.peer_state[0], 1);
  press(app, KeyCode::Down);
  for (int i = 0; i < 64 && !app.peer_fields[1].empty(); ++i) press(app, KeyCode::Backspace);
  type(app, "127.0.0.2");
  for (int row = 2; row < 5; ++row) {
    press(app, KeyCode::Down);
    for (int i = 0; i < 64 && !app.peer_fields[row].empty(); ++i) press(app, KeyCode::Backspace);
  }
  press(app, KeyCode::Enter);
  EXPECT_EQ(app.status, std::make_pair(true, std::string("2 peers saved.")));
  EXPECT_EQ(int(app.screen), tui::kWelcome);
  EXPECT_EQ(proc::slurp(dir / "quv.nodes"), "[\n  \"127.0.0.1:19191\",\n  \"127.0.0.2:19191\"\n]");
  EXPECT_EQ(app.peer_state, (std::array<uint8_t, 5>{1, 2, 0, 0, 0}));
}

TEST(WalletTuiNode, CreateMintSyncSendSealAgainstANode) {
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::alarm(300);  // a hung node call must not hang the suite
    if (::unshare(CLONE_NEWNET) != 0 || std::system("ip link set lo up") != 0) {
      ::_exit(kNoNamespace);
    }
    wallet_road();
    ::_exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status)) << "the wallet run ended by signal " << WTERMSIG(status);
  if (WEXITSTATUS(status) == kNoNamespace) {
    GTEST_SKIP() << "needs its own network namespace (unshare CLONE_NEWNET and ip, as root)";
  }
  EXPECT_EQ(WEXITSTATUS(status), 0) << "see the failures of the wallet run above";
}

// A body that throws, on the calling thread or an extra one: every thread has ended when
// the exception reaches the caller, so none runs on into a body that is gone.
TEST(WalletSecretMemory, ThreadsEndBeforeAThrowLeaves) {
  for (bool on_caller : {true, false}) {
    std::atomic<unsigned> started{0}, ended{0};
    const auto caller = std::this_thread::get_id();
    auto body = [&] {
      if (std::this_thread::get_id() == caller) {
        for (int i = 0; i < 5000 && started < 3; ++i) std::this_thread::sleep_for(1ms);
        if (on_caller) throw std::bad_alloc();
        return;
      }
      const bool first = started++ == 0;
      std::this_thread::sleep_for(100ms);
      ++ended;
      if (first && !on_caller) throw std::bad_alloc();
    };
    EXPECT_THROW(secmem::run_threads(3, body), std::bad_alloc) << on_caller;
    EXPECT_EQ(ended.load(), 3u) << on_caller;
  }
}

}  // namespace

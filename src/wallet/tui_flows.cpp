#include "wallet/tui_flows.h"

#include <algorithm>
#include <utility>

#include "core/hex.h"
#include "core/peers.h"
#include "core/seed.h"
#include "core/text.h"
#include "core/transfer.h"
#include "core/units.h"
#include "wallet/tui_text.h"

namespace tui {

namespace {

// The index-0 key set of the book's key sets, or none.
std::optional<WalletKeys> first_keys(const std::vector<WalletKeys>& wallets) {
  if (wallets.empty()) return std::nullopt;
  return wallets.front();
}

// Takes the wallet file's lock for this process: no other window writes the file while
// this one has it open.
Status take_file(App& app) { return app.ops.lock_file ? app.ops.lock_file() : Status{}; }
void drop_file(App& app) {
  if (app.ops.unlock_file) app.ops.unlock_file();
}

}  // namespace

void open_book(App& app, nlohmann::json book, std::vector<std::string> words, std::string pass) {
  app.wallets = app.ops.wallets_from_book(book);
  app.keys = first_keys(app.wallets);
  app.book = std::move(book);
  app.session_seed = std::move(words);
  app.session_pass = std::move(pass);
  // The book comes from the file or has just been written there.
  app.unsaved.reset();
  app.unsaved_warned = false;
}

Result<std::string> do_sync(App& app, bool full) {
  std::vector<std::string> nodes = app_nodes(app);
  if (!app.book) return fail("Open a wallet first.");
  auto failed = [&](QuvError e) -> Result<std::string> {
    app.last_try = app.ops.now();
    app.sync_failure = e;
    return std::unexpected(std::move(e));
  };
  // The file is written only when the sync changed the book or an earlier save failed: a
  // wallet at rest stays at rest.
  const nlohmann::json before = *app.book;
  const bool pending = app.unsaved.has_value();
  if (full) app.ops.reset_cache(*app.book);
  auto view = app.ops.sync(nodes, *app.book);
  if (!view) {
    if (pending) (void)save_book(app);
    return failed(view.error());
  }
  const bool changed = *app.book != before || pending;
  // A save that fails leaves the book unsaved, which the footer shows; the sync stands.
  if (changed) (void)save_book(app);
  if (changed || !app.keys) {
    app.wallets = app.ops.wallets_from_book(*app.book);
    app.keys = first_keys(app.wallets);
  }
  int64_t height = synced_height(*app.book);
  app.history = view->history;
  app.view = std::move(*view);
  auto node = app.ops.first_node(nodes);
  app.node_info = node ? std::optional<light::NodeInfo>(std::move(*node)) : std::nullopt;
  app.last_sync = app.last_try = app.ops.now();
  app.sync_failure.reset();
  if (app.view->stopped_short_of) {
    return "Synced to height " + std::to_string(height) + " of " +
           std::to_string(*app.view->stopped_short_of) + "; the next sync goes on.";
  }
  return "Synced to height " + std::to_string(height) + ".";
}

Status save_book(App& app) {
  if (!app.book || app.session_pass.empty()) return {};
  if (auto saved = app.ops.persist(*app.book, app.session_pass); !saved) {
    app.unsaved = saved.error().to_string();
    return std::unexpected(saved.error());
  }
  app.unsaved.reset();
  app.unsaved_warned = false;
  return {};
}

bool ready_to_drop(App& app, const std::string& again) {
  if (!app.unsaved || save_book(app) || app.unsaved_warned) return true;
  app.unsaved_warned = true;
  app.bad(not_saved(*app.unsaved, again));
  return false;
}

bool fresh(const App& app) { return app.last_sync && app.ops.now() - *app.last_sync <= kFresh; }

bool sync_due(const App& app) {
  if (fresh(app)) return false;
  return !app.last_try || app.ops.now() - *app.last_try > kFresh;
}

Result<const chain::WalletView*> wallet_view(App& app) {
  if (fresh(app) && app.view) return &*app.view;
  // A frame drawn while a call waits shows what there is.
  if (app.waiting) {
    if (app.view) return &*app.view;
    return std::unexpected(app.sync_failure.value_or(QuvError::msg("Sync with a node first.")));
  }
  // A sync that failed a moment ago is not tried again on every frame.
  if (app.book && app.sync_failure && !sync_due(app)) return std::unexpected(*app.sync_failure);
  if (auto synced = do_sync(app, false); !synced) return std::unexpected(synced.error());
  if (!app.view) return fail("Sync with a node first.");
  return &*app.view;
}

void load_history(App& app) {
  auto synced = do_sync(app, false);
  if (!synced) {
    app.bad(synced.error().to_string());
    return;
  }
  if (app.history.empty()) {
    app.hist_sel = ui::ListState{};
    return;
  }
  size_t last = app.history.size() - 1;
  app.hist_sel.selected = app.hist_sel.selected ? std::min(*app.hist_sel.selected, last) : 0;
}

void hist_move(App& app, int32_t delta) {
  if (app.history.empty()) return;
  int64_t len = static_cast<int64_t>(app.history.size());
  int64_t cur = static_cast<int64_t>(app.hist_sel.selected.value_or(0));
  int64_t next = ((cur + delta) % len + len) % len;
  app.hist_sel.selected = static_cast<size_t>(next);
}

Status do_send(App& app) {
  // A failed sync is kept in `sync_failure` for the screen; the checks below go on with
  // the last view, and say "Sync with a node first." when there is none.
  (void)do_sync(app, false);
  if (!app.keys) return fail("no wallet");
  auto amount = units::parse_quv(app.send_amount);
  if (!amount) return fail("Amount not understood.");
  if (!app.view) return fail("Sync with a node first.");
  if (*amount > app.view->balance) return fail("Insufficient balance.");
  std::string to(text::trim(app.send_to));
  std::string memo(text::trim(app.send_memo));
  std::vector<std::string> nodes = app_nodes(app);
  auto tx = chain::make_transfer(*app.keys, app.view->notes, to, *amount, memo);
  if (!tx) return std::unexpected(tx.error());
  auto node = app.ops.first_node(nodes);
  if (!node) return std::unexpected(node.error());
  bool unanswered = false;
  auto txid = app.ops.submit_to(node->addr, *tx, &unanswered);
  if (!txid && !unanswered) return std::unexpected(txid.error());
  // The node has the transfer, or may have it: it is sent, whatever the save does. A failed
  // save keeps the remembered send in memory for the next one, and the footer says it is
  // unsaved. The form closes either way, so that Enter cannot pay a second time before a
  // sync shows whether the first arrived.
  const std::string id = txid ? *txid : hex::encode(codec::txid(*tx));
  if (app.book) {
    app.ops.remember_send(*app.book, id, *amount, memo, to);
    (void)save_book(app);
  }
  if (txid) {
    app.good("Submitted " + id.substr(0, 10) + ". Waiting for node confirmations.");
  } else {
    app.bad(txid.error().to_string());
  }
  // The transfer is in; a failed sync afterwards is kept in `sync_failure` and does not
  // make the send a failure.
  (void)do_sync(app, false);
  return {};
}

Status finish_wallet(App& app) {
  std::vector<std::string> words =
      app.pending_seed ? std::move(*app.pending_seed) : app.ops.generate_seed();
  app.pending_seed.reset();
  nlohmann::json book = app.ops.blank(seed::to_mnemonic(words));
  app.ops.reset_cache(book);

  // Another window that has the file open would write its book back over the new one.
  if (Status locked = take_file(app); !locked) return locked;
  // Writing the new book over an existing file would destroy the only copy of the old
  // wallet's words: a copy of it is made first, in a file of its own that never replaces
  // another (the new book then replaces the wallet file whole, or not at all).
  std::optional<std::filesystem::path> kept;
  if (app.ops.exists()) {
    auto backup = app.ops.backup(app.ops.wallet_path(), app.ops.unix_now());
    if (!backup) return std::unexpected(backup.error());
    kept = std::move(*backup);
  }
  if (auto saved = app.ops.persist(book, app.pass1); !saved) {
    if (!app.book) drop_file(app);
    return std::unexpected(saved.error());
  }

  std::string pass = std::move(app.pass1);
  open_book(app, std::move(book), std::move(words), std::move(pass));
  wipe(app.pass1);
  wipe(app.pass2);
  app.screen = kMain;
  auto synced = do_sync(app, true);
  std::string msg = synced ? std::string("Saved. [B] Seed to write down. Full sync done.")
                           : "Saved. Sync later: " + synced.error().to_string();
  if (kept) msg += " Old wallet kept as " + kept->string() + ".";
  app.good(std::move(msg));
  return {};
}

// The book's own node entries: its "nodes" strings that are not empty, in order.
static std::vector<std::string> book_nodes(const App& app) {
  std::vector<std::string> out;
  if (!app.book || !app.book->is_object()) return out;
  auto it = app.book->find("nodes");
  if (it == app.book->end() || !it->is_array()) return out;
  for (const auto& v : *it) {
    if (v.is_string() && !v.get_ref<const std::string&>().empty()) {
      out.push_back(v.get<std::string>());
    }
  }
  return out;
}

// The node list before the built-in defaults step in.
static std::vector<std::string> listed_nodes(const App& app) {
  std::vector<std::string> nodes = book_nodes(app);
  if (nodes.empty()) nodes = app.ops.load_nodes(app.wallet_file);
  return nodes;
}

std::vector<std::string> app_nodes(const App& app) {
  std::vector<std::string> nodes = listed_nodes(app);
  if (nodes.empty()) nodes = app.ops.default_nodes();
  return nodes;
}

void load_peer_fields(App& app) {
  for (auto& f : app.peer_fields) f.clear();
  app.peer_focus = 0;
  std::vector<std::string> nodes = listed_nodes(app);
  for (size_t i = 0; i < nodes.size() && i < kPeerRows; ++i) app.peer_fields[i] = nodes[i];
  if (std::all_of(app.peer_fields.begin(), app.peer_fields.end(),
                  [](const std::string& f) { return f.empty(); })) {
    app.peer_fields[0] = kLocalNode;
    app.peer_fields[1] = std::string(codec::kDefaultSeedPeer);
  }
  refresh_peer_status(app);
}

void refresh_peer_status(App& app) {
  app.peer_state.fill(0);
  for (size_t i = 0; i < kPeerRows; ++i) {
    std::string entry(text::trim(app.peer_fields[i]));
    if (entry.empty()) continue;
    app.peer_state[i] = app.ops.ping(entry) ? 1 : 2;
  }
}

Result<size_t> save_peers(App& app) {
  std::vector<std::string> typed;
  for (const auto& f : app.peer_fields) {
    std::string_view t = text::trim(f);
    if (!t.empty()) typed.emplace_back(t);
  }
  auto list = codec::parse_peers(std::move(typed));
  if (!list) return std::unexpected(list.error());
  if (auto saved = app.ops.save_nodes(app.wallet_file, *list); !saved) {
    return std::unexpected(saved.error());
  }
  if (app.book) {
    (*app.book)["nodes"] = *list;
    if (Status saved = save_book(app); !saved) return std::unexpected(saved.error());
  }
  refresh_peer_status(app);
  return list->size();
}

void open_flow(App& app) {
  // A second window may read the file but never opens it: its next save would write its
  // older book over what the first one saved.
  if (Status locked = take_file(app); !locked) return app.bad(locked.error().to_string());
  auto book = app.ops.load_book(app.input);
  if (!book) {
    drop_file(app);
    app.bad(book.error().to_string());
    return;
  }
  auto words = app.ops.mnemonic_words(*book);
  if (!words) {
    drop_file(app);
    app.bad(words.error().to_string());
    return;
  }
  open_book(app, std::move(*book), std::move(*words), app.input);
  wipe(app.input);
  app.screen = kMain;
  // The wallet is open either way; a failed first sync is still news the user must see.
  auto synced = do_sync(app, false);
  if (synced) {
    app.good("Wallet opened. " + *synced);
  } else {
    app.bad("Wallet opened. " + synced.error().to_string());
  }
}

void import_flow(App& app) {
  auto words = seed::parse(app.input);
  if (!words) {
    app.bad("Invalid seed — 13 Latin words.");
    return;
  }
  app.pending_seed = std::move(*words);
  wipe(app.input);
  wipe(app.pass1);
  wipe(app.pass2);
  app.screen = kPassphrase;
  app.good("Passphrase to store the file.");
}

void new_address_flow(App& app) {
  if (app.session_pass.empty()) return app.bad("No passphrase in this session — open again.");
  if (!app.book) return app.bad("No wallet file.");
  auto made = app.ops.rotate(*app.book);
  if (!made) return app.bad(made.error().to_string());
  if (Status saved = save_book(app); !saved) return app.bad(saved.error().to_string());
  app.wallets = app.ops.wallets_from_book(*app.book);
  app.keys = first_keys(app.wallets);
  app.good("Receive address #" + std::to_string(made->first) + ".");
}

void lock(App& app) {
  app.keys.reset();
  app.wallets.clear();
  app.book.reset();
  wipe(app.session_pass);
  if (app.session_seed) {
    for (auto& w : *app.session_seed) wipe(w);
  }
  app.session_seed.reset();
  app.history.clear();
  app.view.reset();
  app.node_info.reset();
  app.sync_failure.reset();
  app.unsaved.reset();
  app.unsaved_warned = false;
  if (app.ops.forget_keys) app.ops.forget_keys();
  drop_file(app);
}

}  // namespace tui

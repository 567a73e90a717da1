// The wallet UI's flows: opening, creating and importing wallets, syncing, sending, new
// receive addresses and the node list editor. Each runs to its end on the UI thread
// (network calls included) and leaves its outcome in the App: its fields, its screen and
// its footer message. The key handler and the drawing of the synced screens call here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/error.h"
#include "wallet/tui_app.h"

namespace tui {

// Installs an opened book: its key sets, the index-0 keys, the words and the passphrase.
void open_book(App& app, nlohmann::json book, std::vector<std::string> words, std::string pass);

// One sync against the app's nodes (from an empty cache when `full`); on success the view,
// history, keys and chosen node are replaced and "Synced to height {}." comes back.
[[nodiscard]] Result<std::string> do_sync(App& app, bool full);

// Writes the open book under the session passphrase (nothing without one). A failed save
// leaves the book as it is in memory and marks it unsaved until a later save succeeds.
[[nodiscard]] Status save_book(App& app);

// Before a quit or lock drops the open book: writes what is unsaved. False when that
// failed and the user was not yet told; the footer then says the same key again drops it.
bool ready_to_drop(App& app, const std::string& again);

// True while the last sync is at most three seconds old (three seconds exactly included).
bool fresh(const App& app);
// True when drawing may sync: neither a good nor a failed sync ended in the last three
// seconds (three seconds exactly included).
bool sync_due(const App& app);

// The last view while it is at most three seconds old, else the view of a new sync.
[[nodiscard]] Result<const chain::WalletView*> wallet_view(App& app);

// Syncs and keeps the history selection inside the new history; errors go to the footer.
void load_history(App& app);

// Moves the history selection by `delta` rows, wrapping around at both ends.
void hist_move(App& app, int32_t delta);

// Builds, submits and remembers the transfer of the send form.
[[nodiscard]] Status do_send(App& app);

// Writes the new wallet (imported words, or fresh ones) under `pass1` and opens it. An
// existing wallet file is first copied to a backup of its own ("<path>.bak-<unix time>",
// with a counter when that name is taken).
[[nodiscard]] Status finish_wallet(App& app);

// The node entries used for syncing and sending.
std::vector<std::string> app_nodes(const App& app);

// Fills the node list editor from the current node list and pings its rows.
void load_peer_fields(App& app);
// Pings every non-empty row of the editor, one after another.
void refresh_peer_status(App& app);
// Normalises and stores the editor's rows; the number of entries stored.
[[nodiscard]] Result<size_t> save_peers(App& app);

// Enter on the open screen: loads the wallet file with the typed passphrase.
void open_flow(App& app);
// Enter on the import screen: checks the typed words and asks for a passphrase.
void import_flow(App& app);
// Enter or N on the addresses screen: adds and stores a new receive address.
void new_address_flow(App& app);
// Esc on the main screen: forgets the open wallet.
void lock(App& app);

}  // namespace tui

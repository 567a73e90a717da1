// The wallet terminal UI's one state record: which of the thirteen screens is up, what
// the user typed, and the open wallet (book, passphrase, words, keys, last view). The
// wallet file store, the light client and the clocks are reached through `Services`, so
// tests can put fakes behind every call. One thread owns an App: the UI loop of tui::run.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/codec.h"
#include "core/crypto.h"
#include "core/error.h"
#include "ui/widgets.h"
#include "wallet/light.h"

namespace tui {

// The screens, numbered as the `screen` field holds them.
enum Screen : uint8_t {
  kWelcome = 0,
  kSeed = 1,
  kOpen = 2,
  kImport = 3,
  kPassphrase = 4,
  kRepeat = 5,
  kMain = 6,
  kSend = 7,
  kNotes = 8,
  kPeers = 9,
  kHistory = 10,
  kTransaction = 11,
  kAddresses = 12,
};

// Rows of the node list editor.
inline constexpr size_t kPeerRows = 5;
// A view or history younger than this (inclusive) is not synced again while drawing.
inline constexpr std::chrono::seconds kFresh{3};
// The local node the editor offers when nothing else is known.
inline constexpr const char* kLocalNode = "127.0.0.1:19191";

// Everything the UI asks of the world beyond its own state. `real_services` binds the
// wallet file store, the light client, the mnemonic generator and the system clocks.
struct Services {
  using Json = nlohmann::json;
  std::function<std::filesystem::path()> wallet_path;
  std::function<bool()> exists;
  std::function<Result<Json>(const std::string& pass)> load_book;
  std::function<Result<std::filesystem::path>(const Json& book, const std::string& pass)> persist;
  // Takes the wallet file's lock for this process (kept while it is held already), so that
  // no other window writes the file meanwhile; fails when another window holds it.
  std::function<Status()> lock_file;
  // Lets go of the wallet file's lock.
  std::function<void()> unlock_file;
  std::function<Result<std::vector<std::string>>(const Json& book)> mnemonic_words;
  std::function<Json(const std::string& mnemonic)> blank;
  std::function<Result<std::pair<uint64_t, std::string>>(Json& book)> rotate;
  std::function<void(Json& book, const std::string& txid, int64_t amount, const std::string& memo,
                     const std::string& to)>
      remember_send;
  std::function<std::vector<WalletKeys>(const Json& book)> wallets_from_book;
  std::function<std::string(const Json& book)> recv_address;
  std::function<std::vector<std::string>()> generate_seed;
  std::function<std::vector<std::string>(const std::filesystem::path& wallet)> load_nodes;
  std::function<Status(const std::filesystem::path& wallet, const std::vector<std::string>& list)>
      save_nodes;
  std::function<std::vector<std::string>()> default_nodes;
  std::function<std::optional<light::NodeInfo>(const std::string& entry)> ping;
  std::function<Result<light::NodeInfo>(const std::vector<std::string>& nodes)> first_node;
  // Makes `*unanswered` true when the node got the whole transfer but gave no reply.
  std::function<Result<std::string>(const std::string& entry, const codec::Tx& tx,
                                    bool* unanswered)>
      submit_to;
  std::function<Result<chain::WalletView>(const std::vector<std::string>& nodes, Json& book)> sync;
  std::function<void(Json& book)> reset_cache;
  // Drops the key material the syncs keep between calls (a locked wallet).
  std::function<void()> forget_keys;
  // Once true, every ping, sync and submission above gives up at once: the user quit while
  // one waited on a node. The UI loop sets it; one is made for it when none is given.
  std::shared_ptr<std::atomic<bool>> cancel;
  // Monotonic clock for the freshness rule; Unix seconds for backup names.
  std::function<std::chrono::steady_clock::time_point()> now;
  std::function<uint64_t()> unix_now;
  // Copies the file to a backup of its own named after the Unix time; the backup's path.
  std::function<Result<std::filesystem::path>(const std::filesystem::path& path,
                                              uint64_t unix_time)>
      backup;
};

// The services of the real program.
Services real_services();

// Overwrites the bytes of a secret text, then empties it.
void wipe(std::string& s);

// The whole UI state. Passphrases, typed words and the mnemonic are wiped when dropped;
// the key sets wipe themselves.
struct App {
  // Starts on the welcome screen with nothing open, over the given services.
  explicit App(Services services);
  // Over the real services.
  App();
  ~App();
  App(const App&) = delete;
  App& operator=(const App&) = delete;

  ui::ListState hist_sel;
  std::filesystem::path wallet_file;
  std::vector<WalletKeys> wallets;
  std::string session_pass;
  std::string input;
  std::string pass1;
  std::string pass2;
  std::string send_to, send_amount, send_memo;
  std::array<std::string, kPeerRows> peer_fields;
  std::vector<chain::HistRow> history;
  std::optional<WalletKeys> keys;
  std::optional<std::vector<std::string>> session_seed;
  std::optional<std::vector<std::string>> pending_seed;
  std::optional<chain::WalletView> view;
  std::optional<light::NodeInfo> node_info;
  // The footer message: (good news, text).
  std::optional<std::pair<bool, std::string>> status;
  std::optional<std::chrono::steady_clock::time_point> last_sync;
  // When the last sync, good or failed, ended, and the error of the last one when it
  // failed: a failed sync made while drawing waits as long as a good one before the next.
  std::optional<std::chrono::steady_clock::time_point> last_try;
  std::optional<QuvError> sync_failure;
  std::optional<nlohmann::json> book;
  // Set while the book holds changes the wallet file lacks: the error of the save that
  // failed. Each sync and a quit or lock try again; the footer says so until one succeeds.
  std::optional<std::string> unsaved;
  // True once a quit or lock key was refused because the book could not be saved: the
  // same key again goes ahead without it.
  bool unsaved_warned = false;
  // True while a call to a node waits (the loop of tui::run sets it): drawing then syncs
  // nothing and the footer says that the wallet waits.
  bool waiting = false;
  uint8_t screen = kWelcome;
  uint8_t send_focus = 0;
  uint8_t peer_focus = 0;
  std::array<uint8_t, kPeerRows> peer_state{};

  Services ops;

  // Sets the footer message.
  void good(std::string text) { status = std::make_pair(true, std::move(text)); }
  void bad(std::string text) { status = std::make_pair(false, std::move(text)); }
};

}  // namespace tui

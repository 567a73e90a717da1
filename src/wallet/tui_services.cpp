// The real program's services: the wallet file store, the light client, the mnemonic
// generator and the system clocks, each error passed on as its message.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>

#include "core/clock.h"
#include "core/seed.h"
#include "wallet/light.h"
#include "wallet/tui_app.h"
#include "wallet/walletdb.h"

namespace tui {

Services real_services() {
  using Json = nlohmann::json;
  Services s;
  s.wallet_path = [] { return walletdb::wallet_path(); };
  s.exists = [] { return walletdb::exists(); };
  s.load_book = [](const std::string& pass) { return walletdb::load_book(pass); };
  // The lock of the open wallet's file, shared by the calls below; a save takes it first
  // when nothing did, and then holds it on each new file.
  auto held = std::make_shared<std::optional<walletdb::WalletLock>>();
  s.lock_file = [held]() -> Status {
    std::filesystem::path path = walletdb::wallet_path();
    if (*held && (*held)->path() == path) return {};
    auto lock = walletdb::lock_wallet(path);
    if (!lock) return std::unexpected(lock.error());
    *held = std::move(*lock);
    return {};
  };
  s.unlock_file = [held] { held->reset(); };
  s.persist = [held, lock_file = s.lock_file](
                  const Json& book, const std::string& pass) -> Result<std::filesystem::path> {
    if (!*held) {
      if (Status locked = lock_file(); !locked) return std::unexpected(locked.error());
    }
    return walletdb::persist(book, pass, **held);
  };
  s.mnemonic_words = [](const Json& book) -> Result<std::vector<std::string>> {
    auto r = walletdb::mnemonic_words(book);
    if (!r) return std::unexpected(r.error());
    return std::move(r->second);
  };
  s.blank = [](const std::string& mnemonic) { return walletdb::blank(mnemonic); };
  s.rotate = [](Json& book) { return walletdb::rotate(book); };
  s.remember_send = [](Json& book, const std::string& txid, int64_t amount, const std::string& memo,
                       const std::string& to) {
    walletdb::remember_send(book, txid, amount, memo, to);
  };
  s.recv_address = [](const Json& book) { return walletdb::recv_address(book); };
  s.generate_seed = [] { return seed::generate(); };
  s.load_nodes = [](const std::filesystem::path& w) { return light::load_nodes(w); };
  s.save_nodes = [](const std::filesystem::path& w, const std::vector<std::string>& list) {
    return light::save_nodes(w, list);
  };
  s.default_nodes = [] { return light::default_nodes(); };
  // Every call to a node gives up at once when the user quits while it waits.
  auto cancel = std::make_shared<std::atomic<bool>>(false);
  auto net = std::make_shared<const light::Transport>(light::http(cancel.get()));
  s.cancel = cancel;
  s.ping = [cancel, net](const std::string& entry) { return light::ping(entry, *net); };
  s.first_node = [cancel, net](const std::vector<std::string>& nodes) {
    return light::first_node(nodes, *net);
  };
  s.submit_to = [cancel, net](const std::string& entry, const codec::Tx& tx, bool* unanswered) {
    return light::submit_to(entry, tx, *net, unanswered);
  };
  // One keyring for the whole run: the master key is derived once per opened wallet
  // instead of for every page of every sync, and wiped when the wallet is locked.
  auto keyring = std::make_shared<light::Keyring>();
  s.sync = [keyring, cancel, net](const std::vector<std::string>& nodes, Json& book) {
    light::SyncOptions opts(net.get(), 0);
    opts.cancel = cancel.get();
    return light::sync(nodes, book, *keyring, opts);
  };
  s.forget_keys = [keyring] { keyring->clear(); };
  s.wallets_from_book = [keyring](const Json& book) -> std::vector<WalletKeys> {
    const Json* mnemonic = walletdb::member(book, "mnemonic");
    if (mnemonic == nullptr || !mnemonic->is_string()) return {};
    return walletdb::wallets_from_master(book,
                                         keyring->master(mnemonic->get_ref<const std::string&>()));
  };
  s.reset_cache = [](Json& book) { light::reset_cache(book); };
  s.now = [] { return std::chrono::steady_clock::now(); };
  s.unix_now = [] { return static_cast<uint64_t>(sysclock::unix_now()); };
  s.backup = [](const std::filesystem::path& path, uint64_t unix_time) {
    return walletdb::keep_backup(path, unix_time);
  };
  return s;
}

App::App() : App(real_services()) {}

}  // namespace tui

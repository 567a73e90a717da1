// The wallet view: spendable notes, balance, reserved amount and history, from the sync
// cache and the chosen node's mempool.
#include <algorithm>
#include <unordered_set>

#include "wallet/light.h"
#include "wallet/light_internal.h"

namespace light {

namespace {

using jtext::as_string;
using jtext::as_u64;
using jtext::member;
using namespace internal;

WalletView view_with(const LightCache& cache, const NodeInfo& node, const Book& book,
                     std::span<const WalletKeys> keys) {
  const std::map<std::string, SendHint> hints = walletdb::send_hints(book);
  std::unordered_set<std::string> reserved;
  WalletView view;
  for (const nlohmann::json& entry : node.mempool) {
    if (as_u64(member(entry, "type")) != 2) continue;
    const std::string id = as_string(member(entry, "id")).value_or("");
    int64_t spent = 0;
    for (const nlohmann::json& in : array_or_empty(member(entry, "inputs"))) {
      auto it = cache.notes.find(in.is_string() ? in.get<std::string>() : "");
      if (it == cache.notes.end()) continue;
      spent = wrapping_add(spent, it->second.amount);
      reserved.insert(it->first);
    }
    if (spent == 0) continue;
    int64_t received = 0;
    std::string memo;
    for (const nlohmann::json& o : array_or_empty(member(entry, "outputs"))) {
      std::optional<codec::TxOutput> out = json_to_output(o);
      if (!out) continue;
      for (const WalletKeys& k : keys) {
        if (auto note = crypto::try_open_output(k, *out, 0, id)) {
          received = wrapping_add(received, note->amount);
          if (memo.empty()) memo = note->memo;
          break;
        }
      }
    }
    int64_t amount =
        static_cast<int64_t>(static_cast<uint64_t>(spent) - static_cast<uint64_t>(received));
    if (amount < 0) amount = 0;
    HistRow row{"pending",
                memo,
                id,
                keys.empty() ? "" : keys.front().address,
                "",
                amount,
                0,
                0,
                as_u64(member(entry, "acks")).value_or(0),
                as_u64(member(entry, "need")).value_or(node.confirm_peers)};
    if (auto hint = hints.find(id); hint != hints.end()) {
      if (row.memo.empty()) row.memo = hint->second.memo;
      row.to = hint->second.to;
    }
    view.history.push_back(std::move(row));
  }
  int64_t total = 0;
  for (const auto& [id, note] : cache.notes) {
    total = wrapping_add(total, note.amount);
    if (reserved.contains(id)) continue;
    view.notes.push_back(note.clone());
    view.balance = wrapping_add(view.balance, note.amount);
  }
  std::vector<HistRow> confirmed = cache.history;
  std::stable_sort(confirmed.begin(), confirmed.end(),
                   [](const HistRow& a, const HistRow& b) { return a.height > b.height; });
  view.history.insert(view.history.end(), std::make_move_iterator(confirmed.begin()),
                      std::make_move_iterator(confirmed.end()));
  view.reserved =
      static_cast<int64_t>(static_cast<uint64_t>(total) - static_cast<uint64_t>(view.balance));
  return view;
}

}  // namespace

WalletView view_from(const LightCache& cache, const NodeInfo& node, const Book& book) {
  std::vector<WalletKeys> keys;
  if (auto mnemonic = as_string(member(book, "mnemonic"))) {
    keys = scan_keys(crypto::derive_master_key(*mnemonic), book, cache.indices);
  }
  return view_with(cache, node, book, keys);
}

WalletView view_from(const LightCache& cache, const NodeInfo& node, const Book& book,
                     Keyring& keyring) {
  std::vector<WalletKeys> none;
  auto mnemonic = as_string(member(book, "mnemonic"));
  if (!mnemonic) return view_with(cache, node, book, none);
  keyring.master(*mnemonic);
  return view_with(cache, node, book, keyring.upto(scan_high(book, cache.indices)));
}

}  // namespace light

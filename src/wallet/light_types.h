// The wallet's shared value types: one history row, one remembered send and the view that a
// sync hands to the wallet screens. The book builds the remembered sends, the light client
// builds the rows and the view; plain values, safe to move between threads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/crypto.h"

namespace chain {

// One movement of the wallet: "in" (received in a block), "out" (sent in a block) or
// "pending" (a send that waits in the node's mempool).
struct HistRow {
  std::string dir;
  // Memo of the movement, "" when none.
  std::string memo;
  // Txid of the transaction, lower-case hex.
  std::string txid;
  // Sender address text, "" when unknown.
  std::string from;
  // Recipient address text, "" when unknown.
  std::string to;
  // Base units moved; never below 0 on a pending row.
  int64_t amount = 0;
  // Height of the block; 0 on pending rows.
  int64_t height = 0;
  // Unix seconds of the block; 0 on pending rows.
  uint64_t time = 0;
  // Acknowledgements a pending transfer has and needs; 0 on other rows.
  uint64_t acks = 0;
  uint64_t need = 0;

  bool operator==(const HistRow&) const = default;
};

// What the wallet remembers of one of its own sends, keyed by txid.
struct SendHint {
  std::string memo;
  std::string to;
  int64_t ts = 0;

  bool operator==(const SendHint&) const = default;
};

// What the wallet screens show after a sync; a snapshot, replaced by the next sync.
struct WalletView {
  // Cached notes that no pending transfer spends: what a send may use.
  std::vector<OpenedNote> notes;
  // Always empty.
  std::vector<OpenedNote> aux_notes;
  // Pending rows in mempool order, then the confirmed rows from the highest block down.
  std::vector<HistRow> history;
  // Sum of the amounts of `notes`.
  int64_t balance = 0;
  // Sum of the amounts of the cached notes that pending transfers spend.
  int64_t reserved = 0;
  // The node's height when the sync stopped below it (its deadline came first); the next
  // sync goes on from where this one stopped. Unset when the sync reached the node's height.
  std::optional<int64_t> stopped_short_of;
};

}  // namespace chain

namespace light {
using chain::HistRow;
using chain::SendHint;
using chain::WalletView;
}  // namespace light

// Node work and its rewards: a heartbeat credits the seconds a node runs, and once a day
// the accrued amount is paid to the operator's reward address by a work transaction in a
// block of its own. Also the reward address, the peer list, the test mint and the work
// report. Every call runs on the thread that owns the `Chain` (node loop, node UI or one
// command) and saves the node state after it changes it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "ledger/chain.h"

// A report of the node's work counters and reward address.
struct WorkStatus {
  // Copy of the reward address; "" when none is set.
  std::string reward_address;
  // The pay rate as amount text: "0,00001 QÚV/s".
  std::string rate_text;
  // Base units paid per credited second.
  uint64_t rate = 0;
  // Seconds credited in the current window.
  uint64_t work_seconds = 0;
  // What the next drop would pay: capped work seconds plus validated transfers.
  uint64_t pending = 0;
  // Unix seconds of the last heartbeat.
  int64_t last_beat = 0;
  // Unix seconds of the last paid drop.
  int64_t last_drop = 0;
  // Sum of every work amount in the chain.
  uint64_t supply = 0;
  // Transfers sealed since the last drop.
  uint32_t validated = 0;

  bool operator==(const WorkStatus&) const = default;
};

namespace work {

// Base units paid per credited second of work.
inline constexpr uint64_t kRate = 1;
// Most seconds one window credits, and the age at which a window pays its drop.
inline constexpr uint64_t kWindowSeconds = 86400;
// A beat credits only when the previous one is 1 to this many seconds old...
inline constexpr uint64_t kMaxBeatGap = 30;
// ...and then at most this many seconds, so a stalled loop cannot bill for its stall.
inline constexpr uint64_t kMaxBeatCredit = 2;

// What the next drop would pay: the window's credited seconds, at most a day's, plus one
// per validated transfer; it saturates, so counters read from a file cannot wrap it.
uint64_t pending_work(uint64_t work_seconds, uint64_t validated);

// A copy of the reward address ("" when none is set).
std::string reward_address(const Chain& chain);

// Trims and lower-cases `text`, checks it is an address (an empty text clears), stores
// it and saves.
[[nodiscard]] Status set_reward_address(Chain& chain, std::string_view text);

// One heartbeat at `now`: credits work, saves, and pays the drop when the window is a
// day old. Returns the amount paid, 0 when nothing was paid.
[[nodiscard]] Result<uint64_t> beat(Chain& chain, int64_t now);
// One heartbeat at the system clock's time.
[[nodiscard]] Result<uint64_t> beat(Chain& chain);

// Pays the accrued work at `now` and reopens the window; 0 when nothing was due.
[[nodiscard]] Result<uint64_t> drop_now(Chain& chain, int64_t now);
// Pays the accrued work at the system clock's time.
[[nodiscard]] Result<uint64_t> drop_now(Chain& chain);

// Test mint: pays `amount` base units to `address` in a work block of its own, leaving the
// reward address and the work counters as they were; the new block's height and hash.
[[nodiscard]] Result<chain::Sealed> mint(Chain& chain, std::string_view address, uint64_t amount);

// The work report; cannot fail.
WorkStatus status(const Chain& chain);

// Normalises and stores the peer list, forgets the link state of peers no longer listed,
// and saves.
[[nodiscard]] Status set_peers(Chain& chain, std::vector<std::string> peers);

}  // namespace work

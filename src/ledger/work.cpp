#include "ledger/work.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "core/clock.h"
#include "core/codec.h"
#include "core/crypto.h"
#include "core/peers.h"
#include "core/text.h"
#include "core/units.h"

namespace work {

namespace {

// Addresses are kept in one spelling, so the stored text compares and prints the same
// whichever way the operator typed it.
std::string normalise_address(std::string_view text) { return text::lower(text::trim(text)); }

// now − then, clamped to the signed range instead of overflowing on odd stored times.
int64_t age(int64_t now, int64_t then) {
  int64_t out = 0;
  if (__builtin_sub_overflow(now, then, &out)) {
    return then > 0 ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
  }
  return out;
}

}  // namespace

uint64_t pending_work(uint64_t work_seconds, uint64_t validated) {
  const uint64_t seconds = std::min(work_seconds, kWindowSeconds);
  return validated > UINT64_MAX - seconds ? UINT64_MAX : seconds + validated;
}

std::string reward_address(const Chain& chain) { return chain.state().reward_address; }

Status set_reward_address(Chain& chain, std::string_view text) {
  std::string address = normalise_address(text);
  if (!address.empty()) {
    if (auto key = crypto::decode_address(address); !key) return std::unexpected(key.error());
  }
  return chain.edit_state([&](NodeState& st) { st.reward_address = std::move(address); });
}

Result<uint64_t> beat(Chain& chain, int64_t now) {
  // The beat and the drop it may pay see one state, with no other writer between them.
  auto lock = chain.lock_writes();
  if (!lock) return std::unexpected(lock.error());
  auto saved = chain.edit_state([&](NodeState& st) {
    int64_t previous = st.last_beat;
    st.last_beat = now;
    if (st.window_start == 0) {
      // The first beat only opens the window: there is no earlier beat to measure from.
      st.window_start = now;
      return;
    }
    if (previous > 0) {
      // Unsigned on purpose: a clock that went backwards gives a huge gap and no credit.
      uint64_t gap = static_cast<uint64_t>(now) - static_cast<uint64_t>(previous);
      if (gap >= 1 && gap <= kMaxBeatGap) {
        uint64_t credit = std::min(gap, kMaxBeatCredit);
        uint64_t sum = 0;
        if (__builtin_add_overflow(st.work_seconds, credit, &sum)) {
          sum = std::numeric_limits<uint64_t>::max();
        }
        st.work_seconds = std::min(sum, kWindowSeconds);
      }
    }
  });
  if (!saved) return std::unexpected(saved.error());
  if (age(now, chain.state().window_start) >= static_cast<int64_t>(kWindowSeconds)) {
    return drop_now(chain, now);
  }
  return 0;
}

Result<uint64_t> beat(Chain& chain) { return beat(chain, sysclock::unix_now()); }

Result<uint64_t> drop_now(Chain& chain, int64_t now) {
  auto lock = chain.lock_writes();
  if (!lock) return std::unexpected(lock.error());
  const NodeState& st = chain.state();
  uint64_t seconds = std::min(st.work_seconds, kWindowSeconds);
  uint64_t amount = seconds * kRate + st.validated;
  if (amount == 0) {
    // An idle window pays nothing; it simply starts over.
    auto saved = chain.edit_state([&](NodeState& s) {
      s.window_start = now;
      s.work_seconds = 0;
    });
    if (!saved) return std::unexpected(saved.error());
    return 0;
  }
  if (st.reward_address.empty()) return fail("No reward address — drop waiting.");
  // The counters are reset in the same save that records the block.
  auto block = chain.pay_work(st.reward_address, amount, static_cast<uint32_t>(seconds),
                              st.validated, [&](NodeState& s) {
                                s.work_seconds = 0;
                                s.validated = 0;
                                s.window_start = now;
                                s.last_drop = now;
                              });
  if (!block) return std::unexpected(block.error());
  return amount;
}

Result<uint64_t> drop_now(Chain& chain) { return drop_now(chain, sysclock::unix_now()); }

Result<chain::Sealed> mint(Chain& chain, std::string_view address, uint64_t amount) {
  if (amount == 0) return fail("Nothing to pay out.");
  std::string normal = normalise_address(address);
  if (auto key = crypto::decode_address(normal); !key) return std::unexpected(key.error());
  // Paid to the mint's address; the reward address and the counters stay as they are.
  return chain.pay_work(normal, amount, 0, 0);
}

WorkStatus status(const Chain& chain) {
  const NodeState& st = chain.state();
  WorkStatus out;
  out.reward_address = st.reward_address;
  out.rate_text = units::format_quv(static_cast<int64_t>(kRate)) + "/s";
  out.rate = kRate;
  out.work_seconds = st.work_seconds;
  out.pending = pending_work(st.work_seconds, st.validated);
  out.last_beat = st.last_beat;
  out.last_drop = st.last_drop;
  out.supply = chain.supply();
  out.validated = st.validated;
  return out;
}

Status set_peers(Chain& chain, std::vector<std::string> peers) {
  auto list = codec::parse_peers(std::move(peers));
  if (!list) return std::unexpected(list.error());
  return chain.edit_state([&](NodeState& st) {
    st.peers = std::move(*list);
    std::erase_if(st.peer_link, [&](const auto& entry) {
      return std::find(st.peers.begin(), st.peers.end(), entry.first) == st.peers.end();
    });
  });
}

}  // namespace work

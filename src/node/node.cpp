#include "node/node.h"

#include <sodium.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <thread>

#include "core/codec.h"
#include "core/hex.h"
#include "core/json_text.h"
#include "core/peers.h"
#include "core/units.h"
#include "ledger/work.h"
#include "node/heap.h"
#include "node/node_ledger.h"

namespace node {

namespace {

std::string seal_line(const chain::Sealed& s) {
  return "seal height=" + std::to_string(s.height) + " " + short_hash(s.hash);
}

std::string join(const std::vector<std::string>& items, std::string_view sep) {
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += sep;
    out += items[i];
  }
  return out;
}

std::string ack_line(const net::NetMsg::Ack& m, uint64_t count, const std::string& need) {
  return "ack " + m.txid + " from " + m.node_id + " (" + std::to_string(count) + "/" + need + ")";
}

}  // namespace

void print_lines(const std::vector<LogLine>& lines, std::FILE* out, std::FILE* err) {
  for (const LogLine& l : lines) {
    std::FILE* f = l.ok ? out : err;
    std::fputs(l.text.c_str(), f);
    std::fputc('\n', f);
    // Each line leaves when it is printed: with both streams on one file, a normal line
    // held in the buffer would land after the error it caused.
    (void)std::fflush(f);
  }
}

std::string fresh_node_id() {
  std::array<uint8_t, 6> bytes{};
  randombytes_buf(bytes.data(), bytes.size());
  return "seed-" + hex::encode(bytes);
}

std::string short_hash(std::string_view text) { return hex::short_hash(text); }

Result<Started> prepare(Chain& chain) { return prepare(chain, net::spawn); }

Result<Started> prepare(Chain& chain, const Spawn& spawn) {
  auto [tx, rx] = net::channel();
  if (auto s = spawn(chain.path().string(), tx); !s) {
    if (s.error().code() == QuvError::Code::AddressInUse) return fail(std::string(kPortInUse));
    return std::unexpected(s.error());
  }
  Started out;
  out.session.rx = std::move(rx);
  out.lines.push_back(
      {true, "listen 0.0.0.0:" + std::to_string(net::kPort) + "  (P2P / wallet RPC)"});
  if (auto saved = fill_identity(chain, fresh_node_id(), std::string(codec::kDefaultSeedPeer));
      !saved) {
    out.lines.push_back({false, "state: " + saved.error().to_string()});
  }
  out.session.memo.begin_tick();
  // Only adoptions, refused chains and downloads without room are told at start-up.
  for (const LogLine& l : catch_up(chain, out.session.memo, kStartFetchWait).lines) {
    if (l.ok) {
      out.lines.push_back({true, "chain fetched from peer"});
    } else if (l.text.starts_with("sync: ") || l.text.starts_with("download from ")) {
      out.lines.push_back(l);
    }
  }
  return out;
}

LogLine apply(Chain& chain, const net::NetMsg& msg) {
  const std::string need = std::to_string(Chain::required_confirms());
  return std::visit(
      [&](const auto& m) -> LogLine {
        using T = std::decay_t<decltype(m)>;
        if constexpr (std::is_same_v<T, net::NetMsg::Tx>) {
          auto d = codec::decode_tx(m.raw);
          if (!d) return {false, "tx: decode failed"};
          auto id = chain.submit_tx(d->tx);
          if (!id) return {false, "tx: " + id.error().to_string()};
          return {true, "tx in mempool " + *id + " (needs " + need + " acks)"};
        } else if constexpr (std::is_same_v<T, net::NetMsg::Ack>) {
          auto n = chain.ack_tx(m.txid, m.node_id);
          if (!n) return {false, "ack: " + n.error().to_string()};
          return {true, ack_line(m, n->count, need)};
        } else if constexpr (std::is_same_v<T, net::NetMsg::SetReward>) {
          if (auto s = work::set_reward_address(chain, m.address); !s) {
            return {false, "reward: " + s.error().to_string()};
          }
          return {true, "reward " + work::reward_address(chain)};
        } else if constexpr (std::is_same_v<T, net::NetMsg::SetPeers>) {
          if (auto s = work::set_peers(chain, m.peers); !s) {
            return {false, "peers: " + s.error().to_string()};
          }
          return {true, "peers " + join(peers_of(chain), ", ")};
        } else if constexpr (std::is_same_v<T, net::NetMsg::Seal>) {
          auto s = chain.seal();
          if (!s) {
            if (s.error().code() == QuvError::Code::NothingToSeal) return {false, "mempool empty"};
            return {false, "seal: " + s.error().to_string()};
          }
          return {true, seal_line(*s)};
        } else {
          auto paid = work::drop_now(chain);
          if (!paid) return {false, "drop: " + paid.error().to_string()};
          return {true, "drop " + units::amount_text(*paid)};
        }
      },
      msg.msg);
}

std::vector<LogLine> apply_requests(Chain& chain, net::Receiver& rx) {
  std::vector<LogLine> lines;
  // The changes of one drain share one state save at its end: a burst of transfers costs
  // one rewrite of the state file, not one each.
  chain.hold_saves();
  // An acknowledgement that adds nothing (no such mempool entry, an id that is not kept,
  // a repeat) is not logged one by one: anyone can send them by the thousand.
  uint64_t not_kept = 0;
  // One message is taken at a time, so the loop holds no more than the one it applies;
  // and a tick takes at most what a full queue holds, so clients that send as fast as the
  // loop applies cannot keep it in this phase for ever.
  for (size_t taken = 0; taken < net::kQueueMessages; ++taken) {
    auto msg = rx.try_recv();
    if (!msg) break;
    const auto* ack = std::get_if<net::NetMsg::Ack>(&msg->msg);
    if (ack == nullptr) {
      lines.push_back(apply(chain, *msg));
      continue;
    }
    auto n = chain.ack_tx(ack->txid, ack->node_id);
    if (!n) {
      lines.push_back({false, "ack: " + n.error().to_string()});
    } else if (n->kept) {
      lines.push_back({true, ack_line(*ack, n->count, std::to_string(Chain::required_confirms()))});
    } else {
      ++not_kept;
    }
  }
  if (auto saved = chain.flush_saves(); !saved) {
    lines.push_back({false, "state: " + saved.error().to_string()});
  }
  if (not_kept > 0) lines.push_back({false, "ack: " + std::to_string(not_kept) + " not kept"});
  return lines;
}

std::vector<LogLine> pulse(Chain& chain, Session& session) {
  session.memo.begin_tick();

  // A. Requests, in arrival order.
  std::vector<LogLine> lines = apply_requests(chain, session.rx);

  // B. Catch-up; a node that is behind only gossips in this tick.
  CatchUp caught = catch_up(chain, session.memo);
  lines.insert(lines.end(), caught.lines.begin(), caught.lines.end());
  if (caught.behind) {
    std::vector<LogLine> gossiped = gossip(chain, session.memo);
    lines.insert(lines.end(), gossiped.begin(), gossiped.end());
    return lines;
  }

  // C. Work beat, and the daily drop when due.
  if (auto paid = work::beat(chain); !paid) {
    lines.push_back({false, "work: " + paid.error().to_string()});
  } else if (*paid > 0) {
    lines.push_back({true, "drop " + units::amount_text(*paid) +
                               "  supply=" + units::amount_text(supply_of(chain)) +
                               "  work=" + std::to_string(work_seconds_of(chain)) + "s"});
  }

  // D. Auto-seal; nothing ready to seal is no event.
  if (!mempool_of(chain).empty()) {
    auto s = chain.seal();
    if (s) {
      lines.push_back({true, seal_line(*s)});
    } else if (s.error().code() != QuvError::Code::NothingToSeal) {
      lines.push_back({false, "seal: " + s.error().to_string()});
    }
  }

  // E. Gossip.
  std::vector<LogLine> gossiped = gossip(chain, session.memo);
  lines.insert(lines.end(), gossiped.begin(), gossiped.end());
  return lines;
}

Status run(Chain& chain) {
  auto started = prepare(chain);
  if (!started) return std::unexpected(started.error());
  print_lines(started->lines);
  const WorkStatus ws = work::status(chain);
  const std::string reward = ws.reward_address.empty() ? "(no address)" : ws.reward_address;
  print_lines({{true, "QÚV node  file=" + chain.path().string()},
               {true, "height=" + std::to_string(height_of(chain)) + "  " +
                          std::to_string(chain.file_size()) + " bytes  reward=" + reward},
               {true, "0,00001 QÚV/s · cap 0,86400/day · +0,00001 per tx · drop 24h · P2P :" +
                          std::to_string(net::kPort)},
               {true, "Ctrl+C to stop."}});
  Trimmer trimmer;
  for (;;) {
    print_lines(pulse(chain, started->session));
    // A busy tick (large status documents from peers, a burst of transfers) leaves freed
    // memory behind that the allocator would keep for good.
    trimmer.after_tick();
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
}

std::optional<nlohmann::json> local_status() {
  PeerRequest req;
  req.method = "GET";
  req.path = "/status";
  req.content_type = "application/json";
  req.timeout = std::chrono::milliseconds(1000);
  auto body = peer_call(kLocalNode, req);
  if (!body) return std::nullopt;
  auto doc = jtext::parse(bytes::text(*body));
  if (!doc) return std::nullopt;
  const auto* ok = jtext::member(*doc, "ok");
  if (ok == nullptr || !ok->is_boolean() || !ok->get<bool>()) return std::nullopt;
  return doc;
}

}  // namespace node

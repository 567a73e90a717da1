// The running node: `prepare` starts the HTTP server and readies the node state,
// `pulse` is one tick (apply the queued change requests, catch up, credit work, seal,
// gossip) and `run` is the plain loop around them that prints every event line. The
// node terminal UI calls `prepare` and `pulse` itself. All of it runs on the thread that
// owns the `Chain`; `local_status` may be called from any thread.
#pragma once

#include <cstdio>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "ledger/chain.h"
#include "net/net.h"
#include "node/gossip.h"

namespace node {

// The local address of a node on this machine.
inline constexpr std::string_view kLocalNode = "127.0.0.1:19191";
// What start-up says when another node already holds the port.
inline constexpr std::string_view kPortInUse =
    "Port 19191 is already in use — a node is running. In a terminal, `quv node` attaches to "
    "it.";

// A started node: the receiving end of the change requests and what gossip remembers
// between ticks. Every `pulse` takes the session that `prepare` returned.
struct Session {
  net::Receiver rx;
  GossipMemo memo;
};

// A session and the start-up lines, in order.
struct Started {
  Session session;
  std::vector<LogLine> lines;
};

// Starts the server that feeds the channel: the chain path and the sending end.
using Spawn = std::function<Status(std::string chain_path, net::Sender tx)>;

// Starts the node on port 19191: server, id, first peer, chain summary, one catch-up.
[[nodiscard]] Result<Started> prepare(Chain& chain);
// The same with the server started by `spawn`.
[[nodiscard]] Result<Started> prepare(Chain& chain, const Spawn& spawn);

// One tick; never fails, every outcome is a line.
std::vector<LogLine> pulse(Chain& chain, Session& session);

// Applies every queued change request in arrival order, one line each.
std::vector<LogLine> apply_requests(Chain& chain, net::Receiver& rx);

// Applies one change request and says how it went.
LogLine apply(Chain& chain, const net::NetMsg& msg);

// Prints each line, normal ones on `out` and errors on `err`, each written out before the
// next, so that the two streams on one file keep the events' order.
void print_lines(const std::vector<LogLine>& lines, std::FILE* out = stdout,
                 std::FILE* err = stderr);

// The plain loop: start-up lines, the banner, then one tick a second for ever. Returns
// only when start-up fails.
[[nodiscard]] Status run(Chain& chain);

// The status document of the node on 127.0.0.1:19191 when it answers with "ok" true.
[[nodiscard]] std::optional<nlohmann::json> local_status();

// A fresh node id: "seed-" and 12 lower-case hex digits from the random source, so that
// nodes started on the same genesis still tell each other apart.
std::string fresh_node_id();

// The display form of a hash text: first 6, "…", last 6 when longer than 12.
std::string short_hash(std::string_view text);

}  // namespace node

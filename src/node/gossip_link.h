// One request from the node loop to a peer, bounded in total time: each call has its own
// time-out for the whole exchange and never runs past the tick's deadline for that peer,
// so a peer that trickles its reply cannot hold the node loop. Loop thread only.
#pragma once

#include <chrono>
#include <cstddef>
#include <expected>
#include <string_view>

#include "core/bytes.h"

namespace node {

using SteadyClock = std::chrono::steady_clock;

// Why a peer call gave no body: the peer did not answer in time (it is down for the rest
// of the tick), or it answered with something unusable (too large, not HTTP).
enum class PeerFail { Down, Unusable };

// One request to a peer.
struct PeerRequest {
  std::string_view method;
  std::string_view path;
  ByteView body;
  std::string_view content_type;
  // The whole exchange, connect to last byte.
  std::chrono::milliseconds timeout{3000};
  // The call never runs past this point.
  SteadyClock::time_point deadline = SteadyClock::time_point::max();
  // Largest reply accepted.
  size_t max_reply = size_t{64} << 20;
};

// Sends one request to `host` and returns the reply body whatever its HTTP status.
std::expected<Bytes, PeerFail> peer_call(std::string_view host, const PeerRequest& req);

}  // namespace node

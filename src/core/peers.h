// Peer addresses as operators type them: one entry normalised to "host:port", and a
// list cut to the five gossip peers. The command line, the work module and the node's
// peer list call in here; pure functions, any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"

namespace codec {

// The built-in seed peer used when a peer list is empty.
inline constexpr std::string_view kDefaultSeedPeer = "seed.quv.network:19191";
inline constexpr uint16_t kDefaultPort = 19191;
inline constexpr size_t kMaxPeers = 5;

// Normalises one peer entry to "host:port" (IPv6 hosts in brackets).
[[nodiscard]] Result<std::string> parse_peer(std::string_view entry);
// Normalises a list: blanks skipped, duplicates dropped, at most five, the seed peer when empty.
[[nodiscard]] Result<std::vector<std::string>> parse_peers(std::vector<std::string> entries);

}  // namespace codec

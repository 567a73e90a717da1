// The status document a node serves on GET /status, and the reward address that the
// mint route quotes, both read from the files beside the chain (never from the `Chain`
// object). Safe on any thread; the server's workers call them for every request.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace net {

// Fee of an NFT mint in base units (0,25000 of the coin).
inline constexpr uint64_t kNftFee = 25000;

// The "reward_address" of the node state file beside the chain, or "".
std::string sidecar_reward(const std::string& chain_path);

// The status document of the node whose chain file is `chain_path`; never fails.
std::string status_json(const std::string& chain_path);

}  // namespace net

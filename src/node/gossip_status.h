// Reading what a peer serves to gossip: its status document, which may list a mempool of
// megabytes, and its NFT list. Pure functions on the reply bytes, safe on any thread;
// catch-up and gossip call them on the node loop's thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/bytes.h"

namespace node {

// What catch-up and gossip read of a peer's status document.
struct PeerStatus {
  struct Entry {
    // The "raw" text when it is a string; the "id" text when it is a string.
    std::optional<std::string> raw;
    std::optional<std::string> id;
  };
  // "" when absent or not a string.
  std::string node_id;
  // -1 when absent, not an integer or above the signed range.
  int64_t height = -1;
  // Absent when missing, empty or not a string.
  std::optional<std::string> tip;
  // The length of the peer's chain file ("bytes"); absent when missing or not a
  // non-negative integer.
  std::optional<uint64_t> bytes;
  std::vector<Entry> mempool;
};

// Reads a status document; nothing when the body is not JSON or nests deeper than JSON
// from outside may. A member given twice counts with its last value.
std::optional<PeerStatus> read_status(ByteView body);

// The NFT ids of a GET /nft reply: its "hashes" strings, lower-cased, that are 64 hex
// digits, in order; nothing when the body is not JSON.
std::optional<std::vector<std::string>> read_nft_hashes(ByteView body);

}  // namespace node

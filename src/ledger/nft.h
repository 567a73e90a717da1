// The NFT image store: small JPEG images kept by their BLAKE2b-256 id in the "nft" directory
// beside the chain file, and the decoder of a mint transaction's `extra`. Both the HTTP
// server thread and the node loop call it without a lock; an image becomes visible under
// its final name only by an atomic rename, so a reader never sees a partial image.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"

// The result of storing an image.
struct NftInfo {
  // The image id as 64 lower-case hex digits.
  std::string hash;
  // The raw image id: BLAKE2b-256 of the uploaded bytes.
  Hash32 id{};
  // Size of the upload in bytes.
  uint64_t bytes = 0;
  // Pixels of the decoded image.
  uint32_t width = 0;
  uint32_t height = 0;

  bool operator==(const NftInfo&) const = default;
};

namespace nft {

// Largest accepted upload, in bytes.
inline constexpr size_t kMaxBytes = 300000;
// Largest accepted width and height, in pixels.
inline constexpr uint32_t kMaxSide = 512;
// Most images one store holds.
inline constexpr size_t kMaxImages = 20000;
// Free room that images never take from the disk holding the store: the chain beside it
// needs room to grow and to catch up with a peer, which stages the peer's chain (or the
// part of it past ours) beside ours before it takes it. The reserve is twice the largest
// chain file beside the store plus `kReserveMargin`, and at least `kMinReserve`.
inline constexpr uint64_t kMinReserve = uint64_t{256} << 20;
// Beside twice the chain: the blocks sealed meanwhile, the state file, and uploads that
// pass the check at the same moment.
inline constexpr uint64_t kReserveMargin = uint64_t{32} << 20;
// The JPEG decoder may allocate at most this much for one image. Sizes are checked from
// the frame header before decoding, so an image within 512 x 512 needs a few megabytes
// even with the most components and scans the decoder allows.
inline constexpr long kDecoderMemory = 48L << 20;
// The scans of an image may visit each of its blocks at most kMaxBlockVisits times and code
// each of its coefficients at most kMaxCoefficientPasses times, in all.
inline constexpr uint64_t kMaxBlockVisits = 8;
inline constexpr uint64_t kMaxCoefficientPasses = 4;

// The store directory of a chain: the chain file's parent joined with "nft"; creates nothing.
std::filesystem::path dir(const std::filesystem::path& chain_path);

// Creates the store directory and any missing ancestors.
[[nodiscard]] Status ensure_dir(const std::filesystem::path& dir);

// Checks an uploaded JPEG and stores it under its hash; storing a stored image again is
// harmless. A new image is refused with "NFT store is full." when the store holds
// `kMaxImages` or the disk has no room for it beside the reserve.
[[nodiscard]] Result<NftInfo> ingest(const std::filesystem::path& dir, ByteView image);

// The free room the disk holding the store keeps for the chain (see `kMinReserve`).
uint64_t reserve(const std::filesystem::path& dir);

// Whether `bytes` more can be stored while the disk keeps its reserve; a disk that cannot
// tell its free room is not held against the store. A caller that fetches an image before
// storing it asks this first, so that a full disk costs no download.
bool has_room(const std::filesystem::path& dir, uint64_t bytes);

// The stored bytes of the image with this hash (64 lower-case hex digits).
[[nodiscard]] Result<Bytes> read(const std::filesystem::path& dir, std::string_view hash);

// Whether the image with this hash is stored as a regular file; false for a malformed hash.
bool exists(const std::filesystem::path& dir, std::string_view hash);

// The hashes of the stored images, ascending; empty when the directory cannot be listed.
std::vector<std::string> list_hex(const std::filesystem::path& dir);

// Whether `text` is 64 characters of 0-9 and a-f, the text form of an image id.
bool is_hash(std::string_view text);

// Splits a mint's `extra` into the image id and the trimmed, lower-cased owner address.
[[nodiscard]] Result<std::pair<Hash32, std::string>> parse_extra(ByteView extra);

}  // namespace nft

// The status document a node serves on GET /status, and the reward address that the
// mint route quotes, both read from the files beside the chain (never from the `Chain`
// object). `status_json` builds the document afresh; `StatusCache` keeps one built
// document and builds again only when what it shows has changed. Safe on any thread; the
// server's workers call them for every request.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace net {

// Fee of an NFT mint in base units (0,25000 of the coin).
inline constexpr uint64_t kNftFee = 25000;

// The "reward_address" of the node state file beside the chain, or "".
std::string sidecar_reward(const std::string& chain_path);

// The status document of the node whose chain file is `chain_path`; never fails.
std::string status_json(const std::string& chain_path);

// The bytes of the state file beside the chain, or nothing when it is missing, is no
// regular file, cannot be read or is larger than a state file may be (all of which read
// as the empty state).
[[nodiscard]] std::optional<std::string> read_state_bytes(const std::string& chain_path);

// The status document of one chain, built once per change of what it shows: the state
// file's bytes, the chain file's size, the number of NFT images and QUV_CONFIRM_PEERS.
// Every `get` compares the state file's bytes with those the document was built from, so
// a state file rewritten within one timestamp tick at the same size is never missed.
// Any thread; one document is built at a time.
class StatusCache {
 public:
  explicit StatusCache(std::string chain_path);
  StatusCache(const StatusCache&) = delete;
  StatusCache& operator=(const StatusCache&) = delete;

  // The document, byte for byte the one `status_json` builds at this moment.
  std::shared_ptr<const std::string> get();
  // How many documents were built so far.
  uint64_t builds() const;

 private:
  // What the document shows besides the state file.
  struct Inputs {
    uint64_t chain_bytes = 0;
    uint64_t confirm = 0;
    uint64_t nft = 0;
    bool operator==(const Inputs&) const = default;
  };
  struct Doc {
    Inputs in;
    std::optional<std::string> state;
    std::shared_ptr<const std::string> text;
  };
  // The NFT directory as stat saw it; a listing is trusted only while this is unchanged.
  struct DirMark {
    bool present = false;
    dev_t dev = 0;
    ino_t ino = 0;
    timespec ctime{};
    bool operator==(const DirMark& o) const;
  };

  Inputs inputs();
  uint64_t nft_count();
  std::shared_ptr<const Doc> current() const;

  const std::string chain_path_;
  const std::string nft_dir_;
  mutable std::mutex mu_;
  std::shared_ptr<const Doc> doc_;
  uint64_t builds_ = 0;
  // The last listing of the NFT directory and the mark it was made under.
  std::optional<DirMark> nft_mark_;
  uint64_t nft_listed_ = 0;
  // Held while a document is built, so that a burst of requests after a change builds
  // it once rather than once per worker.
  std::mutex build_mu_;
};

}  // namespace net

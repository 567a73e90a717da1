// The chain download of catch-up, beside the node loop: one thread streams a peer's
// GET /chain into a staging file beside the chain and never touches the `Chain`, so a
// slow or endless download costs neither the ticks nor memory. The loop starts a
// download, looks at it once a tick and, once it is done, hands the staged file to the
// ledger. `Fetch` is owned and used by the loop thread; only its own thread runs the
// download.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "core/bytes.h"
#include "node/gossip_link.h"

namespace node {

// Whole-exchange time limits and the floors of one chain download.
inline constexpr std::chrono::minutes kChainDeadline{10};
// Each single read or write of it.
inline constexpr std::chrono::milliseconds kChainOpTimeout{3000};
// After the first two seconds, a download that has averaged fewer bytes a second than
// this is given up: a peer cannot hold the download for long by trickling.
inline constexpr uint64_t kMinChainRate = uint64_t{64} << 10;
// Largest chain file taken from a peer.
inline constexpr uint64_t kMaxChainBytes = uint64_t{1} << 30;
// Free disk space a download leaves beside what it needs, for what the node writes
// meanwhile: the blocks it seals, its state file and images.
inline constexpr uint64_t kDiskMargin = uint64_t{16} << 20;

// What a download is to fetch.
struct FetchPlan {
  std::string peer;
  // The staging file, created afresh by the download.
  std::filesystem::path staged;
  // When set, the download first asks for the bytes from `from` on (our last record's
  // offset): if the peer's file holds `last_record` there, our chain is a prefix of
  // its chain and only the rest travels. Otherwise the whole file is fetched.
  uint64_t from = 0;
  Bytes last_record;
  // Most bytes the staged file may take.
  uint64_t max_bytes = kMaxChainBytes;
  // The length of the peer's chain file as its status gave it (0 when unknown): a ranged
  // reply that finds a shorter file found another file than the one the plan saw.
  uint64_t peer_bytes = 0;
};

// What the staging file holds once a download is done.
enum class Staged {
  // Our last record and the records after it.
  kTail,
  // A whole chain file that begins with the magic.
  kWhole,
  // Nothing usable: the peer did not answer, too slowly, or too much.
  kFailed,
  // The disk had no room for the rest of it (`FetchPlan::max_bytes` or a full disk).
  kNoRoom,
  // A reply that is no chain file (shorter than 4 bytes or another magic).
  kBadFile,
  // Nothing usable, through no fault of the peer's: the reply ended before the length
  // it declared, or the ranged reply found a shorter file than the peer's status gave.
  // Either way the peer's chain file was replaced while it was sent (its node adopted
  // another chain); a fresh plan fetches the new one.
  kCut,
};

struct FetchOutcome {
  Staged staged = Staged::kFailed;
  // Body bytes received over every request of the download.
  uint64_t received = 0;
};

// How far a running download has come: body bytes received over its requests so far, and
// the body length that the reply under way declares (0 while it has declared none).
struct FetchProgress {
  uint64_t received = 0;
  uint64_t declared = 0;
  // True while it asks for the bytes past our last record, false once it asks for the
  // whole file.
  bool ranged = false;
};

// One download on its own thread. Dropping it cancels the download, waits for the
// thread (a tenth of a second at most) and removes the staging file unless `take` gave
// it away.
class Fetch {
 public:
  explicit Fetch(FetchPlan plan);
  ~Fetch();
  Fetch(const Fetch&) = delete;
  Fetch& operator=(const Fetch&) = delete;

  const FetchPlan& plan() const { return plan_; }
  SteadyClock::time_point started() const { return started_; }
  // True once the download thread has finished.
  bool done() const { return done_.load(std::memory_order_acquire); }
  // Waits at most `limit` for the download to finish; true when it has.
  bool wait(std::chrono::milliseconds limit) const;
  // Where the download stands; any time.
  FetchProgress progress() const;
  // The outcome, once `done`; the staging file is then the caller's to use and remove.
  FetchOutcome take();

 private:
  void run();

  FetchPlan plan_;
  SteadyClock::time_point started_;
  FetchOutcome outcome_;
  std::atomic<bool> cancel_{false};
  std::atomic<bool> done_{false};
  std::atomic<uint64_t> received_{0};
  std::atomic<uint64_t> declared_{0};
  std::atomic<bool> ranged_{false};
  bool taken_ = false;
  std::thread thread_;
};

// Bytes free to this process on the file system of `dir`; nothing when it cannot be told.
std::optional<uint64_t> free_bytes(const std::filesystem::path& dir);

// What the disk allows a download into `dir`.
struct DiskRoom {
  // Bytes free now, and bytes the download needs: what it is expected to write, with
  // `kDiskMargin` beside it.
  uint64_t free = 0;
  uint64_t needs = 0;
  // Most bytes the staged file may take: `kMaxChainBytes`, less when the disk has less
  // room than that beside the margin.
  uint64_t max_bytes = kMaxChainBytes;
  bool enough() const { return free >= needs; }
};

// The room for a download of a chain file of `peer_bytes` (as the peer's status gives
// it; 0 when unknown) from offset `from` on: a whole file is staged and then takes the
// place of ours; a tail is staged and then appended, so it needs its bytes twice.
DiskRoom disk_room(const std::filesystem::path& dir, uint64_t peer_bytes, uint64_t from);

}  // namespace node

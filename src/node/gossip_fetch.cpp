#include "node/gossip_fetch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>
#include <system_error>

#include "core/fsutil.h"
#include "ledger/chain.h"
#include "net/client.h"
#include "net/http.h"

namespace node {

namespace {

// Creates `path` afresh for writing, never through a link; a stale regular file of ours
// under that name, left by an earlier download, is replaced.
fsutil::Fd create_fresh(const std::filesystem::path& path) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) return fsutil::Fd(fd);
    struct stat st {};
    if (errno != EEXIST || ::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_uid != ::geteuid() || ::unlink(path.c_str()) != 0) {
      break;
    }
  }
  return fsutil::Fd();
}

// The staging file as the body of one request fills it.
struct Sink {
  int fd;
  uint64_t written = 0;
  uint64_t received = 0;
  // The disk was full.
  bool no_space = false;

  bool restart() {
    written = 0;
    return ::ftruncate(fd, 0) == 0;
  }
  net::BodySink fn() {
    return [this](ByteView data) {
      received += data.size();
      if (int err = fsutil::write_all_at(fd, data, written)) {
        no_space = err == ENOSPC || err == EDQUOT;
        return false;
      }
      written += data.size();
      return true;
    };
  }
  // Whether the file begins with `prefix`.
  bool starts_with(ByteView prefix) const {
    if (written < prefix.size()) return false;
    Bytes head(prefix.size());
    size_t got = 0;
    if (fsutil::read_all_at(fd, head, 0, got) != 0 || got != head.size()) return false;
    return std::memcmp(head.data(), prefix.data(), prefix.size()) == 0;
  }
};

}  // namespace

std::optional<uint64_t> free_bytes(const std::filesystem::path& dir) {
  struct statvfs vfs {};
  if (::statvfs(dir.c_str(), &vfs) != 0) return std::nullopt;
  return static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
}

DiskRoom disk_room(const std::filesystem::path& dir, uint64_t peer_bytes, uint64_t from) {
  DiskRoom room;
  const std::optional<uint64_t> free = free_bytes(dir);
  // A file system that cannot tell its room is not held against the download.
  if (!free) return room;
  room.free = *free;
  const uint64_t expected = std::min(peer_bytes, kMaxChainBytes);
  const uint64_t tail = from > 0 && expected > from ? expected - from : 0;
  room.needs = (from > 0 ? 2 * tail : expected) + kDiskMargin;
  room.max_bytes = std::min(kMaxChainBytes, *free > kDiskMargin ? *free - kDiskMargin : 0);
  return room;
}

Fetch::Fetch(FetchPlan plan) : plan_(std::move(plan)), started_(SteadyClock::now()) {
  // Without a thread the download fails at once, and the peer is tried again later.
  try {
    thread_ = std::thread([this] { run(); });
  } catch (const std::system_error&) {
    done_.store(true, std::memory_order_release);
  }
}

Fetch::~Fetch() {
  cancel_.store(true);
  if (thread_.joinable()) thread_.join();
  if (!taken_) {
    std::error_code ignored;
    std::filesystem::remove(plan_.staged, ignored);
  }
}

bool Fetch::wait(std::chrono::milliseconds limit) const {
  const auto end = SteadyClock::now() + limit;
  while (!done()) {
    if (SteadyClock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

FetchProgress Fetch::progress() const {
  return {received_.load(std::memory_order_relaxed), declared_.load(std::memory_order_relaxed),
          ranged_.load(std::memory_order_relaxed)};
}

FetchOutcome Fetch::take() {
  if (thread_.joinable()) thread_.join();
  taken_ = true;
  return outcome_;
}

void Fetch::run() {
  fsutil::Fd file = create_fresh(plan_.staged);
  Sink sink{file.get()};
  auto finish = [&](Staged s) {
    outcome_.staged = s;
    outcome_.received = sink.received;
    done_.store(true, std::memory_order_release);
  };
  if (!file.valid()) return finish(Staged::kFailed);

  net::CallOptions opts;
  opts.op_timeout = kChainOpTimeout;
  opts.deadline = started_ + kChainDeadline;
  opts.max_reply = static_cast<size_t>(plan_.max_bytes);
  opts.sink = [this, store = sink.fn()](ByteView data) {
    received_.fetch_add(data.size(), std::memory_order_relaxed);
    return store(data);
  };
  // What the reply says it holds: the loop gives a download the time that many bytes need.
  opts.on_head = [this](uint16_t, std::string_view head) {
    declared_.store(net::content_length(head), std::memory_order_relaxed);
  };
  opts.min_rate = kMinChainRate;
  opts.cancel = &cancel_;
  auto get = [&] {
    return net::call(plan_.peer, "GET", "/chain", {}, "application/octet-stream", opts);
  };
  // A reply past the bytes the disk allows, or a full disk, is a download without room; a
  // reply cut before its declared length was cut by the peer's own adoption. The client
  // reads a reply to its declared length and no further, so a short file never reaches
  // the ledger.
  auto failed = [&](const net::CallError& e) {
    const bool disk_bound = plan_.max_bytes < kMaxChainBytes && e.kind == net::CallFail::TooLarge;
    if (sink.no_space || disk_bound) return finish(Staged::kNoRoom);
    return finish(e.kind == net::CallFail::Cut ? Staged::kCut : Staged::kFailed);
  };

  if (!plan_.last_record.empty()) {
    ranged_.store(true, std::memory_order_relaxed);
    opts.extra_headers = "Range: bytes=" + std::to_string(plan_.from) + "-\r\n";
    auto r = get();
    if (!r) return failed(r.error());
    const uint64_t promised = plan_.peer_bytes;
    if (r->status == 206) {
      auto range = net::content_range(r->head);
      if (range && range->total < promised) return finish(Staged::kCut);
      if (range && range->first == plan_.from && sink.starts_with(plan_.last_record)) {
        return finish(Staged::kTail);
      }
    } else if (r->status == 416 && promised > plan_.from) {
      return finish(Staged::kCut);
    } else if (r->status == 200) {
      // A peer that knows no ranges sends its whole file.
      return finish(sink.starts_with(bytes::of(chain::kMagic)) ? Staged::kWhole : Staged::kBadFile);
    }
    // Our last record is not where we hold it (a fork), or the peer's file is shorter:
    // the whole file it is.
    opts.extra_headers.clear();
    ranged_.store(false, std::memory_order_relaxed);
    declared_.store(0, std::memory_order_relaxed);
    if (!sink.restart()) return finish(Staged::kFailed);
  }
  auto r = get();
  if (!r) return failed(r.error());
  finish(sink.starts_with(bytes::of(chain::kMagic)) ? Staged::kWhole : Staged::kBadFile);
}

}  // namespace node

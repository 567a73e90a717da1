#include "net/status.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "core/codec.h"
#include "core/fsutil.h"
#include "core/hex.h"
#include "core/json_text.h"
#include "core/text.h"
#include "core/version.h"
#include "ledger/chain.h"
#include "ledger/chain_page.h"
#include "ledger/nft.h"
#include "ledger/state.h"
#include "ledger/work.h"
#include "net/http.h"

namespace net {

namespace {

using jtext::as_i64;
using jtext::as_string;
using jtext::as_u64;
using jtext::member;
using json = nlohmann::json;

// A directory whose status changed this long before a listing began holds no change the
// listing missed: any later change stamps it with a later time. The margin covers the
// coarse clock the kernel stamps with and file systems that keep whole seconds.
constexpr std::chrono::seconds kSettle{2};

uint64_t chain_file_bytes(const std::string& chain_path) {
  struct stat st;
  return ::stat(chain_path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// The state file's members; a missing, half written or broken file reads as the empty
// object. A byte order mark is no part of a JSON text.
json state_members(const std::optional<std::string>& bytes) {
  if (!bytes || !text::is_utf8(*bytes) || bytes->starts_with("\xEF\xBB\xBF")) {
    return json::object();
  }
  return jtext::parse(*bytes).value_or(json::object());
}

// Opens the state file for reading without waiting on a pipe; nothing when it is not a
// regular file of at most the largest state size.
fsutil::Fd open_state(const std::string& path, struct stat& st) {
  int raw;
  do {
    raw = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  } while (raw < 0 && errno == EINTR);
  fsutil::Fd fd(raw);
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<uint64_t>(st.st_size) > state::kMaxFileBytes) {
    return fsutil::Fd();
  }
  return fd;
}

// Whether the state file now reads as `want` would: the same bytes, or unreadable when
// `want` is nothing. Reads in chunks and stops at the first difference; any doubt (a read
// error, a file that grows past the bound) counts as a difference.
bool state_reads_as(const std::string& path, const std::optional<std::string>& want) {
  struct stat st;
  fsutil::Fd fd = open_state(path, st);
  // A file that cannot be opened reads as nothing, as it would for a fresh document.
  if (!fd.valid()) return !want;
  if (!want || static_cast<uint64_t>(st.st_size) != want->size()) return false;
  char buf[65536];
  size_t at = 0;
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return at == want->size();
    const size_t got = static_cast<size_t>(n);
    if (got > want->size() - at || std::memcmp(buf, want->data() + at, got) != 0) return false;
    at += got;
  }
}

// The document from its sources.
std::string build(const std::string& chain_path, const std::optional<std::string>& state_bytes,
                  uint64_t size, uint64_t confirm, uint64_t nft_count) {
  json state = state_members(state_bytes);
  uint64_t work_seconds = as_u64(member(state, "work_seconds")).value_or(0);
  uint64_t validated = as_u64(member(state, "validated")).value_or(0);
  uint64_t pending_total = work::pending_work(work_seconds, validated);

  static const json kNoAcks = json::object();
  const json* acks = member(state, "acks");
  if (!acks) acks = &kNoAcks;
  json mempool = json::array();
  if (const json* list = member(state, "mempool"); list && list->is_array()) {
    for (const auto& entry : *list) {
      Bytes raw;
      if (entry.is_array()) {
        for (const auto& b : entry) {
          if (auto v = as_u64(&b)) raw.push_back(static_cast<uint8_t>(*v));
        }
      }
      auto decoded = codec::decode_tx(raw);
      if (!decoded) continue;
      const codec::Tx& t = decoded->tx;
      std::string id = hex::encode(codec::txid(t));
      size_t ack_count = 0;
      if (const json* who = member(*acks, id.c_str()); who && who->is_array()) {
        ack_count = who->size();
      }
      json tj = chain::tx_json(t);
      json e = json::object();
      e["acks"] = ack_count;
      e["id"] = id;
      e["inputs"] = std::move(tj["inputs"]);
      e["need"] = confirm;
      e["outputs"] = std::move(tj["outputs"]);
      e["raw"] = hex::encode(raw);
      e["type"] = static_cast<uint64_t>(t.type);
      mempool.push_back(std::move(e));
    }
  }

  json doc = json::object();
  doc["bytes"] = size;
  doc["confirm_peers"] = confirm;
  doc["file"] = text::lossy_utf8(chain_path);
  doc["height"] = as_i64(member(state, "height")).value_or(-1);
  doc["last_drop"] = as_i64(member(state, "last_drop")).value_or(0);
  doc["mempool"] = std::move(mempool);
  doc["nft"] = nft_count;
  doc["nft_fee"] = kNftFee;
  doc["node_id"] = as_string(member(state, "node_id")).value_or("");
  doc["ok"] = true;
  const json* peer_link = member(state, "peer_link");
  doc["peer_link"] = peer_link ? *peer_link : json::object();
  const json* peers = member(state, "peers");
  doc["peers"] = peers ? *peers : json::array();
  doc["pending_total"] = pending_total;
  doc["pending_valid"] = validated;
  doc["pending_work"] = std::min(work_seconds, work::kWindowSeconds);
  doc["port"] = kPort;
  doc["reward_address"] = as_string(member(state, "reward_address")).value_or("");
  doc["running"] = true;
  doc["supply"] = as_u64(member(state, "supply")).value_or(0);
  doc["tip"] = as_string(member(state, "tip")).value_or("");
  doc["validated"] = validated;
  doc["version"] = std::string(version::kText);
  doc["work_seconds"] = work_seconds;
  return jtext::dump(doc);
}

}  // namespace

std::string sidecar_reward(const std::string& chain_path) {
  json state = state::read_members(chain_path);
  return as_string(member(state, "reward_address")).value_or("");
}

std::optional<std::string> read_state_bytes(const std::string& chain_path) {
  auto data = fsutil::read_file(state::path_for(chain_path), state::kMaxFileBytes);
  if (!data) return std::nullopt;
  return std::string(data->begin(), data->end());
}

std::string status_json(const std::string& chain_path) {
  const uint64_t size = chain_file_bytes(chain_path);
  const std::optional<std::string> state = read_state_bytes(chain_path);
  return build(chain_path, state, size, Chain::required_confirms(),
               nft::list_hex(nft::dir(chain_path)).size());
}

// ---------------------------------------------------------------------------
// The cache.

bool StatusCache::DirMark::operator==(const DirMark& o) const {
  return present == o.present && dev == o.dev && ino == o.ino && ctime.tv_sec == o.ctime.tv_sec &&
         ctime.tv_nsec == o.ctime.tv_nsec;
}

StatusCache::StatusCache(std::string chain_path)
    : chain_path_(std::move(chain_path)), nft_dir_(nft::dir(chain_path_).string()) {}

uint64_t StatusCache::builds() const {
  std::lock_guard lock(mu_);
  return builds_;
}

std::shared_ptr<const StatusCache::Doc> StatusCache::current() const {
  std::lock_guard lock(mu_);
  return doc_;
}

uint64_t StatusCache::nft_count() {
  DirMark mark;
  struct stat st;
  if (::stat(nft_dir_.c_str(), &st) == 0) {
    mark.present = true;
    mark.dev = st.st_dev;
    mark.ino = st.st_ino;
    mark.ctime = st.st_ctim;
  }
  {
    std::lock_guard lock(mu_);
    if (nft_mark_ && *nft_mark_ == mark) return nft_listed_;
  }
  timespec started{};
  ::clock_gettime(CLOCK_REALTIME, &started);
  const uint64_t count = nft::list_hex(nft_dir_).size();
  // The listing stands for the mark only when the directory had settled before the
  // listing began: a change while it ran, or within the clock's granularity of its start,
  // might be in it or not, and leave the directory's status as it was.
  const auto at = [](const timespec& t) {
    return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
  };
  if (!mark.present || at(mark.ctime) + kSettle < at(started)) {
    std::lock_guard lock(mu_);
    nft_mark_ = mark;
    nft_listed_ = count;
  }
  return count;
}

StatusCache::Inputs StatusCache::inputs() {
  return Inputs{chain_file_bytes(chain_path_), Chain::required_confirms(), nft_count()};
}

std::shared_ptr<const std::string> StatusCache::get() {
  const std::string state_path = state::path_for(chain_path_).string();
  {
    Inputs in = inputs();
    auto doc = current();
    if (doc && doc->in == in && state_reads_as(state_path, doc->state)) return doc->text;
  }
  std::lock_guard one_build(build_mu_);
  // The sources again, now that no other document is being built: one built while this
  // request waited may already show them.
  Inputs in = inputs();
  std::optional<std::string> state = read_state_bytes(chain_path_);
  auto doc = current();
  if (doc && doc->in == in && doc->state == state) return doc->text;
  auto next = std::make_shared<Doc>();
  next->text = std::make_shared<const std::string>(
      build(chain_path_, state, in.chain_bytes, in.confirm, in.nft));
  next->in = in;
  next->state = std::move(state);
  std::lock_guard lock(mu_);
  doc_ = next;
  ++builds_;
  return next->text;
}

}  // namespace net

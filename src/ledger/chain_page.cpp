#include "ledger/chain_page.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "core/crypto.h"
#include "core/fsutil.h"
#include "core/hex.h"
#include "core/text.h"
#include "ledger/chain.h"
#include "ledger/chain_file.h"

namespace chain {

namespace {

constexpr size_t kChecksumSize = 32;

using ReadFd = fsutil::Fd;

[[nodiscard]] Result<ReadFd> open_read(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(error::os_text(errno));
  return Result<ReadFd>(std::in_place, fd);
}

// Reads up to n bytes at `offset`; fewer only at the end of the file.
[[nodiscard]] Result<size_t> pread_full(int fd, uint8_t* dst, size_t n, uint64_t offset) {
  size_t got = 0;
  if (int err = fsutil::read_all_at(fd, std::span<uint8_t>(dst, n), offset, got); err != 0) {
    return fail(error::os_text(err));
  }
  return got;
}

// The first four bytes must be the magic; a shorter file is a short read.
[[nodiscard]] Status check_magic(int fd) {
  uint8_t head[4];
  auto got = pread_full(fd, head, 4, 0);
  if (!got) return std::unexpected(got.error());
  if (*got < 4) return fail(kShortRead);
  if (std::memcmp(head, kMagic.data(), 4) != 0) return fail(kBadMagic);
  return {};
}

// True while a writer holds the chain's lock: a record cut short at the end of the file is
// then one still being written, and the page ends before it instead of failing.
bool writer_at_work(int fd) {
  if (::flock(fd, LOCK_SH | LOCK_NB) == 0) {
    (void)::flock(fd, LOCK_UN);
    return false;
  }
  return errno == EWOULDBLOCK;
}

bool wanted(const BlocksPage& page, uint64_t height, uint64_t from, uint64_t limit) {
  return height >= from && page.blocks.size() < limit;
}

[[nodiscard]] Result<BlocksPage> walk(int fd, uint64_t from, uint64_t limit) {
  if (auto ok = check_magic(fd); !ok) return std::unexpected(ok.error());
  BlocksPage page;
  RecordReader reader(fd, 0, 4);
  chain::Record rec;
  for (;;) {
    auto step = reader.next(rec);
    if (!step) return std::unexpected(step.error());
    if (*step == RecordReader::Step::kCut) {
      if (writer_at_work(fd)) break;
      return fail(kShortRead);
    }
    // A record whose checksum does not match ends the walk before it.
    if (*step == RecordReader::Step::kEnd || !rec.checksum_ok()) break;
    auto block = codec::decode_block_body(rec.body());
    if (!block) return std::unexpected(block.error());
    page.height = block->height;
    page.tip = hex::encode(block->hash);
    if (wanted(page, block->height, from, limit)) page.blocks.push_back(block_json(*block));
  }
  return page;
}

// One good record of the file: where it is, its header height and its checksum.
struct CachedRecord {
  uint64_t offset = 0;
  uint32_t len = 0;
  uint64_t height = 0;
  Hash32 sum{};
};

// The identity, size and change times of the file when the cache last read it.
struct Snapshot {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  struct timespec mtime {};
  struct timespec ctime {};

  static Snapshot of(const struct stat& st) {
    return Snapshot{st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
  }
  bool same_file(const Snapshot& o) const { return dev == o.dev && ino == o.ino; }
  bool same(const Snapshot& o) const {
    return same_file(o) && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec &&
           ctime.tv_nsec == o.ctime.tv_nsec;
  }
};

// How a walk ended after the last good record: at the end of the file (or a torn
// length prefix), at a record whose checksum does not match, or with an error.
enum class Tail { Clean, Stop, Error };

// What earlier calls learnt about one chain file: where its good records are, their
// heights and checksums, and how the walk ended after them. The file is trusted to be
// the same only as far as the checks in `usable` confirm.
struct Entry {
  Snapshot snap;
  std::vector<CachedRecord> recs;
  uint64_t end = 4;  // offset after the last good record
  Hash32 tip{};
  bool monotone = true;  // heights never decrease in file order
  Tail tail = Tail::Clean;
  std::string error;
  uint64_t used = 0;  // for evicting the least recently used entry
};

constexpr size_t kMaxEntries = 16;

std::mutex g_mu;
std::map<std::string, Entry> g_cache;
uint64_t g_tick = 0;

// True when the record still holds exactly the bytes it held when it was cached.
bool record_intact(int fd, const CachedRecord& r) {
  Bytes buf(4 + size_t{r.len} + kChecksumSize);
  auto got = pread_full(fd, buf.data(), buf.size(), r.offset);
  if (!got || *got != buf.size()) return false;
  if (bytes::load_u32(buf.data()) != r.len) return false;
  if (std::memcmp(buf.data() + 4 + r.len, r.sum.data(), kChecksumSize) != 0) return false;
  return hashing::h32(ByteView(buf.data() + 4, r.len)) == r.sum;
}

// The cache may be extended from its end when the file is the same file and either
// unchanged or grown, and its first and last known records still hold their bytes.
// The node only ever appends to its chain file; a chain written over the old one in
// place (adoption) changes the last record, and a change that did not make the file
// longer is no append at all.
bool usable(int fd, const Entry& e, const Snapshot& now) {
  if (!e.snap.same_file(now) || static_cast<uint64_t>(now.size) < e.end) return false;
  if (!e.snap.same(now) && now.size <= e.snap.size) return false;
  if (e.recs.empty()) return true;
  return record_intact(fd, e.recs.front()) &&
         (e.recs.size() == 1 || record_intact(fd, e.recs.back()));
}

// Reads the records after e.end into the cache and notes how the walk ended.
void scan_tail(int fd, Entry& e) {
  RecordReader reader(fd, 0, e.end);
  chain::Record rec;
  e.error.clear();
  for (;;) {
    auto step = reader.next(rec);
    if (step && *step == RecordReader::Step::kCut) {
      step = writer_at_work(fd) ? Result<RecordReader::Step>(RecordReader::Step::kEnd)
                                : Result<RecordReader::Step>(fail(kShortRead));
    }
    if (!step) {
      e.tail = Tail::Error;
      e.error = step.error().to_string();
      return;
    }
    if (*step == RecordReader::Step::kEnd) {
      e.tail = Tail::Clean;
      return;
    }
    if (!rec.checksum_ok()) {
      e.tail = Tail::Stop;
      return;
    }
    const ByteView body = rec.body();
    auto block = codec::decode_block_body(body);
    if (!block) {
      e.tail = Tail::Error;
      e.error = block.error().to_string();
      return;
    }
    if (!e.recs.empty() && block->height < e.recs.back().height) e.monotone = false;
    e.recs.push_back(CachedRecord{rec.offset, static_cast<uint32_t>(body.size()), block->height,
                                  hash_at(body.data() + body.size())});
    e.tip = block->hash;
    e.end = reader.end();
  }
}

void evict_if_full() {
  if (g_cache.size() < kMaxEntries) return;
  auto oldest = g_cache.begin();
  for (auto it = g_cache.begin(); it != g_cache.end(); ++it) {
    if (it->second.used < oldest->second.used) oldest = it;
  }
  g_cache.erase(oldest);
}

// What a page needs from the cache, copied out so that the records are read and
// decoded without holding the lock.
struct Plan {
  std::vector<CachedRecord> page;
  BlocksPage head;  // height and tip only
  std::optional<std::string> error;
};

Plan plan_page(const std::string& path, int fd, const Snapshot& now, uint64_t from,
               uint64_t limit) {
  std::lock_guard lock(g_mu);
  auto it = g_cache.find(path);
  bool fresh = false;
  if (it == g_cache.end() || !usable(fd, it->second, now)) {
    if (it != g_cache.end()) g_cache.erase(it);
    evict_if_full();
    it = g_cache.emplace(path, Entry{}).first;
    fresh = true;
  }
  Entry& e = it->second;
  e.used = ++g_tick;
  // An unchanged file ends the way it ended last time; a checksum stop or an error
  // is remembered so that a damaged file does not cost a full walk per page.
  if (fresh || e.tail == Tail::Clean || !e.snap.same(now)) {
    scan_tail(fd, e);
    if (e.tail != Tail::Clean && !fresh) {
      // Trust a bad ending only when the walk that found it started at the magic.
      e = Entry{};
      e.used = g_tick;
      scan_tail(fd, e);
    }
    e.snap = now;
  }

  Plan plan;
  if (e.tail == Tail::Error) {
    plan.error = e.error;
    return plan;
  }
  if (!e.recs.empty()) {
    plan.head.height = e.recs.back().height;
    plan.head.tip = hex::encode(e.tip);
  }
  if (limit == 0) return plan;
  if (e.monotone) {
    auto first = std::lower_bound(e.recs.begin(), e.recs.end(), from,
                                  [](const CachedRecord& r, uint64_t h) { return r.height < h; });
    size_t count = std::min<uint64_t>(limit, static_cast<uint64_t>(e.recs.end() - first));
    plan.page.assign(first, first + static_cast<std::ptrdiff_t>(count));
  } else {
    for (const CachedRecord& r : e.recs) {
      if (plan.page.size() >= limit) break;
      if (r.height >= from) plan.page.push_back(r);
    }
  }
  return plan;
}

void forget(const std::string& path) {
  std::lock_guard lock(g_mu);
  g_cache.erase(path);
}

// Reads and decodes the planned records; nothing when any of them changed since
// it was cached.
std::optional<std::vector<nlohmann::json>> read_planned(int fd,
                                                        const std::vector<CachedRecord>& recs) {
  std::vector<nlohmann::json> out;
  out.reserve(recs.size());
  Bytes buf;
  size_t i = 0;
  while (i < recs.size()) {
    // Records that follow each other in the file are read with one call.
    size_t j = i + 1;
    uint64_t run_end = recs[i].offset + 4 + recs[i].len + kChecksumSize;
    while (j < recs.size() && recs[j].offset == run_end) {
      run_end += 4 + uint64_t{recs[j].len} + kChecksumSize;
      ++j;
    }
    buf.resize(run_end - recs[i].offset);
    auto got = pread_full(fd, buf.data(), buf.size(), recs[i].offset);
    if (!got || *got != buf.size()) return std::nullopt;
    for (size_t k = i; k < j; ++k) {
      const uint8_t* rec = buf.data() + (recs[k].offset - recs[i].offset);
      const CachedRecord& r = recs[k];
      if (bytes::load_u32(rec) != r.len) return std::nullopt;
      if (std::memcmp(rec + 4 + r.len, r.sum.data(), kChecksumSize) != 0) return std::nullopt;
      ByteView body(rec + 4, r.len);
      if (hashing::h32(body) != r.sum) return std::nullopt;
      auto block = codec::decode_block_body(body);
      if (!block || block->height != r.height) return std::nullopt;
      out.push_back(block_json(*block));
    }
    i = j;
  }
  return out;
}

}  // namespace

Result<BlocksPage> walk_blocks_page(const std::string& path, uint64_t from, uint64_t limit) {
  auto fd = open_read(path);
  if (!fd) return std::unexpected(fd.error());
  return walk(fd->get(), from, limit);
}

Result<BlocksPage> blocks_page(const std::string& path, uint64_t from, uint64_t limit) {
  auto fd = open_read(path);
  if (!fd) return std::unexpected(fd.error());
  if (auto ok = check_magic(fd->get()); !ok) return std::unexpected(ok.error());
  struct stat st;
  if (::fstat(fd->get(), &st) != 0) return walk(fd->get(), from, limit);

  Plan plan = plan_page(path, fd->get(), Snapshot::of(st), from, limit);
  if (plan.error) return fail(*plan.error);
  auto blocks = read_planned(fd->get(), plan.page);
  if (!blocks) {
    // The file changed under the cache since the plan was made: walk it plainly.
    forget(path);
    return walk(fd->get(), from, limit);
  }
  plan.head.blocks = std::move(*blocks);
  return std::move(plan.head);
}

nlohmann::json input_json(const codec::TxInput& in) { return hex::encode(in.note_id); }

nlohmann::json output_json(const codec::TxOutput& out) {
  nlohmann::json o = nlohmann::json::object();
  o["auth_pk"] = hex::encode(out.auth_pk);
  o["ciphertext"] = hex::encode(out.ciphertext);
  o["eph_pub"] = hex::encode(out.eph_pub);
  o["note_id"] = hex::encode(codec::note_id(out));
  o["stealth_tag"] = hex::encode(out.stealth_tag);
  return o;
}

nlohmann::json tx_json(const codec::Tx& tx) {
  nlohmann::json inputs = nlohmann::json::array();
  for (const auto& in : tx.inputs) inputs.push_back(input_json(in));
  nlohmann::json outputs = nlohmann::json::array();
  for (const auto& out : tx.outputs) outputs.push_back(output_json(out));
  nlohmann::json o = nlohmann::json::object();
  o["extra"] = hex::encode(tx.extra);
  o["id"] = hex::encode(codec::txid(tx));
  o["inputs"] = std::move(inputs);
  o["outputs"] = std::move(outputs);
  o["tag"] = text::lossy_utf8(tx.tag);
  o["timestamp"] = tx.timestamp;
  o["type"] = static_cast<uint64_t>(tx.type);
  return o;
}

nlohmann::json block_json(const codec::Block& block) {
  nlohmann::json txs = nlohmann::json::array();
  for (const auto& tx : block.txs) txs.push_back(tx_json(tx));
  nlohmann::json o = nlohmann::json::object();
  o["hash"] = hex::encode(block.hash);
  o["height"] = block.height;
  o["prev"] = hex::encode(block.prev);
  o["timestamp"] = block.timestamp;
  o["txs"] = std::move(txs);
  return o;
}

}  // namespace chain

// The chain file and the ledger derived from it: opening, replay, appending, ingest.
#include "ledger/chain.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/fsutil.h"
#include "core/hashing.h"
#include "core/hex.h"
#include "ledger/adopt_check.h"
#include "ledger/chain_file.h"
#include "ledger/nft.h"

namespace fs = std::filesystem;
using codec::Block;
using codec::Tx;

namespace {

using chain::hash_at;
using chain::kShortRead;
using chain::OutRef;
using chain::scan_block;
using chain::TxRef;

[[nodiscard]] Status io_fail(int err) {
  return std::unexpected(QuvError::msg(error::os_text(err)));
}
[[nodiscard]] Status io_fail() { return io_fail(errno); }

}  // namespace

Chain::~Chain() = default;

Chain::WriteLock::~WriteLock() {
  if (chain_ != nullptr) chain_->unlock_file();
}

Result<Chain> Chain::open(const fs::path& path) { return open_impl(path, nullptr); }

Result<Chain> Chain::open_impl(const fs::path& path, AdoptCheck* check) {
  // A directory that cannot be made shows up as the open's own error.
  if (path.has_parent_path()) (void)fsutil::create_dirs(path.parent_path());
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
  if (fd < 0) return std::unexpected(QuvError::msg(error::os_text(errno)));
  fsutil::Fd file(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0) return std::unexpected(QuvError::msg(error::os_text(errno)));
  // A pipe or a device under the chain's name would never end a replay.
  if (!S_ISREG(st.st_mode)) return fail("Chain file is not a regular file: " + path.string());
  Chain c;
  c.path_ = path;
  c.file_ = std::move(file);
  // A peer's chain is opened under a guessable name in a shared temporary directory and
  // only its blocks are used: a state file planted beside it (a link to a device or a
  // pipe) is not read.
  c.own_state_ = check == nullptr;
  // The whole open runs under the writer lock: another writer's record is never read
  // half-written, and two commands that create a chain write one genesis block.
  if (auto l = c.lock_file(check); !l) return std::unexpected(l.error());
  Status made;
  if (c.own_state_) {
    // Temporary files of writers killed while saving, and chains they were adopting.
    fsutil::remove_orphans(state::path_for(path));
    fsutil::remove_orphans(path, ".adopt-");
  }
  if (c.offsets_.empty()) made = c.write_genesis();
  c.unlock_file();
  if (!made) return std::unexpected(made.error());
  c.refresh_meta();
  return c;
}

void Chain::reset_ledger() {
  offsets_.clear();
  notes_.clear();
  nullifiers_.clear();
  nft_ids_.clear();
  tip_hash_ = Hash32{};
  supply_ = 0;
  end_ = 0;
  genesis_hash_ = Hash32{};
}

Status Chain::replay() { return replay_from(file_.get(), nullptr, false); }

Status Chain::replay_from(int fd, AdoptCheck* check, bool from_end) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return io_fail();
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  if (from_end) {
    chain::RecordReader r(fd, size, end_);
    return read_records(r, nullptr, true);
  }
  // An empty file is a new chain: it gets its magic here.
  if (size == 0) {
    if (int err = fsutil::write_all_at(fd, bytes::of(chain::kMagic), 0)) return io_fail(err);
  }
  chain::RecordReader r(fd, size == 0 ? chain::kMagic.size() : size, 0);
  if (auto m = r.magic(); !m) return m;
  end_ = r.end();
  return read_records(r, check, false);
}

// The three steps of ingesting a transaction, shared by `ingest` (decoded transactions) and
// replay (positions in a raw block body), so the rules live in one place.
inline void Chain::ingest_kind(uint8_t type, uint64_t work_amount, ByteView extra) {
  if (type == codec::kTxWork) supply_ += work_amount;
  if (type == codec::kTxNftMint) {
    auto mint = nft::parse_extra(extra);
    if (mint) nft_ids_.insert(mint->first);
  }
}

inline void Chain::ingest_spend(const Hash32& note_id, const Hash32& nullifier) {
  nullifiers_.insert(nullifier);
  notes_.erase(note_id);
}

inline void Chain::ingest_output(const Hash32& note_id, const Key32& key) {
  notes_.insert_or_assign(note_id, key);
}

// A table that is full grows at once to what the whole file will need if the rest holds
// as many ids per byte as the part read so far, but to no more than four times what it
// holds: a long replay then copies and zeroes its tables a few times instead of at every
// doubling, and a chain whose early blocks are crowded still gets tables of its size.
void Chain::make_room(const chain::RecordReader& r, const chain::BlockScan& scan) {
  size_t inputs = 0;
  size_t outputs = 0;
  for (const TxRef& t : scan.txs) {
    inputs += t.n_in;
    outputs += t.n_out;
  }
  const uint64_t done = std::max<uint64_t>(r.end(), 1);
  const uint64_t all = std::max(r.size(), done);
  auto grow = [&](auto& table, size_t more) {
    if (table.fits(more)) return;
    const double now = static_cast<double>(table.size() + more);
    const double want = now * static_cast<double>(all) / static_cast<double>(done);
    table.reserve(static_cast<size_t>(std::min(want, now * 4)));
  };
  grow(nullifiers_, inputs);
  grow(notes_, outputs);
}

Status Chain::read_records(chain::RecordReader& r, AdoptCheck* check, bool stop_at_damage) {
  chain::BlockScan scan;
  std::vector<Hash32> note_ids;
  chain::Record rec;
  for (;;) {
    auto step = r.next(rec);
    if (!step) return std::unexpected(step.error());
    if (*step == chain::RecordReader::Step::kEnd) return {};
    if (*step == chain::RecordReader::Step::kCut) {
      return stop_at_damage ? Status{} : fail(kShortRead);
    }
    const ByteView body = rec.body();
    auto bad_checksum = [&] { return stop_at_damage ? Status{} : fail(chain::kChecksumMismatch); };

    // Past the first fault of a peer's chain, which will be refused if it is better, its
    // blocks are only counted and hashed: ingesting them would let its size cost memory.
    const bool counting = check != nullptr && check->fault.has_value();
    const bool shared = check != nullptr && check->same_as_own(rec.bytes);
    if (check != nullptr && !shared && check->checking()) {
      if (!rec.checksum_ok()) return bad_checksum();
      auto block = codec::decode_block_body(body);
      if (!block) return std::unexpected(block.error());
      check_block(*block, *check);
      ingest(block->txs);
      tip_hash_ = block->hash;
    } else {
      // A damaged record is reported as such, whatever its body looks like.
      if (auto s = scan_block(body, scan); !s) return rec.checksum_ok() ? s : bad_checksum();
      if (counting) scan.txs.clear();
      const uint8_t* p = body.data();
      // First every id of the block and a prefetch of its slot, then the checksum and the
      // block hash, then the updates: the tables outgrow the caches, and the misses are
      // served while the body is hashed instead of one after another.
      note_ids.clear();
      for (const TxRef& t : scan.txs) {
        for (size_t i = 0; i < t.n_in; ++i) {
          const uint8_t* in = p + t.in_pos + 64 * i;
          nullifiers_.prefetch(hash_at(in + 32));
          notes_.prefetch(hash_at(in));
        }
        for (size_t o = 0; o < t.n_out; ++o) {
          const OutRef& out = scan.outs[t.out_first + o];
          const uint8_t* q = p + out.pos;
          note_ids.push_back(hashing::h32_parts({ByteView(q, 80), ByteView(q + 82, out.clen)}));
          notes_.prefetch(note_ids.back());
        }
      }
      if (!rec.checksum_ok()) return bad_checksum();
      tip_hash_ = hashing::h32(body.first(codec::kHeaderSize));
      make_room(r, scan);
      for (const TxRef& t : scan.txs) {
        ingest_kind(t.type, t.work_amount, ByteView(p + t.extra_pos, t.extra_len));
        for (size_t i = 0; i < t.n_in; ++i) {
          const uint8_t* in = p + t.in_pos + 64 * i;
          ingest_spend(hash_at(in), hash_at(in + 32));
        }
        for (size_t o = 0; o < t.n_out; ++o) {
          const uint8_t* q = p + scan.outs[t.out_first + o].pos;
          Key32 key;
          std::memcpy(key.data(), q + 48, 32);
          ingest_output(note_ids[t.out_first + o], key);
        }
      }
    }
    if (check != nullptr) ++check->blocks;
    if (offsets_.empty()) genesis_hash_ = tip_hash_;
    offsets_.push_back(rec.offset);
    end_ = r.end();
  }
}

Status Chain::write_genesis() { return append(chain::genesis_block()); }

Status Chain::append(const Block& block) {
  auto lock = lock_writes();
  if (!lock) return std::unexpected(lock.error());
  const int fd = file_.get();
  struct stat st {};
  if (::fstat(fd, &st) != 0) return io_fail();
  // Whole records of other writers were taken in with the lock. What lies after the last
  // whole record is a record a killed writer left half-written (nobody else writes while
  // we hold the lock); it would make the next replay misread the new record, so it goes.
  if (static_cast<uint64_t>(st.st_size) > end_ && ::ftruncate(fd, static_cast<off_t>(end_)) != 0) {
    return io_fail();
  }
  const Bytes record = codec::encode_record(block);
  const uint64_t offset = end_;
  int err = fsutil::write_all_at(fd, record, offset);
  // The block counts as appended only once it is on disk.
  if (err == 0 && ::fdatasync(fd) != 0) err = errno;
  if (err != 0) {
    (void)::ftruncate(fd, static_cast<off_t>(offset));
    return io_fail(err);
  }
  end_ = offset + record.size();
  ingest(block.txs);
  tip_hash_ = codec::block_hash(codec::encode_header(block));
  if (offsets_.empty()) genesis_hash_ = tip_hash_;
  offsets_.push_back(offset);
  refresh_meta();
  return {};
}

void Chain::ingest(std::span<const Tx> txs) {
  for (const Tx& tx : txs) {
    ingest_kind(tx.type, tx.work_amount, tx.extra);
    for (const codec::TxInput& in : tx.inputs) ingest_spend(in.note_id, in.nullifier);
    for (const codec::TxOutput& out : tx.outputs) ingest_output(codec::note_id(out), out.auth_pk);
  }
}

void Chain::refresh_meta() {
  state_.height = static_cast<int64_t>(offsets_.size()) - 1;
  state_.tip = tip_hash_hex();
  state_.supply = supply_;
}

std::string Chain::tip_hash_hex() const { return hex::encode(tip_hash_); }

uint64_t Chain::file_size() const {
  struct stat st {};
  if (!file_.valid() || ::fstat(file_.get(), &st) != 0) return 0;
  return static_cast<uint64_t>(st.st_size);
}

// Adoption of a better peer chain: the peer's chain, staged in a file beside ours, is
// verified as a chain of its own, renamed over the chain file, and what the swap would
// lose is submitted again. And extension: blocks that continue our chain, staged the same
// way, are checked one by one and appended.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <utility>

#include "core/clock.h"
#include "core/hashing.h"
#include "core/hex.h"
#include "ledger/adopt_check.h"
#include "ledger/chain.h"
#include "ledger/chain_file.h"

namespace fs = std::filesystem;
using codec::Block;
using codec::Tx;

namespace {

// Removes a staged file when it goes out of scope, whatever path the caller took.
struct RemoveOnExit {
  const fs::path& p;
  ~RemoveOnExit() {
    std::error_code ignored;
    fs::remove(p, ignored);
  }
};

const char* const kRejected = "Peer chain rejected: ";

[[nodiscard]] Status io_fail(int err) {
  return std::unexpected(QuvError::msg(error::os_text(err)));
}
[[nodiscard]] Status io_fail() { return io_fail(errno); }
std::unexpected<QuvError> io_fail_r(int err) {
  return std::unexpected(QuvError::msg(error::os_text(err)));
}

// Writes all of `data` at `offset`.
[[nodiscard]] Status write_all_at(int fd, ByteView data, uint64_t offset) {
  if (int err = fsutil::write_all_at(fd, data, offset)) return io_fail(err);
  return {};
}

// Creates `path` afresh (never through a symbolic link) for reading and writing. A stale
// regular file of ours under that name, left by an earlier attempt, is replaced.
[[nodiscard]] Result<fsutil::Fd> create_exclusive(const fs::path& path, mode_t mode) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0) return fsutil::Fd(fd);
    int err = errno;
    struct stat st {};
    if (err != EEXIST || attempt > 0 || ::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_uid != ::geteuid() || ::unlink(path.c_str()) != 0) {
      return std::unexpected(QuvError::msg(error::os_text(err)));
    }
  }
  return std::unexpected(QuvError::msg(error::os_text(EEXIST)));
}

}  // namespace

void Chain::check_block(const Block& b, AdoptCheck& c) const {
  const uint64_t i = offsets_.size();
  const std::string at = "block " + std::to_string(i);
  c.cur_block = i;
  if (b.height != i) return c.set_fault(at + " claims height " + std::to_string(b.height) + ".");
  if (i == 0) {
    if (b.hash != c.genesis) return c.set_fault("its genesis block differs from ours.");
  } else {
    if (b.prev != tip_hash_) return c.set_fault(at + " does not follow the block before it.");
    if (b.difficulty < chain::kSealDifficulty || !codec::meets_difficulty(b.hash, b.difficulty)) {
      return c.set_fault(at + " lacks its proof of work.");
    }
  }
  std::vector<std::shared_ptr<const Bytes>> msgs;
  std::vector<Hash32> ids;
  msgs.reserve(b.txs.size());
  ids.reserve(b.txs.size());
  for (const Tx& tx : b.txs) {
    auto m = std::make_shared<const Bytes>(codec::encode_tx_unsigned(tx));
    ids.push_back(hashing::h32(*m));
    c.txids.insert(ids.back());
    msgs.push_back(std::move(m));
  }
  if (codec::merkle(ids) != b.merkle) return c.set_fault(at + " does not match its merkle hash.");
  // Every transaction is checked against the ledger before its block, as sealing does.
  // Signatures go to the worker threads; the byte-63 rule needs no curve arithmetic and is
  // checked here, in order.
  SigCheck queue = [](void* ctx, const Key32& pk, const Sig64& sig, ByteView msg,
                      const Hash32& note_id) -> bool {
    if (sig[63] >= 0x20) return false;
    auto* check = static_cast<AdoptCheck*>(ctx);
    if (check->inline_sigs) return chain::verify_spend(pk, sig, msg, note_id, check->scratch);
    check->sigs.push(check->cur_msg, pk, sig, note_id, check->cur_block, check->cur_tx);
    return true;
  };
  chain::IdSet spent;
  for (size_t t = 0; t < b.txs.size(); ++t) {
    const Tx& tx = b.txs[t];
    c.cur_tx = t;
    c.cur_msg = msgs[t];
    if (auto v = check_tx(tx, true, *msgs[t], queue, &c); !v) {
      return c.set_fault(at + ", transaction " + std::to_string(t) + ": " + v.error().to_string());
    }
    for (const codec::TxInput& in : tx.inputs) {
      if (!spent.insert(in.note_id)) return c.set_fault(at + " spends one note twice.");
    }
  }
}

Status Chain::adopt_bytes(ByteView bytes) {
  if (bytes.size() < 4 || std::memcmp(bytes.data(), chain::kMagic.data(), 4) != 0) {
    return fail("Peer chain is not a QÚV file.");
  }
  // The bytes are staged beside the chain, where the swap can rename them into place.
  const fs::path staged = chain::staging_path(path_, "bytes");
  {
    auto out = create_exclusive(staged, 0600);
    if (!out) return std::unexpected(out.error());
    if (auto w = write_all_at(out->get(), bytes, 0); !w) {
      std::error_code ignored;
      fs::remove(staged, ignored);
      return std::unexpected(w.error());
    }
  }
  return adopt_staged(staged);
}

Status Chain::adopt_staged(const fs::path& staged) {
  // The staged file is gone when this returns, whatever happens: renamed over the chain,
  // or removed.
  const RemoveOnExit consume{staged};
  // Compared with and replacing the chain as every writer left it.
  auto lock = lock_writes();
  if (!lock) return std::unexpected(lock.error());
  auto check = std::make_unique<AdoptCheck>();
  auto peer = verify_peer(staged, *check);
  if (!peer) return std::unexpected(peer.error());
  const bool better =
      peer->block_count() > block_count() ||
      (peer->block_count() == block_count() && peer->tip_hash_hex() < tip_hash_hex());
  if (!better) {
    check->sigs.cancel();
    return {};
  }
  std::vector<Bytes> old_list;
  if (auto s = swap_in(*peer, staged, *check, old_list); !s) return s;
  resubmit(old_list, check->txids);
  return save_state();
}

Result<Chain> Chain::verify_peer(const fs::path& staged, AdoptCheck& check) const {
  {
    std::error_code ec;
    auto st = fs::symlink_status(staged, ec);
    if (ec || !fs::is_regular_file(st)) return fail(kRejected + std::string("no chain staged."));
    if (fs::file_size(staged, ec) < 4 || ec) {
      return fail("Peer chain is not a QÚV file.");
    }
  }
  // The staged file is opened as a chain of its own; the walk also checks every block,
  // while worker threads verify the spend signatures.
  check.genesis = genesis_hash_;
  check.open_own(path_);
  auto peer = open_impl(staged, &check);
  if (!peer) {
    check.sigs.cancel();
    const std::string text = peer.error().to_string();
    if (text == chain::kBadMagic) return fail("Peer chain is not a QÚV file.");
    return fail(kRejected + text);
  }
  return peer;
}

Status Chain::swap_in(Chain& peer, const fs::path& staged, AdoptCheck& check,
                      std::vector<Bytes>& old_list) {
  // The staged file lies beside the chain; it is flushed and renamed over the chain only
  // once the chain has passed every check: a failure at any point leaves the old file and
  // the ledger in memory as they were. Flushing it while the signatures are still being
  // verified hides the flush behind them.
  const fs::path target = chain::swap_target(path_);
  const fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");
  Status flushed = fail("");
  const bool plausible = !check.fault && check.blocks == peer.block_count();
  if (plausible) {
    struct stat st {};
    if (::fstat(file_.get(), &st) == 0) (void)::fchmod(peer.file_.get(), st.st_mode & 07777);
    flushed = ::fdatasync(peer.file_.get()) == 0 ? Status{} : io_fail();
    // The blocks the peer shares with us hold nothing to re-submit (see AdoptCheck::txids).
    old_list = chain::old_chain_list(path_, check.shared_end);
  }
  if (auto fault = check.verdict()) return fail(kRejected + *fault);
  if (!plausible) return fail(std::string(kRejected) + "it holds no block.");
  if (!flushed) return flushed;
  // Writers waiting for the old file find it replaced and come to the new one, where they
  // wait until this adoption is done.
  while (::flock(peer.file_.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return io_fail();
  }
  if (::rename(staged.c_str(), target.c_str()) != 0) return io_fail();
  if (int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dfd >= 0) {
    (void)::fsync(dfd);
    ::close(dfd);
  }

  // The peer's chain was replayed from exactly these bytes, so its sets are the new ledger.
  file_ = std::move(peer.file_);
  offsets_ = std::move(peer.offsets_);
  notes_ = std::move(peer.notes_);
  nullifiers_ = std::move(peer.nullifiers_);
  nft_ids_ = std::move(peer.nft_ids_);
  tip_hash_ = peer.tip_hash_;
  supply_ = peer.supply_;
  end_ = peer.end_;
  genesis_hash_ = peer.genesis_hash_;
  refresh_meta();
  return {};
}

Result<uint64_t> Chain::extend_staged(const fs::path& staged) {
  const RemoveOnExit consume{staged};
  auto lock = lock_writes();
  if (!lock) return std::unexpected(lock.error());
  if (offsets_.empty()) return fail(kRejected + std::string("our chain holds no block."));
  const int in = ::open(staged.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (in < 0) return std::unexpected(QuvError::msg(error::os_text(errno)));
  fsutil::Fd in_fd(in);
  // The staged bytes start with our last record: that the peer holds it where we do
  // shows that its chain goes on from our tip.
  const uint64_t last_at = offsets_.back();
  Bytes mine(static_cast<size_t>(end_ - last_at));
  size_t got = 0;
  if (int err = fsutil::read_all_at(file_.get(), mine, last_at, got)) return io_fail_r(err);
  if (got != mine.size()) return fail(chain::kShortRead);
  // Sized from the file itself: a length prefix that claims more than the file holds is a
  // cut record, not a buffer of gigabytes filled from a few bytes.
  chain::RecordReader r(in, 0, 0);
  chain::Record rec;
  auto first = r.next(rec);
  if (!first) return std::unexpected(first.error());
  if (*first != chain::RecordReader::Step::kRecord || rec.bytes.size() != mine.size() ||
      std::memcmp(rec.bytes.data(), mine.data(), mine.size()) != 0) {
    return fail(kRejected + std::string("it does not continue our chain."));
  }

  // Each new block is checked against the ledger as it stands after the one before, as
  // adoption checks it, and appended once it passed: a fault keeps the blocks before it.
  AdoptCheck check;
  check.inline_sigs = true;
  check.genesis = genesis_hash_;
  uint64_t added = 0;
  chain::IdSet txids;
  std::optional<std::string> fault;
  const int fd = file_.get();
  struct stat st {};
  if (::fstat(fd, &st) != 0) return io_fail_r(errno);
  if (static_cast<uint64_t>(st.st_size) > end_ && ::ftruncate(fd, static_cast<off_t>(end_)) != 0) {
    return io_fail_r(errno);
  }
  const uint64_t start_end = end_;
  for (;;) {
    auto step = r.next(rec);
    const std::string at = "block " + std::to_string(offsets_.size()) + ": ";
    if (!step) {
      fault = at + step.error().to_string();
      break;
    }
    if (*step == chain::RecordReader::Step::kEnd) break;
    if (*step == chain::RecordReader::Step::kCut) {
      fault = at + chain::kShortRead;
      break;
    }
    if (!rec.checksum_ok()) {
      fault = at + chain::kChecksumMismatch;
      break;
    }
    auto block = codec::decode_block_body(rec.body());
    if (!block) {
      fault = at + block.error().to_string();
      break;
    }
    check_block(*block, check);
    if (check.fault) {
      fault = *check.fault;
      break;
    }
    if (int err = fsutil::write_all_at(fd, rec.bytes, end_)) {
      (void)::ftruncate(fd, static_cast<off_t>(end_));
      fault = at + error::os_text(err);
      break;
    }
    for (const codec::Tx& tx : block->txs) txids.insert(codec::txid(tx));
    ingest(block->txs);
    tip_hash_ = block->hash;
    offsets_.push_back(end_);
    end_ += rec.bytes.size();
    ++added;
  }
  check.sigs.cancel();
  // The blocks count as appended only once they are on disk.
  if (end_ != start_end && ::fdatasync(fd) != 0) {
    const int err = errno;
    (void)::ftruncate(fd, static_cast<off_t>(start_end));
    reset_ledger();
    if (auto s = replay(); !s) return std::unexpected(s.error());
    refresh_meta();
    return io_fail_r(err);
  }
  refresh_meta();
  if (added > 0) {
    // What the new blocks hold leaves the mempool, and what they spent makes the rest
    // fail its checks again.
    resubmit({}, txids);
    if (auto s = save_state(); !s) return std::unexpected(s.error());
  }
  if (fault) return fail(kRejected + *fault);
  return added;
}

void Chain::resubmit(const std::vector<Bytes>& old_list, const chain::IdSet& peer_txids) {
  // Re-submission saves once at the end rather than after every admission: the state
  // file holds the whole mempool, and rewriting it per entry would be quadratic.
  std::vector<Bytes> pool = state_.mempool.take_all();
  std::vector<codec::Tx> again;
  again.reserve(pool.size() + old_list.size());
  // The notes that the transactions about to be submitted again create: a transaction
  // that spends one of them can only follow its parent into a later block.
  chain::IdSet produced;
  for (const std::vector<Bytes>* list : {&std::as_const(pool), &old_list}) {
    for (const Bytes& raw : *list) {
      auto d = codec::decode_tx(raw);
      if (!d || peer_txids.contains(codec::txid(d->tx))) continue;
      for (const codec::TxOutput& out : d->tx.outputs) produced.insert(codec::note_id(out));
      again.push_back(std::move(d->tx));
    }
  }
  for (const codec::Tx& tx : again) {
    if (!admit_one(tx)) set_aside_if_child(tx, produced);
  }
  // What waited from an earlier adoption may find its parent in this chain.
  retry_set_aside(&peer_txids);
  // Acknowledgements of entries that were not admitted again go with them.
  prune_acks();
}

void Chain::set_aside_if_child(const codec::Tx& tx, const chain::IdSet& produced) {
  const bool child = std::any_of(tx.inputs.begin(), tx.inputs.end(), [&](const auto& in) {
    return !notes_.contains(in.note_id) && produced.contains(in.note_id);
  });
  if (!child) return;
  Bytes raw = codec::encode_tx_signed(tx);
  size_t bytes = raw.size();
  for (const chain::SetAside& w : set_aside_) {
    if (w.raw == raw) return;
    bytes += w.raw.size();
  }
  // A full list makes room by dropping entries larger than the newcomer, the largest
  // first and among equals the oldest, so that a few large entries cannot keep out an
  // ordinary transfer. When that is not enough, the child is refused as it would have
  // been without the list, and nothing is dropped.
  size_t count = set_aside_.size() + 1;
  std::vector<size_t> by_size(set_aside_.size());
  std::iota(by_size.begin(), by_size.end(), size_t{0});
  std::stable_sort(by_size.begin(), by_size.end(), [&](size_t a, size_t b) {
    return set_aside_[a].raw.size() > set_aside_[b].raw.size();
  });
  std::vector<bool> drop(set_aside_.size(), false);
  for (size_t i : by_size) {
    if (count <= chain::kMaxSetAside && bytes <= chain::kMaxSetAsideBytes) break;
    if (set_aside_[i].raw.size() <= raw.size()) return;
    drop[i] = true;
    bytes -= set_aside_[i].raw.size();
    --count;
  }
  if (count > chain::kMaxSetAside || bytes > chain::kMaxSetAsideBytes) return;
  std::vector<chain::SetAside> kept;
  kept.reserve(count);
  for (size_t i = 0; i < set_aside_.size(); ++i) {
    if (!drop[i]) kept.push_back(std::move(set_aside_[i]));
  }
  kept.push_back({std::move(raw), sysclock::unix_now()});
  set_aside_ = std::move(kept);
}

size_t Chain::retry_set_aside(const chain::IdSet* on_chain) {
  if (set_aside_.empty()) return 0;
  const int64_t now = sysclock::unix_now();
  size_t admitted = 0;
  std::vector<chain::SetAside> still;
  for (chain::SetAside& w : set_aside_) {
    auto d = codec::decode_tx(w.raw);
    if (!d || now - w.since > chain::kSetAsideSeconds || now < w.since) continue;
    if (on_chain != nullptr && on_chain->contains(codec::txid(d->tx))) continue;
    const bool parent_missing =
        std::any_of(d->tx.inputs.begin(), d->tx.inputs.end(),
                    [&](const codec::TxInput& in) { return !notes_.contains(in.note_id); });
    if (parent_missing) {
      still.push_back(std::move(w));
      continue;
    }
    // Every input is on the chain now: in it goes, or out for good if refused for
    // another reason.
    if (admit_one(d->tx)) ++admitted;
  }
  set_aside_ = std::move(still);
  return admitted;
}

#include "ledger/chain.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <system_error>
#include <thread>

#include "core/crypto.h"
#include "core/fsutil.h"
#include "core/hex.h"
#include "ledger/chain_file.h"
#include "ledger/nft.h"

namespace fs = std::filesystem;
using codec::Block;
using codec::Tx;

namespace {

using chain::kBadMagic;
using chain::kShortRead;
const char* const kChecksumMismatch = "Block checksum mismatch — file corrupt.";
const char* const kNothingToSeal = "Nothing to seal — mempool empty.";
const char* const kRejected = "Peer chain rejected: ";

// The preamble texts of the genesis block. They fix the genesis hash and with it the
// identity of the chain, so they never change.
constexpr std::string_view kMeaning =
    "QÚV — meaning\n"
    "\n"
    "QÚV is a unit of time and of mutual aid. It belongs to no one and no one issues it: no "
    "bank, no company and no state stands behind it, and nobody can print more of it at will. "
    "One unit stands for a moment that one person freely gives to another.\n"
    "\n"
    "It is free to hold and free to pass on. A node earns it for the time it spends keeping "
    "the ledger, and whoever receives it may hand it on to the next neighbour who needs a "
    "helping hand now.\n"
    "\n"
    "This preamble is written into the first transactions of the chain. Every block that "
    "follows rests on it, so it cannot be rewritten without rewriting the whole chain itself.";

constexpr std::string_view kFunction =
    "QÚV — how it works\n"
    "\n"
    "The ledger is private. A transfer names no sender, no recipient and no amount in the "
    "clear: every note is sealed for its recipient, who alone can open it, and nodes check "
    "only that each spent note exists, that it is spent only once and that it is signed by its "
    "one-time key.\n"
    "\n"
    "A wallet is born from a seed of thirteen Latin words. From those words it derives its "
    "keys and its addresses again on any machine, so the words are the wallet; whoever keeps "
    "them keeps the notes, and whoever loses them loses the notes.\n"
    "\n"
    "New units are emitted only for node work: one unit of the smallest kind for each second "
    "a node keeps the ledger running, and one for each transfer it seals, paid once a day to "
    "its own operator.\n"
    "\n"
    "Blocks order the ledger. A node gathers the transfers that other nodes have seen, seals "
    "them into a block with a small proof of work and appends it to the chain, which every "
    "node copies from the others until they agree.";

constexpr std::string_view kAim =
    "QÚV — aim\n"
    "\n"
    "QÚV is a tool released for anyone and owned by no one. It asks no permission, keeps no "
    "records of who people are, and has no gatekeeper who could close the door on a neighbour "
    "or decide who may help whom.\n"
    "\n"
    "Its aim is small and near at hand: favours among neighbours, the hour spent fixing a "
    "bicycle, the meal carried to someone who is sick, the lesson given to a child next door, "
    "the shelf put up for an old friend, counted so that giving can travel further than one "
    "street or a town.\n"
    "\n"
    "Run a node, keep your words safe, and pass the units on to those who helped you. The "
    "chain remembers the favours; the people who did them remain free, and nothing here "
    "belongs to anyone but all of us.";

Status io_fail(int err) { return std::unexpected(QuvError::msg(error::os_text(err))); }
Status io_fail() { return io_fail(errno); }

uint64_t unix_now() {
  auto d = std::chrono::system_clock::now().time_since_epoch();
  auto s = std::chrono::duration_cast<std::chrono::seconds>(d).count();
  return s > 0 ? static_cast<uint64_t>(s) : 0;
}

// Writes all of `data` at `offset`, retrying short writes and interruptions.
Status write_all_at(int fd, ByteView data, uint64_t offset) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n =
        ::pwrite(fd, data.data() + done, data.size() - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return io_fail();
    }
    if (n == 0) return io_fail(EIO);
    done += static_cast<size_t>(n);
  }
  return {};
}

// Where the transactions and outputs of a block body lie, found without copying them.
struct OutRef {
  uint32_t pos;  // offset of the stealth tag in the body
  uint16_t clen;
};
struct TxRef {
  uint8_t type;
  uint64_t work_amount;
  uint32_t extra_pos;
  uint16_t extra_len;
  uint32_t in_pos;  // offset of the first input in the body
  uint16_t n_in;
  uint32_t out_first;  // index into BlockScan::outs
  uint16_t n_out;
};
struct BlockScan {
  std::vector<TxRef> txs;
  std::vector<OutRef> outs;
};

inline uint16_t load_u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// Walks a block body as the codec's decoder does and accepts exactly what it accepts, with
// the same messages, but records positions instead of copying fields: replay reads every
// block of the chain and needs nothing but the spends, the outputs and the work amounts.
Status scan_block(ByteView body, BlockScan& s) {
  s.txs.clear();
  s.outs.clear();
  if (body.size() < codec::kHeaderSize + 2) return fail("block too small");
  const uint8_t* p = body.data();
  const size_t n = body.size();
  size_t pos = codec::kHeaderSize + 2;
  auto need = [&](size_t k) { return n - pos >= k; };
  const size_t count = load_u16(p + codec::kHeaderSize);
  for (size_t i = 0; i < count; ++i) {
    TxRef t{};
    // Type, timestamp and the extra length: the shortest possible transaction start.
    if (!need(11)) return fail("chain truncated");
    t.type = p[pos];
    pos += 9;
    t.extra_len = load_u16(p + pos);
    pos += 2;
    if (!need(t.extra_len)) return fail("chain truncated");
    t.extra_pos = static_cast<uint32_t>(pos);
    pos += t.extra_len;
    if (!need(1)) return fail("chain truncated");
    size_t g = p[pos];
    pos += 1;
    if (!need(g)) return fail("chain truncated");
    pos += g;
    if (!need(2)) return fail("chain truncated");
    t.n_in = load_u16(p + pos);
    pos += 2;
    if (!need(size_t{t.n_in} * 64)) return fail("chain truncated");
    t.in_pos = static_cast<uint32_t>(pos);
    pos += size_t{t.n_in} * 64;
    if (!need(2)) return fail("chain truncated");
    t.n_out = load_u16(p + pos);
    pos += 2;
    t.out_first = static_cast<uint32_t>(s.outs.size());
    for (size_t o = 0; o < t.n_out; ++o) {
      if (!need(82)) return fail("chain truncated");
      uint16_t clen = load_u16(p + pos + 80);
      if (!need(82 + size_t{clen})) return fail("chain truncated");
      s.outs.push_back({static_cast<uint32_t>(pos), clen});
      pos += 82 + size_t{clen};
    }
    if (t.type == codec::kTxWork) {
      if (!need(16)) return fail("chain truncated");
      t.work_amount = bytes::load_u64(p + pos);
      pos += 16;
    }
    if (!need(size_t{t.n_in} * 64)) return fail("chain truncated");
    pos += size_t{t.n_in} * 64;
    s.txs.push_back(t);
  }
  return {};
}

Hash32 hash_at(const uint8_t* p) {
  Hash32 h;
  std::memcpy(h.data(), p, 32);
  return h;
}

// The platform's temporary directory: TMPDIR, else /tmp.
fs::path temp_dir() {
  const char* t = std::getenv("TMPDIR");
  if (t != nullptr && *t != '\0') return fs::path(t);
  return fs::path("/tmp");
}

// Creates `path` afresh (never through a symbolic link) for reading and writing. A stale
// regular file of ours under that name, left by an earlier attempt, is replaced.
Result<fsutil::Fd> create_exclusive(const fs::path& path, mode_t mode) {
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

// Ed25519 check of one spend, as the node verifies it: the signature's last byte must be
// below 0x20, and it must verify over the unsigned transaction followed by the note id.
bool verify_spend(const Key32& pk, const Sig64& sig, ByteView msg, const Hash32& note_id,
                  Bytes& scratch) {
  if (sig[63] >= 0x20) return false;
  scratch.assign(msg.begin(), msg.end());
  scratch.insert(scratch.end(), note_id.begin(), note_id.end());
  return crypto_sign_verify_detached(sig.data(), scratch.data(), scratch.size(), pk.data()) == 0;
}

bool verify_inline(void* ctx, const Key32& pk, const Sig64& sig, ByteView msg,
                   const Hash32& note_id) {
  return verify_spend(pk, sig, msg, note_id, *static_cast<Bytes*>(ctx));
}

// Verifies spend signatures of a peer's chain on worker threads while the chain is walked
// in order on the calling thread. Every job carries a sequence number; a failure is
// reported as the one with the smallest number, so the outcome does not depend on timing.
class SigPool {
 public:
  struct Failure {
    uint64_t seq;
    uint64_t block;
    size_t tx;
  };

  // Workers for all cores but one; the calling thread, which walks the chain, verifies
  // too whenever the queue is full and once its walk is done.
  SigPool() {
    unsigned n = std::max(2u, std::thread::hardware_concurrency()) - 1;
    for (unsigned i = 0; i < n; ++i) {
      // Without a worker the calling thread verifies everything itself in `finish`.
      try {
        threads_.emplace_back([this] { work(); });
      } catch (const std::system_error&) {
        break;
      }
    }
  }
  ~SigPool() { finish(); }
  SigPool(const SigPool&) = delete;
  SigPool& operator=(const SigPool&) = delete;

  // Sequence number the next job gets; a structural fault found now sorts after every
  // job queued before it.
  uint64_t next_seq() const { return next_seq_; }

  void push(std::shared_ptr<const Bytes> msg, const Key32& pk, const Sig64& sig,
            const Hash32& note_id, uint64_t block, size_t tx) {
    batch_.push_back({next_seq_++, block, tx, std::move(msg), pk, sig, note_id});
    if (batch_.size() >= kBatch) flush();
  }

  // Skips every job not yet verified; for a chain that will not be adopted anyway.
  void cancel() { failed_.store(0, std::memory_order_relaxed); }

  // The smallest failing sequence number known so far, or none.
  std::optional<uint64_t> failed_seq() const {
    uint64_t f = failed_.load(std::memory_order_relaxed);
    if (f == kNone) return std::nullopt;
    return f;
  }

  // Verifies what is still queued, with the workers, and stops them; the first failure in
  // order, if any.
  std::optional<Failure> finish() {
    if (!finished_) {
      finished_ = true;
      flush();
      {
        std::lock_guard lock(mu_);
        closing_ = true;
      }
      work_cv_.notify_all();
      work();
      for (auto& t : threads_) t.join();
      threads_.clear();
    }
    std::lock_guard lock(mu_);
    return failure_;
  }

 private:
  struct Job {
    uint64_t seq;
    uint64_t block;
    size_t tx;
    std::shared_ptr<const Bytes> msg;
    Key32 pk;
    Sig64 sig;
    Hash32 note_id;
  };
  static constexpr size_t kBatch = 64;
  static constexpr size_t kMaxQueued = 256;
  static constexpr uint64_t kNone = ~uint64_t{0};

  void flush() {
    if (batch_.empty()) return;
    std::unique_lock lock(mu_);
    // The queue is bounded, so a long chain does not hold every message in memory at
    // once; while it is full the caller verifies the oldest batch itself.
    while (queue_.size() >= kMaxQueued) {
      std::vector<Job> jobs = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      verify(jobs);
      lock.lock();
    }
    queue_.push_back(std::move(batch_));
    batch_ = {};
    batch_.reserve(kBatch);
    lock.unlock();
    work_cv_.notify_one();
  }

  void work() {
    for (;;) {
      std::vector<Job> jobs;
      {
        std::unique_lock lock(mu_);
        work_cv_.wait(lock, [this] { return closing_ || !queue_.empty(); });
        if (queue_.empty()) return;
        jobs = std::move(queue_.front());
        queue_.pop_front();
      }
      verify(jobs);
    }
  }

  void verify(const std::vector<Job>& jobs) {
    thread_local Bytes scratch;
    for (const Job& j : jobs) {
      if (j.seq >= failed_.load(std::memory_order_relaxed)) continue;
      if (verify_spend(j.pk, j.sig, *j.msg, j.note_id, scratch)) continue;
      std::lock_guard lock(mu_);
      if (!failure_ || j.seq < failure_->seq) {
        failure_ = Failure{j.seq, j.block, j.tx};
        failed_.store(j.seq, std::memory_order_relaxed);
      }
    }
  }

  std::vector<std::thread> threads_;
  bool finished_ = false;
  std::vector<Job> batch_;
  uint64_t next_seq_ = 0;
  std::mutex mu_;
  std::condition_variable work_cv_;
  std::deque<std::vector<Job>> queue_;
  bool closing_ = false;
  std::optional<Failure> failure_;
  std::atomic<uint64_t> failed_{kNone};
};

// The signed encodings of the transfers and NFT mints in a chain file from the record at
// `from` on, in chain order, read leniently: checksums are not compared, undecodable
// blocks are skipped, and a read failure or a record cut short yields nothing at all.
std::vector<Bytes> old_chain_list(const fs::path& path, uint64_t from) {
  std::vector<Bytes> out;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  fsutil::Fd owned(fd);
  chain::FileReader r(fd);
  auto got = r.fill(4);
  if (!got || *got < 4 || std::memcmp(r.data(), chain::kMagic.data(), 4) != 0) return out;
  r.consume(4);
  r.skip_to(std::max<uint64_t>(from, 4));
  for (;;) {
    got = r.fill(4);
    if (!got) return {};
    if (*got < 4) break;
    size_t len = bytes::load_u32(r.data());
    got = r.fill(4 + len + 32);
    if (!got || *got < 4 + len + 32) return {};
    auto block = codec::decode_block_body(ByteView(r.data() + 4, len));
    r.consume(4 + len + 32);
    if (!block) continue;
    for (const Tx& tx : block->txs) {
      if (tx.type == codec::kTxTransfer || tx.type == codec::kTxNftMint) {
        out.push_back(codec::encode_tx_signed(tx));
      }
    }
  }
  return out;
}

// True when X25519 with this public key yields zero for every secret key: a key of small
// order, with which no output can be sealed.
bool small_order(const Key32& pk) {
  static const std::array<uint8_t, 32> kProbe = {0x77, 0x07, 0x6d, 0x0a, 0x73, 0x18, 0xa5, 0x7d,
                                                 0x3c, 0x16, 0xc1, 0x72, 0x51, 0xb2, 0x66, 0x45,
                                                 0xdf, 0x4c, 0x2f, 0x87, 0xeb, 0xc0, 0x99, 0x2a,
                                                 0xb1, 0x77, 0xfb, 0xa5, 0x1d, 0xb9, 0x2c, 0x2a};
  std::array<uint8_t, 32> q{};
  bool bad = crypto_scalarmult_curve25519(q.data(), kProbe.data(), pk.data()) != 0;
  sodium_memzero(q.data(), q.size());
  return bad;
}

size_t utf8_chars(std::string_view s) {
  size_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

}  // namespace

namespace chain {

std::vector<Tx> genesis_txs() {
  std::vector<Tx> txs;
  const std::pair<std::string_view, std::string_view> texts[] = {
      {"meaning", kMeaning}, {"function", kFunction}, {"aim", kAim}};
  for (const auto& [tag, text] : texts) {
    Tx tx;
    tx.type = codec::kTxPreamble;
    tx.extra.assign(text.begin(), text.end());
    tx.tag.assign(tag.begin(), tag.end());
    txs.push_back(std::move(tx));
  }
  return txs;
}

Block genesis_block() {
  Block b;
  b.txs = genesis_txs();
  std::vector<Hash32> ids;
  for (const Tx& tx : b.txs) ids.push_back(codec::txid(tx));
  b.merkle = codec::merkle(ids);
  b.hash = codec::block_hash(codec::encode_header(b));
  return b;
}

Result<Hash32> hex_to_32(std::string_view text) {
  auto raw = hex::decode(text);
  if (!raw) return fail("hex");
  if (raw->size() != 32) return fail("hex len");
  Hash32 out;
  std::copy(raw->begin(), raw->end(), out.begin());
  return out;
}

Result<Tx> make_transfer(const WalletKeys& keys, std::span<const OpenedNote> notes,
                         std::string_view to, int64_t amount, std::string_view memo) {
  auto recipient = crypto::decode_address(to);
  if (!recipient) return std::unexpected(recipient.error());
  // A key of small order is a well-formed address no output can be sealed for.
  if (small_order(*recipient)) return fail(std::string(crypto::kInvalidAddress));
  if (amount < 1) return fail("Amount must be positive.");
  if (utf8_chars(memo) > kMaxMemoChars) return fail("Memo too long.");

  // Notes can carry any signed amount, so the running sum is kept wide enough not to wrap.
  __extension__ typedef __int128 Wide;
  Wide sum = 0;
  size_t used = 0;
  while (sum < amount && used < notes.size()) sum += notes[used++].amount;
  if (sum < amount) return fail("Insufficient balance.");

  Tx tx;
  tx.type = codec::kTxTransfer;
  tx.timestamp = unix_now();
  auto pay = crypto::make_output(keys.address, *recipient, amount, memo);
  if (!pay) return std::unexpected(pay.error());
  tx.outputs.push_back(std::move(*pay));
  if (sum > amount) {
    auto change =
        crypto::make_output(keys.address, keys.box_pk, static_cast<int64_t>(sum - amount), memo);
    if (!change) return std::unexpected(change.error());
    tx.outputs.push_back(std::move(*change));
  }
  for (size_t i = 0; i < used; ++i) {
    auto note_id = hex_to_32(notes[i].note_id);
    if (!note_id) return std::unexpected(note_id.error());
    auto key = hex_to_32(notes[i].auth_pk);
    if (!key) return std::unexpected(key.error());
    codec::TxInput in;
    in.note_id = *note_id;
    in.nullifier = codec::nullifier(*note_id, *key);
    tx.inputs.push_back(in);
  }

  Bytes m = codec::encode_tx_unsigned(tx);
  // A node takes no transaction larger than this, so such a transfer could never be sent.
  if (m.size() + 64 * tx.inputs.size() > kMaxTransferBytes) {
    return fail("Transfer too large — spend fewer notes at once.");
  }
  const size_t mlen = m.size();
  m.resize(mlen + 32);
  for (size_t i = 0; i < used; ++i) {
    std::memcpy(m.data() + mlen, tx.inputs[i].note_id.data(), 32);
    if (crypto_sign_detached(tx.inputs[i].sig.data(), nullptr, m.data(), m.size(),
                             notes[i].auth_sk.data()) != 0) {
      die("sign");
    }
  }
  return tx;
}

}  // namespace chain

// ---------------------------------------------------------------------------------------
// Chain file

struct Chain::AdoptCheck {
  // Block 0 of our own chain, which the peer's chain must start with.
  Hash32 genesis{};
  // The txids of the peer's blocks after the ones it shares with us. Those of the shared
  // blocks are not needed: what we would re-submit from there spends notes that the
  // shared blocks spend, and admission refuses it anyway.
  chain::IdSet txids;
  // Blocks read from the peer's bytes.
  uint64_t blocks = 0;
  // The first fault found by walking the chain in order, and the sequence number of the
  // signature jobs queued before it.
  std::optional<std::string> fault;
  uint64_t fault_seq = 0;
  SigPool sigs;
  // Block and transaction of the spend being checked, for the signature queue.
  uint64_t cur_block = 0;
  size_t cur_tx = 0;
  std::shared_ptr<const Bytes> cur_msg;
  // Our own chain file, read alongside: while the peer's records equal ours byte for
  // byte, its blocks are blocks we already hold, and checking them again would only
  // repeat what made them ours. A peer one block ahead then costs one block of checks.
  fsutil::Fd own_fd;
  std::optional<chain::FileReader> own;
  // Offset in our file just after the records the peer's chain shares with ours. Counted
  // in the file, not in our block list: the file may hold records another writer added.
  uint64_t shared_end = 4;

  void open_own(const fs::path& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    own_fd = fsutil::Fd(fd);
    own.emplace(fd);
    auto got = own->fill(4);
    if (!got || *got < 4 || std::memcmp(own->data(), chain::kMagic.data(), 4) != 0) {
      own.reset();
      return;
    }
    own->consume(4);
  }
  // True while every record so far, and `record` itself, equal ours.
  bool same_as_own(ByteView record) {
    if (!own) return false;
    auto got = own->fill(4);
    bool same = got && *got == 4;
    if (same) {
      const size_t n = 4 + size_t{bytes::load_u32(own->data())} + 32;
      same = n == record.size() && (got = own->fill(n)) && *got == n &&
             std::memcmp(own->data(), record.data(), n) == 0;
      if (same) {
        own->consume(n);
        shared_end = own->pos();
      }
    }
    if (!same) own.reset();
    return same;
  }

  void set_fault(std::string text) {
    if (fault) return;
    fault = std::move(text);
    fault_seq = sigs.next_seq();
  }
  bool checking() const {
    if (fault) return false;
    auto f = sigs.failed_seq();
    return !f.has_value();
  }
  // The reason to refuse the chain, once every signature is checked.
  std::optional<std::string> verdict() {
    auto bad = sigs.finish();
    if (bad && (!fault || bad->seq < fault_seq)) {
      return "block " + std::to_string(bad->block) + ", transaction " + std::to_string(bad->tx) +
             ": Bad spend signature.";
    }
    return fault;
  }
};

Chain::~Chain() = default;

Chain::WriteLock::~WriteLock() {
  if (chain_ != nullptr) chain_->unlock_file();
}

Result<Chain> Chain::open(const fs::path& path) { return open_impl(path, nullptr); }

Result<Chain> Chain::open_impl(const fs::path& path, AdoptCheck* check) {
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
  chain::FileReader r(fd);
  if (!from_end) {
    // An empty file is a new chain: it gets its magic here.
    if (size == 0) {
      if (int err = fsutil::write_all_at(fd, bytes::of(chain::kMagic), 0)) return io_fail(err);
    }
    auto got = r.fill(4);
    if (!got) return std::unexpected(got.error());
    if (*got < 4) return fail(kShortRead);
    if (std::memcmp(r.data(), chain::kMagic.data(), 4) != 0) return fail(kBadMagic);
    r.consume(4);
    end_ = 4;
  } else {
    r.skip_to(end_);
  }
  return read_records(r, size, check, from_end);
}

Status Chain::read_records(chain::FileReader& r, uint64_t size, AdoptCheck* check,
                           bool stop_at_damage) {
  Result<size_t> got = 0;
  BlockScan scan;
  std::vector<Hash32> note_ids;
  for (;;) {
    const uint64_t offset = r.pos();
    got = r.fill(4);
    if (!got) return std::unexpected(got.error());
    // A torn length prefix at the end of the file ends the chain.
    if (*got < 4) return {};
    const uint64_t len = bytes::load_u32(r.data());
    // The length is checked against the file before a buffer is sized for it.
    const uint64_t left = size > offset + 4 ? size - offset - 4 : 0;
    if (len + 32 > left) return stop_at_damage ? Status{} : fail(kShortRead);
    const size_t record = static_cast<size_t>(4 + len + 32);
    got = r.fill(record);
    if (!got) return std::unexpected(got.error());
    if (*got < record) return stop_at_damage ? Status{} : fail(kShortRead);
    const ByteView body(r.data() + 4, static_cast<size_t>(len));
    if (hashing::h32(body) != hash_at(r.data() + 4 + len)) {
      return stop_at_damage ? Status{} : fail(kChecksumMismatch);
    }

    const bool shared = check != nullptr && check->same_as_own(ByteView(r.data(), record));
    if (check != nullptr && !shared && check->checking()) {
      auto block = codec::decode_block_body(body);
      if (!block) return std::unexpected(block.error());
      check_block(*block, *check);
      ingest(block->txs);
      tip_hash_ = block->hash;
    } else {
      if (auto s = scan_block(body, scan); !s) return s;
      const uint8_t* p = body.data();
      // First every id of the block and a prefetch of its slot, then the updates: the
      // tables outgrow the caches, and the misses then overlap instead of queueing.
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
      for (const TxRef& t : scan.txs) {
        if (t.type == codec::kTxWork) supply_ += t.work_amount;
        if (t.type == codec::kTxNftMint) {
          auto mint = nft::parse_extra(ByteView(p + t.extra_pos, t.extra_len));
          if (mint) nft_ids_.insert(mint->first);
        }
        for (size_t i = 0; i < t.n_in; ++i) {
          const uint8_t* in = p + t.in_pos + 64 * i;
          nullifiers_.insert(hash_at(in + 32));
          notes_.erase(hash_at(in));
        }
        for (size_t o = 0; o < t.n_out; ++o) {
          const uint8_t* q = p + scan.outs[t.out_first + o].pos;
          Key32 key;
          std::memcpy(key.data(), q + 48, 32);
          notes_.insert_or_assign(note_ids[t.out_first + o], key);
        }
      }
      tip_hash_ = hashing::h32(body.first(codec::kHeaderSize));
    }
    if (check != nullptr) ++check->blocks;
    if (offsets_.empty()) genesis_hash_ = tip_hash_;
    offsets_.push_back(offset);
    r.consume(record);
    end_ = r.pos();
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

// ---------------------------------------------------------------------------------------
// Writers

Result<Chain::WriteLock> Chain::lock_writes() {
  if (auto s = lock_file(nullptr); !s) return std::unexpected(s.error());
  return WriteLock(this);
}

Status Chain::lock_file(AdoptCheck* check) {
  if (lock_depth_ > 0) {
    ++lock_depth_;
    return {};
  }
  // Bounded: each round means another process replaced the chain file meanwhile.
  for (int round = 0; round < 64; ++round) {
    while (::flock(file_.get(), LOCK_EX) != 0) {
      if (errno != EINTR) return io_fail();
    }
    // A lock on a file that an adoption has since renamed away protects nothing: the
    // chain now lives in the file the path names.
    struct stat held {
    }, named{};
    if (::fstat(file_.get(), &held) != 0) return io_fail();
    if (::stat(path_.c_str(), &named) == 0 &&
        (held.st_dev != named.st_dev || held.st_ino != named.st_ino)) {
      int fd = ::open(path_.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
      if (fd < 0) return io_fail();
      file_ = fsutil::Fd(fd);
      if (::fstat(fd, &named) != 0) return io_fail();
      if (!S_ISREG(named.st_mode)) {
        return fail("Chain file is not a regular file: " + path_.string());
      }
      reset_ledger();
      continue;
    }
    lock_depth_ = 1;
    if (auto s = take_in(check); !s) {
      unlock_file();
      return s;
    }
    return {};
  }
  return fail("Chain file keeps being replaced; try again.");
}

void Chain::unlock_file() {
  if (lock_depth_ == 0 || --lock_depth_ > 0) return;
  (void)::flock(file_.get(), LOCK_UN);
}

Status Chain::take_in(AdoptCheck* check) {
  if (own_state_) {
    fsutil::FileStamp now = fsutil::stamp(state::path_for(path_));
    if (!loaded_ || now != state_stamp_) {
      auto loaded = NodeState::load(path_);
      if (!loaded) return std::unexpected(loaded.error());
      state_ = std::move(*loaded);
      state_stamp_ = now;
      loaded_ = true;
      dirty_ = false;
    }
  }
  struct stat st {};
  if (::fstat(file_.get(), &st) != 0) return io_fail();
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  if (end_ == 0 || size < end_) {
    // First look, or a file that lost records: read it whole.
    reset_ledger();
    if (auto r = replay_from(file_.get(), check, false); !r) return r;
  } else if (size > end_) {
    if (auto r = replay_from(file_.get(), nullptr, true); !r) return r;
  }
  refresh_meta();
  return {};
}

void Chain::stamp_state() { state_stamp_ = fsutil::stamp(state::path_for(path_)); }

Status Chain::save_state() {
  if (hold_) {
    dirty_ = true;
    return {};
  }
  if (auto s = state_.save(path_); !s) return s;
  stamp_state();
  dirty_ = false;
  return {};
}

Status Chain::edit_state(const std::function<void(NodeState&)>& edit) {
  auto lock = lock_writes();
  if (!lock) return std::unexpected(lock.error());
  edit(state_);
  refresh_meta();
  return save_state();
}

void Chain::hold_saves() {
  if (hold_) return;
  // Without the lock every change saves as it goes.
  if (lock_file(nullptr)) hold_ = true;
}

Status Chain::flush_saves() {
  if (!hold_) return {};
  hold_ = false;
  Status saved = dirty_ ? save_state() : Status{};
  unlock_file();
  return saved;
}

void Chain::ingest(std::span<const Tx> txs) {
  for (const Tx& tx : txs) {
    if (tx.type == codec::kTxWork) supply_ += tx.work_amount;
    if (tx.type == codec::kTxNftMint) {
      auto mint = nft::parse_extra(tx.extra);
      if (mint) nft_ids_.insert(mint->first);
    }
    for (const codec::TxInput& in : tx.inputs) {
      nullifiers_.insert(in.nullifier);
      notes_.erase(in.note_id);
    }
    for (const codec::TxOutput& out : tx.outputs) {
      notes_.insert_or_assign(codec::note_id(out), out.auth_pk);
    }
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

// ---------------------------------------------------------------------------------------
// Validation, mempool and acknowledgements

Status Chain::validate(const Tx& tx, bool sealing) const {
  Bytes scratch;
  if (tx.type != codec::kTxTransfer && tx.type != codec::kTxNftMint) {
    return check_tx(tx, sealing, {}, verify_inline, &scratch);
  }
  const Bytes m = codec::encode_tx_unsigned(tx);
  return check_tx(tx, sealing, m, verify_inline, &scratch);
}

Status Chain::validate_spends(const Tx& tx) const {
  Bytes scratch;
  const Bytes m = codec::encode_tx_unsigned(tx);
  return check_spends(tx, m, verify_inline, &scratch);
}

Status Chain::check_tx(const Tx& tx, bool sealing, ByteView unsigned_tx, SigCheck sig,
                       void* ctx) const {
  switch (tx.type) {
    case codec::kTxPreamble:
      // A preamble is free text; one from outside, or one that moved notes, would create
      // or destroy notes without any spend check once sealed.
      if (!sealing) return fail("Preamble cannot be submitted from outside.");
      if (!tx.inputs.empty() || !tx.outputs.empty()) {
        return fail("Preamble cannot carry inputs or outputs.");
      }
      return {};
    case codec::kTxWork:
      if (!sealing) return fail("Work cannot be submitted from outside.");
      return {};
    case codec::kTxTransfer:
      if (tx.inputs.empty() || tx.outputs.empty()) {
        return fail("Transfer needs inputs and outputs.");
      }
      return check_spends(tx, unsigned_tx, sig, ctx);
    case codec::kTxNftMint: {
      auto mint = nft::parse_extra(tx.extra);
      if (!mint) return std::unexpected(mint.error());
      if (nft_ids_.contains(mint->first)) return fail("NFT already minted.");
      if (!sealing && state_.mempool.has_image(mint->first)) {
        return fail("NFT already in mempool.");
      }
      if (tx.inputs.empty() || tx.outputs.empty()) return fail("NFT mint costs 0,25000 QÚV.");
      return check_spends(tx, unsigned_tx, sig, ctx);
    }
    default:
      return fail("Unknown tx type.");
  }
}

Status Chain::check_spends(const Tx& tx, ByteView unsigned_tx, SigCheck sig, void* ctx) const {
  // Few inputs are compared directly; many go through a set so the check stays linear.
  const bool use_set = tx.inputs.size() > 16;
  chain::IdSet seen;
  for (size_t i = 0; i < tx.inputs.size(); ++i) {
    const codec::TxInput& in = tx.inputs[i];
    bool dup = false;
    if (use_set) {
      dup = !seen.insert(in.note_id);
    } else {
      for (size_t j = 0; j < i && !dup; ++j) dup = tx.inputs[j].note_id == in.note_id;
    }
    if (dup) return fail("Duplicate input.");
    const Key32* key = notes_.find(in.note_id);
    if (key == nullptr) return fail("Unknown or spent note.");
    if (nullifiers_.contains(in.nullifier)) return fail("Nullifier already seen.");
    if (!sig(ctx, *key, in.sig, unsigned_tx, in.note_id)) return fail("Bad spend signature.");
    if (codec::nullifier(in.note_id, *key) != in.nullifier) {
      return fail("Bad nullifier.");
    }
  }
  return {};
}

uint64_t Chain::required_confirms() {
  const char* v = std::getenv("QUV_CONFIRM_PEERS");
  if (v == nullptr) return chain::kDefaultConfirms;
  std::string_view s(v);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return chain::kDefaultConfirms;
  uint64_t n = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return chain::kDefaultConfirms;
    const uint64_t d = static_cast<uint64_t>(c - '0');
    if (n > (UINT64_MAX - d) / 10) return chain::kDefaultConfirms;
    n = n * 10 + d;
  }
  return n;
}

std::string Chain::own_id() const {
  if (!state_.node_id.empty()) return state_.node_id;
  if (!state_.reward_address.empty()) return state_.reward_address;
  return "anonymous";
}

Result<std::string> Chain::submit_tx(const Tx& tx) {
  auto lock = lock_writes();
  if (!lock) return std::unexpected(lock.error());
  auto id = admit(tx);
  if (!id) return id;
  if (auto s = save_state(); !s) return std::unexpected(s.error());
  return id;
}

Result<std::string> Chain::admit(const Tx& tx) {
  auto lock = lock_writes();
  if (!lock) return std::unexpected(lock.error());
  // The stored entry is our own encoding; its unsigned part is what txid and signatures cover.
  Bytes raw = codec::encode_tx_signed(tx);
  const size_t n_in = tx.inputs.size() <= 0xffff ? tx.inputs.size() : 0;
  const ByteView m = ByteView(raw).first(raw.size() - 64 * n_in);
  Bytes scratch;
  if (auto v = check_tx(tx, false, m, verify_inline, &scratch); !v) {
    return std::unexpected(v.error());
  }
  const Hash32 id = hashing::h32(m);
  if (state_.mempool.has_txid(id)) return fail("Transaction already known.");
  // Bounded, so that peers cannot grow the state file and every save without limit.
  if (state_.mempool.full_for(raw.size())) return fail("Mempool full.");
  state_.mempool.push(std::move(raw), tx, id);
  return hex::encode(id);
}

Result<uint64_t> Chain::ack_tx(std::string_view txid, std::string_view node) {
  auto lock = lock_writes();
  if (!lock) return std::unexpected(lock.error());
  if (node.empty() || node == own_id()) {
    auto it = state_.acks.find(std::string(txid));
    return it == state_.acks.end() ? 0 : it->second.size();
  }
  auto& list = state_.acks[std::string(txid)];
  if (std::find(list.begin(), list.end(), node) == list.end()) list.emplace_back(node);
  const uint64_t count = list.size();
  if (auto s = save_state(); !s) return std::unexpected(s.error());
  return count;
}

// ---------------------------------------------------------------------------------------
// Sealing

Result<chain::Sealed> Chain::seal() {
  auto lock = lock_writes();
  if (!lock) return std::unexpected(lock.error());
  if (state_.mempool.empty()) return fail(kNothingToSeal);

  std::vector<size_t> selected_at;  // positions of the selected entries
  std::vector<size_t> gone_at;      // positions of the selected and the dropped entries
  std::vector<bool> gone_selected;  // for each of those, whether it was selected
  std::vector<Tx> selected;
  chain::IdSet spent;
  uint64_t transfers = 0;
  const fs::path image_dir = nft::dir(path_);
  const Mempool& pool = state_.mempool;

  for (size_t i = 0; i < pool.size(); ++i) {
    if (selected.size() >= chain::kMaxBlockTxs) break;  // the rest is kept unread
    auto d = codec::decode_tx(pool[i]);
    if (!d) {
      gone_at.push_back(i);
      gone_selected.push_back(false);
      continue;
    }
    Tx& tx = d->tx;
    bool drop = !validate(tx, true);
    for (size_t k = 0; k < tx.inputs.size() && !drop; ++k) {
      drop = spent.contains(tx.inputs[k].note_id);
    }
    if (drop) {
      gone_at.push_back(i);
      gone_selected.push_back(false);
      continue;
    }
    bool ready = true;
    if (tx.type == codec::kTxTransfer) {
      const uint64_t need = required_confirms();
      if (need > 0) {
        auto it = state_.acks.find(hex::encode(codec::txid(tx)));
        ready = it != state_.acks.end() && it->second.size() >= need;
      }
    } else if (tx.type == codec::kTxNftMint) {
      auto mint = nft::parse_extra(tx.extra);
      ready = mint && nft::exists(image_dir, hex::encode(mint->first));
    }
    if (!ready) continue;
    // Where the entry lands once the dropped ones before it are gone.
    selected_at.push_back(i - (gone_at.size() - selected_at.size()));
    gone_at.push_back(i);
    gone_selected.push_back(true);
    if (tx.type == codec::kTxTransfer) ++transfers;
    for (const codec::TxInput& in : tx.inputs) spent.insert(in.note_id);
    selected.push_back(std::move(tx));
  }

  const uint32_t validated_before = state_.validated;
  state_.validated =
      static_cast<uint32_t>(std::min<uint64_t>(uint64_t{state_.validated} + transfers, UINT32_MAX));
  std::vector<Bytes> gone = state_.mempool.remove(gone_at);
  // The selected entries, kept aside in case the block fails.
  std::vector<Bytes> taken;
  for (size_t g = 0; g < gone.size(); ++g) {
    if (gone_selected[g]) taken.push_back(std::move(gone[g]));
  }

  // When the block does not make it into the chain, the selected entries go back where
  // they were and no longer count as validated, so no transfer is lost to a failed write.
  auto put_back = [&] {
    state_.mempool.restore(selected_at, std::move(taken));
    state_.validated = validated_before;
  };

  if (auto s = save_state(); !s) {
    put_back();
    return std::unexpected(s.error());
  }
  if (selected.empty()) return fail(kNothingToSeal);
  auto sealed = seal_txs(std::move(selected));
  if (!sealed) {
    put_back();
    (void)save_state();
  }
  return sealed;
}

Result<Block> Chain::make_block(std::vector<Tx> txs) const {
  Block b;
  b.height = offsets_.size();
  b.timestamp = unix_now();
  std::vector<Hash32> ids;
  ids.reserve(txs.size());
  for (const Tx& tx : txs) ids.push_back(codec::txid(tx));
  b.merkle = codec::merkle(ids);
  b.prev = tip_hash_;
  b.difficulty = b.height == 0 ? 0 : chain::kSealDifficulty;
  b.txs = std::move(txs);
  auto mined = codec::mine_header(codec::encode_header(b), b.difficulty);
  if (!mined) return std::unexpected(mined.error());
  b.nonce = bytes::load_u64(mined->data() + 80);
  b.hash = codec::block_hash(*mined);
  return b;
}

Result<chain::Sealed> Chain::seal_txs(std::vector<Tx> txs) {
  // Height and prev come from the true tip, so the lock is taken before the block is made.
  auto lock = lock_writes();
  if (!lock) return std::unexpected(lock.error());
  auto b = make_block(std::move(txs));
  if (!b) return std::unexpected(b.error());
  if (auto a = append(*b); !a) return std::unexpected(a.error());
  return chain::Sealed{b->height, hex::encode(b->hash)};
}

Result<chain::Sealed> Chain::drop_work(uint64_t amount, uint32_t seconds, uint32_t validated) {
  if (state_.reward_address.empty()) return fail("No reward address.");
  if (amount == 0) return fail("Nothing to pay out.");
  return pay_work(state_.reward_address, amount, seconds, validated);
}

Result<chain::Sealed> Chain::pay_work(std::string_view address, uint64_t amount, uint32_t seconds,
                                      uint32_t validated,
                                      const std::function<void(NodeState&)>& then) {
  auto lock = lock_writes();
  if (!lock) return std::unexpected(lock.error());
  auto key = crypto::decode_address(address);
  if (!key) return std::unexpected(key.error());
  Tx tx;
  tx.type = codec::kTxWork;
  tx.timestamp = unix_now();
  tx.extra.assign({'w', 'o', 'r', 'k'});
  auto out = crypto::make_output("work", *key, static_cast<int64_t>(amount), "node-work");
  if (!out) return std::unexpected(out.error());
  tx.outputs.push_back(std::move(*out));
  tx.work_amount = amount;
  tx.work_seconds = seconds;
  tx.work_validated = validated;
  std::vector<Tx> txs;
  txs.push_back(std::move(tx));
  auto b = make_block(std::move(txs));
  if (!b) return std::unexpected(b.error());

  // The state file that records the payment is written before the block, and renamed into
  // place after it: whatever can fail (a full disk, a directory that refuses new files)
  // fails before the block is appended, so no payment is reported failed and then paid
  // again by a retry.
  NodeState next = state_;
  if (then) then(next);
  next.height = static_cast<int64_t>(offsets_.size());
  next.tip = hex::encode(b->hash);
  next.supply = supply_ + amount;
  std::optional<fsutil::PreparedFile> prepared;
  if (!hold_) {
    auto p = next.prepare_save(path_);
    if (!p) return std::unexpected(p.error());
    prepared.emplace(std::move(*p));
  }
  if (auto a = append(*b); !a) return std::unexpected(a.error());
  state_ = std::move(next);
  refresh_meta();
  if (prepared) {
    // The block is in: a rename that fails now leaves the save to the next change.
    if (prepared->commit()) {
      stamp_state();
    } else {
      dirty_ = true;
    }
  } else {
    dirty_ = true;
  }
  return chain::Sealed{b->height, hex::encode(b->hash)};
}

// ---------------------------------------------------------------------------------------
// Adoption

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
  SigCheck queue = [](void* ctx, const Key32& pk, const Sig64& sig, ByteView,
                      const Hash32& note_id) -> bool {
    if (sig[63] >= 0x20) return false;
    auto* check = static_cast<AdoptCheck*>(ctx);
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
  // Compared with and replacing the chain as every writer left it.
  auto lock = lock_writes();
  if (!lock) return std::unexpected(lock.error());
  const fs::path tmp = temp_dir() / ("quv-adopt-" + std::to_string(::getpid()) + "-" +
                                     std::to_string(unix_now()) + ".chain");
  std::error_code ignored;
  {
    auto out = create_exclusive(tmp, 0600);
    if (!out) return std::unexpected(out.error());
    if (auto w = write_all_at(out->get(), bytes, 0); !w) {
      fs::remove(tmp, ignored);
      return w;
    }
  }
  // The copy is opened as a chain of its own; the walk also checks every block, while
  // worker threads verify the spend signatures.
  auto check = std::make_unique<AdoptCheck>();
  check->genesis = genesis_hash_;
  check->open_own(path_);
  auto peer = open_impl(tmp, check.get());
  fs::remove(tmp, ignored);
  fs::remove(state::path_for(tmp), ignored);
  if (!peer) {
    check->sigs.cancel();
    return fail(kRejected + peer.error().to_string());
  }
  const bool better =
      peer->block_count() > block_count() ||
      (peer->block_count() == block_count() && peer->tip_hash_hex() < tip_hash_hex());
  if (!better) {
    check->sigs.cancel();
    return {};
  }

  // The new file is written beside the old one, flushed, and renamed over it only once
  // the chain has passed every check: a failure at any point leaves the old file and the
  // ledger in memory as they were. Writing it while the signatures are still being
  // verified hides the flush behind them.
  // A chain path that is a symbolic link goes on naming the same file: the file it points
  // to is replaced, not the link.
  fs::path target = path_;
  if (std::error_code ec; fs::is_symlink(path_, ec)) {
    fs::path resolved = fs::canonical(path_, ec);
    if (!ec) target = std::move(resolved);
  }
  const fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");
  const fs::path staged =
      dir / ("." + target.filename().string() + ".adopt-" + std::to_string(::getpid()));
  Result<fsutil::Fd> fresh = fail("");
  std::vector<Bytes> old_list;
  const bool plausible = !check->fault && check->blocks == peer->block_count();
  if (plausible) {
    fresh = create_exclusive(staged, 0666);
    if (fresh) {
      struct stat st {};
      if (::fstat(file_.get(), &st) == 0) (void)::fchmod(fresh->get(), st.st_mode & 07777);
      Status w = write_all_at(fresh->get(), bytes, 0);
      if (w && ::fdatasync(fresh->get()) != 0) w = io_fail();
      if (!w) {
        fs::remove(staged, ignored);
        fresh = std::unexpected(w.error());
      }
    }
    // The blocks the peer shares with us hold nothing to re-submit (see AdoptCheck::txids).
    old_list = old_chain_list(path_, check->shared_end);
  }
  if (auto fault = check->verdict()) {
    if (fresh) fs::remove(staged, ignored);
    return fail(kRejected + *fault);
  }
  if (!plausible) return fail(std::string(kRejected) + "it holds no block.");
  if (!fresh) return std::unexpected(fresh.error());
  // Writers waiting for the old file find it replaced and come to the new one, where they
  // wait until this adoption is done.
  while (::flock(fresh->get(), LOCK_EX) != 0) {
    if (errno != EINTR) {
      Status err = io_fail();
      fs::remove(staged, ignored);
      return err;
    }
  }
  if (::rename(staged.c_str(), target.c_str()) != 0) {
    Status err = io_fail();
    fs::remove(staged, ignored);
    return err;
  }
  if (int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dfd >= 0) {
    (void)::fsync(dfd);
    ::close(dfd);
  }

  // The peer's chain was replayed from exactly these bytes, so its sets are the new ledger.
  std::vector<Bytes> pool_copy = state_.mempool.take_all();
  file_ = std::move(*fresh);
  offsets_ = std::move(peer->offsets_);
  notes_ = std::move(peer->notes_);
  nullifiers_ = std::move(peer->nullifiers_);
  nft_ids_ = std::move(peer->nft_ids_);
  tip_hash_ = peer->tip_hash_;
  supply_ = peer->supply_;
  end_ = peer->end_;
  genesis_hash_ = peer->genesis_hash_;
  refresh_meta();

  // Re-submission saves once at the end rather than after every admission: the state
  // file holds the whole mempool, and rewriting it per entry would be quadratic.
  auto resubmit = [&](const Bytes& raw) {
    auto d = codec::decode_tx(raw);
    if (!d || check->txids.contains(codec::txid(d->tx))) return;
    (void)admit(d->tx);
  };
  for (const Bytes& raw : pool_copy) resubmit(raw);
  for (const Bytes& raw : old_list) resubmit(raw);
  return save_state();
}

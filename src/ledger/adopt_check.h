// What checking a peer's chain needs while it is replayed: spend signatures verified on
// worker threads in the order they were queued, and the walk's own findings. Internal to
// the ledger: used by replay (which walks the peer's file) and by adoption.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "core/bytes.h"
#include "core/fsutil.h"
#include "ledger/chain.h"
#include "ledger/chain_file.h"

namespace chain {

// Ed25519 check of one spend, as the node verifies it: the signature's last byte must be
// below 0x20, and it must verify over the unsigned transaction followed by the note id.
bool verify_spend(const Key32& pk, const Sig64& sig, ByteView msg, const Hash32& note_id,
                  Bytes& scratch);

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

  // Workers for all cores but one, started with the first batch, so that a check that
  // verifies its few signatures inline starts none; the calling thread, which walks the
  // chain, verifies too whenever the queue is full and once its walk is done.
  SigPool() = default;
  // Only stops the workers: a pool dropped before its verdict was asked belongs to a chain
  // that is not adopted, so its failures no longer matter.
  ~SigPool() { (void)finish(); }
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
  [[nodiscard]] std::optional<Failure> finish() {
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

  void start_workers() {
    if (started_) return;
    started_ = true;
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

  void flush() {
    if (batch_.empty()) return;
    start_workers();
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
  bool started_ = false;
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

}  // namespace chain

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
  chain::SigPool sigs;
  // Spends are verified at once on the calling thread instead of on the workers: for a
  // few blocks appended after ours, where starting workers would cost more than it saves.
  bool inline_sigs = false;
  Bytes scratch;
  // Block and transaction of the spend being checked, for the signature queue.
  uint64_t cur_block = 0;
  size_t cur_tx = 0;
  std::shared_ptr<const Bytes> cur_msg;
  // Our own chain file, read alongside: while the peer's records equal ours byte for
  // byte, its blocks are blocks we already hold, and checking them again would only
  // repeat what made them ours. A peer one block ahead then costs one block of checks.
  fsutil::Fd own_fd;
  std::optional<chain::RecordReader> own;
  // Offset in our file just after the records the peer's chain shares with ours. Counted
  // in the file, not in our block list: the file may hold records another writer added.
  uint64_t shared_end = 4;

  void open_own(const std::filesystem::path& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return;
    own_fd = fsutil::Fd(fd);
    own.emplace(fd, UINT64_MAX, 0);
    if (!own->magic()) own.reset();
  }
  // True while every record so far, and `record` itself, equal ours.
  bool same_as_own(ByteView record) {
    if (!own) return false;
    chain::Record mine;
    auto step = own->next(mine);
    const bool same = step && *step == chain::RecordReader::Step::kRecord &&
                      mine.bytes.size() == record.size() &&
                      std::memcmp(mine.bytes.data(), record.data(), record.size()) == 0;
    if (same) {
      shared_end = own->end();
    } else {
      own.reset();
    }
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
  [[nodiscard]] std::optional<std::string> verdict() {
    auto bad = sigs.finish();
    if (bad && (!fault || bad->seq < fault_seq)) {
      return "block " + std::to_string(bad->block) + ", transaction " + std::to_string(bad->tx) +
             ": Bad spend signature.";
    }
    return fault;
  }
};

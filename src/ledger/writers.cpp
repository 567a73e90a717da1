// Many writers, one chain: every change of the chain file or the node state file runs
// under an exclusive lock on the chain file, and taking the lock first takes in what other
// writers (a running node, one-shot commands) wrote meanwhile.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>

#include "core/fsutil.h"
#include "ledger/chain.h"

namespace {

[[nodiscard]] Status io_fail(int err) {
  return std::unexpected(QuvError::msg(error::os_text(err)));
}
[[nodiscard]] Status io_fail() { return io_fail(errno); }

}  // namespace

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
  // The file never keeps an acknowledgement the rules would refuse now, also not one a
  // state file of an older writer brought in.
  prune_acks();
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

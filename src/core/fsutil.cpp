#include "core/fsutil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "core/text.h"

namespace fsutil {

Fd& Fd::operator=(Fd&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = o.fd_;
    o.fd_ = -1;
  }
  return *this;
}

Fd::~Fd() {
  if (fd_ >= 0) ::close(fd_);
}

int Fd::close() {
  int rc = fd_ >= 0 ? ::close(fd_) : 0;
  fd_ = -1;
  return rc;
}

namespace {

std::unexpected<QuvError> os_fail(int err) { return fail(error::os_text(err)); }

// Writes all of `data`, riding over short writes and interrupted calls.
int write_all(int fd, ByteView data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    done += static_cast<size_t>(n);
  }
  return 0;
}

// A name no other writer in this or another process uses at the same moment; the
// exclusive create below catches the rare collision with a stale leftover.
std::string temp_name(const std::filesystem::path& target) {
  static std::atomic<uint64_t> counter{0};
  return "." + target.filename().string() + ".part-" + std::to_string(::getpid()) + "-" +
         std::to_string(counter.fetch_add(1, std::memory_order_relaxed));
}

}  // namespace

Result<Bytes> read_file(const std::filesystem::path& path) {
  int raw;
  do {
    raw = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (raw < 0 && errno == EINTR);
  if (raw < 0) return os_fail(errno);
  Fd fd(raw);
  Bytes out;
  struct stat st;
  if (::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    out.reserve(static_cast<size_t>(st.st_size));
  }
  // The size is only a hint: the file may grow or shrink while it is read.
  uint8_t buf[65536];
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return os_fail(errno);
    }
    if (n == 0) break;
    out.insert(out.end(), buf, buf + n);
  }
  return out;
}

Result<std::string> read_text(const std::filesystem::path& path) {
  auto data = read_file(path);
  if (!data) return std::unexpected(data.error());
  std::string text(data->begin(), data->end());
  if (!text::is_utf8(text)) return fail(std::string(kNotUtf8));
  return text;
}

Status write_atomic(const std::filesystem::path& path, ByteView data) {
  std::filesystem::path dir = path.parent_path();
  std::filesystem::path tmp;
  int raw = -1;
  // Bounded: a collision needs a leftover from an earlier process with the same pid.
  for (int attempt = 0; attempt < 16 && raw < 0; ++attempt) {
    tmp = dir / temp_name(path);
    raw = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (raw < 0 && errno != EEXIST && errno != EINTR) return os_fail(errno);
  }
  if (raw < 0) return os_fail(EEXIST);
  Fd fd(raw);
  auto give_up = [&](int err) {
    ::unlink(tmp.c_str());
    return os_fail(err);
  };
  if (int err = write_all(fd.get(), data)) return give_up(err);
  if (::fdatasync(fd.get()) != 0) return give_up(errno);
  if (fd.close() != 0 && errno != EINTR) return give_up(errno);
  // The directory is not flushed: a crash before the rename reaches the disk leaves the
  // previous whole file in place, never a torn one, and a flush per save would double the
  // cost of every mempool admission.
  if (::rename(tmp.c_str(), path.c_str()) != 0) return give_up(errno);
  return {};
}

Status create_dirs(const std::filesystem::path& dir) {
  if (dir.empty()) return {};
  if (::mkdir(dir.c_str(), 0777) == 0) return {};
  int err = errno;
  struct stat st;
  // Already there (perhaps just made by another thread or process): fine if a directory.
  if (err == EEXIST) {
    return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? Status{} : os_fail(EEXIST);
  }
  if (err != ENOENT) return os_fail(err);
  // A missing ancestor: make it, then try again. "a/b/" has the parent "a/b", so the
  // recursion stops when the parent no longer shrinks.
  std::filesystem::path parent = dir.parent_path();
  if (parent.empty() || parent == dir) return os_fail(err);
  if (auto s = create_dirs(parent); !s) return s;
  if (::mkdir(dir.c_str(), 0777) == 0) return {};
  err = errno;
  if (err == EEXIST && ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return {};
  return os_fail(err);
}

}  // namespace fsutil

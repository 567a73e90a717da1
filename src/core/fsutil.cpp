#include "core/fsutil.h"

#include <fcntl.h>
#include <signal.h>
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

// A name no other writer in this or another process uses at the same moment; the
// exclusive create below catches the rare collision with a stale leftover.
std::string temp_name(const std::filesystem::path& target) {
  static std::atomic<uint64_t> counter{0};
  return "." + target.filename().string() + ".part-" + std::to_string(::getpid()) + "-" +
         std::to_string(counter.fetch_add(1, std::memory_order_relaxed));
}

}  // namespace

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

Result<Bytes> read_file(const std::filesystem::path& path, uint64_t max_bytes) {
  int raw;
  // Non-blocking, so that opening a pipe nobody writes to does not wait for a writer.
  do {
    raw = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  } while (raw < 0 && errno == EINTR);
  if (raw < 0) return os_fail(errno);
  Fd fd(raw);
  Bytes out;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return os_fail(errno);
  if (S_ISDIR(st.st_mode)) return os_fail(EISDIR);
  // A pipe never ends and a device such as /dev/zero never stops giving bytes.
  if (!S_ISREG(st.st_mode)) return fail(QuvError::Code::NotRegularFile, std::string(kNotRegular));
  if (static_cast<uint64_t>(st.st_size) > max_bytes) return os_fail(EFBIG);
  if (st.st_size > 0) out.reserve(static_cast<size_t>(st.st_size));
  // The size is only a hint: the file may grow or shrink while it is read.
  uint8_t buf[65536];
  for (;;) {
    if (out.size() > max_bytes) return os_fail(EFBIG);
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

Result<std::string> read_text(const std::filesystem::path& path, uint64_t max_bytes) {
  auto data = read_file(path, max_bytes);
  if (!data) return std::unexpected(data.error());
  std::string text(data->begin(), data->end());
  if (!text::is_utf8(text)) return fail(std::string(kNotUtf8));
  return text;
}

int write_all_at(int fd, ByteView data, uint64_t offset) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n =
        ::pwrite(fd, data.data() + done, data.size() - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    done += static_cast<size_t>(n);
  }
  return 0;
}

int read_all_at(int fd, std::span<uint8_t> out, uint64_t offset, size_t& got) {
  got = 0;
  while (got < out.size()) {
    ssize_t n = ::pread(fd, out.data() + got, out.size() - got, static_cast<off_t>(offset + got));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return 0;
}

PreparedFile::~PreparedFile() {
  if (!tmp_.empty()) ::unlink(tmp_.c_str());
}

Status PreparedFile::commit() {
  if (tmp_.empty()) return {};
  if (::rename(tmp_.c_str(), target_.c_str()) != 0) return os_fail(errno);
  tmp_.clear();
  return {};
}

Result<PreparedFile> prepare_atomic(const std::filesystem::path& path, ByteView data,
                                    std::optional<mode_t> mode) {
  std::filesystem::path dir = path.parent_path();
  std::filesystem::path tmp;
  int raw = -1;
  // Bounded: a collision needs a leftover from an earlier process with the same pid.
  for (int attempt = 0; attempt < 16 && raw < 0; ++attempt) {
    tmp = dir / temp_name(path);
    raw = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode.value_or(0666));
    if (raw < 0 && errno != EEXIST && errno != EINTR) return os_fail(errno);
  }
  if (raw < 0) return os_fail(EEXIST);
  Fd fd(raw);
  PreparedFile out(tmp, path);
  // The umask may have taken bits away (owner write, say); the file gets exactly `mode`.
  if (mode && ::fchmod(fd.get(), *mode) != 0) return os_fail(errno);
  if (int err = write_all(fd.get(), data)) return os_fail(err);
  if (::fdatasync(fd.get()) != 0) return os_fail(errno);
  if (fd.close() != 0 && errno != EINTR) return os_fail(errno);
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return os_fail(EISDIR);
  return out;
}

Status write_atomic(const std::filesystem::path& path, ByteView data) {
  // The directory is not flushed: a crash before the rename reaches the disk leaves the
  // previous whole file in place, never a torn one, and a flush per save would double the
  // cost of every mempool admission.
  auto prepared = prepare_atomic(path, data);
  if (!prepared) return std::unexpected(prepared.error());
  return prepared->commit();
}

void sync_dir(const std::filesystem::path& dir) {
  int raw = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (raw < 0) return;
  Fd d(raw);
  (void)::fsync(d.get());
}

void remove_orphans(const std::filesystem::path& target, std::string_view infix) {
  std::filesystem::path dir = target.parent_path();
  if (dir.empty()) dir = ".";
  const std::string part = "." + target.filename().string() + ".part-";
  const std::string other =
      infix.empty() ? std::string() : "." + target.filename().string() + std::string(infix);
  std::error_code ec;
  std::filesystem::directory_iterator it(dir, ec);
  if (ec) return;
  for (const auto& entry : it) {
    const std::string name = entry.path().filename().string();
    std::string_view rest;
    if (name.starts_with(part)) {
      rest = std::string_view(name).substr(part.size());
    } else if (!other.empty() && name.starts_with(other)) {
      rest = std::string_view(name).substr(other.size());
    } else {
      continue;
    }
    // The writer's pid, then nothing or "-" and a counter.
    size_t digits = 0;
    uint64_t pid = 0;
    while (digits < rest.size() && digits < 10 && rest[digits] >= '0' && rest[digits] <= '9') {
      pid = pid * 10 + static_cast<uint64_t>(rest[digits] - '0');
      ++digits;
    }
    if (digits == 0 || pid == 0 || pid > INT32_MAX) continue;
    rest.remove_prefix(digits);
    if (!rest.empty() && rest.front() != '-') continue;
    if (static_cast<pid_t>(pid) == ::getpid()) continue;
    if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    struct stat st;
    if (::lstat(entry.path().c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      ::unlink(entry.path().c_str());
    }
  }
}

FileStamp stamp(const std::filesystem::path& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return {};
  FileStamp out;
  out.exists = true;
  out.dev = static_cast<uint64_t>(st.st_dev);
  out.ino = static_cast<uint64_t>(st.st_ino);
  out.size = static_cast<uint64_t>(st.st_size);
  out.mtime_ns = int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
  out.ctime_ns = int64_t{st.st_ctim.tv_sec} * 1000000000 + st.st_ctim.tv_nsec;
  return out;
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

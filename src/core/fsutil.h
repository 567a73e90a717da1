// Small file helpers shared by the modules that keep files beside the chain: whole-file
// reads, atomic whole-file replacement, and directory creation. Failures carry the
// platform's own text for the error. Safe on any thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/bytes.h"
#include "core/error.h"

namespace fsutil {

// An owned file descriptor (a file or a socket), closed when dropped.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  Fd& operator=(Fd&& o) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd();
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now and returns close's result: a late write error can surface only here.
  int close();

 private:
  int fd_ = -1;
};

// Reads the whole file. Only a regular file is read (a directory fails with the platform's
// text, a pipe or a device with kNotRegular, at once), and one larger than `max_bytes`
// fails with the platform's "File too large" instead of filling memory.
[[nodiscard]] Result<Bytes> read_file(const std::filesystem::path& path,
                                      uint64_t max_bytes = UINT64_MAX);

// The text a reader reports for a path that names a pipe, a device or a socket.
inline constexpr std::string_view kNotRegular = "Not a regular file.";

// The text a reader reports for a file whose content is not UTF-8.
inline constexpr std::string_view kNotUtf8 = "stream did not contain valid UTF-8";

// Reads the whole file as UTF-8 text; content that is not UTF-8 fails with kNotUtf8.
[[nodiscard]] Result<std::string> read_text(const std::filesystem::path& path,
                                            uint64_t max_bytes = UINT64_MAX);

// Writes all of `data` at `offset`, riding over short writes and interruptions; the
// errno of a failure, else 0.
int write_all_at(int fd, ByteView data, uint64_t offset);
// Writes all of `data` at the descriptor's position, riding over short writes and
// interrupted calls; 0 or the errno of the failing write.
int write_all(int fd, ByteView data);
// Reads exactly `out.size()` bytes at `offset`; the errno of a failure, else 0; a file
// that ends first leaves `got` short of the size.
int read_all_at(int fd, std::span<uint8_t> out, uint64_t offset, size_t& got);

// A whole new file content written beside its target under a temporary name and flushed,
// waiting for `commit` to rename it into place; dropped uncommitted, it is removed. Lets a
// caller make sure the file can be written before it changes anything else.
class PreparedFile {
 public:
  PreparedFile(PreparedFile&& o) noexcept : tmp_(std::move(o.tmp_)), target_(std::move(o.target_)) {
    o.tmp_.clear();
  }
  PreparedFile& operator=(PreparedFile&&) = delete;
  ~PreparedFile();
  // Renames the new content over the target.
  [[nodiscard]] Status commit();
  // Where the new content waits until `commit`.
  const std::filesystem::path& temp_path() const { return tmp_; }

 private:
  friend Result<PreparedFile> prepare_atomic(const std::filesystem::path&, ByteView,
                                             std::optional<mode_t>);
  PreparedFile(std::filesystem::path tmp, std::filesystem::path target)
      : tmp_(std::move(tmp)), target_(std::move(target)) {}
  std::filesystem::path tmp_;
  std::filesystem::path target_;
};

// Writes `data` to a fresh temporary file beside `path` and flushes it; fails as the write
// would, and also when `path` is a directory, which no rename could replace. With `mode`
// the file is created with exactly that mode, whatever the umask, so a secret is never
// readable by others, not even for a moment.
[[nodiscard]] Result<PreparedFile> prepare_atomic(const std::filesystem::path& path, ByteView data,
                                                  std::optional<mode_t> mode = std::nullopt);

// Replaces `path` with `data` so that a reader sees either the old or the new content
// whole: a fresh temporary file in the same directory, written, flushed to disk and
// renamed over the target.
[[nodiscard]] Status write_atomic(const std::filesystem::path& path, ByteView data);
[[nodiscard]] inline Status write_atomic(const std::filesystem::path& path, std::string_view text) {
  return write_atomic(path, bytes::of(text));
}

// Flushes a directory's entries, so that a rename in it survives a power cut; best effort.
void sync_dir(const std::filesystem::path& dir);

// Removes the temporary files of atomic writes of `target` (".NAME.part-PID-N") and any
// ".NAME<infix>PID" files that processes which no longer run left beside it when they
// were killed. Files of running processes stay.
void remove_orphans(const std::filesystem::path& target, std::string_view infix = {});

// What a file looked like at one moment: enough to notice that a writer replaced or
// changed it since.
struct FileStamp {
  bool exists = false;
  uint64_t dev = 0;
  uint64_t ino = 0;
  uint64_t size = 0;
  int64_t mtime_ns = 0;
  int64_t ctime_ns = 0;
  bool operator==(const FileStamp&) const = default;
};
// The stamp of `path` now (following links); `exists` false when it cannot be described.
FileStamp stamp(const std::filesystem::path& path);

// Creates `dir` and any missing ancestors (mode 0777 before the umask); an existing
// directory is success.
[[nodiscard]] Status create_dirs(const std::filesystem::path& dir);

}  // namespace fsutil

// Small file helpers shared by the modules that keep files beside the chain: whole-file
// reads, atomic whole-file replacement, and directory creation. Failures carry the
// platform's own text for the error. Safe on any thread.
#pragma once

#include <filesystem>
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

// Reads the whole file.
Result<Bytes> read_file(const std::filesystem::path& path);

// The text a reader reports for a file whose content is not UTF-8.
inline constexpr std::string_view kNotUtf8 = "stream did not contain valid UTF-8";

// Reads the whole file as UTF-8 text; content that is not UTF-8 fails with kNotUtf8.
Result<std::string> read_text(const std::filesystem::path& path);

// Replaces `path` with `data` so that a reader sees either the old or the new content
// whole: a fresh temporary file in the same directory, written, flushed to disk and
// renamed over the target.
Status write_atomic(const std::filesystem::path& path, ByteView data);
inline Status write_atomic(const std::filesystem::path& path, std::string_view text) {
  return write_atomic(path, bytes::of(text));
}

// Creates `dir` and any missing ancestors (mode 0777 before the umask); an existing
// directory is success.
Status create_dirs(const std::filesystem::path& dir);

}  // namespace fsutil

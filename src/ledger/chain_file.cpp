#include "ledger/chain_file.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace chain {

Result<size_t> FileReader::fill(size_t n) {
  if (end_ - begin_ >= n) return n;
  if (begin_ > 0) {
    std::memmove(buf_.data(), buf_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  if (buf_.size() < n) buf_.resize(n);
  while (end_ < n) {
    // Read ahead a whole chunk when the buffer has room for it.
    size_t want = std::max(n, std::min(buf_.size(), end_ + kChunk)) - end_;
    ssize_t got = ::pread(fd_, buf_.data() + end_, want, static_cast<off_t>(file_pos_));
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(QuvError::msg(error::os_text(errno)));
    }
    if (got == 0) break;
    end_ += static_cast<size_t>(got);
    file_pos_ += static_cast<uint64_t>(got);
  }
  return std::min(n, end_);
}

}  // namespace chain

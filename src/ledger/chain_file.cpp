#include "ledger/chain_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/codec.h"
#include "core/fsutil.h"
#include "core/hashing.h"
#include "ledger/chain.h"

namespace chain {

Result<size_t> FileReader::fill(size_t n) {
  if (end_ - begin_ >= n) return n;
  if (begin_ > 0) {
    std::memmove(buf_.data(), buf_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  // Each refill may read more than the last, up to a whole chunk.
  if (buf_.size() < kChunk) buf_.resize(std::min(std::max(buf_.size() * 4, kFirstChunk), kChunk));
  if (buf_.size() < n) buf_.resize(n);
  while (end_ < n) {
    // Read ahead as much as the buffer has room for, at most a chunk past what is needed.
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

bool Record::checksum_ok() const {
  const ByteView b = body();
  return std::memcmp(hashing::h32(b).data(), bytes.data() + 4 + b.size(), 32) == 0;
}

RecordReader::RecordReader(int fd, uint64_t size, uint64_t at)
    : r_(fd), fd_(fd), size_(size), end_(at) {
  r_.skip_to(at);
}

Status RecordReader::magic() {
  auto got = r_.fill(4);
  if (!got) return std::unexpected(got.error());
  if (*got < 4) return fail(kShortRead);
  if (std::memcmp(r_.data(), kMagic.data(), 4) != 0) return fail(kBadMagic);
  r_.consume(4);
  end_ = r_.pos();
  return {};
}

Result<RecordReader::Step> RecordReader::next(Record& out) {
  r_.consume(pending_);
  pending_ = 0;
  const uint64_t offset = r_.pos();
  auto got = r_.fill(4);
  if (!got) return std::unexpected(got.error());
  // A torn length prefix at the end of the file ends the chain.
  if (*got < 4) return Step::kEnd;
  const uint64_t len = bytes::load_u32(r_.data());
  // The length is checked against the file before a buffer is sized for it.
  uint64_t left = size_ > offset + 4 ? size_ - offset - 4 : 0;
  if (len + 32 > left) {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return std::unexpected(QuvError::msg(error::os_text(errno)));
    size_ = std::max(size_, static_cast<uint64_t>(st.st_size));
    left = size_ > offset + 4 ? size_ - offset - 4 : 0;
    if (len + 32 > left) return Step::kCut;
  }
  const size_t record = static_cast<size_t>(4 + len + 32);
  got = r_.fill(record);
  if (!got) return std::unexpected(got.error());
  if (*got < record) return Step::kCut;
  out.offset = offset;
  out.bytes = ByteView(r_.data(), record);
  pending_ = record;
  end_ = offset + record;
  return Step::kRecord;
}

inline uint16_t load_u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

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

std::vector<Bytes> old_chain_list(const std::filesystem::path& path, uint64_t from) {
  std::vector<Bytes> out;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return out;
  fsutil::Fd owned(fd);
  RecordReader start(fd, UINT64_MAX, 0);
  if (!start.magic()) return out;
  RecordReader r(fd, UINT64_MAX, std::max<uint64_t>(from, 4));
  Record rec;
  for (;;) {
    auto step = r.next(rec);
    if (!step || *step == RecordReader::Step::kCut) return {};
    if (*step == RecordReader::Step::kEnd) break;
    auto block = codec::decode_block_body(rec.body());
    if (!block) continue;
    for (const codec::Tx& tx : block->txs) {
      if (tx.type == codec::kTxTransfer || tx.type == codec::kTxNftMint) {
        out.push_back(codec::encode_tx_signed(tx));
      }
    }
  }
  return out;
}

std::filesystem::path swap_target(const std::filesystem::path& chain_path) {
  std::error_code ec;
  if (std::filesystem::is_symlink(chain_path, ec)) {
    std::filesystem::path resolved = std::filesystem::canonical(chain_path, ec);
    if (!ec) return resolved;
  }
  return chain_path;
}

std::filesystem::path staging_path(const std::filesystem::path& chain_path, std::string_view tag) {
  const std::filesystem::path target = swap_target(chain_path);
  const std::filesystem::path dir =
      target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
  return dir / ("." + target.filename().string() + ".adopt-" + std::to_string(::getpid()) + "-" +
                std::string(tag));
}

}  // namespace chain

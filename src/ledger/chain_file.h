// Reading the chain file: the magic, then records back to back, each a u32 little-endian
// body length, the block body and its 32-byte BLAKE2b-256 checksum. One record reader
// serves replay, the take-in of other writers' records, adoption and the old-chain list.
// Used on the thread that owns the `Chain`; the readers share nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string_view>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"

namespace chain {

// What replay reports for a record whose checksum does not match its body.
inline constexpr const char* kChecksumMismatch = "Block checksum mismatch — file corrupt.";

// Sequential reader over a file descriptor with one growing buffer, so that a replay
// reads large chunks instead of one system call per field.
class FileReader {
 public:
  explicit FileReader(int fd) : fd_(fd) {}

  // Makes up to `n` bytes from the current position readable at `data()`; returns how
  // many are (fewer only at the end of the file).
  [[nodiscard]] Result<size_t> fill(size_t n);
  const uint8_t* data() const { return buf_.data() + begin_; }
  void consume(size_t n) { begin_ += n; }
  // Moves forward to file offset `at`, dropping what was read ahead before it.
  void skip_to(uint64_t at) {
    if (at <= pos()) return;
    if (at <= file_pos_) {
      begin_ += static_cast<size_t>(at - pos());
      return;
    }
    begin_ = end_ = 0;
    file_pos_ = at;
  }
  // File offset of `data()`.
  uint64_t pos() const { return file_pos_ - (end_ - begin_); }

 private:
  // The buffer starts small, since many walks (a warm block page) read only the end of a
  // file, and grows while a walk goes on.
  static constexpr size_t kFirstChunk = size_t{16} << 10;
  static constexpr size_t kChunk = size_t{1} << 20;
  int fd_;
  Bytes buf_;
  size_t begin_ = 0;
  size_t end_ = 0;
  uint64_t file_pos_ = 0;
};

// One record of the chain file, valid until the reader moves on.
struct Record {
  // File offset of its length prefix.
  uint64_t offset = 0;
  // The whole record: length prefix, body and checksum.
  ByteView bytes;
  ByteView body() const { return bytes.subspan(4, bytes.size() - 36); }
  // Whether the checksum matches the body.
  bool checksum_ok() const;
};

// Walks the records of a chain file in order.
class RecordReader {
 public:
  // How a step ended.
  enum class Step { kRecord, kEnd, kCut };

  // Records of `fd`, a file of (at least) `size` bytes, from offset `at` on. A record that
  // seems to run past `size` makes the reader look at the file's size again, since the
  // file may have grown meanwhile.
  RecordReader(int fd, uint64_t size, uint64_t at);
  // Reads the magic at the start of the file: the short-read text when the file is
  // shorter, the bad-magic text when it differs.
  [[nodiscard]] Status magic();
  // The record at the current position (kRecord); the end of the file, with fewer than
  // four bytes left (kEnd); or a record that runs past the end of the file (kCut).
  [[nodiscard]] Result<Step> next(Record& out);
  // File offset of the next record to read.
  uint64_t pos() const { return r_.pos() + pending_; }
  // File offset just after the last record returned.
  uint64_t end() const { return end_; }
  // The file's size as last looked at.
  uint64_t size() const { return size_; }

 private:
  FileReader r_;
  int fd_;
  uint64_t size_;
  uint64_t end_;
  size_t pending_ = 0;
};

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

// Walks a block body as the codec's decoder does and accepts exactly what it accepts, with
// the same messages, but records positions instead of copying fields: replay reads every
// block of the chain and needs nothing but the spends, the outputs and the work amounts.
[[nodiscard]] Status scan_block(ByteView body, BlockScan& s);

// The 32 bytes at `p`.
Hash32 hash_at(const uint8_t* p);

// The signed encodings of the transfers and NFT mints in a chain file from the record at
// `from` on, in chain order, read leniently: checksums are not compared, undecodable
// blocks are skipped, and a read failure or a record cut short yields nothing at all.
std::vector<Bytes> old_chain_list(const std::filesystem::path& path, uint64_t from);

// The file an adoption renames over: the chain path, or the file it links to, so that a
// chain path that is a symbolic link goes on naming the same file.
std::filesystem::path swap_target(const std::filesystem::path& chain_path);

// A staging file for a peer's chain beside the chain file (never in a shared temporary
// directory): "." + the chain's name + ".adopt-" + this process's id + "-" + `tag`. In the
// chain's own directory it can be renamed over the chain; and when a process dies with
// one, the next open of the chain removes it, as it removes other writers' litter.
std::filesystem::path staging_path(const std::filesystem::path& chain_path, std::string_view tag);

}  // namespace chain

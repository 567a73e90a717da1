// The chain file readers on a file of fuzzed bytes: the block page (with its offset cache)
// must equal the page of a plain walk of the whole file, for every start and size, and the
// ledger's opener must replay the file or refuse it without harm.
//
// Input: a mode byte, a start height and a page size, then the file. In mode 0 the rest is
// the file itself. Otherwise it is cut into records: each piece is a u16 length and that
// many body bytes, framed with the right length prefix and checksum after the magic, so the
// fuzzer reaches the block decoder behind the checksum; mode 2 then damages the last
// record's checksum.
#include <system_error>

#include "core/crypto.h"
#include "core/hashing.h"
#include "fuzz.h"
#include "ledger/chain.h"
#include "ledger/chain_page.h"

namespace {

Bytes framed(fuzz::Input& in, bool damage_last) {
  Bytes file(chain::kMagic.begin(), chain::kMagic.end());
  size_t last_sum = 0;
  while (in.left() > 0) {
    size_t len = in.u16();
    ByteView body = in.take(len);
    uint32_t n = static_cast<uint32_t>(body.size());
    for (int i = 0; i < 4; ++i) file.push_back(static_cast<uint8_t>(n >> (8 * i)));
    file.insert(file.end(), body.begin(), body.end());
    last_sum = file.size();
    Hash32 sum = hashing::h32(body);
    file.insert(file.end(), sum.begin(), sum.end());
  }
  if (damage_last && last_sum > 0) file[last_sum] ^= 1;
  return file;
}

bool same(const Result<chain::BlocksPage>& a, const Result<chain::BlocksPage>& b) {
  if (a.has_value() != b.has_value()) return false;
  if (!a) return a.error() == b.error();
  return a->blocks == b->blocks && a->height == b->height && a->tip == b->tip;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = [] {
    crypto::init();
    return true;
  }();
  (void)ready;
  static uint64_t serial = 0;
  fuzz::Input in(data, size);
  const uint8_t mode = in.u8() % 3;
  const uint64_t from = in.u8() % 8;
  const uint64_t limit = in.u8() % 6;
  Bytes file;
  if (mode == 0) {
    ByteView raw = in.rest();
    file.assign(raw.begin(), raw.end());
  } else {
    file = framed(in, mode == 2);
  }

  // A fresh name each run: the page cache knows files by name, and a file replaced in
  // place within the same instant is beyond what it promises to notice.
  const auto dir = fuzz::scratch() / ("c" + std::to_string(serial++));
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  const std::string path = (dir / "quv.chain").string();
  fuzz::write_file(path, file);

  auto walked = chain::walk_blocks_page(path, from, limit);
  auto cold = chain::blocks_page(path, from, limit);
  fuzz::check(same(cold, walked), "a cold page equals the walk");
  auto warm = chain::blocks_page(path, from, limit);
  fuzz::check(same(warm, walked), "a warm page equals the walk");
  auto other = chain::blocks_page(path, 0, 8);
  fuzz::check(same(other, chain::walk_blocks_page(path, 0, 8)), "another page equals the walk");

  auto chain = Chain::open(path);
  if (chain) {
    fuzz::check(chain->block_count() >= 1, "an opened chain has a genesis block");
    fuzz::check(chain->block_count() == chain->offsets().size(), "one offset per block");
  }
  std::filesystem::remove_all(dir, ec);
  return 0;
}

// Block bodies: a decoded body encodes back to the bytes it was read from, and its hash is
// the hash of the header as read. The decoder ignores what follows the last transaction and
// does not check the version and chain id, which the encoder always writes as its own.
#include "core/codec.h"
#include "core/hashing.h"
#include "fuzz.h"

namespace {

// Bytes 89 to 105 of a header: the version and the chain id.
constexpr size_t kVersionAt = 89;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto block = codec::decode_block_body(ByteView(data, size));
  if (!block) return 0;
  Bytes body = codec::encode_block_body(*block);
  std::copy(data + kVersionAt, data + codec::kHeaderSize, body.begin() + kVersionAt);
  fuzz::check(body.size() <= size && std::equal(body.begin(), body.end(), data),
              "encoded body is a prefix of the input");
  fuzz::check(block->hash == hashing::h32(ByteView(data, codec::kHeaderSize)),
              "block hash is the hash of the header as read");
  auto again = codec::decode_block_body(body);
  fuzz::check(again && *again == *block, "re-encoded body decodes the same");
  (void)codec::encode_record(*block);
  return 0;
}

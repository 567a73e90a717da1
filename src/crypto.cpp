#include "crypto.h"

#include <sodium.h>

namespace crypto {

void init() {
  if (sodium_init() < 0) die("sodium init");
}

namespace {

void hash_into(std::initializer_list<ByteView> parts, uint8_t* out, size_t out_len) {
  crypto_generichash_state st;
  if (crypto_generichash_init(&st, nullptr, 0, out_len) != 0) die("blake2b");
  for (ByteView p : parts) {
    if (crypto_generichash_update(&st, p.data(), p.size()) != 0) die("update");
  }
  if (crypto_generichash_final(&st, out, out_len) != 0) die("fin");
}

}  // namespace

Bytes blake2b(ByteView data, size_t out_len) {
  Bytes out(out_len);
  hash_into({data}, out.data(), out_len);
  return out;
}

Hash32 h32(ByteView data) {
  Hash32 out;
  hash_into({data}, out.data(), out.size());
  return out;
}

Hash16 h16(ByteView data) {
  Hash16 out;
  hash_into({data}, out.data(), out.size());
  return out;
}

Hash32 h32_parts(std::initializer_list<ByteView> parts) {
  Hash32 out;
  hash_into(parts, out.data(), out.size());
  return out;
}

}  // namespace crypto

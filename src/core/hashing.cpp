#include "core/hashing.h"

#include <sodium.h>

#include "core/error.h"

namespace hashing {

namespace {

void hash_into(std::initializer_list<ByteView> parts, uint8_t* out, size_t out_len,
               crypto_generichash_state& st) {
  if (crypto_generichash_init(&st, nullptr, 0, out_len) != 0) die("blake2b");
  for (ByteView p : parts) {
    if (crypto_generichash_update(&st, p.data(), p.size()) != 0) die("update");
  }
  if (crypto_generichash_final(&st, out, out_len) != 0) die("fin");
}

}  // namespace

void hash_parts(std::initializer_list<ByteView> parts, uint8_t* out, size_t out_len) {
  crypto_generichash_state st;
  hash_into(parts, out, out_len, st);
}

void hash_secret_parts(std::initializer_list<ByteView> parts, uint8_t* out, size_t out_len) {
  crypto_generichash_state st;
  hash_into(parts, out, out_len, st);
  wipe(&st, sizeof st);
}

Bytes blake2b(ByteView data, size_t out_len) {
  Bytes out(out_len);
  hash_parts({data}, out.data(), out_len);
  return out;
}

Hash32 h32(ByteView data) {
  Hash32 out;
  hash_parts({data}, out.data(), out.size());
  return out;
}

Hash32 h32_parts(std::initializer_list<ByteView> parts) {
  Hash32 out;
  hash_parts(parts, out.data(), out.size());
  return out;
}

void wipe(void* p, size_t n) { sodium_memzero(p, n); }

bool equal_ct(const uint8_t* a, const uint8_t* b, size_t n) { return sodium_memcmp(a, b, n) == 0; }

}  // namespace hashing

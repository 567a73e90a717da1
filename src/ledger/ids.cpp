#include "ledger/ids.h"

#include <array>
#include <cstring>
#include <random>

namespace chain {

uint64_t IdHash::operator()(const Hash32& id) const noexcept {
  static const std::array<uint64_t, 4> kKeys = [] {
    std::random_device rd;
    std::array<uint64_t, 4> k{};
    for (auto& v : k) v = ((uint64_t{rd()} << 32) ^ rd()) | 1;
    return k;
  }();
  uint64_t w[4];
  std::memcpy(w, id.data(), 32);
  uint64_t h = w[0] * kKeys[0] + w[1] * kKeys[1] + w[2] * kKeys[2] + w[3] * kKeys[3];
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  return h;
}

}  // namespace chain

#include "ledger/ids.h"

#include <sys/mman.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <new>
#include <random>

namespace chain {

namespace {

constexpr size_t kHugePage = size_t{2} << 20;

size_t mapped_size(size_t bytes) { return (bytes + kHugePage - 1) & ~(kHugePage - 1); }

}  // namespace

void* table_alloc(size_t bytes) {
  if (bytes < kHugePage) return std::memset(::operator new(bytes), 0, bytes);
  const size_t len = mapped_size(bytes);
  // One huge page more than needed, so that an aligned range can be cut out of it; the
  // kernel hands out zeroed pages.
  void* raw =
      ::mmap(nullptr, len + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (start + kHugePage - 1) & ~uintptr_t{kHugePage - 1};
  if (aligned > start) ::munmap(raw, aligned - start);
  const uintptr_t tail = start + kHugePage - aligned;
  if (tail > 0) ::munmap(reinterpret_cast<void*>(aligned + len), tail);
  // Only advice: where huge pages are off or used up, the table is made of small pages.
  (void)::madvise(reinterpret_cast<void*>(aligned), len, MADV_HUGEPAGE);
  return reinterpret_cast<void*>(aligned);
}

void table_free(void* p, size_t bytes) {
  if (p == nullptr) return;
  if (bytes < kHugePage) {
    ::operator delete(p);
    return;
  }
  ::munmap(p, mapped_size(bytes));
}

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

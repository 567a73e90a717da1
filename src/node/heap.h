// How a long-running node keeps its heap small: the C library's allocator keeps one heap
// ("arena") per thread that allocates at once and never hands an arena's freed middle back
// to the system by itself, so a node with sixteen server workers that each once built a
// large document held hundreds of megabytes it no longer used. `limit_arenas` is called by
// `main` before any thread starts; `Trimmer` is called by the node loop after each tick.
#pragma once

#include <cstddef>
#include <cstdint>

namespace node {

// Heaps the allocator may keep for all threads together: the main thread's and one that
// the server's threads share. The server's workers mostly copy bytes that are already
// built, so they seldom wait for the allocator.
inline constexpr int kMallocArenas = 2;

// Resident memory that may grow above what was left after the last trim, or freed memory
// that the heaps may come to hold beyond what they held then, before the allocator is asked
// to give freed memory back.
inline constexpr uint64_t kTrimGrowth = uint64_t{16} << 20;

// Caps the allocator's heaps at `kMallocArenas`; takes effect for threads started later.
void limit_arenas();

// The process's resident memory in bytes, 0 when it cannot be read.
uint64_t resident_bytes();

// The bytes the heaps hold free, not yet given back to the system.
uint64_t heap_free_bytes();

// Gives freed heap memory back to the system after work that freed much: after a tick,
// when the resident size has grown by `kTrimGrowth` since the last trim, or the heaps hold
// that much more free memory than they did then (a burst that ended after the last trim).
// One thread.
class Trimmer {
 public:
  // Checks the resident size and the free heap memory and trims when either grew; true
  // when it trimmed.
  bool after_tick();

 private:
  uint64_t floor_ = 0;
  uint64_t free_floor_ = 0;
};

}  // namespace node

#include "node/heap.h"

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace node {

void limit_arenas() { (void)::mallopt(M_ARENA_MAX, kMallocArenas); }

uint64_t resident_bytes() {
  std::FILE* f = std::fopen("/proc/self/statm", "re");
  if (f == nullptr) return 0;
  unsigned long long size = 0, resident = 0;
  const int got = std::fscanf(f, "%llu %llu", &size, &resident);
  std::fclose(f);
  if (got != 2) return 0;
  return static_cast<uint64_t>(resident) * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
}

uint64_t heap_free_bytes() { return static_cast<uint64_t>(::mallinfo2().fordblks); }

bool Trimmer::after_tick() {
  const uint64_t now = resident_bytes();
  if (now == 0) return false;
  const uint64_t free_now = heap_free_bytes();
  if (now < floor_ || floor_ == 0) floor_ = now;
  free_floor_ = std::min(free_floor_, free_now);
  // A trim leaves the freed blocks free, only without their pages, so the free memory is
  // measured against what was free after the last trim.
  if (now - floor_ < kTrimGrowth && free_now - free_floor_ < kTrimGrowth) return false;
  // Returns the free pages of every heap, not only the free space at a heap's end.
  ::malloc_trim(0);
  const uint64_t after = resident_bytes();
  floor_ = after == 0 ? now : after;
  free_floor_ = heap_free_bytes();
  return true;
}

}  // namespace node

#include "core/clock.h"

#include <chrono>

namespace sysclock {

int64_t unix_now() {
  auto secs = std::chrono::duration_cast<std::chrono::seconds>(
                  std::chrono::system_clock::now().time_since_epoch())
                  .count();
  return secs > 0 ? static_cast<int64_t>(secs) : 0;
}

}  // namespace sysclock

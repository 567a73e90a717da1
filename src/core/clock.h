// The system clock in the one form the ledger and the node use: whole Unix seconds.
// Functions that depend on the time take it as an argument where tests need to choose
// it (work beats and drops); the rest read it here. Safe on any thread.
#pragma once

#include <cstdint>

namespace sysclock {

// The system clock in whole Unix seconds; 0 when it reads before 1970.
int64_t unix_now();

}  // namespace sysclock

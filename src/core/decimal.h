// Unsigned decimal numbers as the environment and HTTP headers give them: ASCII digits
// only, one optional leading "+", no spaces, below 2^64. Pure; safe on any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace decimal {

// The value of `text`, or nothing when it is not such a number.
[[nodiscard]] std::optional<uint64_t> parse_u64(std::string_view text);

}  // namespace decimal

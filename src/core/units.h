// Amounts and times as the user sees and types them: base units (100000 to one QÚV)
// shown with '.' between thousands and a decimal comma, Unix times shown in UTC.
// Used by the command layer, the work report and both terminal UIs; pure functions,
// any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace units {

// Base units in one QÚV.
inline constexpr int64_t kBasePerQuv = 100000;

// The amount as "1.234,56789 QÚV"; negative amounts start with U+2212 MINUS SIGN.
std::string format_quv(int64_t amount);

// The decimal digits of n with '.' between groups of three, counted from the right.
std::string thousands(uint64_t n);

// An amount of base units as amount text over the whole unsigned range, as the supply
// counts modulo 2^64 ("1.000,00000 QÚV").
std::string amount_text(uint64_t amount);

// The UTC time as "YYYY-MM-DD hh:mm:ss" (the year at least 4 digits), or "—" for 0.
std::string format_ts(uint64_t unix_seconds);

// The amount in base units that the typed text names, or nothing when it names none.
[[nodiscard]] std::optional<int64_t> parse_quv(std::string_view text);

}  // namespace units

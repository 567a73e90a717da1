// Small readings of the wallet book and the display words the wallet UI's screens and
// flows share: the synced height, the kind word of a history row, masked passphrases.
// Pure functions, any thread.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace tui {

// The book's "/sync/height" as a signed integer; -1 when missing, not an integer or above
// the signed range.
int64_t synced_height(const nlohmann::json& book);

// The word a history row's direction is shown as: "in", "out", "open" (pending) or "?".
std::string_view kind_word(std::string_view dir);

// The text, or "—" when it is empty.
std::string or_dash(const std::string& s);

// What the footer says while the book holds changes the file lacks, after the error of
// the save that failed: "Not saved: {error}. {then}".
std::string not_saved(std::string_view error, std::string_view then);

// One "•" per Unicode scalar value of the text (a byte that is not valid UTF-8 counts as one).
std::string mask(std::string_view s);

}  // namespace tui

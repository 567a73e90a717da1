// Small text helpers over UTF-8 that several modules share: whitespace trimming and
// splitting, the lower-casing used before comparing typed text with fixed ASCII
// forms, and lossy decoding of bytes for display. Pure functions, any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/bytes.h"

namespace text {

// True for the 25 characters of the Unicode White_Space property.
bool is_whitespace(char32_t c);

// The text without White_Space characters at either end; bytes that are not valid
// UTF-8 count as non-space and are kept.
std::string_view trim(std::string_view s);

// The non-empty pieces between runs of White_Space characters, in order.
std::vector<std::string_view> split_whitespace(std::string_view s);

// The text with every character whose Unicode lower case is ASCII lowered: 'A'..'Z',
// and the Kelvin sign U+212A which becomes 'k'. Every other character, and every byte
// that is not valid UTF-8, stays as it is. Callers compare the result only with ASCII
// text (mnemonic words, address digits, host names), where this gives the same outcome
// as full Unicode lower-casing.
std::string lower(std::string_view s);

// The text with only 'A'..'Z' lowered; for protocol text read "in ASCII".
std::string ascii_lower(std::string_view s);

// True when the bytes are well-formed UTF-8 (no overlongs, surrogates or values above
// U+10FFFF).
bool is_utf8(ByteView b);
inline bool is_utf8(std::string_view s) { return is_utf8(bytes::of(s)); }

// The bytes as valid UTF-8: each maximal ill-formed subpart becomes one U+FFFD, as a
// standard lossy decoder does; valid text comes back unchanged.
std::string lossy_utf8(ByteView b);
inline std::string lossy_utf8(std::string_view s) { return lossy_utf8(bytes::of(s)); }

}  // namespace text

// The wallet mnemonic: 13 Latin words carrying 16 random bytes and a 15-bit checksum.
// The `seed` command and the wallet's new-wallet flow make one; the wallet book and the
// import flow check and normalise a typed one. Pure functions (generate draws from the
// system's random source), safe on any thread.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"

namespace seed {

// The 2048 words in index order, built into the program; stops the program with
// "Latin wordlist must be 2048 words" when the built-in text does not hold 2048 words.
std::span<const std::string_view> wordlist();

// Checks the built-in word list once at start-up, so a broken build stops at once.
void check_words();

// The 13 words for 16 entropy bytes, or "entropy must be 16 bytes".
[[nodiscard]] Result<std::vector<std::string>> from_entropy(ByteView entropy);

// A fresh mnemonic from 16 bytes of the system's cryptographic random source.
std::vector<std::string> generate();

// The words joined by single spaces: the phrase the wallet key is derived from.
std::string to_mnemonic(std::span<const std::string> words);

// The 13 lower-case words when the text is a valid mnemonic, else nothing.
[[nodiscard]] std::optional<std::vector<std::string>> parse(std::string_view text);

}  // namespace seed

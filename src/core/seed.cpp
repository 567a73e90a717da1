#include "core/seed.h"

#include <sodium.h>

#include <algorithm>
#include <array>
#include <cstdint>

#include "core/text.h"

namespace seed {

namespace {

// Each word followed by one line feed, nothing before the first: 14913 bytes.
constexpr std::string_view kWordText =
#include "core/seed_words.inc"
    ;

constexpr size_t kWords = 13;
constexpr size_t kEntropyBytes = 16;
// 16 entropy bytes and the 2 digest bytes that hold the 15 checksum bits (the lowest
// bit of the second is not used): 143 bits, read as 13 groups of 11.
using Bits = std::array<uint8_t, kEntropyBytes + 2>;

std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) out.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

// The first 15 bits of SHA-256 of the entropy, left-aligned in two bytes.
std::array<uint8_t, 2> checksum(const uint8_t* entropy) {
  std::array<uint8_t, crypto_hash_sha256_BYTES> digest;
  crypto_hash_sha256(digest.data(), entropy, kEntropyBytes);
  return {digest[0], static_cast<uint8_t>(digest[1] & 0xFE)};
}

size_t group(const Bits& bits, size_t i) {
  size_t v = 0;
  for (size_t k = 0; k < 11; ++k) {
    const size_t bit = 11 * i + k;
    v = (v << 1) | ((bits[bit / 8] >> (7 - bit % 8)) & 1);
  }
  return v;
}

void set_group(Bits& bits, size_t i, size_t v) {
  for (size_t k = 0; k < 11; ++k) {
    const size_t bit = 11 * i + k;
    if ((v >> (10 - k)) & 1) bits[bit / 8] |= static_cast<uint8_t>(0x80 >> (bit % 8));
  }
}

std::optional<size_t> index_of(std::string_view word) {
  const auto words = wordlist();
  const auto it = std::lower_bound(words.begin(), words.end(), word);
  if (it == words.end() || *it != word) return std::nullopt;
  return static_cast<size_t>(it - words.begin());
}

}  // namespace

std::span<const std::string_view> wordlist() {
  static const std::vector<std::string_view> words = [] {
    auto w = split_lines(kWordText);
    if (w.size() != 2048) die("Latin wordlist must be 2048 words");
    return w;
  }();
  return words;
}

void check_words() { (void)wordlist(); }

Result<std::vector<std::string>> from_entropy(ByteView entropy) {
  if (entropy.size() != kEntropyBytes) return fail("entropy must be 16 bytes");
  Bits bits{};
  std::copy(entropy.begin(), entropy.end(), bits.begin());
  const auto sum = checksum(bits.data());
  bits[kEntropyBytes] = sum[0];
  bits[kEntropyBytes + 1] = sum[1];
  const auto words = wordlist();
  std::vector<std::string> out;
  out.reserve(kWords);
  for (size_t i = 0; i < kWords; ++i) out.emplace_back(words[group(bits, i)]);
  sodium_memzero(bits.data(), bits.size());
  return out;
}

std::vector<std::string> generate() {
  std::array<uint8_t, kEntropyBytes> entropy;
  randombytes_buf(entropy.data(), entropy.size());
  auto words = from_entropy(entropy);
  sodium_memzero(entropy.data(), entropy.size());
  if (!words) die("entropy");
  return std::move(*words);
}

std::string to_mnemonic(std::span<const std::string> words) {
  std::string out;
  for (size_t i = 0; i < words.size(); ++i) {
    if (i > 0) out += ' ';
    out += words[i];
  }
  return out;
}

std::optional<std::vector<std::string>> parse(std::string_view text) {
  std::vector<std::string> pieces;
  for (auto piece : text::split_whitespace(text)) {
    // Only lower-cased pieces are compared, and only with ASCII words, so a piece
    // holding any other character simply finds no word.
    pieces.push_back(text::lower(piece));
    if (pieces.size() > kWords) return std::nullopt;
  }
  if (pieces.size() != kWords) return std::nullopt;

  Bits bits{};
  for (size_t i = 0; i < kWords; ++i) {
    const auto index = index_of(pieces[i]);
    if (!index) return std::nullopt;
    set_group(bits, i, *index);
  }
  const auto sum = checksum(bits.data());
  const bool ok = bits[kEntropyBytes] == sum[0] && bits[kEntropyBytes + 1] == sum[1];
  sodium_memzero(bits.data(), bits.size());
  if (!ok) return std::nullopt;
  return pieces;
}

}  // namespace seed

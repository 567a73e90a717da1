#include "core/seed.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "core/hex.h"

namespace {

std::vector<std::string> split(const std::string& s) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= s.size()) {
    size_t end = s.find(' ', start);
    if (end == std::string::npos) end = s.size();
    out.push_back(s.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

// Known answers worked out by hand from the bit layout and SHA-256.
struct KnownAnswer {
  const char* entropy_hex;
  const char* mnemonic;
};

const KnownAnswer kKnown[] = {
    {"00000000000000000000000000000000",
     "aberat aberat aberat aberat aberat aberat aberat aberat aberat aberat aberat abire isque"},
    {"ffffffffffffffffffffffffffffffff",
     "vultu vultu vultu vultu vultu vultu vultu vultu vultu vultu vultu volsci petat"},
    {"000102030405060708090a0b0c0d0e0f",
     "aberat aetas longe aetas familiae aderat callidum capta aiebat gnato edicto caede trahere"},
    {"80000000000000000000000000000000",
     "litus aberat aberat aberat aberat aberat aberat aberat aberat aberat aberat abire saevitiam"},
};

TEST(Seed, WordlistIsTheBuiltInList) {
  const auto words = seed::wordlist();
  ASSERT_EQ(words.size(), 2048u);
  EXPECT_EQ(words.front(), "aberat");
  EXPECT_EQ(words.back(), "vultu");
  size_t text_bytes = 0;
  std::set<std::string_view> prefixes;
  for (size_t i = 0; i < words.size(); ++i) {
    const auto w = words[i];
    text_bytes += w.size() + 1;
    EXPECT_TRUE(w.size() >= 5 && w.size() <= 12) << w;
    EXPECT_TRUE(std::all_of(w.begin(), w.end(), [](char c) { return c >= 'a' && c <= 'z'; })) << w;
    if (i > 0) {
      EXPECT_LT(words[i - 1], w);
    }
    prefixes.insert(w.substr(0, 4));
  }
  EXPECT_EQ(text_bytes, 14913u);
  EXPECT_EQ(prefixes.size(), 2048u);
  seed::check_words();
}

TEST(Seed, FromEntropyKnownAnswers) {
  for (const auto& k : kKnown) {
    const auto entropy = hex::decode(k.entropy_hex);
    ASSERT_TRUE(entropy);
    const auto words = seed::from_entropy(*entropy);
    ASSERT_TRUE(words) << k.entropy_hex;
    EXPECT_EQ(words->size(), 13u);
    EXPECT_EQ(seed::to_mnemonic(*words), k.mnemonic);
    const auto back = seed::parse(k.mnemonic);
    ASSERT_TRUE(back) << k.mnemonic;
    EXPECT_EQ(*back, *words);
  }
}

TEST(Seed, FromEntropyRefusesOtherLengths) {
  for (size_t len : {0, 1, 15, 17, 32}) {
    const Bytes entropy(len, 0);
    const auto words = seed::from_entropy(entropy);
    ASSERT_FALSE(words) << len;
    EXPECT_EQ(words.error(), QuvError::msg("entropy must be 16 bytes"));
  }
}

TEST(Seed, GenerateRoundTripsThroughParse) {
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    const auto words = seed::generate();
    ASSERT_EQ(words.size(), 13u);
    const auto phrase = seed::to_mnemonic(words);
    const auto back = seed::parse(phrase);
    ASSERT_TRUE(back) << phrase;
    EXPECT_EQ(*back, words);
    seen.insert(phrase);
  }
  // 128 random bits: a repeat would mean the generator is not random at all.
  EXPECT_EQ(seen.size(), 200u);
}

TEST(Seed, RandomEntropyRoundTrips) {
  std::mt19937_64 rng(20240607);
  for (int i = 0; i < 2000; ++i) {
    Bytes entropy(16);
    for (auto& b : entropy) b = static_cast<uint8_t>(rng());
    const auto words = seed::from_entropy(entropy);
    ASSERT_TRUE(words);
    const auto back = seed::parse(seed::to_mnemonic(*words));
    ASSERT_TRUE(back) << hex::encode(entropy);
    EXPECT_EQ(*back, *words);
  }
}

TEST(Seed, ParseNormalisesCaseAndWhitespace) {
  const std::string phrase = kKnown[2].mnemonic;
  const auto expected = split(phrase);
  std::string upper = phrase;
  for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::string tabs = phrase;
  std::replace(tabs.begin(), tabs.end(), ' ', '\t');
  std::string lines = phrase;
  std::replace(lines.begin(), lines.end(), ' ', '\n');
  std::string mixed = "  \r\n" + phrase + " \n\t ";
  std::string wide;  // no-break and ideographic spaces between words
  for (size_t i = 0; i < expected.size(); ++i) {
    wide += expected[i] + (i % 2 ? "\u3000" : "\u00A0  ");
  }
  std::string caps = phrase;
  caps[0] = 'A';
  caps[7] = 'A';

  for (const auto& text : {upper, tabs, lines, mixed, wide, caps}) {
    const auto back = seed::parse(text);
    ASSERT_TRUE(back) << text;
    EXPECT_EQ(*back, expected);
  }
}

TEST(Seed, ParseRefuses) {
  const std::string phrase = kKnown[2].mnemonic;  // known to fail both swaps below
  auto words = split(phrase);
  auto with = [&](size_t i, std::string w) {
    auto v = words;
    v[i] = std::move(w);
    return seed::to_mnemonic(v);
  };
  auto swapped = [&](size_t i, size_t j) {
    auto v = words;
    std::swap(v[i], v[j]);
    return seed::to_mnemonic(v);
  };
  std::vector<std::string> twelve(words.begin(), words.end() - 1);
  auto fourteen = words;
  fourteen.push_back("aberat");

  // A zero-width space is not whitespace: two words run together into one unknown piece.
  std::string zero_width = phrase;
  zero_width.replace(zero_width.find(' '), 1, "\u200B");

  const std::string cases[] = {
      "",
      "   \n\t",
      seed::to_mnemonic(twelve),
      seed::to_mnemonic(fourteen),
      with(3, "aetaz"),       // one letter changed
      with(3, "aeta"),        // the first four letters only
      with(0, "abérat"),      // accents are not folded
      with(0, "aberat,"),     // punctuation stays part of the word
      with(5, "ADERAT\xff"),  // invalid bytes
      swapped(0, 12),         // checksum no longer matches
      swapped(1, 2),
      phrase.substr(0, phrase.size() - 1),  // last word cut short
      zero_width,
  };
  for (const auto& text : cases) EXPECT_FALSE(seed::parse(text)) << text;
}

TEST(Seed, SwappedWordsRarelyPassTheChecksum) {
  std::mt19937_64 rng(7);
  int accepted = 0;
  const int trials = 2000;
  for (int t = 0; t < trials; ++t) {
    Bytes entropy(16);
    for (auto& b : entropy) b = static_cast<uint8_t>(rng());
    const auto words = *seed::from_entropy(entropy);
    size_t i = rng() % 13, j = rng() % 13;
    if (words[i] == words[j]) continue;
    auto v = words;
    std::swap(v[i], v[j]);
    if (seed::parse(seed::to_mnemonic(v))) ++accepted;
  }
  // About 1 in 32768 swaps keeps the 15-bit checksum; 2000 trials expect none.
  EXPECT_LE(accepted, 2);
}

}  // namespace

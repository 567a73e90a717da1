#include "core/text.h"

#include <gtest/gtest.h>

#include "core/hex.h"

namespace {

TEST(Text, Trim) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"", ""},
      {"   ", ""},
      {"abc", "abc"},
      {" \t\r\n\v\fabc\n", "abc"},
      {"  a b  ", "a b"},
      {"\u00A0\u3000x\u2003\u2028\u2029\u205F\u202F\u1680\u0085", "x"},
      {"\u200Bx\u200B", "\u200Bx\u200B"},  // zero-width space is not White_Space
      {"\x1Cx\x1F", "\x1Cx\x1F"},          // nor are the information separators
      {" \xff ", "\xff"},                  // invalid bytes are kept, spaces around them go
      {" \xC2", "\xC2"},                   // a cut-off sequence is not a space
      {"\xE2\x80 ", "\xE2\x80"},
  };
  for (const auto& c : cases) EXPECT_EQ(text::trim(c.in), c.out) << hex::encode(bytes::of(c.in));
}

TEST(Text, SplitWhitespace) {
  using V = std::vector<std::string_view>;
  const struct {
    std::string in;
    V out;
  } cases[] = {
      {"", V{}},
      {" \n\t ", V{}},
      {"one", V{"one"}},
      {"  one two\t\tthree\n", V{"one", "two", "three"}},
      {"a\u3000b\u00A0c\u2009d", V{"a", "b", "c", "d"}},
      {"a\u200Bb", V{"a\u200Bb"}},
      {"\xff \xC2\xA0", V{"\xff"}},  // C2 A0 is a no-break space
  };
  for (const auto& c : cases) EXPECT_EQ(text::split_whitespace(c.in), c.out) << c.in;
}

TEST(Text, Lower) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"", ""},
      {"ABERAT", "aberat"},
      {"MiXeD 123 -_", "mixed 123 -_"},
      {"\u212A", "k"},  // the Kelvin sign lower-cases to an ASCII letter
      {"QÚV", "qÚv"},   // other letters never compare equal to ASCII text
      {"\xff\x41", "\xff\x61"},
  };
  for (const auto& c : cases) EXPECT_EQ(text::lower(c.in), c.out) << c.in;
  EXPECT_EQ(text::ascii_lower("Content-Length: 5 \u212A"), "content-length: 5 \u212A");
}

// Each row: input bytes as hex, and the lossy decoding as hex.
TEST(Text, LossyUtf8ReplacesMaximalSubparts) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"", ""},
      {"616263", "616263"},
      {"c3a9e282acf09f9880", "c3a9e282acf09f9880"},  // é € 😀 unchanged
      {"ff", "efbfbd"},
      {"80", "efbfbd"},
      {"c0af", "efbfbdefbfbd"},                  // overlong lead: each byte alone
      {"e080af", "efbfbdefbfbdefbfbd"},          // overlong three-byte form
      {"eda080", "efbfbdefbfbdefbfbd"},          // surrogate
      {"f4908080", "efbfbdefbfbdefbfbdefbfbd"},  // above U+10FFFF
      {"e282", "efbfbd"},                        // cut off: one replacement for the subpart
      {"e28241", "efbfbd41"},                    // broken before an ASCII byte
      {"f09f98", "efbfbd"},
      {"f09f9841", "efbfbd41"},
      {"61f1808080e080e2", "61f1808080efbfbdefbfbdefbfbd"},
      {"c2", "efbfbd"},
      {"c2c3a9", "efbfbdc3a9"},
  };
  for (const auto& c : cases) {
    const auto in = hex::decode(c.in);
    ASSERT_TRUE(in);
    const auto out = text::lossy_utf8(*in);
    EXPECT_EQ(hex::encode(bytes::of(out)), c.out) << c.in;
    EXPECT_TRUE(text::is_utf8(bytes::of(out)));
    EXPECT_EQ(text::is_utf8(*in), std::string(c.in) == c.out) << c.in;
  }
}

TEST(Text, IsUtf8Boundaries) {
  for (const char* bad : {"c180", "e09fbf", "edbfbf", "f08fbfbf", "f5808080", "c2"}) {
    EXPECT_FALSE(text::is_utf8(*hex::decode(bad))) << bad;
  }
  // Every code point's own encoding is valid and survives the lossy decoder unchanged:
  // the boundaries of each length, and a sample in between.
  std::vector<char32_t> points = {0x7F,   0x80,   0x7FF,   0x800,   0xD7FF,
                                  0xE000, 0xFFFF, 0x10000, 0x10FFFF};
  for (char32_t cp = 0; cp <= 0x10FFFF; cp += 97) points.push_back(cp);
  for (char32_t cp : points) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    std::string s;
    if (cp < 0x80) {
      s += static_cast<char>(cp);
    } else if (cp < 0x800) {
      s += static_cast<char>(0xC0 | (cp >> 6));
      s += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      s += static_cast<char>(0xE0 | (cp >> 12));
      s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      s += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      s += static_cast<char>(0xF0 | (cp >> 18));
      s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      s += static_cast<char>(0x80 | (cp & 0x3F));
    }
    ASSERT_TRUE(text::is_utf8(s)) << static_cast<uint32_t>(cp);
    ASSERT_EQ(text::lossy_utf8(s), s) << static_cast<uint32_t>(cp);
  }
}

}  // namespace

#include "core/hex.h"

#include <gtest/gtest.h>

namespace {

TEST(Hex, EncodeDecode) {
  Bytes b = {0x00, 0x0f, 0xa5, 0xff};
  EXPECT_EQ(hex::encode(b), "000fa5ff");
  EXPECT_EQ(hex::decode("000FA5ff"), b);
  EXPECT_EQ(hex::decode(""), Bytes{});
  for (const char* bad : {"0", "0g", " 00", "00 ", "+0"}) EXPECT_FALSE(hex::decode(bad)) << bad;
  EXPECT_FALSE(hex::decode_array<2>("00"));
  EXPECT_TRUE(hex::decode_array<1>("7f"));
}

TEST(Hex, ShortHash) {
  EXPECT_EQ(hex::short_hash("0123456789abcdef"), "012345\u2026abcdef");
  EXPECT_EQ(hex::short_hash("0123456789ab"), "0123456789ab");
}

}  // namespace

#include "core/units.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>

namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

TEST(Units, FormatQuv) {
  const struct {
    int64_t amount;
    const char* text;
  } cases[] = {
      {0, "0,00000 QÚV"},
      {1, "0,00001 QÚV"},
      {100000, "1,00000 QÚV"},
      {123456789, "1.234,56789 QÚV"},
      {100000000000, "1.000.000,00000 QÚV"},
      {-1, "\u22120,00001 QÚV"},
      {-100000, "\u22121,00000 QÚV"},
      {99999, "0,99999 QÚV"},
      {100001, "1,00001 QÚV"},
      {99999999, "999,99999 QÚV"},
      {100000000, "1.000,00000 QÚV"},
      {kMax, "92.233.720.368.547,75807 QÚV"},
      {-kMax, "\u221292.233.720.368.547,75807 QÚV"},
      {kMin, "\u221292.233.720.368.547,75808 QÚV"},
  };
  for (const auto& c : cases) EXPECT_EQ(units::format_quv(c.amount), c.text) << c.amount;
  // The minus sign is U+2212 in UTF-8, never the ASCII hyphen.
  EXPECT_EQ(units::format_quv(-1).substr(0, 3), "\xE2\x88\x92");
}

TEST(Units, Thousands) {
  const struct {
    uint64_t n;
    const char* text;
  } cases[] = {
      {0, "0"},
      {7, "7"},
      {999, "999"},
      {1000, "1.000"},
      {12345, "12.345"},
      {123456, "123.456"},
      {1234567, "1.234.567"},
      {std::numeric_limits<uint64_t>::max(), "18.446.744.073.709.551.615"},
  };
  for (const auto& c : cases) EXPECT_EQ(units::thousands(c.n), c.text) << c.n;
}

TEST(Units, FormatTs) {
  const struct {
    uint64_t t;
    const char* text;
  } cases[] = {
      {0, "\u2014"},
      {1, "1970-01-01 00:00:01"},
      {86399, "1970-01-01 23:59:59"},
      {86400, "1970-01-02 00:00:00"},
      {951782400, "2000-02-29 00:00:00"},
      {1700000000, "2023-11-14 22:13:20"},
      {253402300800, "10000-01-01 00:00:00"},
      {253402300799, "9999-12-31 23:59:59"},
      {951868800, "2000-03-01 00:00:00"},
      {4107456000, "2100-02-28 00:00:00"},  // 2100 is not a leap year
      {4107542400, "2100-03-01 00:00:00"},
      {2147483648, "2038-01-19 03:14:08"},
      {std::numeric_limits<uint64_t>::max(), "584554051223-11-09 07:00:15"},
  };
  for (const auto& c : cases) EXPECT_EQ(units::format_ts(c.t), c.text) << c.t;
}

TEST(Units, ParseQuvAccepts) {
  const struct {
    const char* text;
    int64_t amount;
  } cases[] = {
      {"1", 100000},
      {"1,5", 150000},
      {"1.5", 150000},
      {"0,00001", 1},
      {"1.234,56789 QÚV", 123456789},
      {"1 000 quv", 100000000},
      {"1.234", 123400},
      {"5.", 500000},
      {"007", 700000},
      {"0", 0},
      {"  12  QUV  ", 1200000},
      {"\t3 qúv\n", 300000},
      {"1\u00A0000,5", 100050000},
      {"QÚV 2", 200000},  // the unit word goes wherever it stands
      {"2quvQUV", 200000},
      {"1\u3000", 100000},  // ideographic space is trimmed
      {"1\tquv", 100000},   // the tab is trimmed once the unit word is gone
      {"1.000.000,00000 QÚV", 100000000000},
      {"92233720368547,75807", kMax},
      {"92.233.720.368.547,75807 QÚV", kMax},
      {"0,99999", 99999},
  };
  for (const auto& c : cases) {
    const auto got = units::parse_quv(c.text);
    ASSERT_TRUE(got) << c.text;
    EXPECT_EQ(*got, c.amount) << c.text;
  }
}

TEST(Units, ParseQuvRefuses) {
  const char* cases[] = {
      "1.234.567",
      ",5",
      "0,000001",
      "1_000",
      "Quv 1",
      "",
      "   ",
      "quv",
      "QÚV",
      " QUV ",
      "1\t0",
      "-1",
      "+1",
      "\u22121",
      "1e5",
      "1,2,3",
      ".5",
      "92233720368547,75808",
      "100000000000000",
      "9223372036854775808",
      "99999999999999999999999",
      "QQUVUV 1",  // one pass of removal leaves "QUV" behind
      "1 Qúv",
      "\xff\x31",
      "١",  // non-ASCII digits
  };
  for (const char* text : cases) EXPECT_FALSE(units::parse_quv(text)) << text;
}

TEST(Units, AmountTextRoundTrips) {
  std::vector<int64_t> amounts = {0,
                                  1,
                                  9,
                                  10,
                                  99999,
                                  100000,
                                  100001,
                                  999999999,
                                  kMax,
                                  kMax - 1,
                                  kMax / 100000 * 100000,
                                  kMax - 100000};
  for (int64_t p = 1; p <= kMax / 10; p *= 10) {
    amounts.push_back(p);
    amounts.push_back(p - 1);
    amounts.push_back(p + 1);
  }
  std::mt19937_64 rng(1108);
  for (int i = 0; i < 100000; ++i) {
    // Spread over every magnitude, not only huge values.
    const int bits = static_cast<int>(rng() % 63) + 1;
    amounts.push_back(static_cast<int64_t>(rng() >> (64 - bits)));
  }
  for (int64_t a : amounts) {
    const auto text = units::format_quv(a);
    const auto back = units::parse_quv(text);
    ASSERT_TRUE(back) << a << " " << text;
    ASSERT_EQ(*back, a) << text;
  }
}

}  // namespace

#include "core/canonical.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

namespace {

std::string text(const Bytes& b) { return std::string(b.begin(), b.end()); }

struct Case {
  const char* name;
  nlohmann::ordered_json value;
  const char* expected;
};

TEST(Canonical, WritesSortedCompactText) {
  using oj = nlohmann::ordered_json;
  const Case cases[] = {
      {"byte order of keys", oj{{"b", 1}, {"a", 2}, {"B", 3}}, R"({"B":3,"a":2,"b":1})"},
      {"note members", oj{{"v", 1}, {"memo", ""}, {"from", "a"}, {"auth_sk", "k"}, {"amount", 5}},
       R"({"amount":5,"auth_sk":"k","from":"a","memo":"","v":1})"},
      {"objects inside arrays", oj{{"z", oj::array({oj{{"y", 1}, {"x", 2}}, 3})}, {"a", nullptr}},
       R"({"a":null,"z":[{"x":2,"y":1},3]})"},
      {"nested objects", oj{{"o", oj{{"k", oj{{"b", true}, {"a", false}}}, {"j", 0}}}},
       R"({"o":{"j":0,"k":{"a":false,"b":true}}})"},
      {"arrays keep their order", oj::array({3, 1, 2}), "[3,1,2]"},
      {"prefix keys and UTF-8 keys", oj{{"\u00e9", 1}, {"z", 2}, {"ab", 3}, {"a", 4}},
       "{\"a\":4,\"ab\":3,\"z\":2,\"\u00e9\":1}"},
      {"integer limits", oj{{"max", UINT64_MAX}, {"min", INT64_MIN}},
       R"({"max":18446744073709551615,"min":-9223372036854775808})"},
      {"floats", oj{{"f", 1.5}}, R"({"f":1.5})"},
      {"escapes", oj{{"s", "q\"\\\n\t\x01/"}}, R"({"s":"q\"\\\n\t\u0001/"})"},
      {"non-ASCII kept as UTF-8", oj{{"s", "caf\u00e9 \u2026"}}, "{\"s\":\"caf\u00e9 \u2026\"}"},
      {"empty containers", oj{{"o", oj::object()}, {"a", oj::array()}}, R"({"a":[],"o":{}})"},
      {"scalar", oj("x"), R"("x")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(text(canonical::canonical(c.value)), c.expected);
    // The same value held in the map-backed type writes the same bytes.
    nlohmann::json plain = nlohmann::json::parse(c.value.dump());
    EXPECT_EQ(text(canonical::canonical(plain)), c.expected);
  }
}

TEST(Canonical, SortedReordersEveryObject) {
  nlohmann::ordered_json v =
      nlohmann::ordered_json::parse(R"({"b":[{"d":1,"c":2}],"a":{"f":1,"e":2}})");
  nlohmann::json s = canonical::sorted(v);
  EXPECT_EQ(s.dump(), R"({"a":{"e":2,"f":1},"b":[{"c":2,"d":1}]})");
  // Values are copied exactly, integers keep their kind.
  EXPECT_TRUE(canonical::sorted(nlohmann::ordered_json(-3)).is_number_integer());
  EXPECT_TRUE(canonical::sorted(nlohmann::ordered_json(3u)).is_number_unsigned());
  nlohmann::json already = nlohmann::json::parse(R"({"y":[1,{"b":2,"a":1}],"x":null})");
  EXPECT_EQ(canonical::sorted(already), already);
}

TEST(Canonical, InvalidUtf8IsReplacedNotFatal) {
  nlohmann::json v = {{"memo", std::string("a\xff"
                                           "b")}};
  EXPECT_EQ(text(canonical::canonical(v)),
            "{\"memo\":\"a\xef\xbf\xbd"
            "b\"}");
}

}  // namespace

#include "core/error.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace {

TEST(Error, MessageShowsUnchanged) {
  QuvError e = QuvError::msg("Invalid port.");
  EXPECT_EQ(e.to_string(), "Invalid port.");
  EXPECT_FALSE(e.source());
  EXPECT_EQ(QuvError::msg("").to_string(), "");
  EXPECT_EQ(QuvError::msg("say \"hi\"").debug(), "Msg(\"say \\\"hi\\\"\")");
}

TEST(Error, JsonErrorCarriesLibraryText) {
  std::string lib;
  try {
    auto doc = nlohmann::json::parse("{\"a\":");
    (void)doc;
  } catch (const nlohmann::json::exception& ex) {
    lib = ex.what();
  }
  ASSERT_FALSE(lib.empty());
  QuvError e = QuvError::json(lib);
  EXPECT_EQ(e.to_string(), "json: " + lib);
  ASSERT_TRUE(e.source());
  EXPECT_EQ(*e.source(), lib);
}

struct ReportCase {
  QuvError err;
  std::optional<std::string> context;
  std::string want;
};

TEST(Error, ReportLayout) {
  const ReportCase cases[] = {
      {QuvError::msg("Nothing to seal — mempool empty."), std::nullopt,
       "Error: Nothing to seal — mempool empty.\n"},
      {QuvError::msg("Block checksum mismatch — file corrupt."), "chain",
       "Error: chain\n\nCaused by:\n    Block checksum mismatch — file corrupt.\n"},
      {QuvError::json("bad"), std::nullopt, "Error: json: bad\n\nCaused by:\n    bad\n"},
      {QuvError::json("bad"), "chain",
       "Error: chain\n\nCaused by:\n    0: json: bad\n    1: bad\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(error::format_report(error::report(c.err, c.context)), c.want);
  }
  EXPECT_EQ(error::format_report(error::plain("amount")), "Error: amount\n");
}

}  // namespace

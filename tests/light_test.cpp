#include "wallet/light.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "proc.h"

namespace fs = std::filesystem;

namespace {

using proc::TempDir;

const bool kCryptoReady = (crypto::init(), true);

// ---------------------------------------------------------------------------------------
// Node list file

TEST(LightNodes, DefaultListStartsWithThisMachine) {
  std::vector<std::string> d = light::default_nodes();
  ASSERT_EQ(d.size(), 4u);
  EXPECT_EQ(d[0], "127.0.0.1:19191");
  for (const std::string& e : d) EXPECT_TRUE(e.ends_with(":19191")) << e;
  EXPECT_EQ(std::set<std::string>(d.begin(), d.end()).size(), 4u);
}

TEST(LightNodes, LoadFallsBackToTheDefaults) {
  TempDir t;
  const fs::path wallet = t / "w" / "quv.wallet";
  fs::create_directories(t / "w");
  EXPECT_EQ(light::nodes_path(wallet), t / "w" / "quv.nodes");
  struct Case {
    const char* name;
    std::optional<std::string> file;  // nullopt: no file
    std::vector<std::string> want;    // empty: the defaults
  } cases[] = {
      {"no file", std::nullopt, {}},
      {"two blank strings", "[\" \", \"\"]", {}},
      {"a number in the array", "[\"a:1\", 5]", {}},
      {"an object", "{\"a\":\"b:1\"}", {}},
      {"not json", "a:1", {}},
      {"not utf-8", "[\"\xff:1\"]", {}},
      {"blanks kept around the entry", "[\"  10.0.0.1:19191 \"]", {"  10.0.0.1:19191 "}},
      {"order and duplicates kept, blanks dropped",
       "[\"b:1\",\" \",\"a:1\",\"b:1\"]",
       {"b:1", "a:1", "b:1"}},
  };
  for (const Case& c : cases) {
    fs::remove(light::nodes_path(wallet));
    if (c.file) {
      ASSERT_TRUE(proc::spit(light::nodes_path(wallet), *c.file));
    }
    std::vector<std::string> want = c.want.empty() ? light::default_nodes() : c.want;
    EXPECT_EQ(light::load_nodes(wallet), want) << c.name;
  }
}

TEST(LightNodes, SaveWritesTrimmedEntriesPretty) {
  TempDir t;
  const fs::path wallet = t / "new" / "dir" / "quv.wallet";
  struct Case {
    std::vector<std::string> entries;
    std::string file;
  } cases[] = {
      {{" b:19191\t", "", "a:19191", "a:19191"},
       "[\n  \"b:19191\",\n  \"a:19191\",\n  \"a:19191\"\n]"},
      {{}, "[]"},
      {{"  ", ""}, "[]"},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(light::save_nodes(wallet, c.entries));
    EXPECT_EQ(proc::slurp(t / "new" / "dir" / "quv.nodes"), c.file);
  }
  // Only the list is left in the directory: no temporary file stays behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(t / "new" / "dir"), fs::directory_iterator()), 1);
  // A directory where the file should go: the system's text.
  fs::create_directories(t / "blocked" / "quv.nodes");
  auto r = light::save_nodes(t / "blocked" / "quv.wallet", std::vector<std::string>{"a:1"});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().text(), "Is a directory (os error 21)");
}

TEST(LightNodes, Loopback) {
  struct Case {
    std::string entry;
    bool loopback;
  } cases[] = {
      {"127.0.0.1:19191", true},
      {"localhost:19191", true},
      {"[::1]:19191", true},
      {"127.0.0.1", true},
      {"LOCALHOST:19191", false},
      {"127.0.0.2:19191", false},
      {"::1", false},
      {" 127.0.0.1:19191", false},
      {"[::2]:19191", false},
      {"10.1.2.3:19191", false},
      {"[::1", false},
  };
  for (const Case& c : cases) EXPECT_EQ(light::is_loopback(c.entry), c.loopback) << c.entry;
}

}  // namespace

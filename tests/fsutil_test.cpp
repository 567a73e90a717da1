#include "core/fsutil.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "proc.h"

namespace fs = std::filesystem;

namespace {

using proc::TempDir;

void write_raw(const fs::path& p, std::string_view data) {
  std::ofstream(p, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
}

std::vector<std::string> names_in(const fs::path& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

TEST(Fsutil, ReadFileFailuresCarryThePlatformText) {
  TempDir t;
  fs::create_directory(t.path() / "sub");
  struct Case {
    fs::path path;
    std::string error;
  } cases[] = {
      {t.path() / "missing", "No such file or directory (os error 2)"},
      {t.path() / "sub", "Is a directory (os error 21)"},
      {t.path() / "missing" / "deeper", "No such file or directory (os error 2)"},
  };
  for (const auto& c : cases) {
    auto r = fsutil::read_file(c.path);
    ASSERT_FALSE(r.has_value()) << c.path;
    EXPECT_EQ(r.error().to_string(), c.error) << c.path;
  }
}

TEST(Fsutil, ReadFileReturnsEveryByte) {
  TempDir t;
  std::string data(200000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  write_raw(t.path() / "f", data);
  auto r = fsutil::read_file(t.path() / "f");
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(std::string(r->begin(), r->end()), data);
  write_raw(t.path() / "empty", "");
  EXPECT_EQ(fsutil::read_file(t.path() / "empty").value(), Bytes{});
}

TEST(Fsutil, ReadTextRefusesBytesThatAreNotUtf8) {
  TempDir t;
  struct Case {
    std::string content;
    bool ok;
  } cases[] = {
      {"plain", true},
      {"Q\xC3\x9AV \xE2\x80\x94 ok", true},
      {"\xFF", false},
      {"ab\xC3", false},           // cut inside a character
      {"\xC0\xAF", false},         // overlong slash
      {"\xED\xA0\x80", false},     // surrogate
      {"\xF4\x90\x80\x80", false}  // past U+10FFFF
  };
  for (const auto& c : cases) {
    write_raw(t.path() / "f", c.content);
    auto r = fsutil::read_text(t.path() / "f");
    if (c.ok) {
      ASSERT_TRUE(r.has_value()) << c.content;
      EXPECT_EQ(*r, c.content);
    } else {
      ASSERT_FALSE(r.has_value()) << c.content;
      EXPECT_EQ(r.error().to_string(), fsutil::kNotUtf8);
    }
  }
}

TEST(Fsutil, WriteAtomicCreatesAndReplacesWithoutLeftovers) {
  TempDir t;
  fs::path target = t.path() / "quv.node";
  ASSERT_TRUE(fsutil::write_atomic(target, std::string_view("first, and longer")).has_value());
  ASSERT_TRUE(fsutil::write_atomic(target, std::string_view("second")).has_value());
  auto back = fsutil::read_file(target);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(std::string(back->begin(), back->end()), "second");
  EXPECT_EQ(names_in(t.path()), std::vector<std::string>{"quv.node"});
}

TEST(Fsutil, WriteAtomicGivesNewFilesTheDefaultMode) {
  TempDir t;
  mode_t old = ::umask(022);
  auto s = fsutil::write_atomic(t.path() / "f", bytes::of("x"));
  ::umask(old);
  ASSERT_TRUE(s.has_value());
  struct stat st;
  ASSERT_EQ(::stat((t.path() / "f").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST(Fsutil, WriteAtomicFailuresLeaveNothingBehind) {
  TempDir t;
  fs::create_directory(t.path() / "taken");
  auto missing = fsutil::write_atomic(t.path() / "nodir" / "f", bytes::of("x"));
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().to_string(), "No such file or directory (os error 2)");
  // Renaming a file over a directory fails; the temporary file must not stay.
  auto onto_dir = fsutil::write_atomic(t.path() / "taken", bytes::of("x"));
  ASSERT_FALSE(onto_dir.has_value());
  EXPECT_EQ(onto_dir.error().to_string(), "Is a directory (os error 21)");
  EXPECT_EQ(names_in(t.path()), std::vector<std::string>{"taken"});
}

TEST(Fsutil, WriteAtomicReportsAnUnwritableDirectory) {
  // A regular file where the directory should be fails for every user, root included.
  TempDir t;
  ASSERT_TRUE(fsutil::write_atomic(t.path() / "plain", bytes::of("x")).has_value());
  auto s = fsutil::write_atomic(t.path() / "plain" / "f", bytes::of("x"));
  ASSERT_FALSE(s.has_value());
  EXPECT_EQ(s.error().to_string(), "Not a directory (os error 20)");
  EXPECT_EQ(names_in(t.path()), std::vector<std::string>{"plain"});
}

TEST(Fsutil, CreateDirsMakesMissingAncestors) {
  TempDir t;
  mode_t old = ::umask(027);
  auto s = fsutil::create_dirs(t.path() / "a" / "b" / "c");
  ::umask(old);
  ASSERT_TRUE(s.has_value());
  EXPECT_TRUE(fs::is_directory(t.path() / "a" / "b" / "c"));
  struct stat st;
  ASSERT_EQ(::stat((t.path() / "a").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0750u);
  // Existing directories, trailing separators and empty paths are all success.
  EXPECT_TRUE(fsutil::create_dirs(t.path() / "a" / "b").has_value());
  EXPECT_TRUE(fsutil::create_dirs((t.path() / "x" / "y").string() + "/").has_value());
  EXPECT_TRUE(fs::is_directory(t.path() / "x" / "y"));
  EXPECT_TRUE(fsutil::create_dirs("").has_value());
}

TEST(Fsutil, CreateDirsRefusesAFileInTheWay) {
  TempDir t;
  write_raw(t.path() / "file", "x");
  struct Case {
    fs::path path;
    std::string error;
  } cases[] = {
      {t.path() / "file", "File exists (os error 17)"},
      {t.path() / "file" / "sub", "Not a directory (os error 20)"},
      {t.path() / "file" / "sub" / "deeper", "Not a directory (os error 20)"},
  };
  for (const auto& c : cases) {
    auto s = fsutil::create_dirs(c.path);
    ASSERT_FALSE(s.has_value()) << c.path;
    EXPECT_EQ(s.error().to_string(), c.error) << c.path;
  }
}

// A reader takes only regular files, and none larger than its bound: a pipe or a device
// in place of a file fails at once instead of blocking or filling memory.
TEST(Fsutil, ReadFileTakesOnlyBoundedRegularFiles) {
  TempDir t;
  ASSERT_EQ(::mkfifo((t.path() / "pipe").c_str(), 0666), 0);
  fs::create_symlink("/dev/zero", t.path() / "zero");
  write_raw(t.path() / "ten", "0123456789");
  struct Case {
    std::string name;
    uint64_t max;
    std::string error;  // empty: read
  } cases[] = {
      {"pipe", UINT64_MAX, "Not a regular file."},
      {"zero", UINT64_MAX, "Not a regular file."},
      {"ten", 9, "File too large (os error 27)"},
      {"ten", 10, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = fsutil::read_file(t.path() / c.name, c.max);
    if (c.error.empty()) {
      ASSERT_TRUE(r);
      EXPECT_EQ(r->size(), 10u);
    } else {
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error().to_string(), c.error);
    }
  }
}

// A prepared file appears under its name only when committed; dropped, it leaves nothing.
TEST(Fsutil, PreparedFileAppearsOnlyWhenCommitted) {
  TempDir t;
  const fs::path target = t.path() / "state";
  write_raw(target, "old");
  {
    auto p = fsutil::prepare_atomic(target, bytes::of("new"));
    ASSERT_TRUE(p);
    EXPECT_EQ(proc::slurp(target), "old");
  }
  EXPECT_EQ(names_in(t.path()), std::vector<std::string>{"state"});
  auto p = fsutil::prepare_atomic(target, bytes::of("new"));
  ASSERT_TRUE(p);
  ASSERT_TRUE(p->commit());
  EXPECT_EQ(proc::slurp(target), "new");
  EXPECT_EQ(names_in(t.path()), std::vector<std::string>{"state"});
  fs::remove(target);
  fs::create_directory(target);
  auto dir = fsutil::prepare_atomic(target, bytes::of("x"));
  ASSERT_FALSE(dir);
  EXPECT_EQ(dir.error().to_string(), "Is a directory (os error 21)");
  EXPECT_EQ(names_in(t.path()), std::vector<std::string>{"state"});
}

// Only temporary files of the target whose writer no longer runs are removed.
TEST(Fsutil, RemoveOrphansKeepsFilesOfRunningWriters) {
  TempDir t;
  const std::string dead = "2147483646";  // above any pid this system hands out
  const std::string alive = std::to_string(::getpid());
  const std::pair<std::string, bool> files[] = {
      {".s.node.part-" + dead + "-0", false},
      {".s.node.lock-" + dead, false},
      {".s.node.part-" + alive + "-0", true},
      {".s.node.part-" + dead + "x", true},
      {".s.node.part--1", true},
      {".t.node.part-" + dead + "-0", true},
      {"s.node", true},
  };
  for (const auto& [name, keep] : files) write_raw(t.path() / name, "x");
  fsutil::remove_orphans(t.path() / "s.node", ".lock-");
  for (const auto& [name, keep] : files) EXPECT_EQ(fs::exists(t.path() / name), keep) << name;
}

}  // namespace

// Test support for integration tests: runs a binary as a child process with chosen
// arguments, environment, working directory and standard input, and captures what it
// writes and how it ends; plus a scratch directory that removes itself. Any test thread.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace proc {

// How to start one child process.
struct Spec {
  // Path of the executable; argv[0] is this path.
  std::string bin;
  // Arguments after argv[0].
  std::vector<std::string> args;
  // Start from an empty environment instead of the test's own.
  bool clear_env = false;
  // Variables to set (a value) or remove (nullopt), applied in order over the base.
  std::vector<std::pair<std::string, std::optional<std::string>>> env;
  // Working directory of the child; empty keeps the test's own.
  std::filesystem::path cwd;
  // Bytes fed to the child's standard input, which is then closed.
  std::string input;
  // The child is killed (SIGKILL) when it runs longer than this.
  std::chrono::milliseconds timeout{30000};
};

// How a child process ended and what it wrote.
struct Outcome {
  // The exit status, or -1 when the child was ended by a signal.
  int status = -1;
  // The signal that ended the child, 0 when it exited.
  int signal = 0;
  // True when the child was killed for running past its timeout.
  bool timed_out = false;
  std::string out;
  std::string err;
};

// Starts the child, feeds its input, collects both output streams until it ends. When no
// child can be started, `status` is -1 and `err` says why; a program that cannot be
// executed ends its child with status 127.
Outcome run(const Spec& spec);

// Shorthand: run `bin` with `args`, the test's environment plus `env`, in `cwd`.
Outcome run(const std::string& bin, std::vector<std::string> args,
            std::vector<std::pair<std::string, std::optional<std::string>>> env = {},
            const std::filesystem::path& cwd = {});

// A fresh directory under the system's temporary directory, removed with its contents
// when the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // A path inside the directory.
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Sets (or, with no value, removes) an environment variable for the life of the object and
// puts the earlier value back afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// The whole content of a file; empty when it cannot be read.
std::string slurp(const std::filesystem::path& path);
// Replaces a file's content; false when that fails.
bool spit(const std::filesystem::path& path, const std::string& data);

}  // namespace proc

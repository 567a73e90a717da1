// Test support for integration tests that run several nodes: network namespaces joined by
// a bridge in a hub namespace (each node gets its own namespace, as the node port is
// fixed), processes started in the background inside them, and HTTP calls made from
// inside a namespace. Everything made here is removed when its object goes away.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/bytes.h"

namespace netns {

// A hub namespace with a bridge, and node namespaces with one address each on it.
class Net {
 public:
  // The network, or null with the reason in `why` when namespaces cannot be made.
  static std::unique_ptr<Net> make(size_t nodes, std::string* why);
  ~Net();
  Net(const Net&) = delete;
  Net& operator=(const Net&) = delete;

  // Adds one more node namespace; its index, or nothing when it failed.
  std::optional<size_t> add();
  // The name of node namespace i and its address on the bridge.
  const std::string& ns(size_t i) const { return nodes_[i]; }
  std::string addr(size_t i) const;

 private:
  Net() = default;
  std::string hub_;
  std::string tag_;
  std::vector<std::string> nodes_;
};

// A process running in the background with its output in files; killed when dropped.
class Bg {
 public:
  // Runs `args` (args[0] looked up on PATH) with the test's environment plus `env`.
  Bg(const std::vector<std::string>& args,
     const std::vector<std::pair<std::string, std::string>>& env, const std::filesystem::path& out,
     const std::filesystem::path& err);
  ~Bg();
  Bg(const Bg&) = delete;
  Bg& operator=(const Bg&) = delete;
  // True while the process runs.
  bool alive();
  // Kills the process and reaps it.
  void stop();
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

// One HTTP call made from inside namespace `ns`: the reply body, or nothing.
std::optional<Bytes> call_in(const std::string& ns, const std::string& host,
                             const std::string& method, const std::string& path, const Bytes& body,
                             const std::string& content_type);

}  // namespace netns

// Test support for integration tests that run real nodes, each in a network namespace of
// its own (see netns.h): the `ip` tool, starting `quv node --plain` in a namespace, reading
// a node's height and saved state, and polling until a condition holds. Any test thread.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ledger/state.h"
#include "netns.h"
#include "proc.h"

namespace nodes {

// One node of a test: its name (for its log files), the index of its namespace, its chain
// file and, once started, its process.
struct Node {
  std::string name;
  size_t index = 0;
  std::filesystem::path chain;
  std::unique_ptr<netns::Bg> proc;
};

// The path of the `ip` tool.
std::string ip_bin();

// The binary under test: `built`, unless QUV_TEST_BIN points at another build to compare.
std::string bin_under_test(const std::string& built);

// Calls `done` every `step` until it holds or `limit` passes, then once more.
bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit,
                std::chrono::milliseconds step = std::chrono::milliseconds(200));

// Runs `bin --chain <chain> peers <peers…>`, which also makes the chain file.
proc::Outcome set_peers(const std::string& bin, const std::filesystem::path& chain,
                        const std::vector<std::string>& peers);

// Starts `bin --chain <chain> node --plain` in namespace `ns`, with QUV_CONFIRM_PEERS set
// when `confirm_peers` is given; its output goes to `out` and `err`.
std::unique_ptr<netns::Bg> start(const std::string& bin, const std::string& ns,
                                 const std::filesystem::path& chain,
                                 const std::optional<std::string>& confirm_peers,
                                 const std::filesystem::path& out,
                                 const std::filesystem::path& err);

// The node state saved beside `chain`; empty when there is none or it cannot be read.
NodeState state(const std::filesystem::path& chain);

// The height the node in namespace `ns` reports on GET /status, or -1 when it does not
// answer with one.
int64_t height(const std::string& ns);

// A test whose nodes run in network namespaces of its own, made in SetUp.
class NetTest : public ::testing::Test {
 protected:
  // Sets up the crypto library and a network of `count` node namespaces; when namespaces
  // cannot be made here (they need root) the test is skipped (see IsSkipped()).
  void make_net(size_t count);

  std::unique_ptr<netns::Net> net_;
};

}  // namespace nodes

// Starting and watching real nodes inside network namespaces.
#include "nodes.h"

#include <cstdlib>
#include <string_view>
#include <thread>
#include <utility>

#include "core/crypto.h"
#include "core/json_text.h"

namespace nodes {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string ip_bin() { return fs::exists("/usr/sbin/ip") ? "/usr/sbin/ip" : "/sbin/ip"; }

std::string bin_under_test(const std::string& built) {
  const char* other = std::getenv("QUV_TEST_BIN");
  return other != nullptr && *other != '\0' ? other : built;
}

bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit,
                std::chrono::milliseconds step) {
  const auto end = Clock::now() + limit;
  while (Clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(step);
  }
  return done();
}

proc::Outcome set_peers(const std::string& bin, const fs::path& chain,
                        const std::vector<std::string>& peers) {
  std::vector<std::string> args{"--chain", chain.string(), "peers"};
  args.insert(args.end(), peers.begin(), peers.end());
  return proc::run(bin, std::move(args));
}

std::unique_ptr<netns::Bg> start(const std::string& bin, const std::string& ns,
                                 const fs::path& chain,
                                 const std::optional<std::string>& confirm_peers,
                                 const fs::path& out, const fs::path& err) {
  std::vector<std::pair<std::string, std::string>> env;
  if (confirm_peers) env.emplace_back("QUV_CONFIRM_PEERS", *confirm_peers);
  return std::make_unique<netns::Bg>(
      std::vector<std::string>{ip_bin(), "netns", "exec", ns, bin, "--chain", chain.string(),
                               "node", "--plain"},
      env, out, err);
}

NodeState state(const fs::path& chain) {
  return state::parse(proc::slurp(state::path_for(chain))).value_or(NodeState{});
}

int64_t height(const std::string& ns) {
  auto body = netns::call_in(ns, "127.0.0.1:19191", "GET", "/status", {}, "x");
  if (!body) return -1;
  auto doc =
      jtext::parse(std::string_view(reinterpret_cast<const char*>(body->data()), body->size()));
  if (!doc) return -1;
  return jtext::as_i64(jtext::member(*doc, "height")).value_or(-1);
}

void NetTest::make_net(size_t count) {
  crypto::init();
  std::string why;
  net_ = netns::Net::make(count, &why);
  if (!net_) GTEST_SKIP() << "cannot create network namespaces (needs root): " << why;
}

}  // namespace nodes

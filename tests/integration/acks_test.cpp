// Floods of acknowledgements against a real node (`quv node --plain` in a network
// namespace): 100 acknowledgements with 390 KB node ids, then 20 000 small ones for random
// txids. Neither grows the state file or the log by more than a bounded amount, the status
// document stays fast, and a ready transfer is still sealed within seconds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "chain_gen.h"
#include "core/codec.h"
#include "core/crypto.h"
#include "core/hex.h"
#include "ledger/state.h"
#include "netns.h"
#include "node/gossip_link.h"
#include "nodes.h"
#include "proc.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The binary under test; QUV_TEST_BIN points it at another build to compare figures.
const std::string kQuv = nodes::bin_under_test(QUV_BIN);

// Polls every 50 ms: the floods below measure how soon the node answers.
bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  return nodes::wait_until(done, limit, std::chrono::milliseconds(50));
}

// Runs `work` on one thread inside namespace `ns`, so that many calls share one move.
void in_namespace(const std::string& ns, const std::function<void()>& work) {
  std::thread t([&] {
    int fd = ::open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    const bool in = ::setns(fd, CLONE_NEWNET) == 0;
    ::close(fd);
    if (in) work();
  });
  t.join();
}

std::optional<Bytes> post(const std::string& path, const std::string& body,
                          const std::string& type = "application/json") {
  node::PeerRequest req;
  req.method = "POST";
  req.path = path;
  const Bytes b(body.begin(), body.end());
  req.body = b;
  req.content_type = type;
  req.timeout = std::chrono::milliseconds(5000);
  auto r = node::peer_call("127.0.0.1:19191", req);
  if (!r) return std::nullopt;
  return std::move(*r);
}

// The time of a GET /status: the best of three, so that a moment when the machine is busy
// with other tests does not count as the document's cost; -1 when the node does not answer.
double status_ms() {
  double best = -1;
  for (int i = 0; i < 3; ++i) {
    node::PeerRequest req;
    req.method = "GET";
    req.path = "/status";
    req.content_type = "application/json";
    req.timeout = std::chrono::milliseconds(30000);
    const auto t0 = Clock::now();
    auto r = node::peer_call("127.0.0.1:19191", req);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    if (!r) return -1;
    best = best < 0 ? ms : std::min(best, ms);
  }
  return best;
}

class AckFlood : public nodes::NetTest {
 protected:
  void SetUp() override { make_net(2); }

  uint64_t file_size(const fs::path& p) const {
    std::error_code ec;
    auto n = fs::file_size(p, ec);
    return ec ? 0 : n;
  }
  uint64_t state_bytes() const { return file_size(state::path_for(chain_)); }
  uint64_t log_bytes() const { return file_size(dir_ / "node.out") + file_size(dir_ / "node.err"); }
  NodeState state() const { return nodes::state(chain_); }

  proc::TempDir dir_;
  fs::path chain_ = dir_ / "quv.chain";
};

TEST_F(AckFlood, StateLogAndStatusStayBoundedAndSealingGoesOn) {
  // The node's chain holds notes the test can spend; its one peer does not answer.
  chain_gen::Builder gen(11);
  gen.add({gen.mint(4)});
  gen.write(chain_);
  auto peers = nodes::set_peers(kQuv, chain_, {net_->addr(1)});
  ASSERT_EQ(peers.status, 0) << peers.err;
  auto node = nodes::start(kQuv, net_->ns(0), chain_, "1", dir_ / "node.out", dir_ / "node.err");
  const std::string ns = net_->ns(0);

  // A transfer that waits in the mempool for its acknowledgement all through the floods.
  const codec::Tx waiting = gen.spend(1, 2);
  const std::string waiting_id = hex::encode(codec::txid(waiting));
  bool up = false;
  in_namespace(ns, [&] {
    up = wait_until([] { return status_ms() >= 0; }, std::chrono::seconds(10));
    const Bytes raw = codec::encode_tx_signed(waiting);
    (void)post("/tx", std::string(raw.begin(), raw.end()), "application/octet-stream");
  });
  ASSERT_TRUE(up) << proc::slurp(dir_ / "node.err");
  ASSERT_TRUE(wait_until([&] { return state().mempool.size() == 1; }, std::chrono::seconds(5)));

  struct Figures {
    uint64_t state = 0, log = 0;
    double status = 0;
  };
  auto measure = [&] {
    Figures f{state_bytes(), log_bytes(), 0};
    in_namespace(ns, [&] { f.status = status_ms(); });
    return f;
  };
  const Figures before = measure();
  std::mt19937_64 rng(3);
  auto random_txid = [&] {
    Hash32 h;
    for (auto& b : h) b = static_cast<uint8_t>(rng());
    return hex::encode(h);
  };

  // Flood 1: 100 acknowledgements whose node ids are 390 KB each, half of them for the
  // waiting transfer.
  const auto t1 = Clock::now();
  size_t answered = 0;
  in_namespace(ns, [&] {
    const std::string big(390000, 'n');
    for (int i = 0; i < 100; ++i) {
      const std::string txid = i % 2 == 0 ? waiting_id : random_txid();
      auto r = post("/ack",
                    R"({"node_id":")" + big + std::to_string(i) + R"(","txid":")" + txid + R"("})");
      answered += r && std::string(r->begin(), r->end()) == R"({"ok":true})";
    }
  });
  EXPECT_EQ(answered, 100u);
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // two ticks apply them
  const Figures after_big = measure();
  const double big_s = std::chrono::duration<double>(Clock::now() - t1).count();

  // Flood 2: 20 000 small acknowledgements for random txids from random ids.
  const auto t2 = Clock::now();
  answered = 0;
  in_namespace(ns, [&] {
    for (int i = 0; i < 20000; ++i) {
      auto r = post("/ack", R"({"node_id":"n)" + std::to_string(rng() % 100000) + R"(","txid":")" +
                                random_txid() + R"("})");
      answered += r.has_value();
    }
  });
  EXPECT_EQ(answered, 20000u);
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  const Figures after_small = measure();
  const double small_s = std::chrono::duration<double>(Clock::now() - t2).count();

  // The waiting transfer gets one good acknowledgement and is sealed at the next tick.
  const auto t3 = Clock::now();
  in_namespace(
      ns, [&] { (void)post("/ack", R"({"node_id":"peer-good","txid":")" + waiting_id + R"("})"); });
  const bool sealed = wait_until([&] { return state().height == 2 && state().mempool.empty(); },
                                 std::chrono::seconds(5));
  const double seal_s = std::chrono::duration<double>(Clock::now() - t3).count();

  std::cout << "binary " << kQuv << "\n"
            << "before floods: state " << before.state << " B, log " << before.log
            << " B, GET /status " << before.status << " ms\n"
            << "after 100 acks of 390 KB ids (" << big_s << " s): state " << after_big.state
            << " B (+" << (int64_t)(after_big.state - before.state) << "), log " << after_big.log
            << " B (+" << (int64_t)(after_big.log - before.log) << "), GET /status "
            << after_big.status << " ms\n"
            << "after 20 000 small acks (" << small_s << " s): state " << after_small.state
            << " B (+" << (int64_t)(after_small.state - before.state) << "), log "
            << after_small.log << " B (+" << (int64_t)(after_small.log - before.log)
            << "), GET /status " << after_small.status << " ms\n"
            << "ready transfer sealed " << (sealed ? "after " : "not within ") << seal_s << " s\n";

  constexpr uint64_t kMB = 1 << 20;
  for (const Figures* f : {&after_big, &after_small}) {
    EXPECT_LT(f->state - before.state, kMB);
    EXPECT_LT(f->log - before.log, kMB);
    EXPECT_TRUE(f->status < 5 * before.status || f->status < 50) << f->status;
  }
  EXPECT_TRUE(sealed) << proc::slurp(dir_ / "node.err");
  // What the floods left: the one acknowledgement that counts went with its transfer.
  EXPECT_TRUE(state().acks.empty());
  const std::string err = proc::slurp(dir_ / "node.err");
  EXPECT_NE(err.find(" not kept"), std::string::npos) << err.substr(0, 2000);
  EXPECT_TRUE(node->alive());
}

}  // namespace

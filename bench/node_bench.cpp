// Costs of a node tick: a burst of 1 000 transfers applied in one tick into a mempool of
// 5 000 entries beside its floor (1 000 bare Ed25519 verifications and one state save);
// a tick with five answering peers that already hold the same 1 000 mempool entries
// (requests per peer and duration), and reading one such peer's status document; and a
// tick with five peers that never answer.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sodium.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "chain_gen.h"
#include "core/codec.h"
#include "core/crypto.h"
#include "ledger/chain.h"
#include "ledger/state.h"
#include "ledger/work.h"
#include "net/net.h"
#include "net/status.h"
#include "node/node.h"
#include "proc.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

proc::TempDir& scratch() {
  static proc::TempDir dir;
  return dir;
}

// A chain whose mempool holds `pool` transfers, with `spare` more transfers ready to
// send; made once per size.
struct Template {
  fs::path dir;
  std::vector<codec::Tx> spare;
};

const Template& make_template(size_t pool, size_t spare) {
  static std::map<std::pair<size_t, size_t>, Template> made;
  auto key = std::make_pair(pool, spare);
  if (auto it = made.find(key); it != made.end()) return it->second;
  crypto::init();
  Template t;
  t.dir = scratch() / ("t-" + std::to_string(pool) + "-" + std::to_string(spare));
  fs::create_directories(t.dir);
  auto c = Chain::open(t.dir / "quv.chain");
  if (!c) std::abort();
  chain_gen::Builder b(pool + spare);
  codec::Tx paid = b.mint(pool + spare);
  if (!c->seal_txs({paid})) std::abort();
  b.add({paid});
  c->hold_saves();
  for (size_t i = 0; i < pool; ++i) {
    if (!c->submit_tx(b.spend(1, 2))) std::abort();
  }
  if (!c->flush_saves()) std::abort();
  for (size_t i = 0; i < spare; ++i) t.spare.push_back(b.spend(1, 2));
  return made.emplace(key, std::move(t)).first->second;
}

// A copy of the template's chain and state in a directory of its own.
std::unique_ptr<Chain> copy_of(const Template& t, const fs::path& dir, const std::string& id) {
  fs::create_directories(dir);
  fs::copy_file(t.dir / "quv.chain", dir / "quv.chain", fs::copy_options::overwrite_existing);
  if (fs::exists(t.dir / "quv.node")) {
    fs::copy_file(t.dir / "quv.node", dir / "quv.node", fs::copy_options::overwrite_existing);
  }
  auto c = Chain::open(dir / "quv.chain");
  if (!c) std::abort();
  auto chain = std::make_unique<Chain>(std::move(*c));
  if (!chain->edit_state([&](NodeState& s) { s.node_id = id; })) std::abort();
  return chain;
}

// 1 000 transfers queued before one tick, into a mempool of 5 000: the tick's request
// phase, beside 1 000 bare verifications plus one save of the state file.
void BM_AdmissionBurst(benchmark::State& state) {
  constexpr size_t kPool = 5000, kBurst = 1000;
  const Template& t = make_template(kPool, kBurst);
  proc::ScopedEnv need("QUV_CONFIRM_PEERS", "99");

  // The floor, measured in this run.
  unsigned char pk[32], sk[64], sig[64];
  crypto_sign_keypair(pk, sk);
  const Bytes m = codec::encode_tx_unsigned(t.spare.front());
  crypto_sign_detached(sig, nullptr, m.data(), m.size(), sk);
  auto floor_chain = copy_of(t, scratch() / "floor", "floor");
  auto floor_start = Clock::now();
  for (size_t i = 0; i < kBurst; ++i) {
    benchmark::DoNotOptimize(crypto_sign_verify_detached(sig, m.data(), m.size(), pk));
  }
  if (!floor_chain->edit_state([](NodeState&) {})) std::abort();
  const double floor_s = std::chrono::duration<double>(Clock::now() - floor_start).count();

  double total_s = 0;
  int run = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto chain = copy_of(t, scratch() / ("burst-" + std::to_string(run++)), "burst");
    auto [tx, rx] = net::channel();
    for (const codec::Tx& spend : t.spare)
      tx.send({net::NetMsg::Tx{codec::encode_tx_signed(spend)}});
    state.ResumeTiming();
    const auto start = Clock::now();
    auto lines = node::apply_requests(*chain, rx);
    total_s += std::chrono::duration<double>(Clock::now() - start).count();
    state.PauseTiming();
    if (lines.size() != kBurst || !lines.back().ok) state.SkipWithError("a transfer was refused");
    chain.reset();
    state.ResumeTiming();
  }
  const double per_burst = total_s / static_cast<double>(state.iterations());
  state.counters["tx/s"] = static_cast<double>(kBurst) / per_burst;
  state.counters["floor_ms"] = floor_s * 1000;
  state.counters["x_floor"] = per_burst / floor_s;
}
BENCHMARK(BM_AdmissionBurst)->Iterations(3)->Unit(benchmark::kMillisecond);

// Five peers that run real servers on loopback and hold the same 1 000 mempool entries
// as this node: a steady tick after the first has acknowledged everything.
void BM_TickFiveAnsweringPeers(benchmark::State& state) {
  constexpr size_t kPool = 1000, kPeers = 5;
  const Template& t = make_template(kPool, 0);
  proc::ScopedEnv need("QUV_CONFIRM_PEERS", "99");
  std::vector<std::unique_ptr<net::Server>> servers;
  std::vector<net::Receiver> inboxes;
  std::vector<std::string> endpoints;
  for (size_t i = 0; i < kPeers; ++i) {
    const fs::path dir = scratch() / ("peer-" + std::to_string(i));
    copy_of(t, dir, "peer-" + std::to_string(i));
    auto [tx, rx] = net::channel();
    net::ServerOptions opts;
    opts.host = "127.0.0.1";
    opts.port = 0;
    auto s = net::Server::start(opts, (dir / "quv.chain").string(), tx);
    if (!s) {
      state.SkipWithError(s.error().to_string().c_str());
      return;
    }
    endpoints.push_back("127.0.0.1:" + std::to_string((*s)->port()));
    servers.push_back(std::move(*s));
    inboxes.push_back(std::move(rx));
  }
  auto chain = copy_of(t, scratch() / "ticker", "ticker");
  if (!work::set_peers(*chain, endpoints)) std::abort();
  node::Session session;
  session.rx = net::channel().second;
  // The first ticks acknowledge every entry once: 5 000 acknowledgements take several
  // ticks' budgets on a busy machine, and a tick that still sends them is no steady tick.
  int warm = 0;
  do {
    node::pulse(*chain, session);
  } while (++warm < 50 && session.memo.requests > 4 * kPeers);
  uint64_t requests = 0;
  for (auto _ : state) {
    node::pulse(*chain, session);
    requests = session.memo.requests;
  }
  state.counters["requests/peer"] = static_cast<double>(requests) / kPeers;
  state.counters["mempool"] = static_cast<double>(chain->state().mempool.size());
  state.counters["warm_ticks"] = warm;
}
BENCHMARK(BM_TickFiveAnsweringPeers)->Unit(benchmark::kMillisecond)->UseRealTime();

// Reading one peer's status document that lists 1 000 mempool entries, the main cost of a
// tick with busy peers; the document's size in bytes is printed.
void BM_ReadStatus(benchmark::State& state) {
  const Template& t = make_template(1000, 0);
  const std::string doc = net::status_json((t.dir / "quv.chain").string());
  const ByteView body(reinterpret_cast<const uint8_t*>(doc.data()), doc.size());
  size_t entries = 0;
  for (auto _ : state) {
    auto st = node::read_status(body);
    if (!st) state.SkipWithError("not read");
    entries = st ? st->mempool.size() : 0;
    benchmark::DoNotOptimize(st);
  }
  state.counters["bytes"] = static_cast<double>(doc.size());
  state.counters["entries"] = static_cast<double>(entries);
}
BENCHMARK(BM_ReadStatus)->Unit(benchmark::kMillisecond);

// Five peers whose ports accept connections but never answer: their status requests go
// out at once, so the tick costs one status time-out, and the next ticks leave them alone.
void BM_TickFiveSilentPeers(benchmark::State& state) {
  constexpr size_t kPeers = 5;
  const Template& t = make_template(0, 0);
  std::vector<int> listeners;
  std::vector<std::string> endpoints;
  for (size_t i = 0; i < kPeers; ++i) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 64) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      state.SkipWithError("cannot listen");
      return;
    }
    listeners.push_back(fd);
    endpoints.push_back("127.0.0.1:" + std::to_string(ntohs(a.sin_port)));
  }
  auto chain = copy_of(t, scratch() / "silent", "silent");
  if (!work::set_peers(*chain, endpoints)) std::abort();
  node::Session session;
  session.rx = net::channel().second;
  uint64_t requests = 0;
  for (auto _ : state) {
    node::pulse(*chain, session);
    requests = session.memo.requests;
  }
  state.counters["requests"] = static_cast<double>(requests);
  state.counters["bound_s"] = std::chrono::duration<double>(node::kStatusTimeout).count();
  for (int fd : listeners) ::close(fd);
}
BENCHMARK(BM_TickFiveSilentPeers)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

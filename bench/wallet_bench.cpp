// Costs of the wallet: saving and opening the wallet file beside the one Argon2id derivation
// that each of them must run; the first sync of a fresh wallet over 10 000 one-transfer
// blocks served by a real HTTP server on loopback, on one core and on all, beside the work
// no sync can avoid (each of the 2 outputs of a block tried with 21 key sets, one X25519
// product each, on one core); and a re-sync when no block is new.
#include <benchmark/benchmark.h>
#include <sodium.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <time.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "chain_gen.h"
#include "core/crypto.h"
#include "core/hex.h"
#include "core/seed.h"
#include "ledger/chain.h"
#include "net/net.h"
#include "proc.h"
#include "wallet/light.h"
#include "wallet/walletdb.h"

namespace {

constexpr const char* kPass = "bench passphrase";

// A book of a wallet in use: 200 cached notes and 400 history rows.
walletdb::Book used_book() {
  walletdb::Book b = walletdb::blank(seed::to_mnemonic(seed::generate()));
  for (int i = 0; i < 200; ++i) {
    std::string id = hex::encode(Bytes(32, static_cast<uint8_t>(i)));
    b["sync"]["notes"].push_back({{"note_id", id},
                                  {"amount", 100000 + i},
                                  {"memo", "rent for march"},
                                  {"from", std::string(59, 'q')},
                                  {"auth_sk", std::string(128, 'a')},
                                  {"auth_pk", std::string(64, 'b')},
                                  {"height", i},
                                  {"txid", id}});
  }
  for (int i = 0; i < 400; ++i) {
    b["sync"]["history"].push_back({{"dir", "in"},
                                    {"amount", i},
                                    {"memo", ""},
                                    {"height", i},
                                    {"txid", std::string(64, 'c')},
                                    {"time", 1700000000 + i},
                                    {"from", std::string(59, 'q')},
                                    {"to", std::string(59, 'r')}});
  }
  return b;
}

// The floor: one bare Argon2id derivation with the wallet file's parameters.
void BM_Argon2idBare(benchmark::State& state) {
  uint8_t key[32], salt[16];
  randombytes_buf(salt, sizeof salt);
  for (auto _ : state) {
    if (crypto_pwhash_argon2id(key, sizeof key, kPass, strlen(kPass), salt, 2, size_t{64} << 20,
                               crypto_pwhash_argon2id_ALG_ARGON2ID13) != 0) {
      state.SkipWithError("argon2id");
      return;
    }
    benchmark::DoNotOptimize(key);
  }
}
BENCHMARK(BM_Argon2idBare)->Unit(benchmark::kMillisecond)->UseRealTime();

// Seconds of this thread's CPU and of the wall clock that `fn` takes.
template <typename F>
std::pair<double, double> timed(F&& fn) {
  auto cpu = [] {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
  };
  const double c0 = cpu();
  const auto w0 = std::chrono::steady_clock::now();
  fn();
  const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - w0;
  return {cpu() - c0, wall.count()};
}

// Each iteration times one bare derivation and then the operation, one after the other, so
// both meet the same load on the machine; the counters are the operation's multiple of the
// derivation in CPU and in wall-clock time.
template <typename Op>
void against_argon2id(benchmark::State& state, Op&& op) {
  uint8_t key[32], salt[16];
  randombytes_buf(salt, sizeof salt);
  double floor_cpu = 0, floor_wall = 0, op_cpu = 0, op_wall = 0;
  for (auto _ : state) {
    auto [fc, fw] = timed([&] {
      if (crypto_pwhash_argon2id(key, sizeof key, kPass, strlen(kPass), salt, 2, size_t{64} << 20,
                                 crypto_pwhash_argon2id_ALG_ARGON2ID13) != 0) {
        state.SkipWithError("argon2id");
      }
    });
    bool ok = true;
    auto [oc, ow] = timed([&] { ok = op(); });
    if (!ok) {
      state.SkipWithError("operation failed");
      return;
    }
    floor_cpu += fc, floor_wall += fw, op_cpu += oc, op_wall += ow;
    state.SetIterationTime(ow);
  }
  state.counters["argon2id_ms"] = 1000 * floor_wall / static_cast<double>(state.iterations());
  state.counters["x_floor_cpu"] = op_cpu / floor_cpu;
  state.counters["x_floor_wall"] = op_wall / floor_wall;
}

void BM_Persist(benchmark::State& state) {
  proc::TempDir dir;
  proc::ScopedEnv env("QUV_WALLET_PATH", (dir / "w.wallet").string());
  walletdb::Book book = used_book();
  against_argon2id(state, [&] { return walletdb::persist(book, kPass).has_value(); });
}
BENCHMARK(BM_Persist)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(10);

void BM_LoadBook(benchmark::State& state) {
  proc::TempDir dir;
  proc::ScopedEnv env("QUV_WALLET_PATH", (dir / "w.wallet").string());
  if (!walletdb::persist(used_book(), kPass)) {
    state.SkipWithError("persist");
    return;
  }
  against_argon2id(state, [&] { return walletdb::load_book(kPass).has_value(); });
}
BENCHMARK(BM_LoadBook)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(10);

// ---------------------------------------------------------------------------------------
// Sync

constexpr size_t kBlocks = 10000;

// A chain of 10 000 one-transfer blocks, none of whose outputs is the wallet's, served by
// the node's HTTP server on a free loopback port for the whole run.
struct Served {
  proc::TempDir dir;
  std::pair<net::Sender, net::Receiver> channel = net::channel();
  std::unique_ptr<net::Server> server;
  std::string addr;
  light::Transport transport;
  walletdb::Book blank;

  Served() {
    chain_gen::Builder b(7, /*do_mine=*/false);
    b.one_transfer_blocks(kBlocks);
    b.write(dir / "quv.chain");
    // The status document reports the height and tip the node keeps in its state file.
    auto chain = Chain::open(dir / "quv.chain");
    if (!chain) return;
    if (!chain->edit_state([](NodeState&) {})) return;
    net::ServerOptions opts;
    opts.host = "127.0.0.1";
    opts.port = 0;
    auto s = net::Server::start(opts, (dir / "quv.chain").string(), channel.first);
    if (!s) return;
    server = std::move(*s);
    addr = "127.0.0.1:" + std::to_string(server->port());
    // Only this server: the built-in node list is never contacted.
    transport = [this](const light::Call& c) -> std::optional<Bytes> {
      if (c.host != addr) return std::nullopt;
      return light::http()(c);
    };
    blank = walletdb::blank(seed::to_mnemonic(seed::generate()));
  }
};

Served& served() {
  static Served s;
  return s;
}

// The floor: 2 outputs x 21 key sets x one X25519 product for each block, on one core.
void BM_SyncFloor(benchmark::State& state) {
  uint8_t sk[32], pk[32], q[32];
  crypto_box_keypair(pk, sk);
  for (auto _ : state) {
    for (size_t i = 0; i < kBlocks * 2 * 21; ++i) {
      benchmark::DoNotOptimize(crypto_scalarmult_curve25519(q, sk, pk));
      pk[0] ^= q[0];
    }
  }
  state.counters["per_block"] = benchmark::Counter(
      kBlocks, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_SyncFloor)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

// A fresh wallet's first sync, its master key derivation included; argument: scan threads
// (0 = every core).
void BM_FirstSync(benchmark::State& state) {
  Served& s = served();
  if (!s.server) {
    state.SkipWithError("server did not start");
    return;
  }
  std::vector<std::string> nodes = {s.addr};
  for (auto _ : state) {
    walletdb::Book book = s.blank;
    light::Keyring keys;
    auto view = light::sync(
        nodes, book, keys, light::SyncOptions{&s.transport, static_cast<unsigned>(state.range(0))});
    if (!view || book["sync"]["height"] != kBlocks) {
      state.SkipWithError(view ? "sync stopped short" : view.error().text().c_str());
      return;
    }
  }
  state.counters["per_block"] = benchmark::Counter(
      kBlocks, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_FirstSync)
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(2);

// The resident set of this process now, in MiB.
double resident_mib() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1 << 20);
}

// A page just within the reply bound whose "blocks" is [0,0,0,...], as a node's reply
// holds it: the resident set before it is read, the peak while it is read and what stays
// resident once it is refused. Run it alone for a peak of its own.
void BM_TinyValuesPage(benchmark::State& state) {
  const std::string open = R"({"ok":true,"height":40,"blocks":[)";
  for (auto _ : state) {
    state.PauseTiming();
    std::optional<Bytes> body(std::in_place, open.begin(), open.end());
    body->reserve(light::kMaxReply);
    while (body->size() + 4 < light::kMaxReply) bytes::put(*body, bytes::of("0,"));
    bytes::put(*body, bytes::of("0]}"));
    state.counters["rss_before_MiB"] = resident_mib();
    const light::Transport t = [&](const light::Call&) { return std::move(body); };
    state.ResumeTiming();
    auto page = light::fetch_page("127.0.0.1:19191", 0, t);
    benchmark::DoNotOptimize(page.has_value());
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  state.counters["peak_rss_MiB"] = static_cast<double>(usage.ru_maxrss) / 1024;
  state.counters["rss_after_MiB"] = resident_mib();
}
BENCHMARK(BM_TinyValuesPage)->Unit(benchmark::kMillisecond)->Iterations(1);

// A re-sync of an open wallet when no block is new: CPU is this thread's, the wallet's.
void BM_IdleResync(benchmark::State& state) {
  Served& s = served();
  if (!s.server) {
    state.SkipWithError("server did not start");
    return;
  }
  std::vector<std::string> nodes = {s.addr};
  walletdb::Book book = s.blank;
  light::Keyring keys;
  if (!light::sync(nodes, book, keys, light::SyncOptions{&s.transport, 0})) {
    state.SkipWithError("first sync");
    return;
  }
  for (auto _ : state) {
    auto view = light::sync(nodes, book, keys, light::SyncOptions{&s.transport, 0});
    if (!view) {
      state.SkipWithError("re-sync");
      return;
    }
  }
}
BENCHMARK(BM_IdleResync)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  crypto::init();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

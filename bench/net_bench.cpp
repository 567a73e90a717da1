// Block pages and the HTTP server under load.
//
// Page/N: a warm page of the last 32 blocks of an N-block chain; the cost should not
// grow with N. Walk/N: the same page read the plain way, for comparison.
// Status and Blocks: whole requests per second through the server, with 1 and 16
// clients. StatusBesideSlowClient: latency of GET /status while another client holds
// a connection with an unfinished request.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <string>

#include "chain_gen.h"
#include "core/crypto.h"
#include "ledger/chain_page.h"
#include "net/net.h"
#include "proc.h"

namespace {

// Chain files of a given block count, built once per process.
const std::string& chain_file(size_t blocks) {
  static proc::TempDir dir;
  static std::map<size_t, std::string> files;
  auto it = files.find(blocks);
  if (it != files.end()) return it->second;
  crypto::init();
  chain_gen::Builder b(blocks, /*do_mine=*/false, /*do_sign=*/false);
  b.one_transfer_blocks(blocks - 1);
  std::string path = dir / ("c" + std::to_string(blocks) + ".chain");
  b.write(path);
  return files.emplace(blocks, path).first->second;
}

void Page(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  const std::string& path = chain_file(n);
  auto warm = chain::blocks_page(path, n - 32, 32);
  if (!warm || warm->blocks.size() != 32) state.SkipWithError("page failed");
  for (auto _ : state) {
    auto page = chain::blocks_page(path, n - 32, 32);
    benchmark::DoNotOptimize(page);
  }
}
BENCHMARK(Page)->Arg(1000)->Arg(100000)->Unit(benchmark::kMicrosecond);

void Walk(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  const std::string& path = chain_file(n);
  for (auto _ : state) {
    auto page = chain::walk_blocks_page(path, n - 32, 32);
    benchmark::DoNotOptimize(page);
  }
}
BENCHMARK(Walk)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

// One server for the request benchmarks, serving a 10 000-block chain.
net::Server& server() {
  static auto channel = net::channel();
  static std::unique_ptr<net::Server> s = [] {
    net::ServerOptions opts;
    opts.host = "127.0.0.1";
    opts.port = 0;
    auto started = net::Server::start(opts, chain_file(10000), channel.first);
    if (!started) std::abort();
    return std::move(*started);
  }();
  return *s;
}

std::string host() { return "127.0.0.1:" + std::to_string(server().port()); }

void request_loop(benchmark::State& state, const std::string& path) {
  const std::string h = host();
  chain::blocks_page(chain_file(10000), 9968, 32);  // warm the page cache
  for (auto _ : state) {
    auto body = net::http_call_timeout(h, "GET", path, {}, "application/json", 5);
    if (!body || body->empty()) {
      state.SkipWithError("request failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

void Status(benchmark::State& state) { request_loop(state, "/status"); }
BENCHMARK(Status)->Threads(1)->Threads(16)->UseRealTime()->Unit(benchmark::kMicrosecond);

void Blocks(benchmark::State& state) { request_loop(state, "/blocks?from=9968&limit=32"); }
BENCHMARK(Blocks)->Threads(1)->Threads(16)->UseRealTime()->Unit(benchmark::kMicrosecond);

void StatusBesideSlowClient(benchmark::State& state) {
  const std::string h = host();
  // The slow client connects and sends half a request, then waits.
  int slow = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(server().port());
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(slow, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::send(slow, "GET /sta", 8, MSG_NOSIGNAL) != 8) {
    state.SkipWithError("slow client could not connect");
  }
  std::vector<double> micros;
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    auto body = net::http_call_timeout(h, "GET", "/status", {}, "application/json", 5);
    micros.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    if (!body) {
      state.SkipWithError("request failed");
      break;
    }
  }
  ::close(slow);
  if (!micros.empty()) {
    std::nth_element(micros.begin(), micros.begin() + micros.size() / 2, micros.end());
    state.counters["median_us"] = micros[micros.size() / 2];
  }
}
BENCHMARK(StatusBesideSlowClient)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

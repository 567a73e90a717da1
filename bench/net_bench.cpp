// Block pages and the HTTP server under load.
//
// Page/N: a warm page of the last 32 blocks of an N-block chain; the cost should not
// grow with N. Walk/N: the same page read the plain way, for comparison.
//
// The server runs in a child process started before anything else, so that its memory is
// measured alone ("the node"). It serves a 10 000-block chain and, on a second port, a
// 200 MB chain file.
// Status and Blocks: whole requests per second with 1 and 16 clients; the 1-client figure
// is the floor the 16-client one is read against.
// StatusBesideSlowClient: latency of GET /status while another client holds a connection
// with an unfinished request.
// StatusBesideTricklers/N: N connections each send one byte of a never-ending request every
// second (reconnecting when dropped) while a well-behaved client asks GET /status; its
// median and largest latency beside the median measured unloaded in the same run, and the
// node's memory above its idle size.
// ChainDownloads/16: 16 clients fetch GET /chain of the 200 MB file at once; the node's
// largest memory above idle while they run.
// StatusAt1000Entries: GET /status over HTTP from a server whose state file holds 1 000
// mempool transfers, served from the document built once per change, beside the rate of
// building that document per request, measured in the same run (x_built is the ratio).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "chain_gen.h"
#include "core/crypto.h"
#include "ledger/chain.h"
#include "ledger/chain_page.h"
#include "net/net.h"
#include "proc.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

proc::TempDir& temp() {
  static proc::TempDir dir;
  return dir;
}

// Chain files of a given block count, built once per process.
const std::string& chain_file(size_t blocks) {
  static std::map<size_t, std::string> files;
  auto it = files.find(blocks);
  if (it != files.end()) return it->second;
  crypto::init();
  chain_gen::Builder b(blocks, /*do_mine=*/false, /*do_sign=*/false);
  b.one_transfer_blocks(blocks - 1);
  std::string path = temp() / ("c" + std::to_string(blocks) + ".chain");
  b.write(path);
  return files.emplace(blocks, path).first->second;
}

// A 200 MB chain file: a real chain's bytes repeated (the server sends bytes, it never
// reads records of GET /chain).
std::string big_chain_file() {
  constexpr size_t kSize = 200u << 20;
  std::string path = temp() / "big.chain";
  auto seed = *fsutil::read_file(chain_file(10000));
  std::ofstream out(path, std::ios::binary);
  for (size_t done = 0; done < kSize;) {
    size_t n = std::min(seed.size(), kSize - done);
    out.write(reinterpret_cast<const char*>(seed.data()), static_cast<std::streamsize>(n));
    done += n;
  }
  return path;
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

// ---------------------------------------------------------------------------
// The node in a child process.

struct Node {
  pid_t pid = -1;
  uint16_t port = 0;      // the 10 000-block chain
  uint16_t big_port = 0;  // the 200 MB chain file
  int hold = -1;          // the child ends when this pipe closes
};

Node& node() {
  static Node n;
  return n;
}

// Forks the node before any thread exists; the child serves until the parent's end of
// the pipe closes.
void start_node() {
  const std::string small = chain_file(10000);
  const std::string big = big_chain_file();
  int ports[2];
  int hold[2];
  if (::pipe(ports) != 0 || ::pipe(hold) != 0) std::abort();
  pid_t pid = ::fork();
  if (pid < 0) std::abort();
  if (pid == 0) {
    ::close(ports[0]);
    ::close(hold[1]);
    static auto channel = net::channel();
    net::ServerOptions opts;
    opts.host = "127.0.0.1";
    opts.port = 0;
    auto a = net::Server::start(opts, small, channel.first);
    auto b = net::Server::start(opts, big, channel.first);
    if (!a || !b) ::_exit(1);
    uint16_t p[2] = {(*a)->port(), (*b)->port()};
    if (::write(ports[1], p, sizeof p) != sizeof p) ::_exit(1);
    char c;
    while (::read(hold[0], &c, 1) != 0) {
    }
    ::_exit(0);
  }
  ::close(ports[1]);
  ::close(hold[0]);
  uint16_t p[2];
  if (::read(ports[0], p, sizeof p) != sizeof p) std::abort();
  ::close(ports[0]);
  node() = Node{pid, p[0], p[1], hold[1]};
}

void stop_node() {
  ::close(node().hold);
  int status = 0;
  ::waitpid(node().pid, &status, 0);
}

// The node's resident memory in bytes.
double node_rss() {
  std::ifstream in("/proc/" + std::to_string(node().pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.starts_with("VmRSS:")) return std::stod(line.substr(6)) * 1024.0;
  }
  return 0;
}

std::string host() { return "127.0.0.1:" + std::to_string(node().port); }

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
  return v[v.size() / 2];
}

double micros_since(Clock::time_point t0) {
  return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

void request_loop(benchmark::State& state, const std::string& path) {
  const std::string h = host();
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

int open_nonblocking(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno != EINPROGRESS) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void StatusBesideSlowClient(benchmark::State& state) {
  const std::string h = host();
  // The slow client connects and sends half a request, then waits.
  int slow = open_nonblocking(node().port);
  pollfd p{slow, POLLOUT, 0};
  if (slow < 0 || ::poll(&p, 1, 2000) != 1 || ::send(slow, "GET /sta", 8, MSG_NOSIGNAL) != 8) {
    state.SkipWithError("slow client could not connect");
  }
  std::vector<double> micros;
  for (auto _ : state) {
    auto t0 = Clock::now();
    auto body = net::http_call_timeout(h, "GET", "/status", {}, "application/json", 5);
    micros.push_back(micros_since(t0));
    if (!body) {
      state.SkipWithError("request failed");
      break;
    }
  }
  ::close(slow);
  state.counters["median_us"] = median(micros);
}
BENCHMARK(StatusBesideSlowClient)->Unit(benchmark::kMicrosecond);

// Connections that each send one byte of a request that never ends, every second, and
// reconnect when the node drops them.
class Tricklers {
 public:
  Tricklers(size_t n, uint16_t port) : port_(port), fds_(n, -1) {
    for (int& fd : fds_) fd = open_nonblocking(port_);
    thread_ = std::thread([this] { run(); });
  }
  ~Tricklers() {
    stop_ = true;
    thread_.join();
    for (int fd : fds_) {
      if (fd >= 0) ::close(fd);
    }
  }
  // Connections the node has accepted into its queue or beyond.
  size_t established() const { return established_; }

 private:
  void run() {
    static constexpr std::string_view kHead = "GET /status HTTP/1.1\r\nX-Slow: ";
    std::vector<size_t> sent(fds_.size(), 0);
    while (!stop_) {
      auto next = Clock::now() + std::chrono::seconds(1);
      size_t up = 0;
      for (size_t i = 0; i < fds_.size() && !stop_; ++i) {
        char byte = sent[i] < kHead.size() ? kHead[sent[i]] : 'a';
        ssize_t r = fds_[i] >= 0 ? ::send(fds_[i], &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT) : -1;
        if (r == 1) {
          ++sent[i];
          ++up;
        } else if (fds_[i] < 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
          // Dropped (or never connected): connect again.
          if (fds_[i] >= 0) ::close(fds_[i]);
          fds_[i] = open_nonblocking(port_);
          sent[i] = 0;
        }
      }
      established_ = up;
      while (!stop_ && Clock::now() < next) std::this_thread::sleep_for(milliseconds(20));
    }
  }

  uint16_t port_;
  std::vector<int> fds_;
  std::atomic<bool> stop_{false};
  std::atomic<size_t> established_{0};
  std::thread thread_;
};

void StatusBesideTricklers(benchmark::State& state) {
  const std::string h = host();
  auto probe = [&](std::vector<double>& micros, size_t n) {
    size_t answered = 0;
    for (size_t i = 0; i < n; ++i) {
      auto t0 = Clock::now();
      auto body = net::http_call_timeout(h, "GET", "/status", {}, "application/json", 5);
      micros.push_back(micros_since(t0));
      if (body && !body->empty()) ++answered;
    }
    return answered;
  };
  std::vector<double> unloaded;
  probe(unloaded, 50);
  std::this_thread::sleep_for(milliseconds(500));
  const double idle = node_rss();

  std::vector<double> loaded;
  size_t answered = 0;
  {
    Tricklers slow(static_cast<size_t>(state.range(0)), node().port);
    // Every trickler has sent a few bytes before the measurement starts.
    std::this_thread::sleep_for(std::chrono::seconds(4));
    for (auto _ : state) answered += probe(loaded, 1);
    state.counters["rss_above_idle_MiB"] = (node_rss() - idle) / (1 << 20);
    state.counters["tricklers_sending"] = static_cast<double>(slow.established());
  }
  state.counters["unloaded_median_us"] = median(unloaded);
  state.counters["median_us"] = median(loaded);
  state.counters["max_us"] = loaded.empty() ? 0 : *std::max_element(loaded.begin(), loaded.end());
  state.counters["answered"] = static_cast<double>(answered);
  state.counters["asked"] = static_cast<double>(loaded.size());
}
BENCHMARK(StatusBesideTricklers)
    ->Arg(10000)
    ->Iterations(40)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

// Reads a whole GET /chain reply and throws it away; the number of bytes read.
size_t download(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval tv{30, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  size_t got = 0;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    const std::string req = "GET /chain HTTP/1.1\r\n\r\n";
    if (::send(fd, req.data(), req.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(req.size())) {
      static thread_local char buf[1 << 16];
      for (ssize_t r; (r = ::recv(fd, buf, sizeof buf, 0)) > 0;) got += static_cast<size_t>(r);
    }
  }
  ::close(fd);
  return got;
}

void ChainDownloads(benchmark::State& state) {
  const size_t clients = static_cast<size_t>(state.range(0));
  const double idle = node_rss();
  double peak = idle;
  size_t bytes = 0;
  for (auto _ : state) {
    std::atomic<bool> done{false};
    std::thread sampler([&] {
      while (!done) {
        peak = std::max(peak, node_rss());
        std::this_thread::sleep_for(milliseconds(5));
      }
    });
    std::vector<std::thread> threads;
    std::vector<size_t> got(clients, 0);
    for (size_t i = 0; i < clients; ++i) {
      threads.emplace_back([&, i] { got[i] = download(node().big_port); });
    }
    for (auto& t : threads) t.join();
    done = true;
    sampler.join();
    for (size_t g : got) bytes += g;
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.counters["peak_rss_above_idle_MiB"] = (peak - idle) / (1 << 20);
}
BENCHMARK(ChainDownloads)->Arg(16)->Iterations(2)->UseRealTime()->Unit(benchmark::kMillisecond);

// A chain whose state file holds `n` mempool transfers; made once.
std::string mempool_chain(size_t n) {
  const std::filesystem::path dir = temp() / ("mempool-" + std::to_string(n));
  const std::string path = (dir / "quv.chain").string();
  if (std::filesystem::exists(path)) return path;
  crypto::init();
  std::filesystem::create_directories(dir);
  auto c = Chain::open(path);
  if (!c) std::abort();
  chain_gen::Builder b(n);
  codec::Tx paid = b.mint(n);
  if (!c->seal_txs({paid})) std::abort();
  b.add({paid});
  c->hold_saves();
  for (size_t i = 0; i < n; ++i) {
    if (!c->submit_tx(b.spend(1, 2))) std::abort();
  }
  if (!c->flush_saves()) std::abort();
  return path;
}

void StatusAt1000Entries(benchmark::State& state) {
  const std::string path = mempool_chain(1000);
  constexpr int kBuilt = 10;
  size_t doc_bytes = 0;
  const auto built_start = Clock::now();
  for (int i = 0; i < kBuilt; ++i) doc_bytes = net::status_json(path).size();
  const double built_s = std::chrono::duration<double>(Clock::now() - built_start).count();

  auto channel = net::channel();
  net::ServerOptions opts;
  opts.host = "127.0.0.1";
  opts.port = 0;
  auto server = net::Server::start(opts, path, channel.first);
  if (!server) {
    state.SkipWithError(server.error().to_string().c_str());
    return;
  }
  const std::string h = "127.0.0.1:" + std::to_string((*server)->port());
  const auto start = Clock::now();
  for (auto _ : state) {
    auto body = net::http_call_timeout(h, "GET", "/status", {}, "application/json", 5);
    if (!body || body->size() != doc_bytes) {
      state.SkipWithError("request failed");
      break;
    }
  }
  const double served_s = std::chrono::duration<double>(Clock::now() - start).count();
  const double built_per_s = kBuilt / built_s;
  const double served_per_s = static_cast<double>(state.iterations()) / served_s;
  state.counters["built_per_s"] = built_per_s;
  state.counters["cached_per_s"] = served_per_s;
  state.counters["x_built"] = served_per_s / built_per_s;
  state.counters["doc_MiB"] = static_cast<double>(doc_bytes) / (1 << 20);
}
BENCHMARK(StatusAt1000Entries)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  // The tricklers and the node each need one descriptor per connection.
  rlimit lim{};
  if (::getrlimit(RLIMIT_NOFILE, &lim) == 0) {
    lim.rlim_cur = lim.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &lim);
  }
  start_node();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  stop_node();
  return 0;
}

// A real node (`quv node --plain` in its own network namespace) among hostile and broken
// peers, each a small HTTP server of this test listening in a namespace of its own: a
// peer that trickles its chain while claiming ever-new heights, a peer that serves an
// endless chain, and peers that are silent, slow or unreachable. Ready transfers must go
// on being sealed at the node's pace, and the node's memory must stay small. The figures
// are printed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "chain_gen.h"
#include "core/codec.h"
#include "core/crypto.h"
#include "core/hashing.h"
#include "core/hex.h"
#include "core/seed.h"
#include "ledger/chain.h"
#include "netns.h"
#include "nodes.h"
#include "proc.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using json = nlohmann::json;

// How a fake peer answers one request.
struct Answer {
  // Stream: a head that declares 100 MB, `body`, then 9 000 bytes every `every` until the
  // client goes.
  enum class Kind { Reply, Trickle, Endless, Silent, Stream };
  Kind kind = Kind::Reply;
  std::string body;
  milliseconds every{0};
};
using Handler = std::function<Answer(const std::string& method, const std::string& path)>;

// An HTTP server of this test listening on port 19191 inside namespace `ns`: the socket
// is made by a thread that enters the namespace, and then served from this process like
// any other. Every connection gets a thread; all end when the peer is dropped.
class FakePeer {
 public:
  FakePeer(const std::string& ns, Handler h) : handler_(std::move(h)) {
    std::thread([&] {
      int nsfd = ::open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
      if (nsfd < 0) return;
      const bool in = ::setns(nsfd, CLONE_NEWNET) == 0;
      ::close(nsfd);
      if (!in) return;
      fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      int one = 1;
      ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(19191);
      if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 64) != 0) {
        ::close(fd_);
        fd_ = -1;
      }
    }).join();
    if (fd_ >= 0) accept_thread_ = std::thread([this] { serve(); });
  }
  ~FakePeer() {
    stop_ = true;
    if (accept_thread_.joinable()) accept_thread_.join();
    for (auto& t : conns_) t.join();
    if (fd_ >= 0) ::close(fd_);
  }
  bool listening() const { return fd_ >= 0; }
  size_t count(const std::string& prefix) {
    std::lock_guard lock(mu_);
    return std::count_if(log_.begin(), log_.end(),
                         [&](const std::string& l) { return l.starts_with(prefix); });
  }

 private:
  bool wait(int fd, short events, int ms) {
    pollfd p{fd, events, 0};
    return ::poll(&p, 1, ms) > 0;
  }

  void serve() {
    while (!stop_) {
      if (!wait(fd_, POLLIN, 100)) continue;
      int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      conns_.emplace_back([this, c] {
        answer(c);
        ::close(c);
      });
    }
  }

  bool send_all(int c, const char* p, size_t n) {
    while (n > 0 && !stop_) {
      if (!wait(c, POLLOUT, 100)) continue;
      ssize_t r = ::send(c, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (r <= 0) {
        if (r < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        return false;
      }
      p += r;
      n -= static_cast<size_t>(r);
    }
    return n == 0;
  }

  void answer(int c) {
    std::string in;
    char buf[8192];
    const auto give_up = Clock::now() + std::chrono::seconds(5);
    while (in.find("\r\n\r\n") == std::string::npos && Clock::now() < give_up && !stop_) {
      if (!wait(c, POLLIN, 100)) continue;
      ssize_t r = ::recv(c, buf, sizeof buf, 0);
      if (r <= 0) return;
      in.append(buf, static_cast<size_t>(r));
    }
    // A client that went away before its request was whole gets nothing.
    if (in.find("\r\n\r\n") == std::string::npos) return;
    const std::string line = in.substr(0, in.find("\r\n"));
    if (line.find(' ') == std::string::npos) return;
    const std::string method = line.substr(0, line.find(' '));
    const size_t p0 = method.size() + 1;
    const std::string path = line.substr(p0, line.find(' ', p0) - p0);
    {
      std::lock_guard lock(mu_);
      log_.push_back(method + " " + path);
    }
    Answer a = handler_(method, path);
    switch (a.kind) {
      case Answer::Kind::Silent:
        while (!stop_) {
          if (wait(c, POLLIN, 100) && ::recv(c, buf, sizeof buf, 0) <= 0) return;
        }
        return;
      case Answer::Kind::Reply: {
        const std::string reply =
            "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(a.body.size()) +
            "\r\nConnection: close\r\n\r\n" + a.body;
        send_all(c, reply.data(), reply.size());
        ::shutdown(c, SHUT_WR);
        return;
      }
      case Answer::Kind::Trickle: {
        const std::string reply = "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + a.body;
        for (char ch : reply) {
          if (stop_ || !send_all(c, &ch, 1)) return;
          std::this_thread::sleep_for(a.every);
        }
        return;
      }
      case Answer::Kind::Stream: {
        const std::string head =
            "HTTP/1.1 200 OK\r\nContent-Length: 104857600\r\nConnection: close\r\n\r\n" + a.body;
        const std::string chunk(9000, 'z');
        for (bool ok = send_all(c, head.data(), head.size()); ok && !stop_;) {
          std::this_thread::sleep_for(a.every);
          ok = send_all(c, chunk.data(), chunk.size());
        }
        return;
      }
      case Answer::Kind::Endless: {
        const std::string head = "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + a.body;
        if (!send_all(c, head.data(), head.size())) return;
        const std::string chunk(1 << 16, 'z');
        while (!stop_ && send_all(c, chunk.data(), chunk.size())) {
        }
        return;
      }
    }
  }

  Handler handler_;
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::thread accept_thread_;
  std::vector<std::thread> conns_;
  std::mutex mu_;
  std::vector<std::string> log_;
};

std::string status_doc(const std::string& id, int64_t height, const std::string& tip) {
  return json{
      {"ok", true}, {"node_id", id}, {"height", height}, {"tip", tip}, {"mempool", json::array()},
      {"nft", 0}}
      .dump();
}

// A peer named `name` whose status claims a new height and tip at every request, from
// `claim` on, and whose GET /chain gets `chain`.
Handler ever_claiming_peer(std::atomic<int64_t>& claim, std::string name, Answer chain) {
  return [&claim, name, chain](const std::string&, const std::string& path) {
    if (path == "/status") {
      const int64_t h = ++claim;
      return Answer{Answer::Kind::Reply,
                    status_doc(name, h, hex::encode(hashing::h32(bytes::of(std::to_string(h)))))};
    }
    if (path.starts_with("/chain")) return chain;
    if (path == "/nft") return Answer{Answer::Kind::Reply, "{\"hashes\":[]}"};
    return Answer{Answer::Kind::Reply, "{\"ok\":true}"};
  };
}

// An ever-claiming peer whose chain streams at 90 KB/s, just above the rate floor, with a
// length that would take it twenty minutes.
Handler floor_rate_peer(std::atomic<int64_t>& claim) {
  return ever_claiming_peer(
      claim, "floor", Answer{Answer::Kind::Stream, std::string(chain::kMagic), milliseconds(100)});
}

// Limits what namespace `ns` sends to `bytes_per_s` on its link to the bridge.
bool shape(const std::string& ns, uint64_t bytes_per_s) {
  const std::string tc = fs::exists("/usr/sbin/tc") ? "/usr/sbin/tc" : "/sbin/tc";
  auto o = proc::run(nodes::ip_bin(),
                     {"netns", "exec", ns, tc, "qdisc", "add", "dev", "e0", "root", "tbf", "rate",
                      std::to_string(bytes_per_s * 8) + "bit", "burst", "32kb", "latency", "2s"});
  if (o.status != 0) std::cout << "tc: " << o.err << "\n";
  return o.status == 0;
}

// Peak resident memory of a process in MB, from /proc.
double peak_rss_mb(pid_t pid) {
  const std::string status = proc::slurp("/proc/" + std::to_string(pid) + "/status");
  const size_t at = status.find("VmHWM:");
  if (at == std::string::npos) return -1;
  return std::stod(status.substr(at + 6)) / 1024.0;
}

class Hostile : public nodes::NetTest {
 protected:
  void SetUp() override {
    // Namespace 0 is the node's; the others are its peers'.
    make_net(6);
    if (IsSkipped()) return;
    gen_.add({gen_.mint(60)});
    fs::create_directories(chain_.parent_path());
    gen_.write(chain_);
  }
  void TearDown() override {
    if (node_) node_->stop();
  }

  // Starts the node with these peers; true once it answers.
  bool start(const std::vector<std::string>& peers) {
    auto o = nodes::set_peers(bin_, chain_, peers);
    EXPECT_EQ(o.status, 0) << o.err;
    node_ = nodes::start(bin_, net_->ns(0), chain_, "0", dir_ / "node.out", dir_ / "node.err");
    return nodes::wait_until([&] { return height() >= 0; }, std::chrono::seconds(20),
                             milliseconds(100));
  }
  int64_t height() { return nodes::height(net_->ns(0)); }
  // Posts `n` transfers one after another, each once the one before is sealed, and
  // returns how long each took from its post to its block (or `limit` when it never
  // came).
  std::vector<double> seal_latencies(size_t n, std::chrono::seconds limit) {
    std::vector<double> out;
    for (size_t i = 0; i < n; ++i) {
      const int64_t before = height();
      const Bytes raw = codec::encode_tx_signed(gen_.spend());
      const auto t0 = Clock::now();
      netns::call_in(net_->ns(0), "127.0.0.1:19191", "POST", "/tx", raw,
                     "application/octet-stream");
      while (height() <= before && Clock::now() - t0 < limit) {
        std::this_thread::sleep_for(milliseconds(20));
      }
      out.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
    }
    return out;
  }
  static double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  }
  static void print(const std::string& what, const std::vector<double>& v) {
    std::vector<double> s = v;
    std::sort(s.begin(), s.end());
    std::cout << what << ": " << s.size() << " transfers, median " << s[s.size() / 2]
              << " s, worst " << s.back() << " s\n";
  }
  std::string peer(size_t i) const { return net_->addr(i) + ":19191"; }
  void show_log() const {
    std::cout << "---- node stdout (tail)\n";
    const std::string out = proc::slurp(dir_ / "node.out");
    std::cout << out.substr(out.size() > 3000 ? out.size() - 3000 : 0);
    std::cout << "---- node stderr (tail)\n";
    const std::string err = proc::slurp(dir_ / "node.err");
    std::cout << err.substr(err.size() > 3000 ? err.size() - 3000 : 0);
  }

  const std::string bin_ = nodes::bin_under_test(QUV_BIN);
  proc::TempDir tmp_;
  fs::path dir_ = tmp_.path();
  fs::path chain_ = dir_ / "n" / "quv.chain";
  chain_gen::Builder gen_{41};
  std::unique_ptr<netns::Bg> node_;
};

// A peer whose status claims a new height and tip at every request and whose GET /chain
// sends one byte every half second.
TEST_F(Hostile, ATricklingPeerDoesNotHoldSealingHostage) {
  std::atomic<int64_t> claim{1000};
  FakePeer trickler(net_->ns(1),
                    ever_claiming_peer(claim, "trickler",
                                       Answer{Answer::Kind::Trickle,
                                              std::string(chain::kMagic) + std::string(4096, 'x'),
                                              milliseconds(500)}));
  ASSERT_TRUE(trickler.listening());
  ASSERT_TRUE(start({peer(1)}));
  const auto lat = seal_latencies(15, std::chrono::seconds(15));
  print("trickling peer, ready transfer to block", lat);
  std::cout << "trickling peer: " << trickler.count("GET /chain") << " chain downloads in "
            << std::accumulate(lat.begin(), lat.end(), 0.0) << " s\n";
  const size_t sealed = std::count_if(lat.begin(), lat.end(), [](double s) { return s < 15; });
  std::cout << "trickling peer: " << sealed << " of 15 ready transfers sealed\n";
  EXPECT_EQ(sealed, 15u);
  // Within three ticks of about a second each; the worst case gets room for a machine busy
  // with other tests, still far below what the peer used to cost (nothing sealed at all).
  EXPECT_LT(median(lat), 3.5);
  EXPECT_LT(*std::max_element(lat.begin(), lat.end()), 8.0);
  if (HasFailure()) show_log();
}

// Beside an honest node that gains a block every two seconds, a peer that claims ever-new
// heights and streams its chain just above the rate floor: the node stays within a few
// blocks of the honest one. QUV_SLOW_PEER_SECONDS lengthens the run (60 s by default).
TEST_F(Hostile, AFloorRatePeerDoesNotKeepTheNodeBehindAnHonestOne) {
  std::atomic<int64_t> claim{1000};
  FakePeer slow(net_->ns(1), floor_rate_peer(claim));
  ASSERT_TRUE(slow.listening());
  const fs::path honest = dir_ / "h" / "quv.chain";
  fs::create_directories(honest.parent_path());
  fs::copy_file(chain_, honest);
  ASSERT_EQ(nodes::set_peers(bin_, honest, {peer(0)}).status, 0);
  auto h = nodes::start(bin_, net_->ns(2), honest, "0", dir_ / "h.out", dir_ / "h.err");
  ASSERT_TRUE(start({peer(1), peer(2)}));
  const char* env = std::getenv("QUV_SLOW_PEER_SECONDS");
  const auto run = std::chrono::seconds(env != nullptr ? std::atoi(env) : 60);
  const std::string payee = WalletKeys::from_mnemonic(seed::to_mnemonic(seed::generate())).address;
  int64_t worst = 0;
  const auto t0 = Clock::now();
  for (auto next_mint = t0; Clock::now() - t0 < run;
       std::this_thread::sleep_for(milliseconds(200))) {
    if (Clock::now() >= next_mint) {
      EXPECT_EQ(proc::run(bin_, {"--chain", honest.string(), "mint", payee, "1"}).status, 0);
      next_mint += std::chrono::seconds(2);
    }
    if (const int64_t own = height(); own >= 0) {
      worst = std::max(worst, nodes::height(net_->ns(2)) - own);
    }
  }
  std::cout << "floor-rate peer beside an honest node: largest lag " << worst << " blocks in "
            << run.count() << " s; honest at " << nodes::height(net_->ns(2)) << ", node at "
            << height() << ", " << slow.count("GET /chain") << " downloads from the slow peer\n";
  EXPECT_LE(worst, 4);
  if (HasFailure()) show_log();
}

// A node restarted beside that peer seals a transfer posted as soon as it answers within
// about two seconds, as it would without that peer.
TEST_F(Hostile, ARestartBesideAFloorRatePeerSealsSoon) {
  std::atomic<int64_t> claim{1000};
  FakePeer slow(net_->ns(1), floor_rate_peer(claim));
  ASSERT_TRUE(slow.listening());
  std::vector<double> firsts;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(start({peer(1)}));
    firsts.push_back(seal_latencies(1, std::chrono::seconds(20))[0]);
    node_->stop();
  }
  print("restart beside a floor-rate peer, first transfer to block", firsts);
  EXPECT_LT(median(firsts), 5.0);
}

// A node on a fork, an honest node with a longer chain of 750 KB behind a 200 KiB/s link,
// and a fast peer that claims one block less than the honest one and serves junk: the node
// takes the honest chain within the time the link needs and a few seconds.
TEST_F(Hostile, AJunkPeerDoesNotKeepTheNodeOffASlowHonestChain) {
  // A shared chain of about 750 KB (old blocks need no proof of work), then one mined block
  // of the node's own and three of the honest node's.
  chain_gen::Builder shared(43, false, true);
  shared.full_blocks(36);
  std::vector<codec::Block> own(shared.blocks()), longer(shared.blocks());
  // The node's own block holds a payout, so that it differs from the honest one.
  own.push_back(chain_gen::make_block(own.size(), own.back().hash, {shared.mint(1)}, true));
  for (int i = 0; i < 3; ++i) {
    longer.push_back(chain_gen::make_block(longer.size(), longer.back().hash, {}, true));
  }
  const Bytes honest_file = chain_gen::file_bytes(longer);
  const int64_t honest_height = static_cast<int64_t>(longer.size()) - 1;
  proc::spit(chain_, std::string(honest_file.begin(), honest_file.end()));
  const fs::path honest = dir_ / "h" / "quv.chain";
  fs::create_directories(honest.parent_path());
  fs::rename(chain_, honest);
  const Bytes own_file = chain_gen::file_bytes(own);
  proc::spit(chain_, std::string(own_file.begin(), own_file.end()));

  FakePeer junk(net_->ns(2), [&](const std::string&, const std::string& path) {
    if (path == "/status") {
      return Answer{Answer::Kind::Reply,
                    status_doc("junk", honest_height - 1, std::string(64, '0'))};
    }
    if (path.starts_with("/chain")) {
      return Answer{Answer::Kind::Reply, std::string(chain::kMagic) + std::string(4096, 'j')};
    }
    if (path == "/nft") return Answer{Answer::Kind::Reply, "{\"hashes\":[]}"};
    return Answer{Answer::Kind::Reply, "{\"ok\":true}"};
  });
  ASSERT_TRUE(junk.listening());
  ASSERT_TRUE(shape(net_->ns(1), 200 << 10));
  ASSERT_EQ(nodes::set_peers(bin_, honest, {peer(0)}).status, 0);
  auto h = nodes::start(bin_, net_->ns(1), honest, "0", dir_ / "h.out", dir_ / "h.err");
  ASSERT_TRUE(nodes::wait_until([&] { return nodes::height(net_->ns(1)) == honest_height; },
                                std::chrono::seconds(20), milliseconds(100)));
  const auto t0 = Clock::now();
  ASSERT_TRUE(start({peer(2), peer(1)}));
  nodes::wait_until([&] { return height() >= honest_height; }, std::chrono::seconds(40),
                    milliseconds(100));
  const double took = std::chrono::duration<double>(Clock::now() - t0).count();
  // What the link needs for the whole file.
  const double link = static_cast<double>(honest_file.size()) / (200 << 10);
  std::cout << "slow honest chain of " << honest_file.size() << " bytes beside a junk peer: "
            << (height() >= honest_height ? "adopted after " : "not adopted in ") << took
            << " s (the link needs " << link << " s), " << junk.count("GET /chain")
            << " downloads from the junk peer\n";
  EXPECT_GE(height(), honest_height);
  EXPECT_LT(took, link + 8);
  if (HasFailure()) show_log();
}

// A peer that serves an endless chain: the download goes to a staging file beside the
// chain and stops at its disk bound, so the node's memory stays small; the staging file
// of a node killed during the download is removed when the chain is next opened.
TEST_F(Hostile, AnEndlessChainCostsNoMemory) {
  FakePeer endless(net_->ns(1), [&](const std::string&, const std::string& path) {
    if (path == "/status") {
      return Answer{Answer::Kind::Reply, status_doc("endless", 1000000, std::string(64, '0'))};
    }
    if (path.starts_with("/chain")) {
      return Answer{Answer::Kind::Endless, std::string(chain::kMagic)};
    }
    if (path == "/nft") return Answer{Answer::Kind::Reply, "{\"hashes\":[]}"};
    return Answer{Answer::Kind::Reply, "{\"ok\":true}"};
  });
  ASSERT_TRUE(endless.listening());
  ASSERT_TRUE(start({peer(1)}));
  const auto t0 = Clock::now();
  const auto lat = seal_latencies(8, std::chrono::seconds(10));
  while (Clock::now() - t0 < std::chrono::seconds(15)) {
    std::this_thread::sleep_for(milliseconds(200));
  }
  const double peak = peak_rss_mb(node_->pid());
  print("endless chain, ready transfer to block", lat);
  std::cout << "endless chain: peak RSS " << peak << " MB after "
            << std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - t0).count() << " s, "
            << endless.count("GET /chain") << " chain downloads\n";
  EXPECT_EQ(proc::slurp("/proc/" + std::to_string(node_->pid()) + "/comm"), "quv\n");
  EXPECT_GT(peak, 0);
  EXPECT_LT(peak, 200);
  EXPECT_LT(median(lat), 3.5);
  EXPECT_LT(*std::max_element(lat.begin(), lat.end()), 8.0);

  // Killed during a download: its staging file stays behind until the chain is opened.
  auto staged = [&] {
    size_t n = 0;
    for (const auto& e : fs::directory_iterator(chain_.parent_path())) {
      n += e.path().filename().string().starts_with(".quv.chain.adopt-");
    }
    return n;
  };
  const auto end = Clock::now() + std::chrono::seconds(40);
  while (staged() == 0 && Clock::now() < end) std::this_thread::sleep_for(milliseconds(50));
  ASSERT_EQ(staged(), 1u);
  node_->stop();
  node_.reset();
  ASSERT_EQ(staged(), 1u);
  auto o = proc::run(QUV_BIN, {"--chain", chain_.string(), "status"});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(staged(), 0u);
  // Nothing went to the temporary directory.
  for (const auto& e : fs::directory_iterator(fs::temp_directory_path())) {
    EXPECT_FALSE(
        e.path().filename().string().starts_with("quv-adopt-" + std::to_string(::getpid())));
  }
  if (HasFailure()) show_log();
}

// Five peers that do not help: two accept and never answer, one answers its status at
// once and everything else a byte at a time, two are not there at all. Transfers are
// still sealed within seconds.
TEST_F(Hostile, SilentSlowAndUnreachablePeersDoNotSlowSealing) {
  auto silent = [](const std::string&, const std::string&) {
    return Answer{Answer::Kind::Silent, ""};
  };
  FakePeer s1(net_->ns(1), silent), s2(net_->ns(2), silent);
  FakePeer slow(net_->ns(3), [&](const std::string&, const std::string& path) {
    if (path == "/status") {
      // A mempool entry to acknowledge, so that every tick would post to it.
      json pool = json::array({json{{"id", std::string(64, 'a')}, {"raw", "00"}}});
      json doc = json::parse(status_doc("slow", 0, std::string(64, 'f')));
      doc["mempool"] = pool;
      return Answer{Answer::Kind::Reply, doc.dump()};
    }
    if (path == "/nft") {
      return Answer{Answer::Kind::Trickle, "{\"hashes\":[\"" + std::string(64, 'b') + "\"]}",
                    milliseconds(300)};
    }
    return Answer{Answer::Kind::Trickle, "{\"ok\":true}", milliseconds(300)};
  });
  ASSERT_TRUE(s1.listening() && s2.listening() && slow.listening());
  // Addresses on the bridge where no namespace answers.
  ASSERT_TRUE(start({peer(1), peer(2), peer(3), "10.77.0.200:19191", "10.77.0.201:19191"}));
  const auto lat = seal_latencies(12, std::chrono::seconds(15));
  print("five silent, slow or unreachable peers, ready transfer to block", lat);
  std::cout << "silent peers asked " << s1.count("GET /status") + s2.count("GET /status")
            << " times, slow peer " << slow.count("") << " requests\n";
  // Before, two dead peers alone made a seal wait 12.8 s.
  EXPECT_LT(median(lat), 3.0);
  EXPECT_LT(*std::max_element(lat.begin(), lat.end()), 8.0);
  if (HasFailure()) show_log();
}

}  // namespace

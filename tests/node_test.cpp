// The node loop against a real chain in a scratch directory, with peers that are small
// scripted HTTP servers on loopback ports or other in-process nodes: the event lines of a
// tick, the same-tick rule, catch-up against honest and hostile peers, and gossip that
// costs a constant number of requests once the peers agree.
#include "node/node.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "chain_gen.h"
#include "core/codec.h"
#include "core/crypto.h"
#include "core/hashing.h"
#include "core/hex.h"
#include "jpeg.h"
#include "ledger/nft.h"
#include "ledger/state.h"
#include "ledger/work.h"
#include "net/net.h"
#include "node/heap.h"
#include "proc.h"

namespace {

using node::LogLine;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using json = nlohmann::json;

// ---------------------------------------------------------------------------
// A scripted peer: one thread answers one connection at a time.

struct Scripted {
  std::string body;
  // Accept the request and never answer.
  bool silent = false;
  // Send the reply one byte per interval.
  milliseconds trickle{0};
  // The status line's code and reason, and header lines to add (each ending in "\r\n").
  std::string status = "200 OK";
  std::string headers = "";
  // Send only this many bytes of the body, though the header declares all of them.
  std::optional<size_t> cut;
};

// The patterns the fake peers read requests with, built before any thread starts:
// building a pattern on several threads at once is not safe.
const std::regex kLength("Content-Length: (\\d+)");
const std::regex kRange("\r\nRange: (bytes=\\d+-)");

class FakePeer {
 public:
  using Handler = std::function<Scripted(const std::string& method, const std::string& path,
                                         const std::string& body)>;

  explicit FakePeer(Handler h) : handler_(std::move(h)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 16) != 0) {
      ADD_FAILURE() << "cannot listen";
    }
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    if (::pipe(stop_) != 0) ADD_FAILURE() << "pipe";
    thread_ = std::thread([this] { serve(); });
  }
  ~FakePeer() {
    (void)!::write(stop_[1], "x", 1);
    thread_.join();
    for (auto& t : conns_) t.join();
    ::close(fd_);
    ::close(stop_[0]);
    ::close(stop_[1]);
  }

  std::string endpoint() const { return "127.0.0.1:" + std::to_string(port_); }
  // "METHOD path" of every request served so far.
  std::vector<std::string> requests() const {
    std::lock_guard lock(mu_);
    return log_;
  }
  void clear() {
    std::lock_guard lock(mu_);
    log_.clear();
  }
  size_t count(const std::string& prefix) const {
    size_t n = 0;
    for (const auto& r : requests()) n += r.starts_with(prefix);
    return n;
  }

 private:
  bool stopping(int fd, short events, int wait_ms) {
    pollfd p[2] = {{stop_[0], POLLIN, 0}, {fd, events, 0}};
    ::poll(p, 2, wait_ms);
    return (p[0].revents & POLLIN) != 0;
  }

  // Each connection is answered on a thread of its own, so a slow reply holds no other.
  void serve() {
    for (;;) {
      if (stopping(fd_, POLLIN, -1)) return;
      int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      conns_.emplace_back([this, c] {
        answer(c);
        ::close(c);
      });
    }
  }

  // Serves one connection; false when the peer is being stopped.
  bool answer(int c) {
    // Compiled once: connections are answered on threads of their own, and compiling a
    // pattern writes to the standard library's shared character tables.
    static const std::regex kLength("Content-Length: (\\d+)");
    static const std::regex kRange("\r\nRange: (bytes=\\d+-)");
    std::string in;
    char buf[65536];
    size_t head_end = std::string::npos;
    size_t need = 0;
    const auto give_up = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < give_up) {
      if (stopping(c, POLLIN, 100)) return false;
      ssize_t r = ::recv(c, buf, sizeof buf, MSG_DONTWAIT);
      if (r == 0) return true;
      if (r > 0) in.append(buf, static_cast<size_t>(r));
      if (head_end == std::string::npos && (head_end = in.find("\r\n\r\n")) != std::string::npos) {
        std::smatch m;
        std::string head = in.substr(0, head_end);
        if (std::regex_search(head, m, kLength)) {
          need = std::stoul(m[1]);
        }
      }
      if (head_end != std::string::npos && in.size() >= head_end + 4 + need) break;
    }
    if (head_end == std::string::npos) return true;
    const std::string line = in.substr(0, in.find("\r\n"));
    const std::string method = line.substr(0, line.find(' '));
    const std::string path = line.substr(method.size() + 1, line.rfind(' ') - method.size() - 1);
    // A range asked for is logged after the path.
    std::smatch range;
    const std::string head = in.substr(0, head_end);
    const bool ranged = std::regex_search(head, range, kRange);
    {
      std::lock_guard lock(mu_);
      log_.push_back(method + " " + path + (ranged ? " " + range[1].str() : ""));
    }
    Scripted s = handler_(method, ranged ? path + " " + range[1].str() : path,
                          in.substr(head_end + 4, need));
    if (s.silent) {
      // Hold the connection until the client gives up.
      while (!stopping(c, POLLIN, 100)) {
        if (::recv(c, buf, sizeof buf, MSG_DONTWAIT) == 0) return true;
      }
      return false;
    }
    std::string reply = "HTTP/1.1 " + s.status +
                        "\r\nContent-Length: " + std::to_string(s.body.size()) + "\r\n" +
                        s.headers + "Connection: close\r\n\r\n" +
                        s.body.substr(0, s.cut.value_or(std::string::npos));
    if (s.trickle.count() == 0) {
      (void)!::send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
      return true;
    }
    for (char ch : reply) {
      if (::send(c, &ch, 1, MSG_NOSIGNAL) != 1) return true;
      if (stopping(c, 0, static_cast<int>(s.trickle.count()))) return false;
    }
    return true;
  }

  Handler handler_;
  int fd_ = -1;
  int stop_[2] = {-1, -1};
  uint16_t port_ = 0;
  std::thread thread_;
  std::vector<std::thread> conns_;
  mutable std::mutex mu_;
  std::vector<std::string> log_;
};

// A status document as a peer would serve it.
std::string status_doc(const std::string& node_id, const json& height, const std::string& tip,
                       const json& mempool = json::array()) {
  return json{{"ok", true}, {"node_id", node_id}, {"height", height},
              {"tip", tip}, {"mempool", mempool}, {"nft", 0}}
      .dump();
}

std::string str(const Bytes& b) { return std::string(b.begin(), b.end()); }

// The reply to "/chain bytes=N-": `file` from byte N on.
Scripted ranged(const std::string& file, const std::string& path) {
  const size_t from = std::stoul(path.substr(13));
  return {file.substr(from), false, milliseconds(0), "206 Partial Content",
          "Content-Range: bytes " + std::to_string(from) + "-" + std::to_string(file.size() - 1) +
              "/" + std::to_string(file.size()) + "\r\n"};
}

// ---------------------------------------------------------------------------
// Reading a peer's status document.

// A reading in one line: node id, height, tip, then each entry's raw and id ("-" for none).
std::string describe(const std::optional<node::PeerStatus>& st) {
  if (!st) return "not JSON";
  std::string out = st->node_id + "|" + std::to_string(st->height) + "|" + st->tip.value_or("-");
  for (const auto& e : st->mempool) out += "|" + e.raw.value_or("-") + "/" + e.id.value_or("-");
  return out;
}

std::optional<node::PeerStatus> read_text(const std::string& text) {
  return node::read_status(ByteView(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

// Nested arrays, `n` deep, inside the mempool array of a document.
std::string nested_entry(int n) {
  return "{\"mempool\":[" + std::string(n, '[') + std::string(n, ']') + "]}";
}

TEST(PeerStatusRead, ReadsWhatAWholeDocumentWouldGive) {
  struct Case {
    std::string what;
    std::string text;
    std::string reading;
  };
  const Case cases[] = {
      {"a plain document",
       R"({"ok":true,"node_id":"p","height":3,"tip":"ab","mempool":[)"
       R"({"id":"i","raw":"aa","inputs":["x"],"outputs":[{"id":"o"}]}]})",
       "p|3|ab|aa/i"},
      {"the last of twice the same member counts",
       R"({"height":1,"height":2,"node_id":"a",)"
       R"("node_id":"b","tip":"x","tip":"y"})",
       "b|2|y"},
      {"a repeat of another type gives the default",
       R"({"height":5,"height":"5","node_id":"a",)"
       R"("node_id":3,"tip":"x","tip":""})",
       "|-1|-"},
      {"the last mempool replaces the first",
       R"({"mempool":[{"raw":"aa"},{"raw":"bb"}],"mempool":[{"id":"c"}]})", "|-1|-|-/c"},
      {"a last mempool that is no array empties it", R"({"mempool":[{"raw":"aa"}],"mempool":{}})",
       "|-1|-"},
      {"a mempool object is no list", R"({"mempool":{"raw":"aa","id":"i"}})", "|-1|-"},
      {"entries that are no objects count, empty",
       R"({"mempool":[1,"aa",null,true,2.5,[{"raw":"aa"}],{}]})",
       "|-1|-|-/-|-/-|-/-|-/-|-/-|-/-|-/-"},
      {"raw and id of other types, or repeated",
       R"({"mempool":[{"raw":12,"id":["x"]},{"raw":"aa","raw":null,"id":"b","id":"c"},)"
       R"({"raw":{"raw":"aa"},"id":"i"},{"id":{},"id":"j"}]})",
       "|-1|-|-/-|-/c|-/i|-/j"},
      {"members of deeper objects are not the entry's",
       R"({"mempool":[{"outputs":[{"id":"x","raw":"y"}],"mempool":[{"raw":"z"}],"id":"i"}],)"
       R"("raw":"r","x":{"height":3,"node_id":"n","mempool":[{}]}})",
       "|-1|-|-/i"},
      {"a document that is no object reads as empty", R"([{"height":3,"node_id":"n"}])", "|-1|-"},
      {"a text", R"("text")", "|-1|-"},
      {"a number", "3", "|-1|-"},
      {"the largest signed height", R"({"height":9223372036854775807})", "|9223372036854775807|-"},
      {"a height above the signed range", R"({"height":9223372036854775808})", "|-1|-"},
      {"a negative height", R"({"height":-5})", "|-5|-"},
      {"fractions are no heights", R"({"height":3.0})", "|-1|-"},
      {"nor exponents", R"({"height":1e2})", "|-1|-"},
      {"nothing", "", "not JSON"},
      {"an open object", R"({"height":1)", "not JSON"},
      {"text after the document", R"({"height":1} x)", "not JSON"},
      {"a bad escape in a skipped member", R"({"mempool":[{"inputs":["\q"]}]})", "not JSON"},
      {"invalid UTF-8", "{\"node_id\":\"\xff\"}", "not JSON"},
      {"a number too large for any type", R"({"x":1e999})", "not JSON"},
      {"64 levels deep", nested_entry(62), "|-1|-|-/-"},
      {"65 levels deep", nested_entry(63), "not JSON"},
      {"a NUL byte ends the text", std::string("{\"height\":1}\0x", 14), "|1|-"},
      {"but nesting after it still counts",
       std::string("{\"height\":1}\0", 13) + std::string(65, '['), "not JSON"},
      {"brackets inside a text do not nest", "{\"node_id\":\"" + std::string(100, '[') + "\"}",
       std::string(100, '[') + "|-1|-"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(describe(read_text(c.text)), c.reading) << c.what;
  }
}

// ---------------------------------------------------------------------------
// An in-process node: a chain in its own directory, a server on a loopback port, and
// the session its ticks use.

struct TestNode {
  proc::TempDir dir;
  std::unique_ptr<Chain> chain;
  std::unique_ptr<net::Server> server;
  net::Sender sender;
  node::Session session;

  // A node whose chain file holds `file`, with a server when `serve` is set.
  explicit TestNode(const Bytes& file, bool serve = false) {
    proc::spit(path(), str(file));
    auto c = Chain::open(path());
    EXPECT_TRUE(c) << c.error().to_string();
    chain = std::make_unique<Chain>(std::move(*c));
    auto [tx, rx] = net::channel();
    sender = tx;
    session.rx = std::move(rx);
    if (serve) {
      net::ServerOptions opts;
      opts.host = "127.0.0.1";
      opts.port = 0;
      auto s = net::Server::start(opts, path().string(), tx);
      EXPECT_TRUE(s) << s.error().to_string();
      server = std::move(*s);
    }
    static std::atomic<int> made{0};
    set_id("node-" + std::to_string(++made));
  }

  std::filesystem::path path() const { return dir / "quv.chain"; }
  std::string endpoint() const { return "127.0.0.1:" + std::to_string(server->port()); }
  void set_id(const std::string& id) {
    ASSERT_TRUE(chain->edit_state([&](NodeState& s) { s.node_id = id; }));
  }
  void set_peers(std::vector<std::string> peers) {
    if (peers.empty()) {
      ASSERT_TRUE(chain->edit_state([](NodeState& s) { s.peers.clear(); }));
      return;
    }
    ASSERT_TRUE(work::set_peers(*chain, std::move(peers)));
  }
  void send(net::NetMsg m) { sender.send(std::move(m)); }
  std::vector<LogLine> tick() { return node::pulse(*chain, session); }
  int64_t height() const { return static_cast<int64_t>(chain->block_count()) - 1; }
  int64_t last_beat() const { return work::status(*chain).last_beat; }
  // The state file as this node's server would read it.
  NodeState saved() const {
    auto s = state::parse(proc::slurp(state::path_for(path())));
    return s.value_or(NodeState{});
  }
};

net::NetMsg tx_msg(const codec::Tx& tx) { return {net::NetMsg::Tx{codec::encode_tx_signed(tx)}}; }
std::string id_of(const codec::Tx& tx) { return hex::encode(codec::txid(tx)); }

class NodeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { crypto::init(); }
  void SetUp() override {
    builder_ = std::make_unique<chain_gen::Builder>(7);
    builder_->add({builder_->mint(80)});
  }
  chain_gen::Builder& gen() { return *builder_; }
  std::unique_ptr<chain_gen::Builder> builder_;
  proc::TempDir tmp_;
  proc::ScopedEnv tmpdir_{"TMPDIR", tmp_.path().string()};
};

// ---------------------------------------------------------------------------
// The plain log.

// Standard output and standard error on one file, as a service manager or `2>&1` sets them
// up: a buffered stream for normal lines and an unbuffered one for errors, both writing
// through one open file.
TEST(PlainLog, LinesKeepTheirOrderWithBothStreamsOnOneFile) {
  proc::TempDir tmp;
  const auto path = tmp / "node.log";
  std::FILE* out = std::fopen(path.c_str(), "w");
  ASSERT_NE(out, nullptr);
  std::FILE* err = ::fdopen(::dup(::fileno(out)), "w");
  ASSERT_NE(err, nullptr);
  ASSERT_EQ(std::setvbuf(out, nullptr, _IOFBF, 1 << 16), 0);
  ASSERT_EQ(std::setvbuf(err, nullptr, _IONBF, 0), 0);
  const std::vector<LogLine> tick{{true, "reward "},
                                  {false, "drop: No reward address."},
                                  {true, "seal height=3 0001ab…77cd01"},
                                  {false, "seal: x"},
                                  {false, "work: y"},
                                  {true, "done"}};
  node::print_lines({{true, "listen 0.0.0.0:19191  (P2P / wallet RPC)"}}, out, err);
  node::print_lines(tick, out, err);
  // What is on the file now is what a reader sees while the node runs on.
  EXPECT_EQ(proc::slurp(path),
            "listen 0.0.0.0:19191  (P2P / wallet RPC)\nreward \ndrop: No reward address.\n"
            "seal height=3 0001ab…77cd01\nseal: x\nwork: y\ndone\n");
  std::fclose(err);
  std::fclose(out);
}

// Memory freed in the middle of the heap, where the allocator keeps it for good, goes back
// to the system at the next tick's check, even when a tick already trimmed while the
// memory was still in use (a burst that ends after the trim it caused).
TEST(Heap, FreedMemoryGoesBackAtTheTickAfterABurstEnds) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers bring their own allocator";
#endif
  node::Trimmer trimmer;
  trimmer.after_tick();
  // 64 MiB in small blocks; every 64th stays, so no free stretch reaches the heap's end.
  constexpr size_t kBlocks = 65536, kBlock = 1024;
  std::vector<char*> blocks(kBlocks);
  for (char*& b : blocks) {
    b = static_cast<char*>(std::malloc(kBlock));
    std::memset(b, 1, kBlock);
  }
  // The resident size grew: this tick trims, though nothing is free yet.
  EXPECT_TRUE(trimmer.after_tick());
  for (size_t i = 0; i < kBlocks; ++i) {
    if (i % 64 != 0) std::free(blocks[i]);
  }
  const uint64_t held = node::resident_bytes();
  EXPECT_TRUE(trimmer.after_tick());
  const uint64_t after = node::resident_bytes();
  std::cout << "resident " << held / (1 << 20) << " MiB before the trim, " << after / (1 << 20)
            << " MiB after\n";
  EXPECT_LT(after + (uint64_t{32} << 20), held);
  // Nothing grew or was freed since: no further trim.
  EXPECT_FALSE(trimmer.after_tick());
  for (size_t i = 0; i < kBlocks; i += 64) std::free(blocks[i]);
}

// ---------------------------------------------------------------------------
// Change requests.

TEST_F(NodeTest, EachChangeRequestLogsItsOutcome) {
  proc::ScopedEnv need("QUV_CONFIRM_PEERS", "3");
  TestNode n(gen().bytes());
  n.set_peers({});
  const codec::Tx t = gen().spend();
  const std::string id = id_of(t);
  const std::string addr = "quv1fsq6e9agyaa8cnzhs13xn2d8pbcne48ns9zx1t62ysc7s6vc0m8htng";
  struct Case {
    net::NetMsg msg;
    bool ok;
    std::string text;  // a prefix when it ends in '*'
  };
  const Case cases[] = {
      {tx_msg(t), true, "tx in mempool " + id + " (needs 3 acks)"},
      {tx_msg(t), false, "tx: Transaction already known."},
      {{net::NetMsg::Tx{{1, 2, 3}}}, false, "tx: decode failed"},
      {{net::NetMsg::Ack{id, "peer-a"}}, true, "ack " + id + " from peer-a (1/3)"},
      {{net::NetMsg::Ack{id, "peer-a"}}, true, "ack " + id + " from peer-a (1/3)"},
      {{net::NetMsg::Ack{id, n.chain->state().node_id}},
       true,
       "ack " + id + " from " + n.chain->state().node_id + " (1/3)"},
      {{net::NetMsg::SetReward{"  QUV1FSQ6E9AGYAA8CNZHS13XN2D8PBCNE48NS9ZX1T62YSC7S6VC0M8HTNG "}},
       true,
       "reward " + addr},
      {{net::NetMsg::SetReward{"quv1nonsense"}}, false, "reward: *"},
      {{net::NetMsg::SetReward{""}}, true, "reward "},
      {{net::NetMsg::SetPeers{{"10.9.9.9", "10.9.9.8:7"}}},
       true,
       "peers 10.9.9.9:19191, 10.9.9.8:7"},
      {{net::NetMsg::Drop{}}, true, "drop 0,00000 QÚV"},
  };
  for (const Case& c : cases) {
    const LogLine got = node::apply(*n.chain, c.msg);
    EXPECT_EQ(got.ok, c.ok) << got.text;
    if (c.text.ends_with('*')) {
      EXPECT_TRUE(got.text.starts_with(c.text.substr(0, c.text.size() - 1))) << got.text;
    } else {
      EXPECT_EQ(got.text, c.text);
    }
  }
}

TEST_F(NodeTest, SealLinesDifferBetweenRequestAndAutoSeal) {
  proc::ScopedEnv need("QUV_CONFIRM_PEERS", "1");
  TestNode n(gen().bytes());
  n.set_peers({});
  // An explicit seal of an empty mempool is an event; the auto-seal stays silent.
  n.send({net::NetMsg::Seal{}});
  EXPECT_EQ(n.tick(), (std::vector<LogLine>{{false, "mempool empty"}}));
  // A transfer without its acknowledgement is not ready: no seal line at all.
  const codec::Tx t = gen().spend();
  n.send(tx_msg(t));
  n.send({net::NetMsg::Seal{}});
  auto lines = n.tick();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], (LogLine{false, "mempool empty"}));
  // A transfer and its acknowledgement queued before one tick are applied in order, and
  // the same tick seals it.
  const codec::Tx u = gen().spend();
  n.send(tx_msg(u));
  n.send({net::NetMsg::Ack{id_of(u), "peer-b"}});
  n.send({net::NetMsg::Ack{id_of(t), "peer-b"}});
  lines = n.tick();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].text, "tx in mempool " + id_of(u) + " (needs 1 acks)");
  EXPECT_EQ(lines[1].text, "ack " + id_of(u) + " from peer-b (1/1)");
  EXPECT_EQ(lines[2].text, "ack " + id_of(t) + " from peer-b (1/1)");
  EXPECT_TRUE(
      std::regex_match(lines[3].text, std::regex("seal height=2 [0-9a-f]{6}\u2026[0-9a-f]{6}")))
      << lines[3].text;
  EXPECT_EQ(n.height(), 2);
}

TEST_F(NodeTest, AdmissionsOfOneTickShareOneSaveThatHoldsThemAll) {
  proc::ScopedEnv need("QUV_CONFIRM_PEERS", "9");
  TestNode n(gen().bytes());
  n.set_peers({});
  std::vector<std::string> ids;
  for (int i = 0; i < 25; ++i) {
    const codec::Tx t = gen().spend();
    ids.push_back(id_of(t));
    n.send(tx_msg(t));
  }
  n.send({net::NetMsg::Ack{ids[3], "peer-c"}});
  auto lines = n.tick();
  ASSERT_EQ(lines.size(), 26u);
  // The file after the tick is what a save after every change would have left.
  const NodeState on_disk = n.saved();
  EXPECT_EQ(on_disk.mempool.size(), 25u);
  EXPECT_EQ(on_disk.mempool, n.chain->state().mempool);
  EXPECT_EQ(on_disk.acks.at(ids[3]), std::vector<std::string>{"peer-c"});
}

TEST_F(NodeTest, AFullMempoolRefusesFurtherTransfers) {
  proc::ScopedEnv need("QUV_CONFIRM_PEERS", "9");
  TestNode n(gen().bytes());
  n.set_peers({});
  // Transfers near the largest size, so that the byte bound is met after a few dozen.
  const int kSent = 48;
  size_t raw_size = 0;
  for (int i = 0; i < kSent; ++i) {
    chain_gen::Owned note = gen().unspent.front();
    gen().unspent.pop_front();
    chain_gen::Owned to = note;
    std::vector<codec::TxOutput> outs;
    for (int k = 0; k < 6; ++k) outs.push_back(chain_gen::output(to, gen().rng, 60000));
    const codec::Tx t = chain_gen::transfer(std::span(&note, 1), std::move(outs));
    raw_size = codec::encode_tx_signed(t).size();
    n.send(tx_msg(t));
  }
  const auto lines = n.tick();
  const size_t fit = Mempool::kMaxBytes / raw_size;
  ASSERT_LT(fit, size_t{kSent});
  ASSERT_GE(lines.size(), size_t{kSent});
  for (size_t i = 0; i < size_t{kSent}; ++i) {
    if (i < fit) {
      EXPECT_TRUE(lines[i].ok && lines[i].text.starts_with("tx in mempool ")) << lines[i].text;
    } else {
      EXPECT_EQ(lines[i], (LogLine{false, "tx: Mempool full."}));
    }
  }
  EXPECT_EQ(n.saved().mempool.size(), fit);
  EXPECT_LE(n.chain->state().mempool.bytes(), Mempool::kMaxBytes);
}

// ---------------------------------------------------------------------------
// Start-up.

TEST_F(NodeTest, StartUpNamesTheNodeAndExplainsATakenPort) {
  TestNode a(gen().bytes()), b(gen().bytes());
  std::vector<std::unique_ptr<net::Server>> servers;
  auto spawn = [&](std::string path, net::Sender tx) -> Status {
    net::ServerOptions opts;
    opts.host = "127.0.0.1";
    opts.port = 0;
    auto s = net::Server::start(opts, std::move(path), std::move(tx));
    if (!s) return std::unexpected(s.error());
    servers.push_back(std::move(*s));
    return {};
  };
  const std::regex id_form("seed-[0-9a-f]{12}");
  for (TestNode* n : {&a, &b}) {
    n->set_id("");
    n->set_peers({"127.0.0.1:1"});  // nothing listens there
    auto started = node::prepare(*n->chain, spawn);
    ASSERT_TRUE(started) << started.error().to_string();
    EXPECT_EQ(started->lines,
              (std::vector<LogLine>{{true, "listen 0.0.0.0:19191  (P2P / wallet RPC)"}}));
    EXPECT_TRUE(std::regex_match(n->saved().node_id, id_form)) << n->saved().node_id;
    EXPECT_EQ(n->saved().tip, n->chain->tip_hash_hex());
  }
  // Two nodes on one genesis still tell each other apart.
  EXPECT_NE(a.saved().node_id, b.saved().node_id);

  struct Case {
    QuvError spawn_error;
    std::string want;
  };
  const Case cases[] = {
      {QuvError::coded(QuvError::Code::AddressInUse, "Address already in use (os error 98)"),
       std::string(node::kPortInUse)},
      {QuvError::msg("Permission denied (os error 13)"), "Permission denied (os error 13)"},
  };
  for (const Case& c : cases) {
    auto started = node::prepare(*a.chain, [&](std::string, net::Sender) -> Status {
      return std::unexpected(c.spawn_error);
    });
    ASSERT_FALSE(started);
    EXPECT_EQ(started.error().to_string(), c.want);
  }
}

// A start-up whose state cannot be saved still starts, and says why the state was not kept.
TEST_F(NodeTest, StartUpTellsAFailedStateSave) {
  TestNode n(gen().bytes());
  n.set_id("");
  n.set_peers({"127.0.0.1:1"});  // nothing listens there
  // A directory where the state file belongs: no save can replace it.
  const std::filesystem::path state_path = state::path_for(n.path());
  std::filesystem::remove(state_path);
  ASSERT_TRUE(std::filesystem::create_directory(state_path));
  auto started = node::prepare(*n.chain, [](std::string, net::Sender) -> Status { return {}; });
  ASSERT_TRUE(started) << started.error().to_string();
  ASSERT_EQ(started->lines.size(), 2u);
  EXPECT_EQ(started->lines[0], (LogLine{true, "listen 0.0.0.0:19191  (P2P / wallet RPC)"}));
  EXPECT_FALSE(started->lines[1].ok);
  EXPECT_TRUE(started->lines[1].text.starts_with("state: ")) << started->lines[1].text;
  std::cout << "start-up line for a failed save: " << started->lines[1].text << "\n";
}

// ---------------------------------------------------------------------------
// Catch-up against honest and hostile peers.

TEST_F(NodeTest, CatchUpAgainstPeers) {
  proc::ScopedEnv need("QUV_CONFIRM_PEERS", "0");
  const Bytes own = gen().bytes();
  const std::string own_tip = hex::encode(gen().blocks().back().hash);
  // A valid longer chain: two more mined blocks on ours.
  chain_gen::Builder longer = gen();
  longer.add({longer.spend()});
  longer.add({longer.spend()});
  // This node spends other notes than the longer chain did.
  gen().unspent.pop_front();
  gen().unspent.pop_front();
  const Bytes longer_file = longer.bytes();
  const std::string longer_tip = hex::encode(longer.blocks().back().hash);
  // The same file with one checksum byte flipped.
  Bytes forged = longer_file;
  forged.back() ^= 1;

  struct Case {
    std::string name;
    json height;
    std::string tip;
    Scripted chain_reply;
    std::string want;  // "" for no catch-up line; "{p}" stands for the peer
    bool first_tick_behind;
    int64_t height_after;
  };
  const std::string huge = "18446744073709551615";
  const Case cases[] = {
      {"honest longer chain",
       3,
       longer_tip,
       {str(longer_file)},
       "adopted {p}  h1\u2192h3  " + node::short_hash(longer_tip),
       false,
       3},
      {"chain file of 3 bytes", 9, longer_tip, {"QUV"}, "!peer {p} sent a bad chain file", true, 1},
      {"other magic",
       9,
       longer_tip,
       {"XXXX" + str(longer_file)},
       "!peer {p} sent a bad chain file",
       true,
       1},
      {"forged chain",
       9,
       longer_tip,
       {str(forged)},
       "!sync: Peer chain rejected: Block checksum mismatch \u2014 file corrupt.",
       false,
       1},
      {"shorter than claimed",
       50,
       longer_tip,
       {str(longer_file)},
       "adopted {p}  h1\u2192h3  " + node::short_hash(longer_tip),
       true,
       3},
      {"height as a fraction", 3.0, longer_tip, {str(longer_file)}, "", false, 1},
      {"height as text", "3", longer_tip, {str(longer_file)}, "", false, 1},
      {"height above the signed range",
       json::parse(huge),
       longer_tip,
       {str(longer_file)},
       "",
       false,
       1},
      {"same height, same tip", 1, own_tip, {str(longer_file)}, "", false, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakePeer peer([&](const std::string&, const std::string& path, const std::string&) {
      if (path.starts_with("/chain")) return c.chain_reply;
      if (path == "/status") return Scripted{status_doc("peer-x", c.height, c.tip)};
      return Scripted{"{\"hashes\":[]}"};
    });
    TestNode n(own);
    n.set_peers({peer.endpoint()});
    const codec::Tx t = gen().spend();
    n.send(tx_msg(t));

    auto lines = n.tick();
    std::vector<LogLine> want = {{true, "tx in mempool " + id_of(t) + " (needs 0 acks)"}};
    if (!c.want.empty()) {
      std::string text = std::regex_replace(c.want.substr(c.want[0] == '!'), std::regex("\\{p\\}"),
                                            peer.endpoint());
      want.push_back({c.want[0] != '!', text});
    }
    // A node that is behind only gossips: no work beat, no seal.
    if (!c.first_tick_behind && c.height_after == 1) {
      ASSERT_EQ(lines.size(), want.size() + 1);
      EXPECT_TRUE(lines.back().text.starts_with("seal height=2 "));
      lines.pop_back();
    }
    EXPECT_EQ(lines.size() > want.size()
                  ? std::vector<LogLine>(lines.begin(), lines.begin() + want.size())
                  : lines,
              want);
    EXPECT_EQ(n.last_beat() == 0, c.first_tick_behind);
    EXPECT_EQ(n.height() >= c.height_after, true) << n.height();

    // The next tick: a peer whose claim failed no longer holds the node back.
    n.send(tx_msg(gen().spend()));
    lines = n.tick();
    EXPECT_NE(n.last_beat(), 0);
    EXPECT_TRUE(!lines.empty() && lines.back().text.starts_with("seal height=")) << c.name;
    EXPECT_LE(peer.count("GET /chain"), 1u);
  }
}

TEST_F(NodeTest, PeersThatTrickleOrStaySilentCostTheirTimeOutsOnce) {
  TestNode n(gen().bytes());
  const std::string doc = status_doc("peer-t", 99, std::string(64, '0'));
  FakePeer trickler([&](const std::string&, const std::string&, const std::string&) {
    return Scripted{doc, false, milliseconds(300)};
  });
  FakePeer silent([&](const std::string&, const std::string&, const std::string&) {
    return Scripted{"", true};
  });
  n.set_peers({trickler.endpoint(), silent.endpoint()});
  const auto start = Clock::now();
  auto lines = n.tick();
  const auto took = Clock::now() - start;
  // One status request each in catch-up; gossip and the image exchange skip them.
  EXPECT_LT(took, std::chrono::seconds(8));
  EXPECT_EQ(trickler.requests(), std::vector<std::string>{"GET /status"});
  EXPECT_EQ(silent.requests(), std::vector<std::string>{"GET /status"});
  EXPECT_EQ(n.saved().peer_link.at(trickler.endpoint()), "down");
  EXPECT_EQ(n.saved().peer_link.at(silent.endpoint()), "down");
  EXPECT_NE(n.last_beat(), 0);
}

// A peer whose chain is ours and more: only the bytes past ours travel, and the new
// blocks are appended; a peer that serves only whole files, or whose chain forked below
// our tip, is still caught up with by adopting its whole chain.
TEST_F(NodeTest, RangedCatchUpFetchesOnlyWhatFollowsOurChain) {
  const Bytes own = gen().bytes();
  const uint64_t last_at = [&] {
    TestNode probe(own);
    return probe.chain->offsets().back();
  }();
  chain_gen::Builder longer = gen();
  longer.add({longer.spend()});
  longer.add({longer.spend()});
  // A fork: another block at our height, and two blocks on it.
  std::vector<codec::Block> forked(gen().blocks().begin(), gen().blocks().end() - 1);
  for (int i = 0; i < 3; ++i) {
    forked.push_back(chain_gen::make_block(forked.size(), forked.back().hash, {}, true));
  }
  const std::string range = "bytes=" + std::to_string(last_at) + "-";
  struct Case {
    std::string name;
    Bytes peer_file;
    bool serves_ranges;
    std::vector<std::string> chain_requests;
  };
  const Case cases[] = {
      {"our chain and two blocks", longer.bytes(), true, {"GET /chain " + range}},
      {"a peer that serves whole files", longer.bytes(), false, {"GET /chain " + range}},
      {"a fork below our tip",
       chain_gen::file_bytes(forked),
       true,
       {"GET /chain " + range, "GET /chain"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = str(c.peer_file);
    TestNode n(own);
    const int64_t peer_height = n.height() + 2;
    std::string peer_tip;
    {
      proc::TempDir d;
      proc::spit(d / "p.chain", file);
      auto pc = Chain::open(d / "p.chain");
      ASSERT_TRUE(pc);
      peer_tip = pc->tip_hash_hex();
    }
    FakePeer peer([&](const std::string&, const std::string& path, const std::string&) {
      if (path == "/status") return Scripted{status_doc("peer-r", peer_height, peer_tip)};
      if (path.starts_with("/chain bytes=") && c.serves_ranges) return ranged(file, path);
      if (path.starts_with("/chain")) return Scripted{file};
      return Scripted{"{\"hashes\":[]}"};
    });
    n.set_peers({peer.endpoint()});
    auto lines = n.tick();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0],
              (LogLine{true, "adopted " + peer.endpoint() + "  h" +
                                 std::to_string(peer_height - 2) + "\u2192h" +
                                 std::to_string(peer_height) + "  " + node::short_hash(peer_tip)}));
    EXPECT_EQ(proc::slurp(n.path()), file);
    std::vector<std::string> chain_requests;
    for (const auto& r : peer.requests()) {
      if (r.starts_with("GET /chain")) chain_requests.push_back(r);
    }
    EXPECT_EQ(chain_requests, c.chain_requests);
    // Nothing is left beside the chain.
    for (const auto& e : std::filesystem::directory_iterator(n.dir.path())) {
      EXPECT_FALSE(e.path().filename().string().find(".adopt-") != std::string::npos) << e.path();
    }
  }
}

// A tail whose first blocks are good and whose rest is junk: the good blocks stay, and the
// line says how many were kept before the refusal.
TEST_F(NodeTest, ATailEndingInJunkTellsWhatWasKept) {
  TestNode n(gen().bytes());
  chain_gen::Builder longer = gen();
  longer.add({longer.spend()});
  longer.add({longer.spend()});
  const std::string file = str(longer.bytes()) + std::string(40, 'x');
  const int64_t h = n.height();
  FakePeer peer([&](const std::string&, const std::string& path, const std::string&) {
    if (path == "/status") return Scripted{status_doc("peer-j", h + 3, std::string(64, '0'))};
    if (path.starts_with("/chain bytes=")) return ranged(file, path);
    return Scripted{"{\"hashes\":[]}"};
  });
  n.set_peers({peer.endpoint()});
  auto lines = n.tick();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(n.height(), h + 2);
  EXPECT_TRUE(lines[0].text.starts_with("sync: kept 2 blocks from " + peer.endpoint() + " (h" +
                                        std::to_string(h) + "\u2192h" + std::to_string(h + 2) +
                                        "); Peer chain rejected: "))
      << lines[0].text;
  EXPECT_FALSE(lines[0].ok);
}

// A download of the blocks past our tip that finishes after we sealed a block of our own
// is planned again from our new tip, and the peer is not blamed for it.
TEST_F(NodeTest, OurOwnSealDuringADownloadMakesANewPlanNotAFault) {
  proc::ScopedEnv need("QUV_CONFIRM_PEERS", "0");
  TestNode n(gen().bytes());
  chain_gen::Builder longer = gen();
  longer.add({longer.spend()});
  longer.add({longer.spend()});
  gen().unspent.pop_front();
  gen().unspent.pop_front();
  const std::string file = str(longer.bytes());
  const int64_t peer_height = static_cast<int64_t>(longer.blocks().size()) - 1;
  const std::string tip = hex::encode(longer.blocks().back().hash);
  std::atomic<bool> sealed{false};
  FakePeer peer([&](const std::string&, const std::string& path, const std::string&) {
    if (path == "/status") return Scripted{status_doc("peer-s", peer_height, tip)};
    if (path.starts_with("/chain bytes=")) {
      // The bytes past our tip leave only once we have sealed.
      for (int i = 0; i < 200 && !sealed; ++i) std::this_thread::sleep_for(milliseconds(10));
      return ranged(file, path);
    }
    if (path.starts_with("/chain")) return Scripted{file};
    return Scripted{"{\"hashes\":[]}"};
  });
  n.set_peers({peer.endpoint()});
  node::GossipMemo& memo = n.session.memo;
  memo.begin_tick();
  EXPECT_TRUE(node::catch_up(*n.chain, memo, milliseconds(0)).lines.empty());
  ASSERT_TRUE(n.chain->submit_tx(gen().spend()));
  ASSERT_TRUE(n.chain->seal());
  sealed = true;
  ASSERT_TRUE(memo.fetch && memo.fetch->wait(milliseconds(5000)));
  for (int i = 0; i < 20 && n.height() < peer_height; ++i) {
    memo.begin_tick();
    for (const LogLine& l : node::catch_up(*n.chain, memo, milliseconds(500)).lines) {
      EXPECT_TRUE(l.ok) << l.text;
    }
  }
  EXPECT_EQ(proc::slurp(n.path()), file);
  EXPECT_FALSE(memo.peers[peer.endpoint()].fetch.active(Clock::now()));
}

// A peer whose chain file is replaced while it is sent (its node adopted another chain)
// cuts the reply short of the length it declared: the short file never reaches the ledger,
// the peer is not backed off, and the next tick fetches its chain.
TEST_F(NodeTest, AReplyCutByThePeersOwnAdoptionIsNotItsFault) {
  chain_gen::Builder longer = gen();
  longer.add({longer.spend()});
  longer.add({longer.spend()});
  const std::string file = str(longer.bytes());
  const std::string tip = hex::encode(longer.blocks().back().hash);
  struct Case {
    std::string name;
    // The first reply to GET /chain, from the request's path.
    std::function<Scripted(const std::string&)> first;
  };
  const Case cases[] = {
      {"the whole file cut",
       [&](const std::string&) {
         return Scripted{file, false, milliseconds(0), "200 OK", "", 40};
       }},
      {"the bytes past ours cut",
       [&](const std::string& path) {
         Scripted r = ranged(file, path);
         r.cut = r.body.size() / 2;
         return r;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestNode n(gen().bytes());
    const int64_t want = n.height() + 2;
    std::atomic<int> gets{0};
    FakePeer peer([&](const std::string&, const std::string& path, const std::string&) {
      if (path == "/status") {
        json doc = json::parse(status_doc("peer-c", want, tip));
        doc["bytes"] = file.size();
        return Scripted{doc.dump()};
      }
      if (path.starts_with("/chain")) {
        if (gets++ == 0) return c.first(path);
        return path.starts_with("/chain bytes=") ? ranged(file, path) : Scripted{file};
      }
      return Scripted{"{\"hashes\":[]}"};
    });
    n.set_peers({peer.endpoint()});
    for (int i = 0; i < 3 && n.height() < want; ++i) {
      for (const LogLine& l : n.tick()) EXPECT_TRUE(l.ok) << l.text;
    }
    EXPECT_EQ(n.height(), want);
    EXPECT_TRUE(proc::slurp(n.path()) == file);
    EXPECT_FALSE(n.session.memo.peers[peer.endpoint()].fetch.active(Clock::now()));
  }
}

// A peer that claims a new height and tip at every request and trickles its chain: the
// download runs beside the ticks, is given up at the rate floor, and the peer is not
// fetched from again for a while whatever it claims; sealing goes on.
TEST_F(NodeTest, ATricklingPeerWithEverNewClaimsDoesNotStopSealing) {
  proc::ScopedEnv need("QUV_CONFIRM_PEERS", "0");
  TestNode n(gen().bytes());
  std::atomic<int> claims{100};
  FakePeer peer([&](const std::string&, const std::string& path, const std::string&) {
    if (path == "/status") {
      const int h = ++claims;
      return Scripted{
          status_doc("peer-t", h, hex::encode(hashing::h32(bytes::of(std::to_string(h)))))};
    }
    if (path.starts_with("/chain")) {
      return Scripted{std::string(chain::kMagic) + std::string(100, 'x'), false, milliseconds(200)};
    }
    return Scripted{"{\"hashes\":[]}"};
  });
  n.set_peers({peer.endpoint()});
  size_t sent = 0, sealed = 0;
  bool gave_up = false;
  const auto start = Clock::now();
  auto last_seal = start;
  auto longest_wait = Clock::duration::zero();
  while (Clock::now() < start + std::chrono::milliseconds(5000)) {
    n.send(tx_msg(gen().spend()));
    ++sent;
    for (const auto& l : n.tick()) {
      if (l.text.starts_with("seal height=")) {
        ++sealed;
        longest_wait = std::max(longest_wait, Clock::now() - last_seal);
        last_seal = Clock::now();
      }
      gave_up |= l.text == "could not fetch chain from " + peer.endpoint();
    }
    std::this_thread::sleep_for(milliseconds(300));
  }
  longest_wait = std::max(longest_wait, Clock::now() - last_seal);
  std::cout << "trickling peer: " << sealed << " of " << sent << " ticks sealed, longest wait "
            << std::chrono::duration_cast<milliseconds>(longest_wait).count() << " ms\n";
  EXPECT_TRUE(gave_up);
  EXPECT_EQ(peer.count("GET /chain"), 1u);
  // Only the first two seconds of the download hold sealing back.
  EXPECT_LT(longest_wait, std::chrono::milliseconds(3500));
}

// ---------------------------------------------------------------------------
// Gossip.

TEST_F(NodeTest, GossipSkipsWhatThePeerAlreadyShows) {
  proc::ScopedEnv need("QUV_CONFIRM_PEERS", "9");
  TestNode n(gen().bytes());
  const std::string own_tip = n.chain->tip_hash_hex();
  std::vector<codec::Tx> mine;
  for (int i = 0; i < 6; ++i) {
    mine.push_back(gen().spend());
    n.send(tx_msg(mine.back()));
  }
  const codec::Tx theirs = gen().spend();
  auto entry = [](const codec::Tx& t) {
    return json{{"id", id_of(t)}, {"raw", hex::encode(codec::encode_tx_signed(t))}};
  };
  // What the peer lists in each tick, and the requests this node must make to it.
  struct Step {
    std::string what;
    bool lists_theirs;
    size_t lists_mine;  // how many of this node's entries the peer lists
    size_t acks;
    size_t pushes;
  };
  const Step steps[] = {
      {"a new peer gets every entry and an ack", true, 0, 1, 6},
      {"the peer lists ours too: acknowledged once", true, 6, 6, 0},
      {"nothing new: nothing to send", true, 6, 0, 0},
      {"the peer dropped its entry and two of ours", false, 4, 0, 3},
      {"the dropped entries come back: acknowledged again", true, 6, 3, 0},
  };
  std::mutex mu;
  json pool;
  FakePeer peer([&](const std::string&, const std::string& path, const std::string&) {
    std::lock_guard lock(mu);
    if (path == "/status") return Scripted{status_doc("peer-g", 1, own_tip, pool)};
    if (path == "/nft") return Scripted{"{\"hashes\":[]}"};
    return Scripted{"{\"ok\":true}"};
  });
  n.set_peers({peer.endpoint()});
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    {
      std::lock_guard lock(mu);
      pool = json::array();
      if (s.lists_theirs) pool.push_back(entry(theirs));
      for (size_t i = 0; i < s.lists_mine; ++i) pool.push_back(entry(mine[i]));
    }
    peer.clear();
    n.tick();
    EXPECT_EQ(peer.count("POST /ack"), s.acks);
    EXPECT_EQ(peer.count("POST /tx"), s.pushes);
    EXPECT_EQ(peer.count("GET /status"), 1u);
    EXPECT_EQ(n.saved().peer_link.at(peer.endpoint()), "up");
  }
  // The peer's entry was imported once and stays.
  EXPECT_EQ(n.chain->state().mempool.size(), 7u);
}

// A failed save of the node state is told the same way by the request phase and by
// gossip. Writes past a file size limit of 0 fail, so every save of this test fails until
// the limit goes back.
TEST_F(NodeTest, AFailedSaveInGossipIsLoggedAsInTheRequestPhase) {
  TestNode n(gen().bytes());
  FakePeer peer([&](const std::string&, const std::string& path, const std::string&) {
    if (path == "/status") return Scripted{status_doc("peer-s", 0, "")};
    if (path == "/nft") return Scripted{"{\"hashes\":[]}"};
    return Scripted{"{\"ok\":true}"};
  });
  n.set_peers({peer.endpoint()});
  n.send(tx_msg(gen().spend()));

  rlimit was{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &was), 0);
  auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit none = was;
  none.rlim_cur = 0;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &none), 0);
  const std::vector<LogLine> requested = node::apply_requests(*n.chain, n.session.rx);
  n.session.memo.begin_tick();
  const std::vector<LogLine> gossiped = node::gossip(*n.chain, n.session.memo);
  ::setrlimit(RLIMIT_FSIZE, &was);
  std::signal(SIGXFSZ, old_handler);

  ASSERT_FALSE(requested.empty());
  const LogLine failed = requested.back();
  EXPECT_FALSE(failed.ok);
  EXPECT_TRUE(failed.text.starts_with("state: ")) << failed.text;
  EXPECT_EQ(gossiped, std::vector<LogLine>{failed});
  EXPECT_EQ(n.saved().peer_link.count(peer.endpoint()), 0u);

  // With room to write, gossip saves the link and says nothing.
  n.session.memo.begin_tick();
  EXPECT_TRUE(node::gossip(*n.chain, n.session.memo).empty());
  EXPECT_EQ(n.saved().peer_link.at(peer.endpoint()), "up");
}

TEST_F(NodeTest, AWriterBesideTheNodeNeedNotWaitForItsPeers) {
  proc::ScopedEnv need("QUV_CONFIRM_PEERS", "9");
  TestNode n(gen().bytes());
  const codec::Tx theirs = gen().spend();
  const json pool = json::array(
      {json{{"id", id_of(theirs)}, {"raw", hex::encode(codec::encode_tx_signed(theirs))}}});
  const std::string doc = status_doc("peer-w", 1, n.chain->tip_hash_hex(), pool);
  std::mutex mu;
  std::condition_variable cv;
  bool acking = false;
  bool release = false;
  // The peer holds its answer to the acknowledgement until the test lets it go.
  FakePeer peer([&](const std::string&, const std::string& path, const std::string&) {
    if (path == "/status") return Scripted{doc};
    if (path == "/ack") {
      std::unique_lock lock(mu);
      acking = true;
      cv.notify_all();
      cv.wait_for(lock, std::chrono::seconds(5), [&] { return release; });
    }
    return Scripted{"{\"ok\":true}"};
  });
  n.set_peers({peer.endpoint()});
  std::thread ticking([&] { n.tick(); });
  {
    std::unique_lock lock(mu);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(5), [&] { return acking; }));
  }
  // A one-shot command on the same chain while the node waits for its peer.
  auto other = std::async(std::launch::async, [&] {
    auto c = Chain::open(n.path());
    return c && c->edit_state([](NodeState& st) { st.reward_address = ""; });
  });
  const bool done = other.wait_for(std::chrono::seconds(3)) == std::future_status::ready;
  {
    std::lock_guard lock(mu);
    release = true;
  }
  cv.notify_all();
  ticking.join();
  EXPECT_TRUE(done) << "the writer waited for the node's conversation with a peer";
  EXPECT_TRUE(other.get());
  // The peer's entry was still imported in that tick.
  EXPECT_EQ(n.chain->state().mempool.size(), 1u);
}

TEST_F(NodeTest, TwoNodesAgreeOnOneTransferAndOneBlock) {
  proc::ScopedEnv need("QUV_CONFIRM_PEERS", "1");
  TestNode a(gen().bytes(), true), b(gen().bytes(), true);
  a.set_peers({b.endpoint()});
  b.set_peers({a.endpoint(), "127.0.0.1:1"});
  const codec::Tx t = gen().spend();
  a.send(tx_msg(t));
  std::vector<std::string> a_lines, b_lines;
  for (int i = 0; i < 6 && !(a.height() == 2 && b.height() == 2); ++i) {
    for (const auto& l : a.tick()) a_lines.push_back(l.text);
    for (const auto& l : b.tick()) b_lines.push_back(l.text);
  }
  EXPECT_EQ(a.height(), 2);
  EXPECT_EQ(b.height(), 2);
  EXPECT_EQ(a.chain->tip_hash_hex(), b.chain->tip_hash_hex());
  auto has = [](const std::vector<std::string>& lines, const std::string& prefix) {
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::string& l) { return l.starts_with(prefix); });
  };
  // A sealed it once, after B's acknowledgement; B adopted A's block.
  EXPECT_EQ(has(a_lines, "ack " + id_of(t) + " from " + b.chain->state().node_id + " (1/1)"), 1);
  EXPECT_EQ(has(a_lines, "seal height=2 "), 1);
  EXPECT_EQ(has(b_lines, "seal height="), 0);
  EXPECT_EQ(has(b_lines, "adopted " + a.endpoint() + "  h1\u2192h2  "), 1);
  EXPECT_EQ(b.saved().peer_link.at(a.endpoint()), "up");
  // A peer entry naming a node that is not there is down.
  EXPECT_EQ(b.saved().peer_link.at("127.0.0.1:1"), "down");
  EXPECT_TRUE(a.chain->state().mempool.empty());
  EXPECT_TRUE(b.chain->state().mempool.empty());
}

TEST_F(NodeTest, ImagesTravelBothWays) {
  TestNode n(gen().bytes());
  const auto dir = nft::dir(n.path());
  auto mine = nft::ingest(dir, testjpeg::make(8, 8, 1));
  ASSERT_TRUE(mine) << mine.error().to_string();
  const Bytes theirs_image = testjpeg::make(8, 8, 2);
  const std::string theirs = hex::encode(hashing::h32(theirs_image));
  std::string upper = theirs;
  for (char& ch : upper) ch = static_cast<char>(std::toupper(ch));
  std::mutex mu;
  std::string posted;
  FakePeer peer([&](const std::string& method, const std::string& path, const std::string& body) {
    if (method == "POST") {
      std::lock_guard lock(mu);
      posted = body;
      return Scripted{"{\"ok\":true}"};
    }
    if (path == "/status") return Scripted{status_doc("peer-n", 0, "")};
    if (path == "/nft") {
      return Scripted{json{{"hashes", {upper, "not-a-hash", 7, upper}}}.dump()};
    }
    return Scripted{str(theirs_image)};
  });
  n.set_peers({peer.endpoint()});
  n.tick();
  EXPECT_TRUE(nft::exists(dir, theirs));
  EXPECT_EQ(peer.count("GET /nft/"), 1u);
  std::lock_guard lock(mu);
  EXPECT_EQ(posted, str(*nft::read(dir, mine->hash)));
}

}  // namespace

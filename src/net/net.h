// The node's HTTP/1.1 interface: the server on port 19191 that answers wallets, peers
// and the node's own UI from the files on disk and queues every change for the node
// loop, the status document it serves, and the one HTTP client of the system.
// `net::spawn` runs the server on its own threads; the client and the pure helpers
// (request parsing, routing, status document) are safe on any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"
#include "core/fsutil.h"

namespace net {

// The node's fixed TCP port.
inline constexpr uint16_t kPort = 19191;
// The version text the status document reports.
inline constexpr std::string_view kVersion = "0.1.0";
// Fee of an NFT mint in base units (0,25000 of the coin).
inline constexpr uint64_t kNftFee = 25000;
// A request's header block may not reach this many bytes plus one.
inline constexpr size_t kMaxHeaderBytes = 32768;
// Largest request body accepted.
inline constexpr uint64_t kMaxBodyBytes = 400000;
// GET /blocks: page size when none is asked for, and the largest page.
inline constexpr uint64_t kDefaultPage = 32;
inline constexpr uint64_t kMaxPage = 128;

// A change request from the HTTP server to the node loop, which applies it on its next tick.
struct NetMsg {
  // A signed transaction, unchecked: the body of POST /tx or the raw bytes of a mint.
  struct Tx {
    Bytes raw;
  };
  // An acknowledgement of a mempool transaction by another node.
  struct Ack {
    std::string txid;
    std::string node_id;
  };
  // A new reward address; empty clears it.
  struct SetReward {
    std::string address;
  };
  // A new list of gossip peers.
  struct SetPeers {
    std::vector<std::string> peers;
  };
  // Seal the mempool now.
  struct Seal {};
  // Pay the daily drop now.
  struct Drop {};

  std::variant<Tx, Ack, SetReward, SetPeers, Seal, Drop> msg;
};

namespace detail {
struct Queue {
  std::mutex mu;
  std::deque<NetMsg> items;
  bool receiver_gone = false;
};
}  // namespace detail

// The sending end of the change-request channel; copies share one queue and may send
// from any thread.
class Sender {
 public:
  Sender() = default;
  explicit Sender(std::shared_ptr<detail::Queue> q) : q_(std::move(q)) {}
  // Queues the message; false when the receiving end is gone (the message is dropped).
  bool send(NetMsg m) const;

 private:
  std::shared_ptr<detail::Queue> q_;
};

// The receiving end, owned by the node loop; it never waits.
class Receiver {
 public:
  Receiver() = default;
  explicit Receiver(std::shared_ptr<detail::Queue> q) : q_(std::move(q)) {}
  Receiver(Receiver&&) = default;
  Receiver& operator=(Receiver&&) = default;
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
  ~Receiver();
  // The oldest queued message, or nothing when the queue is empty.
  std::optional<NetMsg> try_recv();
  // Every queued message, oldest first.
  std::vector<NetMsg> drain();

 private:
  std::shared_ptr<detail::Queue> q_;
};

// A new unbounded channel.
std::pair<Sender, Receiver> channel();

// A connected or listening socket, closed when dropped.
using Socket = fsutil::Fd;

// One request as read from a connection.
struct Request {
  // The first line of the header block, exactly as sent (invalid UTF-8 replaced).
  std::string line;
  // The whole header block before the blank line (invalid UTF-8 replaced).
  std::string head;
  Bytes body;
};

// One reply before it is written.
struct Reply {
  uint16_t status = 200;
  std::string content_type;
  Bytes body;
};

// Reads up to n bytes into buf; 0 at the end of the stream.
using ReadFn = std::function<Result<size_t>(uint8_t* buf, size_t n)>;

// Reads one request: the header block up to the first blank line, then the body of
// Content-Length bytes. Fails with "incomplete headers", "headers too large",
// "body too large" or the read's error.
Result<Request> read_request(const ReadFn& read);

// A decimal unsigned 64-bit number: one leading '+' allowed, digits only.
std::optional<uint64_t> parse_u64(std::string_view text);
// The Content-Length of a header block; 0 when absent or not a number.
uint64_t content_length(std::string_view head);
// The value of `key` in the query of the request line's target, as a number.
std::optional<uint64_t> query_u64(std::string_view request_line, std::string_view key);
// The image name that GET /nft/{hash} asks for.
std::string nft_target(std::string_view request_line);
// True for 127.0.0.0/8, ::1 and their IPv4-mapped forms.
bool is_loopback(std::string_view ip);

// The reply to a request; `local` is true when the connection comes from this machine.
// Change requests are queued on `tx`; POST /nft stores the image.
Reply route(const Request& req, const std::string& chain_path, const Sender& tx, bool local);

// The header block of a reply with `body_len` bytes of body.
std::string reply_head(uint16_t status, std::string_view content_type, size_t body_len);

// The "reward_address" of the node state file beside the chain, or "".
std::string sidecar_reward(const std::string& chain_path);

// The status document of the node whose chain file is `chain_path`; never fails.
std::string status_json(const std::string& chain_path);

// Time limits of one served connection.
struct ConnLimits {
  // Each single read or write.
  std::chrono::milliseconds op_timeout{30000};
  // Reading the whole request, from the start of `handle`.
  std::chrono::milliseconds read_deadline{30000};
  // Writing the whole reply, from the end of reading; a large reply gets one second more
  // per 256 KiB.
  std::chrono::milliseconds write_deadline{60000};
};

// Writes the reply's header block, then its body, each whole.
Status reply_bytes(Socket& conn, uint16_t status, std::string_view content_type, ByteView body);

// Serves one accepted connection: reads one request, answers it, closes the connection.
// `peer` is the client's address text (getpeername when empty).
Status handle(Socket conn, const std::string& chain_path, const Sender& tx,
              const ConnLimits& limits = {}, std::string peer = "");

// How a server listens and serves.
struct ServerOptions {
  // Address to bind: an IPv4 or IPv6 literal.
  std::string host = "0.0.0.0";
  // 0 picks a free port (tests).
  uint16_t port = kPort;
  // Connections served at the same time; more wait in the listen queue.
  size_t workers = 16;
  ConnLimits limits;
  // When set, every connection is taken to come from this address (tests).
  std::optional<std::string> peer_override;
};

// A running server: a listener and its worker threads. Stops and joins when dropped.
class Server {
 public:
  // Binds the listener and starts the workers; the error is the system's text.
  static Result<std::unique_ptr<Server>> start(ServerOptions opts, std::string chain_path,
                                               Sender tx);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;
  // The port the listener is bound to.
  uint16_t port() const { return port_; }

 private:
  Server() = default;
  void worker(int epoll_fd);

  ServerOptions opts_;
  std::string chain_path_;
  Sender tx_;
  Socket listener_;
  // Becomes readable once, when the server stops; every wait of a worker watches it.
  Socket stop_event_;
  // One wait set per worker: the listener and the stop event.
  std::vector<Socket> waits_;
  uint16_t port_ = 0;
  std::vector<std::thread> threads_;
};

// Binds 0.0.0.0:19191 and serves there for the rest of the process.
Status spawn(std::string chain_path, Sender tx);

// The host text of a call with surrounding white space and leading "http://" and
// "https://" removed.
std::string normalize_host(std::string_view host);

// One HTTP request over a fresh connection: the reply's bytes after the header block,
// or nothing on any failure. `timeout_secs` bounds each single read and write.
std::optional<Bytes> http_call_timeout(std::string_view host, std::string_view method,
                                       std::string_view path, ByteView body,
                                       std::string_view content_type, uint64_t timeout_secs);

}  // namespace net

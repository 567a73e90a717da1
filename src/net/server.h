// The node's HTTP server on port 19191: it accepts connections, reads one request from
// each, answers it through the routes and closes the connection. `Server::start` runs it
// on its own threads until the object is dropped; `net::spawn` keeps one running for the
// life of the process.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"
#include "core/fsutil.h"
#include "net/channel.h"
#include "net/http.h"

namespace net {

// A connected or listening socket, closed when dropped.
using Socket = fsutil::Fd;

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

}  // namespace net

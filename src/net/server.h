// The node's HTTP server on port 19191: it accepts connections, reads one request from
// each, answers it through the routes and closes the connection. A few event threads wait
// on every connection's readiness, so a slow client holds no thread; only the work of a
// route runs on the worker threads. `Server::start` runs it until the object is dropped;
// `net::spawn` keeps one running for the life of the process.
#pragma once

#include <sys/socket.h>

#include <atomic>
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
  // Reading the whole request, from its acceptance.
  std::chrono::milliseconds read_deadline{30000};
  // Writing the whole reply, from the end of reading; a large reply gets one second more
  // per 256 KiB.
  std::chrono::milliseconds write_deadline{60000};
};

// How a server listens and serves.
struct ServerOptions {
  // Address to bind: an IPv4 or IPv6 literal.
  std::string host = "0.0.0.0";
  // 0 picks a free port (tests).
  uint16_t port = kPort;
  // Threads that run routes (reading files, building pages and status documents).
  size_t workers = 16;
  // Threads that wait on the connections and read and write them.
  size_t event_threads = 4;
  ConnLimits limits;
  // Bytes of unfinished requests held at most for every connection together: the buffers
  // of requests still being read and of requests waiting for a worker. Shared evenly by
  // the event threads; each share holds at least one whole request.
  size_t request_budget = size_t{32} << 20;
  // When set, every connection is taken to come from this address (tests).
  std::optional<std::string> peer_override;
};

// A running server: a listener, its event threads and its workers. Stops and joins when
// dropped.
class Server {
 public:
  // Raises the soft open-file limit to the hard one, binds the listener and starts the
  // threads; the error is the system's text.
  [[nodiscard]] static Result<std::unique_ptr<Server>> start(ServerOptions opts,
                                                             std::string chain_path, Sender tx);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;
  // The port the listener is bound to.
  uint16_t port() const { return port_; }

  struct Shared;

 private:
  Server() = default;

  uint16_t port_ = 0;
  std::unique_ptr<Shared> shared_;
  std::vector<std::thread> threads_;
};

// The address text of a socket address ("127.0.0.1", "::1"), or "".
std::string address_text(const sockaddr_storage& a);

// Binds 0.0.0.0:19191 and serves there for the rest of the process.
[[nodiscard]] Status spawn(std::string chain_path, Sender tx);

}  // namespace net

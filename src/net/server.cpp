#include "net/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "net/routes.h"

namespace net {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr size_t kChunk = kReadChunk;

std::string addr_text(const sockaddr_storage& a) {
  char buf[INET6_ADDRSTRLEN] = {0};
  if (a.ss_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&a);
    if (inet_ntop(AF_INET, &v4->sin_addr, buf, sizeof buf)) return buf;
  } else if (a.ss_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&a);
    if (inet_ntop(AF_INET6, &v6->sin6_addr, buf, sizeof buf)) return buf;
  }
  return "";
}

std::string peer_address(int fd) {
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return "";
  return addr_text(a);
}

// Socket waits. Every wait is bounded by the single-operation time-out and by the
// deadline of the whole phase, and ends early when `stop_fd` becomes readable.

struct Waits {
  Clock::time_point deadline;
  milliseconds op;
  int stop_fd = -1;
};

Status timed_out() { return fail(error::os_text(EAGAIN)); }

// Waits until fd is ready for `events`; an error when the time runs out or the server stops.
Status wait_for(int fd, short events, const Waits& w) {
  for (;;) {
    auto left = std::chrono::duration_cast<milliseconds>(w.deadline - Clock::now());
    auto wait = std::min(left, w.op);
    if (wait.count() <= 0) return timed_out();
    pollfd p[2] = {{fd, events, 0}, {w.stop_fd, POLLIN, 0}};
    int r = ::poll(p, w.stop_fd >= 0 ? 2 : 1, static_cast<int>(wait.count()));
    if (r < 0) {
      if (errno == EINTR) continue;
      return fail(error::os_text(errno));
    }
    if (r == 0) {
      if (wait == w.op) return timed_out();
      continue;  // the deadline check above ends it
    }
    if (w.stop_fd >= 0 && (p[1].revents & POLLIN)) return fail("server stopped");
    return {};
  }
}

Result<size_t> recv_some(int fd, uint8_t* buf, size_t n, const Waits& w) {
  for (;;) {
    if (auto ok = wait_for(fd, POLLIN, w); !ok) return std::unexpected(ok.error());
    ssize_t r = ::recv(fd, buf, n, MSG_DONTWAIT);
    if (r >= 0) return static_cast<size_t>(r);
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
    return fail(error::os_text(errno));
  }
}

Status send_all(int fd, std::string_view head, ByteView body, const Waits& w) {
  iovec iov[2] = {{const_cast<char*>(head.data()), head.size()},
                  {const_cast<uint8_t*>(body.data()), body.size()}};
  size_t first = 0;
  while (first < 2) {
    if (iov[first].iov_len == 0) {
      ++first;
      continue;
    }
    if (auto ok = wait_for(fd, POLLOUT, w); !ok) return ok;
    msghdr msg{};
    msg.msg_iov = iov + first;
    msg.msg_iovlen = 2 - first;
    ssize_t r = ::sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      return fail(error::os_text(errno));
    }
    size_t done = static_cast<size_t>(r);
    while (done > 0 && first < 2) {
      size_t take = std::min(done, iov[first].iov_len);
      iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + take;
      iov[first].iov_len -= take;
      done -= take;
      if (iov[first].iov_len == 0) ++first;
    }
  }
  return {};
}

timeval to_timeval(milliseconds d) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(d.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((d.count() % 1000) * 1000);
  return tv;
}

Status set_timeouts(int fd, milliseconds op) {
  timeval tv = to_timeval(op);
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) {
    return fail(error::os_text(errno));
  }
  if (::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) {
    return fail(error::os_text(errno));
  }
  return {};
}

Status serve(Socket conn, const std::string& chain_path, const Sender& tx, const ConnLimits& limits,
             std::string peer, int stop_fd) {
  int fd = conn.get();
  if (auto ok = set_timeouts(fd, limits.op_timeout); !ok) return ok;
  Waits reading{Clock::now() + limits.read_deadline, limits.op_timeout, stop_fd};
  auto req = read_request(
      [&](uint8_t* buf, size_t n) -> Result<size_t> { return recv_some(fd, buf, n, reading); });
  // A request that cannot be read gets no reply; closing the connection is all.
  if (!req) return {};
  if (peer.empty()) peer = peer_address(fd);
  Reply reply = route(*req, chain_path, tx, is_loopback(peer));
  std::string head = reply_head(reply.status, reply.content_type, reply.body.size());
  // A whole chain file may take longer than a small reply: the deadline grows by one
  // second per 256 KiB, so only a client that reads slower than that is cut off.
  auto extra = milliseconds(reply.body.size() / 256);
  Waits writing{Clock::now() + limits.write_deadline + extra, limits.op_timeout, stop_fd};
  if (auto ok = send_all(fd, head, reply.body, writing); !ok) return ok;
  // Finish our side first and take what the client already sent, so that closing
  // does not reset the connection before the client has read the reply.
  ::shutdown(fd, SHUT_WR);
  uint8_t sink[kChunk];
  for (int i = 0; i < 16 && ::recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0; ++i) {
  }
  return {};
}

}  // namespace

Status reply_bytes(Socket& conn, uint16_t status, std::string_view content_type, ByteView body) {
  std::string head = reply_head(status, content_type, body.size());
  Waits w{Clock::time_point::max(), milliseconds(30000), -1};
  return send_all(conn.get(), head, body, w);
}

Status handle(Socket conn, const std::string& chain_path, const Sender& tx,
              const ConnLimits& limits, std::string peer) {
  return serve(std::move(conn), chain_path, tx, limits, std::move(peer), -1);
}

Result<std::unique_ptr<Server>> Server::start(ServerOptions opts, std::string chain_path,
                                              Sender tx) {
  std::unique_ptr<Server> s(new Server());
  sockaddr_storage addr{};
  socklen_t addr_len = 0;
  int family = AF_INET;
  if (auto* v4 = reinterpret_cast<sockaddr_in*>(&addr);
      inet_pton(AF_INET, opts.host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(opts.port);
    addr_len = sizeof(sockaddr_in);
  } else if (auto* v6 = reinterpret_cast<sockaddr_in6*>(&addr);
             inet_pton(AF_INET6, opts.host.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(opts.port);
    addr_len = sizeof(sockaddr_in6);
    family = AF_INET6;
  } else {
    return fail(error::os_text(EINVAL));
  }
  s->listener_ = Socket(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  int fd = s->listener_.get();
  if (fd < 0) return fail(error::os_text(errno));
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), addr_len) != 0 || ::listen(fd, 128) != 0) {
    return fail(error::os_text(errno));
  }
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    return fail(error::os_text(errno));
  }
  sockaddr_storage bound{};
  socklen_t bound_len = sizeof bound;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &bound_len) != 0) {
    return fail(error::os_text(errno));
  }
  s->port_ = ntohs(bound.ss_family == AF_INET ? reinterpret_cast<sockaddr_in*>(&bound)->sin_port
                                              : reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port);
  s->stop_event_ = Socket(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (s->stop_event_.get() < 0) return fail(error::os_text(errno));
  s->opts_ = std::move(opts);
  s->chain_path_ = std::move(chain_path);
  s->tx_ = std::move(tx);
  // Each idle worker waits on the listener exclusively, so a new connection wakes one of
  // them rather than all; the stop event wakes every one.
  size_t workers = std::max<size_t>(1, s->opts_.workers);
  for (size_t i = 0; i < workers; ++i) {
    Socket ep(::epoll_create1(EPOLL_CLOEXEC));
    epoll_event listen_ev{};
    listen_ev.events = EPOLLIN | EPOLLEXCLUSIVE;
    listen_ev.data.fd = fd;
    epoll_event stop_ev{};
    stop_ev.events = EPOLLIN;
    stop_ev.data.fd = s->stop_event_.get();
    if (ep.get() < 0 || ::epoll_ctl(ep.get(), EPOLL_CTL_ADD, fd, &listen_ev) != 0 ||
        ::epoll_ctl(ep.get(), EPOLL_CTL_ADD, s->stop_event_.get(), &stop_ev) != 0) {
      return fail(error::os_text(errno));
    }
    s->waits_.push_back(std::move(ep));
  }
  for (const Socket& ep : s->waits_) {
    try {
      s->threads_.emplace_back(&Server::worker, s.get(), ep.get());
    } catch (const std::system_error&) {
      die("failed to spawn thread");
    }
  }
  return s;
}

Server::~Server() {
  uint64_t one = 1;
  if (::write(stop_event_.get(), &one, sizeof one) < 0) {
    // The counter cannot overflow with a single write; nothing to do otherwise.
  }
  for (auto& t : threads_) t.join();
}

void Server::worker(int ep) {
  const int lfd = listener_.get();
  const int sfd = stop_event_.get();
  for (;;) {
    epoll_event ev[2];
    int r = ::epoll_wait(ep, ev, 2, -1);
    for (int i = 0; i < r; ++i) {
      if (ev[i].data.fd == sfd) return;
    }
    if (r <= 0) continue;
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    int fd = ::accept4(lfd, reinterpret_cast<sockaddr*>(&a), &len, SOCK_CLOEXEC);
    if (fd < 0) {
      // Another worker took the connection; any other failure (out of descriptors)
      // backs off for a moment.
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      pollfd s{sfd, POLLIN, 0};
      ::poll(&s, 1, 200);
      continue;
    }
    Socket conn(fd);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::string peer = opts_.peer_override ? *opts_.peer_override : addr_text(a);
    (void)serve(std::move(conn), chain_path_, tx_, opts_.limits, std::move(peer), sfd);
  }
}

Status spawn(std::string chain_path, Sender tx) {
  auto server = Server::start(ServerOptions{}, std::move(chain_path), std::move(tx));
  if (!server) return std::unexpected(server.error());
  // The server serves until the process ends; nothing ever stops it.
  (void)server->release();
  return {};
}

}  // namespace net

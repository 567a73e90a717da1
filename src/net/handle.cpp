#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "net/routes.h"
#include "net/server.h"  // handle, reply_bytes

namespace net {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr size_t kChunk = kReadChunk;

}  // namespace

std::string address_text(const sockaddr_storage& a) {
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

namespace {

std::string peer_address(int fd) {
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return "";
  return address_text(a);
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

}  // namespace net

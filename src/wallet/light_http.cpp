// The transport over HTTP/1.1: one request on a fresh connection, read to the end of the
// stream, the body after the header block.
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "core/fsutil.h"
#include "core/text.h"
#include "wallet/light.h"

namespace light {

namespace {

// The host text with blanks around it and leading "http://" and "https://" removed.
std::string bare_host(std::string_view host) {
  std::string_view h = text::trim(host);
  while (h.starts_with("http://")) h.remove_prefix(7);
  while (h.starts_with("https://")) h.remove_prefix(8);
  return std::string(h);
}

// A blocking socket connected to the first address of "host:port" within two seconds.
fsutil::Fd connect_to(const std::string& host) {
  size_t colon = host.rfind(':');
  if (colon == std::string::npos) return {};
  std::string name = host.substr(0, colon);
  std::string port = host.substr(colon + 1);
  if (name.size() >= 2 && name.front() == '[' && name.back() == ']') {
    name = name.substr(1, name.size() - 2);
  }
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (::getaddrinfo(name.c_str(), port.c_str(), &hints, &res) != 0 || res == nullptr) return {};
  fsutil::Fd fd(::socket(res->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  bool ok = fd.valid();
  if (ok && ::connect(fd.get(), res->ai_addr, res->ai_addrlen) != 0) {
    ok = errno == EINPROGRESS;
    if (ok) {
      pollfd p{fd.get(), POLLOUT, 0};
      int err = 0;
      socklen_t len = sizeof err;
      ok = ::poll(&p, 1, 2000) == 1 &&
           ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
    }
  }
  ::freeaddrinfo(res);
  if (!ok) return {};
  int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return {};
  return fd;
}

bool send_all(int fd, ByteView data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

std::optional<Bytes> http_call(const Call& c) {
  const std::string host = bare_host(c.host);
  fsutil::Fd fd = connect_to(host);
  if (!fd.valid()) return std::nullopt;
  timeval tv{static_cast<time_t>(c.timeout_secs), 0};
  if (::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0 ||
      ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) {
    return std::nullopt;
  }
  std::string head =
      std::string(c.method) + " " + std::string(c.path) + " HTTP/1.1\r\nHost: " + host +
      "\r\nContent-Type: " + std::string(c.content_type) +
      "\r\nContent-Length: " + std::to_string(c.body.size()) + "\r\nConnection: close\r\n\r\n";
  if (!send_all(fd.get(), bytes::of(head)) || !send_all(fd.get(), c.body)) return std::nullopt;
  Bytes reply;
  uint8_t buf[65536];
  for (;;) {
    ssize_t n = ::recv(fd.get(), buf, sizeof buf, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (n == 0) break;
    // The header block is small; anything past the cap plus room for it is refused.
    if (reply.size() + static_cast<size_t>(n) > c.max_reply + 65536) return std::nullopt;
    reply.insert(reply.end(), buf, buf + n);
  }
  static constexpr std::string_view kEnd = "\r\n\r\n";
  auto it = std::search(reply.begin(), reply.end(), kEnd.begin(), kEnd.end());
  if (it == reply.end()) return std::nullopt;
  Bytes body(it + 4, reply.end());
  if (body.size() > c.max_reply) return std::nullopt;
  return body;
}

}  // namespace

const Transport& http() {
  static const Transport t = http_call;
  return t;
}

}  // namespace light

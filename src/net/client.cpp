#include "net/client.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "core/error.h"
#include "core/fsutil.h"
#include "core/text.h"
#include "net/http.h"

namespace net {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Replies a client collects in full: a whole chain file, or a page of blocks that may hold
// large transactions; anything else is much smaller.
constexpr size_t kMaxLargeReply = size_t{1} << 30;
// Connecting to a peer never takes longer than this in the plain call.
constexpr milliseconds kConnectTimeout{2000};

std::unexpected<CallError> call_fail(CallFail kind, std::string text) {
  return std::unexpected(CallError{kind, std::move(text)});
}

std::unexpected<CallError> os_fail(CallFail kind, int err) {
  return call_fail(kind, error::os_text(err));
}

struct Resolved {
  sockaddr_storage addr{};
  socklen_t len = 0;
};

void set_port(Resolved& r, uint16_t port) {
  if (r.addr.ss_family == AF_INET) {
    reinterpret_cast<sockaddr_in*>(&r.addr)->sin_port = htons(port);
  } else {
    reinterpret_cast<sockaddr_in6*>(&r.addr)->sin6_port = htons(port);
  }
}

// The first address the system resolver gives for `host`, with `port`.
[[nodiscard]] std::expected<Resolved, CallError> lookup(const std::string& host, uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &res); rc != 0 || !res) {
    return call_fail(CallFail::Resolve, rc != 0 ? ::gai_strerror(rc) : "no address");
  }
  Resolved out;
  bool ok = res->ai_addrlen <= sizeof out.addr &&
            (res->ai_family == AF_INET || res->ai_family == AF_INET6);
  if (ok) {
    std::memcpy(&out.addr, res->ai_addr, res->ai_addrlen);
    out.len = res->ai_addrlen;
    set_port(out, port);
  }
  ::freeaddrinfo(res);
  if (!ok) return call_fail(CallFail::Resolve, "no address");
  return out;
}

// A name lookup on a thread of its own. The resolver may block for seconds and cannot be
// interrupted, so a call that is cancelled or out of time leaves it behind; the lookup then
// finishes alone and its result goes with the last owner.
struct Lookup {
  std::mutex mu;
  std::condition_variable cv;
  bool done = false;
  std::expected<Resolved, CallError> result;
};

[[nodiscard]] std::expected<Resolved, CallError> lookup_within(const std::string& host,
                                                               uint16_t port,
                                                               const CallOptions& opts) {
  // A call without a cancel flag or a deadline waits for the resolver as long as it takes.
  if (opts.cancel == nullptr && opts.deadline == Clock::time_point::max()) {
    return lookup(host, port);
  }
  auto shared = std::make_shared<Lookup>();
  try {
    std::thread([shared, host, port] {
      auto r = lookup(host, port);
      std::lock_guard lock(shared->mu);
      shared->result = std::move(r);
      shared->done = true;
      shared->cv.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    // Without a thread to spare, the lookup runs on this one.
    return lookup(host, port);
  }
  std::unique_lock lock(shared->mu);
  for (;;) {
    if (shared->done) return std::move(shared->result);
    if (opts.cancel != nullptr && opts.cancel->load()) {
      return call_fail(CallFail::Cancelled, "cancelled");
    }
    const auto now = Clock::now();
    if (now >= opts.deadline) return call_fail(CallFail::Timeout, "timed out");
    shared->cv.wait_until(lock, std::min(opts.deadline, now + milliseconds(100)));
  }
}

// The first address of "host:port": a bracketed IPv6 literal, or a name or IPv4
// address for the system resolver. A text without a port resolves to nothing.
[[nodiscard]] std::expected<Resolved, CallError> resolve(const std::string& endpoint,
                                                         const CallOptions& opts) {
  size_t colon = endpoint.rfind(':');
  if (colon == std::string::npos) return call_fail(CallFail::Resolve, "no port");
  auto port = parse_u64(std::string_view(endpoint).substr(colon + 1));
  if (!port || *port > 65535) return call_fail(CallFail::Resolve, "bad port");
  std::string host = endpoint.substr(0, colon);
  Resolved out;
  if (auto* v4 = reinterpret_cast<sockaddr_in*>(&out.addr);
      inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    // A dotted IPv4 address needs no resolver.
    v4->sin_family = AF_INET;
    out.len = sizeof(sockaddr_in);
    set_port(out, static_cast<uint16_t>(*port));
    return out;
  }
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&out.addr);
    std::string inner = host.substr(1, host.size() - 2);
    if (inet_pton(AF_INET6, inner.c_str(), &v6->sin6_addr) != 1) {
      return call_fail(CallFail::Resolve, "bad IPv6 address");
    }
    v6->sin6_family = AF_INET6;
    out.len = sizeof(sockaddr_in6);
    set_port(out, static_cast<uint16_t>(*port));
    return out;
  }
  return lookup_within(host, static_cast<uint16_t>(*port), opts);
}

// Waits until `fd` is ready for `events`, at most `op` and never past `deadline`; with a
// cancel flag, in short slices so that cancelling takes effect soon.
[[nodiscard]] std::expected<void, CallError> wait_ready(int fd, short events, milliseconds op,
                                                        Clock::time_point deadline,
                                                        CallFail on_error,
                                                        const std::atomic<bool>* cancel = nullptr) {
  const auto op_end = op.count() > 0 ? Clock::now() + op : Clock::now();
  const auto end = std::min(op_end, deadline);
  for (;;) {
    if (cancel != nullptr && cancel->load()) return call_fail(CallFail::Cancelled, "cancelled");
    auto left = std::chrono::ceil<milliseconds>(end - Clock::now());
    if (left.count() <= 0) return call_fail(CallFail::Timeout, "timed out");
    if (cancel != nullptr) left = std::min(left, milliseconds(100));
    pollfd p{fd, events, 0};
    int r = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left.count(), INT_MAX)));
    if (r < 0) {
      if (errno == EINTR) continue;
      return os_fail(on_error, errno);
    }
    if (r > 0) return {};
  }
}

[[nodiscard]] std::expected<fsutil::Fd, CallError> connect_to(const Resolved& to,
                                                              milliseconds timeout,
                                                              Clock::time_point deadline,
                                                              const std::atomic<bool>* cancel) {
  fsutil::Fd s(::socket(to.addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!s.valid()) return os_fail(CallFail::Connect, errno);
  if (::connect(s.get(), reinterpret_cast<const sockaddr*>(&to.addr), to.len) != 0) {
    if (errno != EINPROGRESS) return os_fail(CallFail::Connect, errno);
    if (auto ok = wait_ready(s.get(), POLLOUT, timeout, deadline, CallFail::Connect, cancel); !ok) {
      return std::unexpected(ok.error());
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
      return os_fail(CallFail::Connect, errno);
    }
    if (err != 0) return os_fail(CallFail::Connect, err);
  }
  return s;
}

[[nodiscard]] std::expected<void, CallError> send_whole(int fd, ByteView data,
                                                        const CallOptions& opts) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t r = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r >= 0) {
      done += static_cast<size_t>(r);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return os_fail(CallFail::Io, errno);
    if (auto ok =
            wait_ready(fd, POLLOUT, opts.op_timeout, opts.deadline, CallFail::Io, opts.cancel);
        !ok) {
      return ok;
    }
  }
  return {};
}

// The status code of a reply's first line ("HTTP/1.1 200 OK"), or 0.
uint16_t status_of(std::string_view head) {
  head = head.substr(0, head.find('\n'));
  auto words = text::split_whitespace(head);
  if (words.size() < 2) return 0;
  auto code = parse_u64(words[1]);
  return code && *code <= 65535 ? static_cast<uint16_t>(*code) : 0;
}

// Reads the reply to a request that has gone out whole. A reply that declares its length
// is read to that length and no further: a byte past it fails the call, and a stream that
// ends before it is a cut reply. The header block counts against the limit until it has
// ended, then only the body does; with a sink, body bytes go there as they arrive.
[[nodiscard]] std::expected<HttpReply, CallError> read_reply(int fd, const CallOptions& opts) {
  Bytes reply;
  size_t term = std::string_view::npos;
  size_t search_from = 0;
  uint64_t body_bytes = 0;
  std::optional<uint64_t> declared;
  const auto started = Clock::now();
  uint8_t chunk[65536];
  // Body bytes received so far, kept or sunk.
  auto body_so_far = [&] {
    if (term == std::string_view::npos) return uint64_t{0};
    return opts.sink ? body_bytes : static_cast<uint64_t>(reply.size() - term - kHeadEnd.size());
  };
  auto complete = [&] { return declared && body_so_far() == *declared; };
  while (!complete()) {
    // Past the header block, never ask for more than one byte beyond the declared length:
    // that byte is enough to know the peer sends too much.
    size_t want = sizeof chunk;
    if (declared) want = static_cast<size_t>(std::min<uint64_t>(want, *declared - body_so_far() + 1));
    ssize_t r = ::recv(fd, chunk, want, MSG_DONTWAIT);
    if (r < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return os_fail(CallFail::Io, errno);
      if (auto ok = wait_ready(fd, POLLIN, opts.op_timeout, opts.deadline, CallFail::Io,
                               opts.cancel);
          !ok) {
        return std::unexpected(ok.error());
      }
    } else if (r == 0) {
      if (declared) return call_fail(CallFail::Cut, "reply cut short");
      break;
    } else if (term != std::string_view::npos && opts.sink) {
      body_bytes += static_cast<uint64_t>(r);
      if (body_bytes > opts.max_reply) return call_fail(CallFail::TooLarge, "reply too large");
      if (declared && body_bytes > *declared) {
        return call_fail(CallFail::BadReply, "reply longer than declared");
      }
      if (!opts.sink(ByteView(chunk, static_cast<size_t>(r)))) {
        return call_fail(CallFail::Io, "body not stored");
      }
    } else {
      reply.insert(reply.end(), chunk, chunk + r);
      if (term == std::string_view::npos && reply.size() >= kHeadEnd.size()) {
        std::string_view view(reinterpret_cast<const char*>(reply.data()), reply.size());
        term = view.find(kHeadEnd, search_from);
        search_from = reply.size() - (kHeadEnd.size() - 1);
        if (term == std::string_view::npos && reply.size() > opts.max_reply) {
          return call_fail(CallFail::TooLarge, "reply too large");
        }
        if (term != std::string_view::npos) {
          std::string_view head(reinterpret_cast<const char*>(reply.data()), term);
          declared = declared_length(head);
          // A reply that declares more than the limit is refused before its body.
          if (declared && *declared > opts.max_reply) {
            return call_fail(CallFail::TooLarge, "reply too large");
          }
          if (opts.on_head) opts.on_head(status_of(head), head);
        }
        // With a sink, the body bytes that came with the header block go there at once.
        if (term != std::string_view::npos && opts.sink) {
          const size_t at = term + kHeadEnd.size();
          body_bytes = reply.size() - at;
          if (body_bytes > opts.max_reply) return call_fail(CallFail::TooLarge, "reply too large");
          if (declared && body_bytes > *declared) {
            return call_fail(CallFail::BadReply, "reply longer than declared");
          }
          if (body_bytes > 0 && !opts.sink(ByteView(reply.data() + at, body_bytes))) {
            return call_fail(CallFail::Io, "body not stored");
          }
          reply.resize(at);
        }
      }
      if (!opts.sink) {
        const uint64_t counted = term == std::string_view::npos ? reply.size() : body_so_far();
        if (counted > opts.max_reply) return call_fail(CallFail::TooLarge, "reply too large");
        if (declared && counted > *declared) {
          return call_fail(CallFail::BadReply, "reply longer than declared");
        }
      }
    }
    if (complete()) break;
    // A fast reply never waits, so the deadline and the cancel flag are also looked at
    // here.
    if (Clock::now() >= opts.deadline) return call_fail(CallFail::Timeout, "timed out");
    if (opts.cancel != nullptr && opts.cancel->load()) {
      return call_fail(CallFail::Cancelled, "cancelled");
    }
    // A reply that trickles in is given up once its average rate stays below the floor.
    if (opts.min_rate > 0) {
      const auto spent = Clock::now() - started;
      if (spent >= opts.rate_grace) {
        const double secs = std::chrono::duration<double>(spent).count();
        const double got = static_cast<double>(reply.size() + body_bytes);
        if (got < secs * static_cast<double>(opts.min_rate)) {
          return call_fail(CallFail::TooSlow, "reply too slow");
        }
      }
    }
  }
  if (term == std::string_view::npos) return call_fail(CallFail::BadReply, "no header block");
  std::string_view view(reinterpret_cast<const char*>(reply.data()), term);
  HttpReply out;
  out.status = status_of(view);
  out.head = std::string(view);
  out.body.assign(reply.begin() + static_cast<std::ptrdiff_t>(term + kHeadEnd.size()), reply.end());
  out.body_bytes = opts.sink ? body_bytes : out.body.size();
  return out;
}

[[nodiscard]] std::expected<HttpReply, CallError> call_with(
    std::string_view host_text, std::string_view method, std::string_view path, ByteView body,
    std::string_view content_type, const CallOptions& opts, milliseconds connect_limit) {
  std::string host = normalize_host(host_text);
  auto to = resolve(host, opts);
  if (!to) return std::unexpected(to.error());
  auto conn = connect_to(*to, connect_limit, opts.deadline, opts.cancel);
  if (!conn) return std::unexpected(conn.error());

  std::string head;
  head.append(method).append(" ").append(path).append(" HTTP/1.1\r\nHost: ").append(host);
  head.append("\r\nContent-Type: ").append(content_type);
  head.append("\r\nContent-Length: ").append(std::to_string(body.size()));
  head.append("\r\n").append(opts.extra_headers);
  head.append("Connection: close\r\n\r\n");
  // Header block and body leave in one write, so that a small body does not wait for
  // the acknowledgement of the header block.
  Bytes request(head.begin(), head.end());
  bytes::put(request, body);
  if (auto ok = send_whole(conn->get(), request, opts); !ok) return std::unexpected(ok.error());
  auto reply = read_reply(conn->get(), opts);
  // From here on the server may have acted on the request, whatever became of the reply.
  if (!reply) reply.error().sent = true;
  return reply;
}

}  // namespace

std::string normalize_host(std::string_view host) {
  std::string_view t = text::trim(host);
  while (t.starts_with("http://")) t.remove_prefix(7);
  while (t.starts_with("https://")) t.remove_prefix(8);
  return std::string(t);
}

std::expected<HttpReply, CallError> call(std::string_view host, std::string_view method,
                                         std::string_view path, ByteView body,
                                         std::string_view content_type, const CallOptions& opts) {
  return call_with(host, method, path, body, content_type, opts, opts.op_timeout);
}

std::optional<Bytes> http_call_timeout(std::string_view host, std::string_view method,
                                       std::string_view path, ByteView body,
                                       std::string_view content_type, uint64_t timeout_secs) {
  if (timeout_secs == 0) return std::nullopt;  // a zero time-out cannot be set
  CallOptions opts;
  opts.op_timeout = std::chrono::seconds(std::min<uint64_t>(timeout_secs, 1000000000));
  const bool large = method == "GET" && (path.starts_with("/chain") || path.starts_with("/blocks"));
  opts.max_reply = large ? kMaxLargeReply : opts.max_reply;
  auto reply = call_with(host, method, path, body, content_type, opts, kConnectTimeout);
  if (!reply) return std::nullopt;
  return std::move(reply->body);
}

}  // namespace net

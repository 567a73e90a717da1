#include "net/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <system_error>

#include "core/codec.h"
#include "core/fsutil.h"
#include "core/hex.h"
#include "core/text.h"
#include "ledger/chain_page.h"
#include "ledger/nft.h"
#include "ledger/state.h"

namespace net {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// ---------------------------------------------------------------------------
// The change-request channel.

bool Sender::send(NetMsg m) const {
  if (!q_) return false;
  std::lock_guard lock(q_->mu);
  if (q_->receiver_gone) return false;
  q_->items.push_back(std::move(m));
  return true;
}

Receiver::~Receiver() {
  if (!q_) return;
  std::lock_guard lock(q_->mu);
  q_->receiver_gone = true;
  q_->items.clear();
}

std::optional<NetMsg> Receiver::try_recv() {
  if (!q_) return std::nullopt;
  std::lock_guard lock(q_->mu);
  if (q_->items.empty()) return std::nullopt;
  NetMsg m = std::move(q_->items.front());
  q_->items.pop_front();
  return m;
}

std::vector<NetMsg> Receiver::drain() {
  std::vector<NetMsg> out;
  if (!q_) return out;
  std::lock_guard lock(q_->mu);
  out.reserve(q_->items.size());
  for (auto& m : q_->items) out.push_back(std::move(m));
  q_->items.clear();
  return out;
}

std::pair<Sender, Receiver> channel() {
  auto q = std::make_shared<detail::Queue>();
  return {Sender(q), Receiver(q)};
}

namespace {

constexpr size_t kChunk = 4096;
constexpr std::string_view kTerminator = "\r\n\r\n";
constexpr std::string_view kOk = R"({"ok":true})";
constexpr std::string_view kJson = "application/json";
constexpr std::string_view kBanner =
    "QÚV node 19191\nGET /status\nGET /blocks?from=\nGET /chain\nGET /nft\nGET /nft/{hash}\n"
    "POST /nft\nPOST /nft/mint\nPOST /tx\nPOST /ack\nPOST /reward\nPOST /peers\nPOST /seal\n"
    "POST /drop\n";
constexpr std::string_view kMintFee =
    "NFT mint costs 0,25000 QÚV. The fee goes to this node's reward address. Submit a signed "
    "mint transaction.";
constexpr std::string_view kLocalOnly = "Control routes are only served on this machine.";
// Bounds on a reply the client collects: a whole chain file, or anything else.
constexpr size_t kMaxChainReply = size_t{1} << 30;
constexpr size_t kMaxReply = size_t{64} << 20;

std::string dump(const json& j) {
  // Every text put into a reply is valid UTF-8; replacing keeps dump from throwing.
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

Bytes to_bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

Reply json_reply(uint16_t status, const json& j) {
  return Reply{status, std::string(kJson), to_bytes(dump(j))};
}

Reply error_reply(uint16_t status, std::string_view text) {
  json j = json::object();
  j["error"] = std::string(text);
  j["ok"] = false;
  return json_reply(status, j);
}

Reply ok_reply() { return Reply{200, std::string(kJson), to_bytes(kOk)}; }

// A byte order mark is no part of a JSON text, but the parser would skip one at the
// start; text that begins with one is not JSON here.
bool starts_with_bom(std::string_view text) { return text.starts_with("\xEF\xBB\xBF"); }

// A request body as JSON; anything that is not JSON counts as the empty object.
json parse_body(ByteView body) {
  if (starts_with_bom(std::string_view(reinterpret_cast<const char*>(body.data()), body.size()))) {
    return json::object();
  }
  json j = json::parse(body.begin(), body.end(), nullptr, false);
  if (j.is_discarded()) return json::object();
  return j;
}

// A text member: its text when the member exists and is a string, else "".
std::string text_member(const json& j, const char* key) {
  if (!j.is_object()) return "";
  auto it = j.find(key);
  if (it == j.end() || !it->is_string()) return "";
  return it->get<std::string>();
}

// A JSON file read as text; anything unreadable or unparsable is the empty object.
// Parts of it are copied into replies, and copying and printing a JSON value recurse
// once per level of nesting, so a file nested deeper than any the node writes counts
// as broken too.
json read_json_file(const std::filesystem::path& path) {
  static constexpr int kMaxDepth = 64;
  auto text = fsutil::read_text(path);
  if (!text || starts_with_bom(*text)) return json::object();
  bool too_deep = false;
  json j = json::parse(
      *text,
      [&too_deep](int depth, json::parse_event_t, json&) {
        if (depth > kMaxDepth) too_deep = true;
        return true;
      },
      false);
  if (j.is_discarded() || too_deep) return json::object();
  return j;
}

const json* member(const json& obj, const char* key) {
  if (!obj.is_object()) return nullptr;
  auto it = obj.find(key);
  return it == obj.end() ? nullptr : &*it;
}

std::optional<int64_t> as_i64(const json* v) {
  if (!v) return std::nullopt;
  if (v->is_number_unsigned()) {
    uint64_t u = v->get<uint64_t>();
    if (u > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
    return static_cast<int64_t>(u);
  }
  if (v->is_number_integer()) return v->get<int64_t>();
  return std::nullopt;
}

std::optional<uint64_t> as_u64(const json* v) {
  if (!v) return std::nullopt;
  if (v->is_number_unsigned()) return v->get<uint64_t>();
  if (v->is_number_integer()) {
    int64_t i = v->get<int64_t>();
    if (i >= 0) return static_cast<uint64_t>(i);
  }
  return std::nullopt;
}

std::optional<std::string> as_string(const json* v) {
  if (!v || !v->is_string()) return std::nullopt;
  return v->get<std::string>();
}

// The lines of a header block: split at "\n", one "\r" before it dropped.
std::vector<std::string_view> head_lines(std::string_view head) {
  std::vector<std::string_view> out;
  size_t start = 0;
  while (start < head.size()) {
    size_t nl = head.find('\n', start);
    if (nl == std::string_view::npos) {
      out.push_back(head.substr(start));
      break;
    }
    std::string_view line = head.substr(start, nl - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    out.push_back(line);
    start = nl + 1;
  }
  return out;
}

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

// ---------------------------------------------------------------------------
// Routes.

Reply route_blocks(const Request& req, const std::string& chain_path) {
  uint64_t from = query_u64(req.line, "from").value_or(0);
  uint64_t limit = query_u64(req.line, "limit").value_or(kDefaultPage);
  limit = std::clamp<uint64_t>(limit, 1, kMaxPage);
  auto page = chain::blocks_page(chain_path, from, limit);
  if (!page) return error_reply(500, page.error().to_string());
  uint64_t next = from;
  if (!page->blocks.empty()) {
    if (auto h = as_u64(member(page->blocks.back(), "height"))) {
      // A block at the very top of the height range has no next height; the page
      // then points at itself rather than wrapping back to the start.
      next = *h == UINT64_MAX ? *h : *h + 1;
    }
  }
  json blocks = json::array();
  for (auto& b : page->blocks) blocks.push_back(std::move(b));
  json j = json::object();
  j["blocks"] = std::move(blocks);
  j["from"] = from;
  j["height"] = page->height;
  j["next"] = next;
  j["ok"] = true;
  j["tip"] = page->tip;
  return json_reply(200, j);
}

Reply route_mint(const Request& req, const std::string& chain_path, const Sender& tx) {
  json body = parse_body(req.body);
  std::string reward = sidecar_reward(chain_path);
  std::string raw(text::trim(text_member(body, "raw")));
  if (raw.empty()) {
    json j = json::object();
    j["error"] = std::string(kMintFee);
    j["fee"] = kNftFee;
    j["ok"] = false;
    j["reward_address"] = reward;
    return json_reply(400, j);
  }
  auto bytes = hex::decode(raw);
  if (!bytes) return error_reply(400, "Bad hex.");
  auto decoded = codec::decode_tx(*bytes);
  if (!decoded) return error_reply(400, decoded.error().to_string());
  if (decoded->tx.type != codec::kTxNftMint)
    return error_reply(400, "Not an NFT mint transaction.");
  auto extra = nft::parse_extra(decoded->tx.extra);
  if (!extra) return error_reply(400, extra.error().to_string());
  std::string hash = hex::encode(extra->first);
  if (!nft::exists(nft::dir(chain_path), hash)) {
    return error_reply(400, "Image is not on this node yet.");
  }
  std::string txid = hex::encode(codec::txid(decoded->tx));
  tx.send(NetMsg{NetMsg::Tx{std::move(*bytes)}});
  json j = json::object();
  j["fee"] = kNftFee;
  j["hash"] = hash;
  j["ok"] = true;
  j["txid"] = txid;
  return json_reply(200, j);
}

Reply route_upload(const Request& req, const std::string& chain_path) {
  // Uploads through this server take turns, so two workers cannot both pass the store's
  // image-count check before either of them has written its image.
  static std::mutex uploads;
  std::lock_guard lock(uploads);
  auto info = nft::ingest(nft::dir(chain_path), req.body);
  if (!info) return error_reply(400, info.error().to_string());
  json j = json::object();
  j["bytes"] = info->bytes;
  j["hash"] = info->hash;
  j["height"] = info->height;
  j["ok"] = true;
  j["width"] = info->width;
  return json_reply(200, j);
}

Reply route_image(const Request& req, const std::string& chain_path) {
  auto image = nft::read(nft::dir(chain_path), nft_target(req.line));
  if (!image) return error_reply(404, image.error().to_string());
  return Reply{200, "image/jpeg", std::move(*image)};
}

Reply route_list(const std::string& chain_path) {
  auto hashes = nft::list_hex(nft::dir(chain_path));
  json j = json::object();
  j["count"] = hashes.size();
  j["hashes"] = hashes;
  j["ok"] = true;
  return json_reply(200, j);
}

// ---------------------------------------------------------------------------
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

// ---------------------------------------------------------------------------
// Client helpers.

struct Resolved {
  sockaddr_storage addr{};
  socklen_t len = 0;
};

std::optional<uint16_t> parse_port(std::string_view s) {
  auto v = parse_u64(s);
  if (!v || *v > 65535) return std::nullopt;
  return static_cast<uint16_t>(*v);
}

// The first address of "host:port": a bracketed IPv6 literal, or a name or IPv4
// address for the system resolver. A text without a port resolves to nothing.
std::optional<Resolved> resolve(const std::string& endpoint) {
  size_t colon = endpoint.rfind(':');
  if (colon == std::string::npos) return std::nullopt;
  auto port = parse_port(std::string_view(endpoint).substr(colon + 1));
  if (!port) return std::nullopt;
  std::string host = endpoint.substr(0, colon);
  Resolved out;
  if (auto* v4 = reinterpret_cast<sockaddr_in*>(&out.addr);
      inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    // A dotted IPv4 address needs no resolver.
    v4->sin_family = AF_INET;
    v4->sin_port = htons(*port);
    out.len = sizeof(sockaddr_in);
    return out;
  }
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&out.addr);
    std::string inner = host.substr(1, host.size() - 2);
    if (inet_pton(AF_INET6, inner.c_str(), &v6->sin6_addr) != 1) return std::nullopt;
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(*port);
    out.len = sizeof(sockaddr_in6);
    return out;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res) return std::nullopt;
  bool ok = false;
  if (res->ai_addrlen <= sizeof out.addr &&
      (res->ai_family == AF_INET || res->ai_family == AF_INET6)) {
    std::memcpy(&out.addr, res->ai_addr, res->ai_addrlen);
    out.len = res->ai_addrlen;
    if (res->ai_family == AF_INET) {
      reinterpret_cast<sockaddr_in*>(&out.addr)->sin_port = htons(*port);
    } else {
      reinterpret_cast<sockaddr_in6*>(&out.addr)->sin6_port = htons(*port);
    }
    ok = true;
  }
  ::freeaddrinfo(res);
  if (!ok) return std::nullopt;
  return out;
}

// Connects within `timeout`; the socket is left in blocking mode.
std::optional<Socket> connect_timeout(const Resolved& to, milliseconds timeout) {
  Socket s(::socket(to.addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (s.get() < 0) return std::nullopt;
  if (::connect(s.get(), reinterpret_cast<const sockaddr*>(&to.addr), to.len) != 0) {
    if (errno != EINPROGRESS) return std::nullopt;
    auto deadline = Clock::now() + timeout;
    for (;;) {
      auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd p{s.get(), POLLOUT, 0};
      int r = ::poll(&p, 1, static_cast<int>(left.count()));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return std::nullopt;
      break;
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
      return std::nullopt;
    }
  }
  int flags = ::fcntl(s.get(), F_GETFL);
  if (flags < 0 || ::fcntl(s.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return std::nullopt;
  return s;
}

bool write_whole(int fd, ByteView data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t r = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (r < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(r);
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Request reading and the pure helpers.

Result<Request> read_request(const ReadFn& read) {
  Bytes buf;
  uint8_t chunk[kChunk];
  size_t term = std::string_view::npos;
  size_t search_from = 0;
  for (;;) {
    auto n = read(chunk, sizeof chunk);
    if (!n) return std::unexpected(n.error());
    if (*n == 0) return fail("incomplete headers");
    buf.insert(buf.end(), chunk, chunk + *n);
    if (buf.size() >= 4) {
      std::string_view view(reinterpret_cast<const char*>(buf.data()), buf.size());
      // The terminator cannot begin before the last three bytes already searched.
      term = view.find(kTerminator, search_from);
      if (term != std::string_view::npos) break;
      search_from = buf.size() - 3;
    }
    if (buf.size() >= kMaxHeaderBytes + 1) return fail("headers too large");
  }

  Request req;
  req.head = text::lossy_utf8(ByteView(buf.data(), term));
  auto lines = head_lines(req.head);
  if (!lines.empty()) req.line = std::string(lines.front());
  uint64_t length = content_length(req.head);
  if (length > kMaxBodyBytes) return fail("body too large");

  size_t start = term + kTerminator.size();
  size_t have = std::min<size_t>(buf.size() - start, length);
  req.body.assign(buf.begin() + static_cast<std::ptrdiff_t>(start),
                  buf.begin() + static_cast<std::ptrdiff_t>(start + have));
  while (req.body.size() < length) {
    auto n = read(chunk, sizeof chunk);
    if (!n) return std::unexpected(n.error());
    if (*n == 0) break;  // a short body that ends the stream is served as it is
    size_t take = std::min<size_t>(*n, length - req.body.size());
    req.body.insert(req.body.end(), chunk, chunk + take);
  }
  return req;
}

std::optional<uint64_t> parse_u64(std::string_view s) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    uint64_t d = static_cast<uint64_t>(c - '0');
    if (v > (UINT64_MAX - d) / 10) return std::nullopt;
    v = v * 10 + d;
  }
  return v;
}

uint64_t content_length(std::string_view head) {
  static constexpr std::string_view kName = "content-length:";
  uint64_t length = 0;
  for (std::string_view line : head_lines(head)) {
    std::string lower = text::ascii_lower(line);
    if (!std::string_view(lower).starts_with(kName)) continue;
    length = parse_u64(text::trim(std::string_view(lower).substr(kName.size()))).value_or(0);
  }
  return length;
}

std::optional<uint64_t> query_u64(std::string_view request_line, std::string_view key) {
  auto words = text::split_whitespace(request_line);
  if (words.size() < 2) return std::nullopt;
  std::string_view target = words[1];
  size_t q = target.find('?');
  if (q == std::string_view::npos) return std::nullopt;
  std::string_view query = target.substr(q + 1);
  for (;;) {
    size_t amp = query.find('&');
    std::string_view piece = query.substr(0, amp);
    size_t eq = piece.find('=');
    if (eq != std::string_view::npos && piece.substr(0, eq) == key) {
      std::string_view value = piece.substr(eq + 1);
      value = value.substr(0, value.find_first_of("# "));
      return parse_u64(value);
    }
    if (amp == std::string_view::npos) return std::nullopt;
    query.remove_prefix(amp + 1);
  }
}

std::string nft_target(std::string_view request_line) {
  auto words = text::split_whitespace(request_line);
  std::string_view rest = words.size() >= 2 ? words[1] : std::string_view("/");
  while (rest.starts_with("/nft/")) rest.remove_prefix(5);
  rest = rest.substr(0, rest.find_first_of(" /?"));
  return text::lower(rest);
}

bool is_loopback(std::string_view ip) {
  std::string s(ip);
  in_addr v4{};
  if (inet_pton(AF_INET, s.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (inet_pton(AF_INET6, s.c_str(), &v6) != 1) return false;
  if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
  return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
}

std::string reply_head(uint16_t status, std::string_view content_type, size_t body_len) {
  std::string out = "HTTP/1.1 " + std::to_string(status) + (status == 200 ? " OK" : " ERR");
  out += "\r\nContent-Type: ";
  out += content_type;
  out += "\r\nContent-Length: " + std::to_string(body_len);
  out += "\r\nConnection: close\r\nAccess-Control-Allow-Origin: *\r\n\r\n";
  return out;
}

Reply route(const Request& req, const std::string& chain_path, const Sender& tx, bool local) {
  std::string_view line = req.line;
  auto is = [&](std::string_view route) { return line.starts_with(route); };
  // Changing the node's own settings is for its operator only.
  auto control = [&](NetMsg m) {
    if (!local) return error_reply(403, kLocalOnly);
    tx.send(std::move(m));
    return ok_reply();
  };

  if (is("GET /status")) {
    return Reply{200, std::string(kJson), to_bytes(status_json(chain_path))};
  }
  if (is("POST /ack")) {
    json body = parse_body(req.body);
    tx.send(NetMsg{NetMsg::Ack{text_member(body, "txid"), text_member(body, "node_id")}});
    return ok_reply();
  }
  if (is("POST /reward")) {
    json body = parse_body(req.body);
    return control(
        NetMsg{NetMsg::SetReward{std::string(text::trim(text_member(body, "address")))}});
  }
  if (is("POST /peers")) {
    json body = parse_body(req.body);
    std::vector<std::string> peers;
    if (const json* list = member(body, "peers"); list && list->is_array()) {
      for (const auto& p : *list) {
        if (p.is_string()) peers.push_back(p.get<std::string>());
      }
    }
    return control(NetMsg{NetMsg::SetPeers{std::move(peers)}});
  }
  if (is("POST /tx")) {
    tx.send(NetMsg{NetMsg::Tx{req.body}});
    return ok_reply();
  }
  if (is("POST /nft/mint")) return route_mint(req, chain_path, tx);
  if (is("POST /nft")) return route_upload(req, chain_path);
  if (is("GET /nft/")) return route_image(req, chain_path);
  if (is("GET /nft")) return route_list(chain_path);
  if (is("POST /seal")) return control(NetMsg{NetMsg::Seal{}});
  if (is("POST /drop")) return control(NetMsg{NetMsg::Drop{}});
  if (is("GET /blocks")) return route_blocks(req, chain_path);
  if (is("GET /chain")) {
    auto file = fsutil::read_file(chain_path);
    return Reply{200, "application/octet-stream", file ? std::move(*file) : Bytes{}};
  }
  return Reply{200, "text/plain; charset=utf-8", to_bytes(kBanner)};
}

std::string sidecar_reward(const std::string& chain_path) {
  json state = read_json_file(state::path_for(chain_path));
  return as_string(member(state, "reward_address")).value_or("");
}

std::string status_json(const std::string& chain_path) {
  struct stat st;
  uint64_t size = ::stat(chain_path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
  // A state file that is missing, half written or broken reads as the empty object.
  json state = read_json_file(state::path_for(chain_path));
  uint64_t work_seconds = as_u64(member(state, "work_seconds")).value_or(0);
  uint64_t validated = as_u64(member(state, "validated")).value_or(0);
  uint64_t pending_work = std::min<uint64_t>(work_seconds, 86400);
  // Saturating: a state file cannot make the pending total wrap around.
  uint64_t pending_total =
      validated > UINT64_MAX - pending_work ? UINT64_MAX : pending_work + validated;
  uint64_t confirm = 2;
  if (const char* env = std::getenv("QUV_CONFIRM_PEERS")) confirm = parse_u64(env).value_or(2);

  static const json kNoAcks = json::object();
  const json* acks = member(state, "acks");
  if (!acks) acks = &kNoAcks;
  json mempool = json::array();
  if (const json* list = member(state, "mempool"); list && list->is_array()) {
    for (const auto& entry : *list) {
      Bytes raw;
      if (entry.is_array()) {
        for (const auto& b : entry) {
          if (auto v = as_u64(&b)) raw.push_back(static_cast<uint8_t>(*v));
        }
      }
      auto decoded = codec::decode_tx(raw);
      if (!decoded) continue;
      const codec::Tx& t = decoded->tx;
      std::string id = hex::encode(codec::txid(t));
      size_t ack_count = 0;
      if (const json* who = member(*acks, id.c_str()); who && who->is_array()) {
        ack_count = who->size();
      }
      json tj = chain::tx_json(t);
      json e = json::object();
      e["acks"] = ack_count;
      e["id"] = id;
      e["inputs"] = std::move(tj["inputs"]);
      e["need"] = confirm;
      e["outputs"] = std::move(tj["outputs"]);
      e["raw"] = hex::encode(raw);
      e["type"] = static_cast<uint64_t>(t.type);
      mempool.push_back(std::move(e));
    }
  }

  json doc = json::object();
  doc["bytes"] = size;
  doc["confirm_peers"] = confirm;
  doc["file"] = text::lossy_utf8(chain_path);
  doc["height"] = as_i64(member(state, "height")).value_or(-1);
  doc["last_drop"] = as_i64(member(state, "last_drop")).value_or(0);
  doc["mempool"] = std::move(mempool);
  doc["nft"] = nft::list_hex(nft::dir(chain_path)).size();
  doc["nft_fee"] = kNftFee;
  doc["node_id"] = as_string(member(state, "node_id")).value_or("");
  doc["ok"] = true;
  const json* peer_link = member(state, "peer_link");
  doc["peer_link"] = peer_link ? *peer_link : json::object();
  const json* peers = member(state, "peers");
  doc["peers"] = peers ? *peers : json::array();
  doc["pending_total"] = pending_total;
  doc["pending_valid"] = validated;
  doc["pending_work"] = pending_work;
  doc["port"] = kPort;
  doc["reward_address"] = as_string(member(state, "reward_address")).value_or("");
  doc["running"] = true;
  doc["supply"] = as_u64(member(state, "supply")).value_or(0);
  doc["tip"] = as_string(member(state, "tip")).value_or("");
  doc["validated"] = validated;
  doc["version"] = std::string(kVersion);
  doc["work_seconds"] = work_seconds;
  return dump(doc);
}

// ---------------------------------------------------------------------------
// The server.

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

// ---------------------------------------------------------------------------
// The client.

std::string normalize_host(std::string_view host) {
  std::string_view t = text::trim(host);
  while (t.starts_with("http://")) t.remove_prefix(7);
  while (t.starts_with("https://")) t.remove_prefix(8);
  return std::string(t);
}

std::optional<Bytes> http_call_timeout(std::string_view host_text, std::string_view method,
                                       std::string_view path, ByteView body,
                                       std::string_view content_type, uint64_t timeout_secs) {
  if (timeout_secs == 0) return std::nullopt;  // a zero time-out cannot be set
  std::string host = normalize_host(host_text);
  auto to = resolve(host);
  if (!to) return std::nullopt;
  auto conn = connect_timeout(*to, milliseconds(2000));
  if (!conn) return std::nullopt;
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(std::min<uint64_t>(timeout_secs, 1000000000));
  if (::setsockopt(conn->get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0 ||
      ::setsockopt(conn->get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) {
    return std::nullopt;
  }

  std::string head;
  head.append(method).append(" ").append(path).append(" HTTP/1.1\r\nHost: ").append(host);
  head.append("\r\nContent-Type: ").append(content_type);
  head.append("\r\nContent-Length: ").append(std::to_string(body.size()));
  head.append("\r\nConnection: close\r\n\r\n");
  // Header block and body leave in one write, so that a small body does not wait for
  // the acknowledgement of the header block.
  Bytes request(head.begin(), head.end());
  bytes::put(request, body);
  if (!write_whole(conn->get(), request)) return std::nullopt;

  const size_t cap = method == "GET" && path.starts_with("/chain") ? kMaxChainReply : kMaxReply;
  Bytes reply;
  uint8_t chunk[65536];
  for (;;) {
    ssize_t r = ::recv(conn->get(), chunk, sizeof chunk, 0);
    if (r < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;  // a read error or the time-out
    }
    if (r == 0) break;
    reply.insert(reply.end(), chunk, chunk + r);
    if (reply.size() > cap) return std::nullopt;
  }
  std::string_view view(reinterpret_cast<const char*>(reply.data()), reply.size());
  size_t term = view.find(kTerminator);
  if (term == std::string_view::npos) return std::nullopt;
  return Bytes(reply.begin() + static_cast<std::ptrdiff_t>(term + kTerminator.size()), reply.end());
}

}  // namespace net

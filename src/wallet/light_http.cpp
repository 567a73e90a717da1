// The transport over the system's HTTP client: the reply body whatever its status line,
// nothing on any failure.
#include <algorithm>
#include <chrono>

#include "net/client.h"
#include "wallet/light.h"

namespace light {

namespace {

std::optional<Bytes> http_call(const Call& c, const std::atomic<bool>* cancel) {
  if (cancel == nullptr) cancel = c.cancel;
  if (cancel != nullptr && cancel->load()) return std::nullopt;
  net::CallOptions opts;
  opts.op_timeout = std::chrono::seconds(c.timeout_secs);
  // The time-out covers the whole exchange: a node that sends a byte a second still ends
  // within it.
  opts.deadline = std::min(std::chrono::steady_clock::now() + opts.op_timeout, c.deadline);
  opts.max_reply = c.max_reply;
  opts.cancel = cancel;
  // The body is kept in one buffer as it arrives instead of being copied out of the reply.
  Bytes body;
  opts.sink = [&body](ByteView part) {
    bytes::put(body, part);
    return true;
  };
  auto reply = net::call(c.host, c.method, c.path, c.body, c.content_type, opts);
  if (!reply) {
    if (c.too_large != nullptr) *c.too_large = reply.error().kind == net::CallFail::TooLarge;
    if (c.sent != nullptr) *c.sent = reply.error().sent;
    return std::nullopt;
  }
  return body;
}

}  // namespace

const Transport& http() {
  static const Transport t = [](const Call& c) { return http_call(c, nullptr); };
  return t;
}

Transport http(const std::atomic<bool>* cancel) {
  return [cancel](const Call& c) { return http_call(c, cancel); };
}

}  // namespace light

// The transport over the system's HTTP client: the reply body whatever its status line,
// nothing on any failure.
#include <chrono>

#include "net/client.h"
#include "wallet/light.h"

namespace light {

namespace {

std::optional<Bytes> http_call(const Call& c) {
  net::CallOptions opts;
  opts.op_timeout = std::chrono::seconds(c.timeout_secs);
  opts.max_reply = c.max_reply;
  auto reply = net::call(c.host, c.method, c.path, c.body, c.content_type, opts);
  if (!reply) return std::nullopt;
  return std::move(reply->body);
}

}  // namespace

const Transport& http() {
  static const Transport t = http_call;
  return t;
}

}  // namespace light

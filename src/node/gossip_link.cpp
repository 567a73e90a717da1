#include "node/gossip_link.h"

#include <algorithm>

#if __has_include("net/client.h")
#include "net/client.h"
#else
#include "net/net.h"
#endif

namespace node {

std::expected<Bytes, PeerFail> peer_call(std::string_view host, const PeerRequest& req) {
  const auto now = SteadyClock::now();
  if (req.deadline <= now) return std::unexpected(PeerFail::Down);
  const auto end = req.timeout < req.deadline - now ? now + req.timeout : req.deadline;
#if __has_include("net/client.h")
  net::CallOptions opts;
  opts.op_timeout = req.timeout;
  opts.deadline = end;
  opts.max_reply = req.max_reply;
  auto r = net::call(host, req.method, req.path, req.body, req.content_type, opts);
  if (r) return std::move(r->body);
  switch (r.error().kind) {
    case net::CallFail::TooLarge:
    case net::CallFail::BadReply:
      return std::unexpected(PeerFail::Unusable);
    default:
      return std::unexpected(PeerFail::Down);
  }
#else
  // Without a whole-exchange deadline in the client, each read is bounded instead.
  const auto left = std::chrono::duration_cast<std::chrono::seconds>(end - now).count();
  auto r = net::http_call_timeout(host, req.method, req.path, req.body, req.content_type,
                                  static_cast<uint64_t>(std::max<int64_t>(1, left)));
  if (!r) return std::unexpected(PeerFail::Down);
  if (r->size() > req.max_reply) return std::unexpected(PeerFail::Unusable);
  return std::move(*r);
#endif
}

}  // namespace node

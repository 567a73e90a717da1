#include "node/gossip_link.h"

#include <algorithm>

#include "net/client.h"

namespace node {

std::expected<Bytes, PeerFail> peer_call(std::string_view host, const PeerRequest& req) {
  const auto now = SteadyClock::now();
  if (req.deadline <= now) return std::unexpected(PeerFail::Down);
  const auto end = req.timeout < req.deadline - now ? now + req.timeout : req.deadline;
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
}

}  // namespace node

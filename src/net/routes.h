// The node's HTTP routes: each request line is matched against the route table and
// answered from the files on disk; every change request is queued for the node loop.
// GET /chain is not among them: the server streams the chain file itself.
// `route` is safe on any thread; the server's workers call it.
#pragma once

#include <cstdint>
#include <string>

#include "net/channel.h"
#include "net/http.h"

namespace net {

// GET /blocks: page size when none is asked for, and the largest page.
inline constexpr uint64_t kDefaultPage = 32;
inline constexpr uint64_t kMaxPage = 128;

// The reply to a request; `local` is true when the connection comes from this machine.
// Change requests are queued on `tx`, or refused with 503 while its queue is full;
// POST /nft stores the image.
Reply route(const Request& req, const std::string& chain_path, const Sender& tx, bool local);

// True when the request asks for the status document (GET /status), which the server
// serves from a document built once per change rather than through `route`.
bool is_status_request(const Request& req);

}  // namespace net

// The system's one HTTP client: a single request to a node over a fresh connection,
// read until the node closes it. Nodes call it for peers and for a node already running
// on this machine, wallets for pings, pages and submissions. Blocking, keeps no state
// between calls, safe on any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/bytes.h"

namespace net {

// Why a call failed.
// Cut: the reply ended before the body length its header block declared (the server's
// file was replaced under it, or the peer went away); BadReply covers a reply that sends
// more than it declared.
enum class CallFail { Resolve, Connect, Timeout, Io, TooLarge, BadReply, TooSlow, Cancelled, Cut };

struct CallError {
  CallFail kind;
  // The platform's text or a short description of the fault.
  std::string text;
  // True when the whole request had been written before the call failed: the server may
  // have acted on it.
  bool sent = false;
};

// A reply as received: the status of its first line (0 when that line has none), its
// header block, and every byte after the header block (none when a sink took them).
struct HttpReply {
  uint16_t status = 0;
  std::string head;
  Bytes body;
  // Body bytes received, whether kept or given to the sink.
  uint64_t body_bytes = 0;
};

// Takes body bytes as they arrive; false stops the call (a full disk, say).
using BodySink = std::function<bool(ByteView)>;

// Limits of one call.
struct CallOptions {
  std::chrono::milliseconds op_timeout{5000};  // each single read/write/connect
  std::chrono::steady_clock::time_point deadline =
      std::chrono::steady_clock::time_point::max();  // whole call
  size_t max_reply = size_t{64} << 20;               // body bytes accepted
  // Header lines added to the request, each ending in "\r\n" ("Range: bytes=N-\r\n").
  std::string extra_headers;
  // When set, the body goes here instead of into the reply, so that its size costs no
  // memory; `max_reply` still bounds it.
  BodySink sink;
  // Once `rate_grace` has passed, a reply whose bytes arrive slower on average than this
  // many bytes a second fails with TooSlow (0: no floor).
  uint64_t min_rate = 0;
  std::chrono::milliseconds rate_grace{2000};
  // When set and true, the call ends with Cancelled within a tenth of a second, whether
  // it is resolving the name, connecting, sending or reading.
  const std::atomic<bool>* cancel = nullptr;
  // When set, told the reply's status and header block as soon as they have arrived.
  std::function<void(uint16_t status, std::string_view head)> on_head;
};

// One request to `host` ("host:port", white space and leading "http://" or "https://"
// allowed) over a fresh connection. A reply with a Content-Length is read to that length
// and no further; one without is read until the server closes.
[[nodiscard]] std::expected<HttpReply, CallError> call(std::string_view host,
                                                       std::string_view method,
                                                       std::string_view path, ByteView body,
                                                       std::string_view content_type,
                                                       const CallOptions& opts);

// The host text of a call with surrounding white space and leading "http://" and
// "https://" removed.
std::string normalize_host(std::string_view host);

// One HTTP request over a fresh connection: the reply's bytes after the header block,
// whatever its status, or nothing on any failure. `timeout_secs` bounds each single read
// and write; connecting takes at most 2 seconds.
[[nodiscard]] std::optional<Bytes> http_call_timeout(std::string_view host, std::string_view method,
                                                     std::string_view path, ByteView body,
                                                     std::string_view content_type,
                                                     uint64_t timeout_secs);

}  // namespace net

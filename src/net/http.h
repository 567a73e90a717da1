// HTTP/1.1 framing shared by the node's server and the client: reading one request from
// a stream, the header block of a reply, and the small parsers of request lines and
// headers. Pure functions over bytes and text, safe on any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/bytes.h"
#include "core/error.h"

namespace net {

// The node's fixed TCP port.
inline constexpr uint16_t kPort = 19191;
// A request's header block may not reach this many bytes plus one.
inline constexpr size_t kMaxHeaderBytes = 32768;
// Largest request body accepted.
inline constexpr uint64_t kMaxBodyBytes = 400000;
// Requests are read in chunks of this many bytes.
inline constexpr size_t kReadChunk = 4096;
// The blank line that ends a header block.
inline constexpr std::string_view kHeadEnd = "\r\n\r\n";

// One request as read from a connection.
struct Request {
  // The first line of the header block, exactly as sent (invalid UTF-8 replaced).
  std::string line;
  // The whole header block before the blank line (invalid UTF-8 replaced).
  std::string head;
  Bytes body;
};

// One reply before it is written.
struct Reply {
  uint16_t status = 200;
  std::string content_type;
  Bytes body;
};

// Reads up to n bytes into buf; 0 at the end of the stream.
using ReadFn = std::function<Result<size_t>(uint8_t* buf, size_t n)>;

// Reads one request: the header block up to the first blank line, then the body of
// Content-Length bytes. Fails with "incomplete headers", "headers too large",
// "body too large" or the read's error.
[[nodiscard]] Result<Request> read_request(const ReadFn& read);

// A request whose header block has arrived whole: its line and head, and the body
// length it announces; the bytes after the blank line belong to the body.
struct RequestHead {
  Request req;
  uint64_t body_length = 0;
};

// Looks for a whole header block at the start of `buf`, which holds every byte read so
// far. Nothing yet when more bytes are needed; fails with "headers too large" or
// "body too large" as `read_request` does. `search_from` carries the search position
// between calls on the same growing buffer.
[[nodiscard]] Result<std::optional<RequestHead>> parse_head(ByteView buf, size_t& search_from);

// A decimal unsigned 64-bit number: one leading '+' allowed, digits only.
[[nodiscard]] std::optional<uint64_t> parse_u64(std::string_view text);
// The Content-Length of a header block; 0 when absent or not a number.
uint64_t content_length(std::string_view head);
// The body length a reply's header block declares: its last Content-Length line, or
// nothing when there is none or it is not a number (the body then ends with the stream).
[[nodiscard]] std::optional<uint64_t> declared_length(std::string_view head);
// The value of `key` in the query of the request line's target, as a number.
[[nodiscard]] std::optional<uint64_t> query_u64(std::string_view request_line,
                                                std::string_view key);
// The image name that GET /nft/{hash} asks for.
std::string nft_target(std::string_view request_line);
// True for 127.0.0.0/8, ::1 and their IPv4-mapped forms.
bool is_loopback(std::string_view ip);

// The first byte a request asks for with "Range: bytes=N-"; nothing without such a
// header. Other range forms (an end, several ranges, a suffix) are not served: the
// request is answered whole, as a server that knows no ranges would.
[[nodiscard]] std::optional<uint64_t> range_start(std::string_view head);

// The "Content-Range: bytes FIRST-LAST/TOTAL" of a reply's header block.
struct ContentRange {
  uint64_t first = 0;
  uint64_t last = 0;
  uint64_t total = 0;
  bool operator==(const ContentRange&) const = default;
};
// Nothing when the header is absent or not of that form (a "*" instead of the range
// included).
[[nodiscard]] std::optional<ContentRange> content_range(std::string_view head);

// The header block of a reply with `body_len` bytes of body; `extra` is one more header
// line ("Content-Range: ...", without its line end), or empty.
std::string reply_head(uint16_t status, std::string_view content_type, size_t body_len,
                       std::string_view extra = {});

}  // namespace net

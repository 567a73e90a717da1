// The HTTP client against a node that answers with any bytes: a local server replies with
// the fuzzed bytes and ends the stream. The body is every byte after the first blank line
// whatever the status line says, no blank line is a failure, and a body past the caller's
// limit is refused.
//
// The first byte picks the body limit (0 to 254 bytes, or the usual limit for 255), the
// rest is the reply.
#include "fuzz.h"
#include "net/client.h"
#include "net/http.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::Replier node;
  fuzz::Input in(data, size);
  const uint8_t limit = in.u8();
  ByteView reply = in.rest();
  node.serve(reply);

  net::CallOptions opts;
  opts.op_timeout = std::chrono::seconds(5);
  if (limit != 255) opts.max_reply = limit;
  auto r = net::call(node.host(), "GET", "/status", {}, "application/json", opts);

  std::string_view text = fuzz::as_text(reply);
  const size_t term = text.find(net::kHeadEnd);
  if (term == std::string_view::npos) {
    fuzz::check(!r && (r.error().kind == net::CallFail::BadReply ||
                       r.error().kind == net::CallFail::TooLarge),
                "a reply without a header block fails");
    return 0;
  }
  const size_t body = text.size() - term - net::kHeadEnd.size();
  if (body > opts.max_reply) {
    fuzz::check(!r && r.error().kind == net::CallFail::TooLarge, "a body past the limit fails");
    return 0;
  }
  // Until the header block has ended it counts against the limit too, so a header block
  // longer than the limit may be refused, depending on how the bytes arrive.
  if (!r && r.error().kind == net::CallFail::TooLarge &&
      term + net::kHeadEnd.size() > opts.max_reply) {
    return 0;
  }
  fuzz::check(r.has_value(), "a framed reply within the limit is read");
  fuzz::check(fuzz::as_text(r->body) == text.substr(term + net::kHeadEnd.size()),
              "the body is everything after the first blank line");
  // The plain call of nodes and wallets gives the same body.
  auto plain = net::http_call_timeout(node.host(), "GET", "/status", {}, "application/json", 5);
  if (limit == 255) {
    fuzz::check(plain && *plain == r->body, "the plain call gives the same body");
  }
  return 0;
}

// The server's event threads cut a request from the bytes read so far: each time a read
// adds bytes, the header block is looked for again from where the last search stopped,
// then the body is collected up to its announced length. However the reads are cut, that
// gives what a search from the start of the same bytes gives, and the same request as the
// blocking reader over reads of the same sizes.
#include <memory>

#include "fuzz.h"
#include "net/http.h"

namespace {

// Read sizes of 1 to 4096 bytes following from `seed`; 0 reads whole chunks.
struct Cuts {
  uint32_t state;
  bool whole;
  explicit Cuts(uint16_t seed) : state(seed | 1u), whole(seed == 0) {}
  size_t next(size_t n) {
    if (whole) return n;
    state = state * 1103515245u + 12345u;
    const size_t small = (state >> 16) & 1 ? 64 : net::kReadChunk;
    return std::min<size_t>(n, 1 + (state >> 17) % small);
  }
};

struct Framed {
  std::optional<net::Request> req;
  std::string error;
};

// The event thread's way: a growing buffer, a carried search position, then the body.
Framed event_loop(ByteView stream, uint16_t seed) {
  Cuts cuts(seed);
  Bytes buf;
  size_t search_from = 0;
  std::optional<net::RequestHead> head;
  size_t pos = 0;
  for (;;) {
    const size_t got = std::min(cuts.next(net::kReadChunk), stream.size() - pos);
    if (got == 0) {
      if (!head) return {std::nullopt, "incomplete headers"};
      return {std::move(head->req), ""};
    }
    ByteView chunk = stream.subspan(pos, got);
    pos += got;
    if (!head) {
      buf.insert(buf.end(), chunk.begin(), chunk.end());
      auto parsed = net::parse_head(buf, search_from);
      if (!parsed) return {std::nullopt, parsed.error().to_string()};
      if (!*parsed) continue;
      // The search carried between reads finds what a search from the start finds.
      size_t fresh_from = 0;
      auto fresh = net::parse_head(buf, fresh_from);
      fuzz::check(fresh && *fresh && fresh_from == search_from &&
                      (*fresh)->req.head == (**parsed).req.head &&
                      (*fresh)->body_length == (**parsed).body_length,
                  "carried search equals a search from the start");
      head = std::move(**parsed);
      Bytes& body = head->req.body;
      const size_t have = std::min<size_t>(buf.size() - search_from, head->body_length);
      body.assign(buf.begin() + static_cast<std::ptrdiff_t>(search_from),
                  buf.begin() + static_cast<std::ptrdiff_t>(search_from + have));
    } else {
      Bytes& body = head->req.body;
      const size_t take = std::min<size_t>(got, head->body_length - body.size());
      body.insert(body.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(take));
    }
    if (head->req.body.size() >= head->body_length) return {std::move(head->req), ""};
  }
}

Framed blocking(ByteView stream, uint16_t seed) {
  auto cuts = std::make_shared<Cuts>(seed);
  auto pos = std::make_shared<size_t>(0);
  auto r = net::read_request([&stream, cuts, pos](uint8_t* buf, size_t n) -> Result<size_t> {
    const size_t take = std::min(cuts->next(n), stream.size() - *pos);
    std::copy_n(stream.begin() + static_cast<std::ptrdiff_t>(*pos), take, buf);
    *pos += take;
    return take;
  });
  if (!r) return {std::nullopt, r.error().to_string()};
  return {std::move(*r), ""};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const uint16_t seed = in.u16();
  ByteView stream = in.rest();
  Framed ev = event_loop(stream, seed);
  Framed bl = blocking(stream, seed);
  fuzz::check(ev.req.has_value() == bl.req.has_value() && ev.error == bl.error,
              "event loop and blocking reader agree on the outcome");
  if (ev.req) {
    fuzz::check(ev.req->line == bl.req->line && ev.req->head == bl.req->head &&
                    ev.req->body == bl.req->body,
                "event loop and blocking reader frame the same request");
    fuzz::check(ev.req->body.size() <= net::kMaxBodyBytes, "body within its limit");
  }
  return 0;
}

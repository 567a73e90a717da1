// Request framing: the first two bytes pick how the connection cuts the rest into reads;
// however it is cut, the reader frames the same request or fails the same way. Only the
// header limit is met at a point that depends on the reads: the terminator counts when it
// arrives within the chunk that crosses the limit.
#include "fuzz.h"
#include "net/net.h"

namespace {

// Serves `bytes` in reads whose sizes follow from `seed` (1 to 64 bytes, or whole).
net::ReadFn reader(ByteView bytes, uint16_t seed) {
  auto pos = std::make_shared<size_t>(0);
  auto state = std::make_shared<uint32_t>(seed | 1u);
  return [bytes, pos, state, seed](uint8_t* buf, size_t n) -> Result<size_t> {
    size_t want = n;
    if (seed != 0) {
      *state = *state * 1103515245u + 12345u;
      want = std::min<size_t>(n, 1 + (*state >> 16) % 64);
    }
    size_t take = std::min(want, bytes.size() - *pos);
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(*pos), take, buf);
    *pos += take;
    return take;
  };
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  uint16_t seed = in.u16();
  ByteView stream = in.rest();
  auto whole = net::read_request(reader(stream, 0));
  auto cut = net::read_request(reader(stream, seed));
  auto too_large = [](const Result<net::Request>& r) {
    return !r && r.error().to_string() == "headers too large";
  };
  if (too_large(whole) || too_large(cut)) return 0;
  fuzz::check(whole.has_value() == cut.has_value(), "same outcome however the reads are cut");
  if (!whole) {
    fuzz::check(whole.error() == cut.error(), "same error however the reads are cut");
    return 0;
  }
  fuzz::check(whole->line == cut->line && whole->head == cut->head && whole->body == cut->body,
              "same request however the reads are cut");
  fuzz::check(whole->body.size() <= net::content_length(whole->head), "body within its length");
  // At most the limit and one more chunk of 4096 bytes is ever buffered; each byte that is
  // not UTF-8 becomes the three bytes of U+FFFD in the text.
  fuzz::check(whole->head.size() < 3 * (net::kMaxHeaderBytes + 4096),
              "header block within its limit");
  return 0;
}

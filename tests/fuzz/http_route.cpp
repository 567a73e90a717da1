// Routing a whole request: the fuzzed bytes are read as one request from a connection and
// answered by the routes, local or not (the first byte decides), against a small chain.
// Every reply is well formed; changes only reach the node loop's queue.
#include <system_error>

#include "core/crypto.h"
#include "fuzz.h"
#include "ledger/chain.h"
#include "net/net.h"

namespace {

struct Node {
  std::string chain_path;
  net::Sender tx;
  net::Receiver rx;
  Node() {
    crypto::init();
    chain_path = (fuzz::scratch() / "node" / "quv.chain").string();
    std::error_code ec;
    std::filesystem::create_directories(fuzz::scratch() / "node", ec);
    auto chain = Chain::open(chain_path);
    fuzz::check(chain.has_value(), "open the node's chain");
    auto [s, r] = net::channel();
    tx = std::move(s);
    rx = std::move(r);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Node node;
  fuzz::Input in(data, size);
  const bool local = in.u8() & 1;
  ByteView stream = in.rest();
  size_t pos = 0;
  auto req = net::read_request([&](uint8_t* buf, size_t n) -> Result<size_t> {
    size_t take = std::min(n, stream.size() - pos);
    std::copy_n(stream.begin() + static_cast<std::ptrdiff_t>(pos), take, buf);
    pos += take;
    return take;
  });
  if (!req) return 0;
  net::Reply reply = net::route(*req, node.chain_path, node.tx, local);
  fuzz::check(reply.status >= 200 && reply.status < 600, "a real status code");
  fuzz::check(!reply.content_type.empty(), "a content type");
  (void)net::reply_head(reply.status, reply.content_type, reply.body.size());
  (void)node.rx.drain();
  // Uploaded images would pile up over millions of runs.
  std::error_code ec;
  std::filesystem::remove_all(std::filesystem::path(node.chain_path).parent_path() / "nft", ec);
  return 0;
}

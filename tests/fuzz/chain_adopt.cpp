// Adopting a peer's chain: the node checks a whole peer file before it replaces its own.
// Whatever the peer sends, a refusal leaves the file and the ledger as they were, and after
// any answer the ledger in memory is the ledger the file replays to.
//
// The first byte picks what the rest is: even, the peer's file as sent; odd, transactions
// that the target seals into mined blocks on top of the common genesis block (a count byte,
// then that many signed transactions, per block, at most four blocks), so that the checks
// behind the proof of work are reached.
#include <system_error>

#include "chain_gen.h"
#include "core/crypto.h"
#include "fuzz.h"
#include "ledger/chain.h"

namespace {

constexpr size_t kMaxBlocks = 4;

Bytes mined_peer(fuzz::Input& in) {
  std::vector<codec::Block> blocks = {chain::genesis_block()};
  while (in.left() > 0 && blocks.size() <= kMaxBlocks) {
    const size_t count = in.u8() % 4;
    std::vector<codec::Tx> txs;
    for (size_t i = 0; i < count; ++i) {
      ByteView rest = in.rest();
      auto d = codec::decode_tx(rest);
      if (!d) break;
      txs.push_back(std::move(d->tx));
      // Give back what the transaction did not use.
      in = fuzz::Input(rest.data() + d->consumed, rest.size() - d->consumed);
    }
    codec::Block b = chain_gen::make_block(blocks.size(), blocks.back().hash, std::move(txs),
                                           /*do_mine=*/false);
    auto header = codec::mine_header(codec::encode_header(b), b.difficulty);
    if (!header) break;
    b.nonce = bytes::load_u64(header->data() + 80);
    b.hash = codec::block_hash(*header);
    blocks.push_back(std::move(b));
  }
  return chain_gen::file_bytes(blocks);
}

Bytes read_all(const std::string& path) {
  Bytes out;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    uint8_t buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
    std::fclose(f);
  }
  return out;
}

struct Node {
  std::string path;
  Bytes genesis_file;
  std::optional<Chain> chain;

  Node() {
    crypto::init();
    std::error_code ec;
    std::filesystem::create_directories(fuzz::scratch() / "adopt", ec);
    path = (fuzz::scratch() / "adopt" / "quv.chain").string();
    reset();
    genesis_file = read_all(path);
  }
  // Back to a chain of the genesis block alone.
  void reset() {
    chain.reset();
    std::error_code ec;
    std::filesystem::remove(path, ec);
    std::filesystem::remove(state::path_for(path), ec);
    auto c = Chain::open(path);
    fuzz::check(c.has_value(), "open a fresh chain");
    chain.emplace(std::move(*c));
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Node node;
  fuzz::Input in(data, size);
  Bytes peer;
  if (in.u8() & 1) {
    peer = mined_peer(in);
  } else {
    ByteView raw = in.rest();
    peer.assign(raw.begin(), raw.end());
  }
  auto adopted = node.chain->adopt_bytes(peer);
  if (!adopted || node.chain->block_count() == 1) {
    fuzz::check(node.chain->block_count() == 1, "a refused chain leaves the ledger");
    fuzz::check(read_all(node.path) == node.genesis_file, "a refused chain leaves the file");
    return 0;
  }
  auto replayed = Chain::open(node.path);
  fuzz::check(replayed.has_value(), "an adopted file opens");
  fuzz::check(replayed->block_count() == node.chain->block_count() &&
                  replayed->tip_hash() == node.chain->tip_hash() &&
                  replayed->supply() == node.chain->supply(),
              "the ledger in memory is the ledger of the file");
  replayed = fail("closed");
  node.reset();
  return 0;
}

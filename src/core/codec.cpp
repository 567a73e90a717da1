#include "core/codec.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "core/hashing.h"
#include "core/text.h"

namespace codec {

namespace {

const char* const kTruncated = "chain truncated";

// The chain id: "quv-test-1" and six zero bytes.
constexpr std::array<uint8_t, 16> kChainId = {'q', 'u', 'v', '-', 't', 'e', 's', 't',
                                              '-', '1', 0,   0,   0,   0,   0,   0};
constexpr uint8_t kVersion = 1;
constexpr uint64_t kMineTries = 400000;

// A count that does not fit its u16 field is written as 0 with no elements after it.
uint16_t fitted_count(size_t n) { return n <= 0xffff ? static_cast<uint16_t>(n) : 0; }

template <size_t N>
[[nodiscard]] Result<std::array<uint8_t, N>> take_array(Cur& c) {
  if (c.remaining() < N) return fail(kTruncated);
  std::array<uint8_t, N> out;
  std::memcpy(out.data(), c.buf.data() + c.pos, N);
  c.pos += N;
  return out;
}

template <typename T>
[[nodiscard]] Result<T> take_le(Cur& c) {
  if (c.remaining() < sizeof(T)) return fail(kTruncated);
  T v = 0;
  for (size_t i = sizeof(T); i-- > 0;) v = static_cast<T>((v << 8) | c.buf[c.pos + i]);
  c.pos += sizeof(T);
  return v;
}

// Leading-zero hex digits of a hash, counted on the bytes.
unsigned zero_nibbles(const Hash32& h) {
  unsigned n = 0;
  for (uint8_t b : h) {
    if (b == 0) {
      n += 2;
      continue;
    }
    if ((b >> 4) == 0) ++n;
    break;
  }
  return n;
}

}  // namespace

Result<uint8_t> Cur::u8() { return take_le<uint8_t>(*this); }
Result<uint16_t> Cur::u16() { return take_le<uint16_t>(*this); }
Result<uint32_t> Cur::u32() { return take_le<uint32_t>(*this); }
Result<uint64_t> Cur::u64() { return take_le<uint64_t>(*this); }
Result<Hash16> Cur::arr16() { return take_array<16>(*this); }
Result<Hash32> Cur::arr32() { return take_array<32>(*this); }
Result<Sig64> Cur::arr64() { return take_array<64>(*this); }

Result<ByteView> Cur::take(size_t n) {
  if (remaining() < n) return fail(kTruncated);
  ByteView out = buf.subspan(pos, n);
  pos += n;
  return out;
}

// Unsigned transaction: type u8, timestamp u64, extra length u16, extra, tag length u8,
// tag, input count u16, per input note_id 32 and nullifier 32, output count u16, per
// output stealth_tag 16, eph_pub 32, auth_pk 32, ciphertext length u16, ciphertext;
// for type 1 only: work_amount u64, work_seconds u32, work_validated u32.
static void append_unsigned(Bytes& out, const Tx& tx) {
  bytes::put_u8(out, tx.type);
  bytes::put_u64(out, tx.timestamp);
  size_t e = std::min<size_t>(tx.extra.size(), 0xffff);
  bytes::put_u16(out, static_cast<uint16_t>(e));
  out.insert(out.end(), tx.extra.begin(), tx.extra.begin() + e);
  size_t g = std::min<size_t>(tx.tag.size(), 0xff);
  bytes::put_u8(out, static_cast<uint8_t>(g));
  out.insert(out.end(), tx.tag.begin(), tx.tag.begin() + g);

  uint16_t ni = fitted_count(tx.inputs.size());
  bytes::put_u16(out, ni);
  for (size_t i = 0; i < ni; ++i) {
    bytes::put(out, tx.inputs[i].note_id);
    bytes::put(out, tx.inputs[i].nullifier);
  }
  uint16_t no = fitted_count(tx.outputs.size());
  bytes::put_u16(out, no);
  for (size_t i = 0; i < no; ++i) {
    const TxOutput& o = tx.outputs[i];
    bytes::put(out, o.stealth_tag);
    bytes::put(out, o.eph_pub);
    bytes::put(out, o.auth_pk);
    uint16_t c = fitted_count(o.ciphertext.size());
    bytes::put_u16(out, c);
    out.insert(out.end(), o.ciphertext.begin(), o.ciphertext.begin() + c);
  }
  if (tx.type == kTxWork) {
    bytes::put_u64(out, tx.work_amount);
    bytes::put_u32(out, tx.work_seconds);
    bytes::put_u32(out, tx.work_validated);
  }
}

// Signed transaction: the unsigned encoding, then one 64-byte signature per written input.
static void append_signed(Bytes& out, const Tx& tx) {
  append_unsigned(out, tx);
  uint16_t ni = fitted_count(tx.inputs.size());
  for (size_t i = 0; i < ni; ++i) bytes::put(out, tx.inputs[i].sig);
}

Bytes encode_tx_unsigned(const Tx& tx) {
  Bytes out;
  append_unsigned(out, tx);
  return out;
}

Bytes encode_tx_signed(const Tx& tx) {
  Bytes out;
  append_signed(out, tx);
  return out;
}

Result<DecodedTx> decode_tx(ByteView data) {
  if (data.size() < 11) return fail(kTruncated);
  Cur c{data, 0};
  DecodedTx d;
  Tx& tx = d.tx;
  // Each field is read in order; the first shortfall is the answer.
  auto run = [&]() -> Status {
    auto type = c.u8();
    auto ts = c.u64();
    if (!type || !ts) return std::unexpected(QuvError::msg(kTruncated));
    tx.type = *type;
    tx.timestamp = *ts;
    auto e = c.u16();
    if (!e) return std::unexpected(e.error());
    auto extra = c.take(*e);
    if (!extra) return std::unexpected(extra.error());
    tx.extra.assign(extra->begin(), extra->end());
    auto g = c.u8();
    if (!g) return std::unexpected(g.error());
    auto tag = c.take(*g);
    if (!tag) return std::unexpected(tag.error());
    tx.tag.assign(tag->begin(), tag->end());

    auto ni = c.u16();
    if (!ni) return std::unexpected(ni.error());
    if (c.remaining() < size_t{*ni} * 64) return std::unexpected(QuvError::msg(kTruncated));
    tx.inputs.resize(*ni);
    for (TxInput& in : tx.inputs) {
      in.note_id = *c.arr32();
      in.nullifier = *c.arr32();
    }
    auto no = c.u16();
    if (!no) return std::unexpected(no.error());
    tx.outputs.reserve(std::min<size_t>(*no, c.remaining() / 82));
    for (size_t i = 0; i < *no; ++i) {
      if (c.remaining() < 82) return std::unexpected(QuvError::msg(kTruncated));
      TxOutput o;
      o.stealth_tag = *c.arr16();
      o.eph_pub = *c.arr32();
      o.auth_pk = *c.arr32();
      uint16_t clen = *c.u16();
      auto ct = c.take(clen);
      if (!ct) return std::unexpected(ct.error());
      o.ciphertext.assign(ct->begin(), ct->end());
      tx.outputs.push_back(std::move(o));
    }
    if (tx.type == kTxWork) {
      if (c.remaining() < 16) return std::unexpected(QuvError::msg(kTruncated));
      tx.work_amount = *c.u64();
      tx.work_seconds = *c.u32();
      tx.work_validated = *c.u32();
    }
    if (c.remaining() < tx.inputs.size() * 64) return std::unexpected(QuvError::msg(kTruncated));
    for (TxInput& in : tx.inputs) in.sig = *c.arr64();
    return {};
  };
  if (auto r = run(); !r) return std::unexpected(r.error());
  d.consumed = c.pos;
  return d;
}

// Header: height u64, timestamp u64, prev 32, merkle 32, nonce u64, difficulty u8,
// version u8 (1), chain id 16 ("quv-test-1" and six zero bytes).
BlockHeader encode_header(const Block& b) {
  BlockHeader h{};
  bytes::store_u64(h.data(), b.height);
  bytes::store_u64(h.data() + 8, b.timestamp);
  std::memcpy(h.data() + 16, b.prev.data(), 32);
  std::memcpy(h.data() + 48, b.merkle.data(), 32);
  bytes::store_u64(h.data() + 80, b.nonce);
  h[88] = b.difficulty;
  h[89] = kVersion;
  std::memcpy(h.data() + 90, kChainId.data(), kChainId.size());
  return h;
}

// Block body: the 106-byte header, transaction count u16, signed transactions.
static void append_body(Bytes& out, const Block& b) {
  BlockHeader h = encode_header(b);
  out.insert(out.end(), h.begin(), h.end());
  uint16_t n = fitted_count(b.txs.size());
  bytes::put_u16(out, n);
  for (size_t i = 0; i < n; ++i) append_signed(out, b.txs[i]);
}

Bytes encode_block_body(const Block& b) {
  Bytes out;
  append_body(out, b);
  return out;
}

Result<Block> decode_block_body(ByteView body) {
  if (body.size() < kHeaderSize + 2) return fail("block too small");
  Block b;
  const uint8_t* h = body.data();
  b.hash = hashing::h32(body.first(kHeaderSize));
  b.height = bytes::load_u64(h);
  b.timestamp = bytes::load_u64(h + 8);
  std::memcpy(b.prev.data(), h + 16, 32);
  std::memcpy(b.merkle.data(), h + 48, 32);
  b.nonce = bytes::load_u64(h + 80);
  b.difficulty = h[88];
  size_t count = size_t{h[106]} | (size_t{h[107]} << 8);
  size_t pos = kHeaderSize + 2;
  b.txs.reserve(std::min<size_t>(count, (body.size() - pos) / 11));
  for (size_t i = 0; i < count; ++i) {
    auto d = decode_tx(body.subspan(pos));
    if (!d) return std::unexpected(d.error());
    pos += d->consumed;
    b.txs.push_back(std::move(d->tx));
  }
  return b;
}

// Chain record: body length u32, body, BLAKE2b-256 of the body.
Bytes encode_record(const Block& b) {
  Bytes out(4);
  append_body(out, b);
  uint32_t len = static_cast<uint32_t>(out.size() - 4);
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(len >> (8 * i));
  Hash32 sum = hashing::h32(ByteView(out).subspan(4));
  bytes::put(out, sum);
  return out;
}

Hash32 txid(const Tx& tx) { return hashing::h32(encode_tx_unsigned(tx)); }

Hash32 note_id(const TxOutput& o) {
  return hashing::h32_parts({o.stealth_tag, o.eph_pub, o.auth_pk, o.ciphertext});
}

Hash32 nullifier(const Hash32& note, const Key32& auth_pk) {
  return hashing::h32_parts({bytes::of("nul"), note, auth_pk});
}

Hash32 merkle(std::span<const Hash32> txids) {
  if (txids.empty()) return hashing::h32(bytes::of("empty"));
  return hashing::h32(ByteView(txids.front().data(), txids.size() * 32));
}

Hash32 block_hash(const BlockHeader& header) { return hashing::h32(header); }

bool meets_difficulty(const Hash32& hash, unsigned difficulty) {
  return zero_nibbles(hash) >= std::min(difficulty, 64u);
}

Result<BlockHeader> mine_header(const BlockHeader& header, uint8_t difficulty) {
  if (difficulty == 0) return header;
  BlockHeader h = header;
  for (uint64_t nonce = 0; nonce < kMineTries; ++nonce) {
    bytes::store_u64(h.data() + 80, nonce);
    if (meets_difficulty(hashing::h32(h), difficulty)) return h;
  }
  return fail("Proof-of-work not found.");
}

}  // namespace codec

#include "core/codec.h"

#include <gtest/gtest.h>

#include <random>

#include "core/crypto.h"
#include "core/hex.h"
#include "core/peers.h"

namespace {

using codec::Block;
using codec::Tx;
using codec::TxInput;
using codec::TxOutput;

Tx empty_transfer() {
  Tx tx;
  tx.type = codec::kTxTransfer;
  tx.timestamp = 0x0102030405060708;
  return tx;
}

TEST(Codec, EmptyTransferIsSixteenBytes) {
  Tx tx = empty_transfer();
  EXPECT_EQ(hex::encode(codec::encode_tx_unsigned(tx)), "02080706050403020100000000000000");
  EXPECT_EQ(codec::encode_tx_signed(tx), codec::encode_tx_unsigned(tx));
  tx.type = codec::kTxWork;
  tx.work_amount = 5;
  tx.work_seconds = 6;
  tx.work_validated = 7;
  EXPECT_EQ(hex::encode(codec::encode_tx_unsigned(tx)),
            "0108070605040302010000000000000005000000000000000600000007000000");
}

TEST(Codec, DecodeConsumesOneTransaction) {
  Bytes enc = codec::encode_tx_signed(empty_transfer());
  auto d = codec::decode_tx(enc);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->consumed, 16u);
  EXPECT_EQ(d->tx, empty_transfer());

  Bytes longer = enc;
  longer.insert(longer.end(), 5, 0xee);
  d = codec::decode_tx(longer);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->consumed, 16u);

  auto shortr = codec::decode_tx(ByteView(enc).first(10));
  ASSERT_FALSE(shortr);
  EXPECT_EQ(shortr.error().to_string(), "chain truncated");
}

TEST(Codec, SignatureFollowsOutputsAndWorkFields) {
  Tx tx = empty_transfer();
  tx.type = codec::kTxWork;
  TxInput in;
  in.note_id.fill(0x11);
  in.nullifier.fill(0x22);
  in.sig.fill(0x33);
  tx.inputs.push_back(in);
  Bytes unsigned_enc = codec::encode_tx_unsigned(tx);
  Bytes signed_enc = codec::encode_tx_signed(tx);
  ASSERT_EQ(signed_enc.size(), unsigned_enc.size() + 64);
  EXPECT_TRUE(std::equal(unsigned_enc.begin(), unsigned_enc.end(), signed_enc.begin()));
  EXPECT_EQ(hex::encode(ByteView(signed_enc).last(64)), std::string(128, '3'));
  // Input bytes sit right after the input count, note id first.
  EXPECT_EQ(hex::encode(ByteView(unsigned_enc).subspan(14, 64)),
            std::string(64, '1') + std::string(64, '2'));

  auto cut = codec::decode_tx(ByteView(signed_enc).first(signed_enc.size() - 1));
  ASSERT_FALSE(cut);
  EXPECT_EQ(cut.error().to_string(), "chain truncated");
  auto whole = codec::decode_tx(signed_enc);
  ASSERT_TRUE(whole);
  EXPECT_EQ(whole->tx, tx);
}

TEST(Codec, OversizedFieldsAreFitted) {
  Tx tx = empty_transfer();
  tx.extra.assign(70000, 'x');
  tx.tag.assign(300, 't');
  Bytes enc = codec::encode_tx_signed(tx);
  EXPECT_EQ(enc[9], 0xff);
  EXPECT_EQ(enc[10], 0xff);
  auto d = codec::decode_tx(enc);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->tx.extra.size(), 65535u);
  EXPECT_EQ(d->tx.tag.size(), 255u);
  EXPECT_EQ(d->consumed, enc.size());

  // Too many outputs: count 0 and none of them follow.
  Tx many = empty_transfer();
  many.outputs.resize(65536);
  EXPECT_EQ(codec::encode_tx_unsigned(many).size(), 16u);
}

TEST(Codec, BlockBodySizesAndHeader) {
  Block b;
  b.height = 7;
  b.timestamp = 9;
  b.nonce = 3;
  b.difficulty = 3;
  Bytes body = codec::encode_block_body(b);
  ASSERT_EQ(body.size(), 108u);
  EXPECT_EQ(body[89], 1);
  EXPECT_EQ(std::string(body.begin() + 90, body.begin() + 100), "quv-test-1");
  EXPECT_EQ(hex::encode(ByteView(body).subspan(100, 6)), "000000000000");

  auto small = codec::decode_block_body(ByteView(body).first(107));
  ASSERT_FALSE(small);
  EXPECT_EQ(small.error().to_string(), "block too small");

  // A wrong version or chain id does not stop decoding.
  body[89] = 9;
  body[95] = 'X';
  auto d = codec::decode_block_body(body);
  ASSERT_TRUE(d);
  EXPECT_TRUE(d->txs.empty());
  EXPECT_EQ(d->height, 7u);
  EXPECT_EQ(d->hash, hashing::h32(ByteView(body).first(106)));

  b.txs.push_back(empty_transfer());
  Bytes rec = codec::encode_record(b);
  Bytes body2 = codec::encode_block_body(b);
  ASSERT_EQ(rec.size(), 4 + body2.size() + 32);
  EXPECT_EQ(bytes::load_u32(rec.data()), body2.size());
  EXPECT_EQ(hex::encode(ByteView(rec).last(32)), hex::encode(hashing::h32(body2)));
}

TEST(Codec, LedgerHashInputs) {
  EXPECT_EQ(codec::merkle({}), hashing::h32(bytes::of("empty")));
  Hash32 one;
  one.fill(0xab);
  Hash32 two;
  two.fill(0xcd);
  EXPECT_EQ(codec::merkle(std::vector<Hash32>{one}), hashing::h32(one));
  Bytes both(one.begin(), one.end());
  both.insert(both.end(), two.begin(), two.end());
  EXPECT_EQ(codec::merkle(std::vector<Hash32>{one, two}), hashing::h32(both));

  Bytes nul = {0x6e, 0x75, 0x6c};
  nul.insert(nul.end(), one.begin(), one.end());
  nul.insert(nul.end(), two.begin(), two.end());
  ASSERT_EQ(nul.size(), 67u);
  EXPECT_EQ(codec::nullifier(one, two), hashing::h32(nul));

  TxOutput out;
  out.stealth_tag.fill(1);
  out.eph_pub.fill(2);
  out.auth_pk.fill(3);
  Bytes wire(16, 1);
  wire.insert(wire.end(), 32, 2);
  wire.insert(wire.end(), 32, 3);
  EXPECT_EQ(codec::note_id(out), hashing::h32(wire));
  out.ciphertext = {9, 8};
  wire.insert(wire.end(), {9, 8});
  EXPECT_EQ(codec::note_id(out), hashing::h32(wire));

  Tx tx = empty_transfer();
  tx.inputs.emplace_back();
  Hash32 before = codec::txid(tx);
  tx.inputs[0].sig.fill(0x77);
  EXPECT_EQ(codec::txid(tx), before);
  EXPECT_EQ(before, hashing::h32(codec::encode_tx_unsigned(tx)));
}

codec::BlockHeader sample_header(uint64_t nonce) {
  Block b;
  b.height = 1;
  b.timestamp = 1700000000;
  b.nonce = nonce;
  b.difficulty = 3;
  return codec::encode_header(b);
}

std::string hash_hex(const codec::BlockHeader& h) { return hex::encode(codec::block_hash(h)); }

TEST(Codec, MineDifficultyZeroKeepsHeader) {
  auto h = sample_header(0xdeadbeef);
  auto r = codec::mine_header(h, 0);
  ASSERT_TRUE(r);
  EXPECT_EQ(*r, h);
}

TEST(Codec, MineFindsFirstWinningNonce) {
  for (uint8_t d : {1, 2, 3}) {
    auto r = codec::mine_header(sample_header(99), d);
    ASSERT_TRUE(r);
    uint64_t won = bytes::load_u64(r->data() + 80);
    std::string prefix(d, '0');
    EXPECT_EQ(hash_hex(*r).substr(0, d), prefix);
    for (uint64_t n = 0; n < won; ++n) {
      EXPECT_NE(hash_hex(sample_header(n)).substr(0, d), prefix) << "nonce " << n;
    }
  }
}

TEST(Codec, MineImpossibleDifficulty) {
  auto r = codec::mine_header(sample_header(0), 65);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string(), "Proof-of-work not found.");
}

TEST(Codec, DifficultyCountsHexDigits) {
  Hash32 h{};
  EXPECT_TRUE(codec::meets_difficulty(h, 64));
  EXPECT_TRUE(codec::meets_difficulty(h, 200));
  h[31] = 1;
  EXPECT_FALSE(codec::meets_difficulty(h, 64));
  EXPECT_TRUE(codec::meets_difficulty(h, 63));
  Hash32 g{};
  g[1] = 0x0f;  // "000f…": three zero digits
  EXPECT_TRUE(codec::meets_difficulty(g, 3));
  EXPECT_FALSE(codec::meets_difficulty(g, 4));
}

// Random transactions and blocks round-trip byte for byte.
struct Gen {
  std::mt19937_64 rng{20261208};
  uint64_t u(uint64_t n) { return rng() % n; }
  template <size_t N>
  std::array<uint8_t, N> arr() {
    std::array<uint8_t, N> a;
    for (auto& b : a) b = static_cast<uint8_t>(rng());
    return a;
  }
  Bytes bytes(size_t max) {
    Bytes b(u(max + 1));
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    return b;
  }
  Tx tx() {
    Tx t;
    const uint8_t types[] = {0, 1, 2, 5, 9};
    t.type = types[u(5)];
    t.timestamp = rng();
    t.extra = bytes(300);
    t.tag = bytes(40);
    t.inputs.resize(u(4));
    for (auto& in : t.inputs) {
      in.sig = arr<64>();
      in.note_id = arr<32>();
      in.nullifier = arr<32>();
    }
    t.outputs.resize(u(4));
    for (auto& o : t.outputs) {
      o.stealth_tag = arr<16>();
      o.eph_pub = arr<32>();
      o.auth_pk = arr<32>();
      o.ciphertext = bytes(250);
    }
    if (t.type == codec::kTxWork) {
      t.work_amount = rng();
      t.work_seconds = static_cast<uint32_t>(rng());
      t.work_validated = static_cast<uint32_t>(rng());
    }
    return t;
  }
};

TEST(Codec, RandomRoundTrips) {
  Gen g;
  for (int i = 0; i < 300; ++i) {
    Tx t = g.tx();
    Bytes enc = codec::encode_tx_signed(t);
    auto d = codec::decode_tx(enc);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->tx, t);
    EXPECT_EQ(d->consumed, enc.size());
    EXPECT_EQ(codec::encode_tx_signed(d->tx), enc);
  }
  for (int i = 0; i < 40; ++i) {
    Block b;
    b.height = g.rng();
    b.timestamp = g.rng();
    b.prev = g.arr<32>();
    b.merkle = g.arr<32>();
    b.nonce = g.rng();
    b.difficulty = static_cast<uint8_t>(g.rng());
    for (size_t n = g.u(6); n > 0; --n) b.txs.push_back(g.tx());
    Bytes body = codec::encode_block_body(b);
    auto d = codec::decode_block_body(body);
    ASSERT_TRUE(d);
    b.hash = hashing::h32(ByteView(body).first(106));
    EXPECT_EQ(*d, b);
    EXPECT_EQ(codec::encode_block_body(*d), body);
  }
}

// Every cut of a valid encoding fails cleanly, without reading past the end.
TEST(Codec, EveryTruncationFails) {
  Gen g;
  Tx t = g.tx();
  t.type = codec::kTxWork;
  t.inputs.resize(2);
  t.outputs.resize(2);
  Bytes enc = codec::encode_tx_signed(t);
  for (size_t n = 0; n < enc.size(); ++n) {
    Bytes cut(enc.begin(), enc.begin() + n);  // own allocation, so ASan sees overreads
    auto d = codec::decode_tx(cut);
    ASSERT_FALSE(d) << n;
    EXPECT_EQ(d.error().to_string(), "chain truncated");
  }
  Block b;
  b.txs = {t, g.tx()};
  Bytes body = codec::encode_block_body(b);
  for (size_t n = 0; n < body.size(); ++n) {
    Bytes cut(body.begin(), body.begin() + n);
    auto d = codec::decode_block_body(cut);
    ASSERT_FALSE(d) << n;
    EXPECT_EQ(d.error().to_string(), n < 108 ? "block too small" : "chain truncated");
  }
}

TEST(Codec, CurLeavesPositionOnShortfall) {
  Bytes data = {1, 2, 3};
  codec::Cur c{data, 1};
  EXPECT_FALSE(c.u32());
  EXPECT_EQ(c.pos, 1u);
  auto v = c.u16();
  ASSERT_TRUE(v);
  EXPECT_EQ(*v, 0x0302);
  EXPECT_EQ(c.pos, 3u);
  EXPECT_FALSE(c.take(1));
  EXPECT_TRUE(c.take(0));
  codec::Cur past{data, 10};
  EXPECT_EQ(past.remaining(), 0u);
  EXPECT_FALSE(past.u8());
}

}  // namespace

namespace {

struct PeerCase {
  const char* in;
  const char* want;  // normalised text, or the refusal
};

TEST(Codec, ParsePeer) {
  const PeerCase cases[] = {
      {"HTTP://Node.Example.COM:8080/", "node.example.com:8080"},
      {"http://Node.Example.COM:8080/", "node.example.com:8080"},
      {"https://a.b//", "a.b:19191"},
      {"  example.org  ", "example.org:19191"},
      {"Http://example.org:80", "Invalid peer address."},
      {"Http://example.org", "Invalid port."},
      {"example.org:0", "Invalid port."},
      {"example.org:65536", "Invalid port."},
      {"example.org:65535", "example.org:65535"},
      {"example.org:", "Invalid port."},
      {"example.org:+", "Invalid port."},
      {"example.org:-1", "Invalid port."},
      {"example.org:1a", "Invalid port."},
      {":19191", "Invalid peer address."},
      {"example.org:+0080", "example.org:80"},
      {"[2001:DB8::1]:9000", "[2001:db8::1]:9000"},
      {"[2001:db8::1]", "[2001:db8::1]:19191"},
      {"[10.0.0.1]:80", "10.0.0.1:80"},
      {"[2001:db8::1", "Invalid IPv6 address."},
      {"[::1]x", "Invalid peer address."},
      {"[]:80", "Invalid peer address."},
      {"2001:db8::1", "[2001:db8::1]:19191"},
      {"bad_host", "Invalid peer address."},
      {"user@host", "Invalid peer address."},
      {"h\xc3\xa9llo", "Invalid peer address."},
      {"", "Empty peer."},
      {"  http:// / ", "Empty peer."},
      {"\xe2\x80\x83peer.net\xe2\x80\x83", "peer.net:19191"},
  };
  for (const auto& c : cases) {
    auto r = codec::parse_peer(c.in);
    EXPECT_EQ(r ? *r : r.error().to_string(), c.want) << "entry: " << c.in;
  }
}

TEST(Codec, ParsePeers) {
  using V = std::vector<std::string>;
  auto ok = [](V in) {
    auto r = codec::parse_peers(std::move(in));
    return r ? *r : V{"error: " + r.error().to_string()};
  };
  EXPECT_EQ(ok({"a", "b", "c", "d", "e", "f"}),
            (V{"a:19191", "b:19191", "c:19191", "d:19191", "e:19191"}));
  EXPECT_EQ(ok({"a", "b", "c", "d", "e", "bad_one"}).size(), 5u);
  EXPECT_EQ(ok({"a", "b_"}), V{"error: Invalid peer address."});
  EXPECT_EQ(ok({" ", "a:1", "A:1", "http://a:1/", ""}), V{"a:1"});
  EXPECT_EQ(ok({}), V{std::string(codec::kDefaultSeedPeer)});
  EXPECT_EQ(ok({"  ", "\t"}), V{std::string(codec::kDefaultSeedPeer)});
}

}  // namespace

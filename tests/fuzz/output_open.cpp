// Opening outputs: a wallet tries every output of the chain, so the outputs and the sealed
// JSON inside them come from anyone. The first byte picks what the rest of the input is:
//   even: a whole output (tag, ephemeral key, auth key, ciphertext) as a peer sends it;
//   odd:  the plaintext of a note, sealed for the fuzzed wallet with the right tag, so the
//         JSON reader behind the decryption sees the fuzzed bytes.
#include <sodium.h>

#include "core/crypto.h"
#include "fuzz.h"

namespace {

const WalletKeys& keys() {
  static const WalletKeys k = [] {
    crypto::init();
    crypto::MasterKey master;
    for (size_t i = 0; i < master.size(); ++i) master.data()[i] = static_cast<uint8_t>(i * 7 + 1);
    return WalletKeys::from_master(master, 0);
  }();
  return k;
}

// Seals `plain` for `keys()` as the writer of outputs does, with a fixed ephemeral key and
// nonce so that the same input always gives the same output.
codec::TxOutput seal(ByteView plain) {
  static constexpr std::string_view kAd = "quv-out-v1";
  codec::TxOutput out;
  crypto::Secret<32> eph_sk;
  for (size_t i = 0; i < eph_sk.size(); ++i) eph_sk.data()[i] = static_cast<uint8_t>(i + 3);
  crypto_scalarmult_curve25519_base(out.eph_pub.data(), eph_sk.data());
  auto shared = crypto::shared_key(eph_sk, keys().box_pk);
  fuzz::check(shared.has_value(), "shared key of the fixed keys");
  out.stealth_tag = crypto::stealth_tag(*shared);
  out.auth_pk.fill(0x42);
  out.ciphertext.assign(24, 0x24);
  out.ciphertext.resize(24 + plain.size() + 16);
  unsigned long long len = 0;
  crypto_aead_xchacha20poly1305_ietf_encrypt(
      out.ciphertext.data() + 24, &len, plain.data(), plain.size(),
      reinterpret_cast<const uint8_t*>(kAd.data()), kAd.size(), nullptr, out.ciphertext.data(),
      shared->data());
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const bool sealed = in.u8() & 1;
  codec::TxOutput out;
  if (sealed) {
    out = seal(in.rest());
  } else {
    auto copy = [&](auto& field) {
      ByteView b = in.take(field.size());
      std::copy(b.begin(), b.end(), field.begin());
    };
    copy(out.stealth_tag);
    copy(out.eph_pub);
    copy(out.auth_pk);
    ByteView c = in.rest();
    out.ciphertext.assign(c.begin(), c.end());
  }
  auto note = crypto::try_open_output(keys(), out, 7, "txid");
  if (note) {
    fuzz::check(note->note_id.size() == 64 && note->auth_pk.size() == 64, "hex ids");
    fuzz::check(note->height == 7 && note->txid == "txid", "the carrier is kept");
  }
  return 0;
}

#include "core/transfer.h"

#include <sodium.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "core/clock.h"
#include "core/crypto.h"
#include "core/hex.h"

using codec::Tx;

namespace {

// True when X25519 with this public key yields zero for every secret key: a key of small
// order, with which no output can be sealed.
bool small_order(const Key32& pk) {
  static const std::array<uint8_t, 32> kProbe = {0x77, 0x07, 0x6d, 0x0a, 0x73, 0x18, 0xa5, 0x7d,
                                                 0x3c, 0x16, 0xc1, 0x72, 0x51, 0xb2, 0x66, 0x45,
                                                 0xdf, 0x4c, 0x2f, 0x87, 0xeb, 0xc0, 0x99, 0x2a,
                                                 0xb1, 0x77, 0xfb, 0xa5, 0x1d, 0xb9, 0x2c, 0x2a};
  std::array<uint8_t, 32> q{};
  bool bad = crypto_scalarmult_curve25519(q.data(), kProbe.data(), pk.data()) != 0;
  sodium_memzero(q.data(), q.size());
  return bad;
}

size_t utf8_chars(std::string_view s) {
  size_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

}  // namespace

namespace chain {

Result<Hash32> hex_to_32(std::string_view text) {
  auto raw = hex::decode(text);
  if (!raw) return fail("hex");
  if (raw->size() != 32) return fail("hex len");
  Hash32 out;
  std::copy(raw->begin(), raw->end(), out.begin());
  return out;
}

Result<Tx> make_transfer(const WalletKeys& keys, std::span<const OpenedNote> notes,
                         std::string_view to, int64_t amount, std::string_view memo) {
  auto recipient = crypto::decode_address(to);
  if (!recipient) return std::unexpected(recipient.error());
  // A key of small order is a well-formed address no output can be sealed for.
  if (small_order(*recipient)) return fail(std::string(crypto::kInvalidAddress));
  if (amount < 1) return fail("Amount must be positive.");
  if (utf8_chars(memo) > kMaxMemoChars) return fail("Memo too long.");

  // Notes can carry any signed amount, so the running sum is kept wide enough not to wrap.
  __extension__ typedef __int128 Wide;
  Wide sum = 0;
  size_t used = 0;
  while (sum < amount && used < notes.size()) sum += notes[used++].amount;
  if (sum < amount) return fail("Insufficient balance.");

  Tx tx;
  tx.type = codec::kTxTransfer;
  tx.timestamp = static_cast<uint64_t>(sysclock::unix_now());
  auto pay = crypto::make_output(keys.address, *recipient, amount, memo);
  if (!pay) return std::unexpected(pay.error());
  tx.outputs.push_back(std::move(*pay));
  if (sum > amount) {
    auto change =
        crypto::make_output(keys.address, keys.box_pk, static_cast<int64_t>(sum - amount), memo);
    if (!change) return std::unexpected(change.error());
    tx.outputs.push_back(std::move(*change));
  }
  for (size_t i = 0; i < used; ++i) {
    auto note_id = hex_to_32(notes[i].note_id);
    if (!note_id) return std::unexpected(note_id.error());
    auto key = hex_to_32(notes[i].auth_pk);
    if (!key) return std::unexpected(key.error());
    codec::TxInput in;
    in.note_id = *note_id;
    in.nullifier = codec::nullifier(*note_id, *key);
    tx.inputs.push_back(in);
  }

  Bytes m = codec::encode_tx_unsigned(tx);
  // A node takes no transaction larger than this, so such a transfer could never be sent.
  if (m.size() + 64 * tx.inputs.size() > kMaxTransferBytes) {
    return fail("Transfer too large — spend fewer notes at once.");
  }
  const size_t mlen = m.size();
  m.resize(mlen + 32);
  for (size_t i = 0; i < used; ++i) {
    std::memcpy(m.data() + mlen, tx.inputs[i].note_id.data(), 32);
    if (crypto_sign_detached(tx.inputs[i].sig.data(), nullptr, m.data(), m.size(),
                             notes[i].auth_sk.data()) != 0) {
      die("sign");
    }
  }
  return tx;
}

}  // namespace chain

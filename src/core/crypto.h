// Cryptographic primitives of the protocol core over libsodium: library set-up, wallet key sets and
// their address text, and the stealth outputs that carry a note to its recipient. The wallet, the
// transfer builder and the work payout call in here; every function is safe on any thread once
// `init` has run.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/bytes.h"
#include "core/codec.h"
#include "core/error.h"
#include "core/hashing.h"

namespace crypto {

// Initialises libsodium; stops the program when that fails. Call once at start-up.
void init();

// The fixed-size secrets of the wallet, from the hashing module.
using hashing::Secret;
using hashing::SecretBytes;
using hashing::wipe;
using hashing::WipingAllocator;

// The 64-byte wallet master key: box seed of index 0, then sign seed of index 0.
using MasterKey = Secret<64>;

// The one text of every address fault.
inline constexpr std::string_view kInvalidAddress = "Invalid QÚV address.";

// Argon2id (version 1.3, 2 passes, 64 MiB, the fixed seed salt) of the phrase bytes exactly
// as given: the wallet master key. Stops the program when the library fails.
MasterKey derive_master_key(std::string_view phrase);

}  // namespace crypto

// The key set of one address index: an X25519 pair whose public key the address carries
// (it opens outputs sent here) and an Ed25519 pair.
struct WalletKeys {
  // Address text of `box_pk` (59 characters).
  std::string address;
  // X25519 secret key.
  crypto::Secret<32> box_sk;
  // X25519 public key, the key inside the address.
  Key32 box_pk{};
  // Ed25519 secret key in libsodium's form: the 32-byte seed, then the public key.
  crypto::Secret<64> sign_sk;
  // Ed25519 public key.
  Key32 sign_pk{};
  // Address index; 0 is the primary address.
  uint64_t index = 0;

  // The key set of index 0 of a mnemonic phrase (one Argon2id run).
  static WalletKeys from_mnemonic(std::string_view phrase);
  // The key set of `index` of a mnemonic phrase (one Argon2id run).
  static WalletKeys from_mnemonic_index(std::string_view phrase, uint64_t index);
  // The key set of `index` from an already derived master key; cheap, no Argon2id.
  static WalletKeys from_master(const crypto::MasterKey& master, uint64_t index);
};

// An output that a wallet has opened. `auth_sk` is wallet secret material.
struct OpenedNote {
  // Lower-case hex of the note id.
  std::string note_id;
  // Memo from the plaintext, "" when missing or not a string.
  std::string memo;
  // Sender text from the plaintext, "" when missing or not a string.
  std::string from;
  // Lower-case hex of the output's one-time public key.
  std::string auth_pk;
  // Txid text of the transaction that carried the output.
  std::string txid;
  // Amount in base units.
  int64_t amount = 0;
  // One-time Ed25519 secret key (seed then public key) that signs the note's spend.
  crypto::Secret<64> auth_sk;
  // Height of the block that carried the output.
  uint64_t height = 0;
  // Whether the wallet has seen the note spent; false when opened.
  bool spent = false;

  // A full copy of the note, secret key included.
  OpenedNote clone() const { return *this; }
};

namespace crypto {

// The address text of a 32-byte X25519 public key: "quv1" and 55 base32 characters.
std::string encode_address(const Key32& pk);
// The public key inside an address text; tolerant of case, separators and look-alike
// characters; "Invalid QÚV address." for every fault.
[[nodiscard]] Result<Key32> decode_address(std::string_view text);

// H32 of the X25519 product of `sk` and `pk` and "quv-shared"; nothing when the product is
// all zero (a public key of small order).
[[nodiscard]] std::optional<Secret<32>> shared_key(const Secret<32>& sk, const Key32& pk);
// H16 of the shared key and "tag": what lets a recipient spot its outputs cheaply.
Hash16 stealth_tag(const Secret<32>& shared);

// A fresh output paying `amount` with `memo` to the holder of address key `to`, naming
// `from` as the sender. A key of small order has no shared key: "Invalid QÚV address.".
[[nodiscard]] Result<codec::TxOutput> make_output(std::string_view from, const Key32& to,
                                                  int64_t amount, std::string_view memo);
// The opened note when `out` was made for `keys` and reads cleanly; nothing otherwise.
// Outputs for other keys cost one scalar multiplication and two short hashes.
[[nodiscard]] std::optional<OpenedNote> try_open_output(const WalletKeys& keys,
                                                        const codec::TxOutput& out, uint64_t height,
                                                        std::string_view txid);

}  // namespace crypto

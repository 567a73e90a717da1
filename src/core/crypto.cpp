#include "core/crypto.h"

#include <sodium.h>

#include <cstring>
#include <map>
#include <nlohmann/json.hpp>

#include "core/canonical.h"
#include "core/hex.h"
#include "core/text.h"

namespace crypto {

void init() {
  if (sodium_init() < 0) die("sodium");
}

// ---------------------------------------------------------------------------------------
// Master key and key sets

namespace {

// "QÚV-kdfs-v7" in UTF-8 (12 bytes), then four zero bytes.
constexpr std::array<uint8_t, 16> kSeedSalt = {'Q', 0xC3, 0x9A, 'V', '-', 'k', 'd', 'f',
                                               's', '-',  'v',  '7', 0,   0,   0,   0};
constexpr unsigned long long kArgonOps = 2;
constexpr size_t kArgonMem = 67108864;

// One index's seed: index 0 uses the master half unchanged, any other index hashes the
// half with the index, so every index has unrelated keys but all come from one master.
Secret<32> index_seed(const uint8_t* half, uint64_t index) {
  Secret<32> seed;
  if (index == 0) {
    std::memcpy(seed.data(), half, 32);
    return seed;
  }
  uint8_t le[8];
  bytes::store_u64(le, index);
  hashing::hash_secret_parts({ByteView(half, 32), ByteView(le, sizeof le)}, seed.data(), 32);
  return seed;
}

}  // namespace

MasterKey derive_master_key(std::string_view phrase) {
  if (crypto_pwhash_argon2id_saltbytes() != kSeedSalt.size()) die("salt");
  MasterKey master;
  if (crypto_pwhash_argon2id(master.data(), master.size(), phrase.data(), phrase.size(),
                             kSeedSalt.data(), kArgonOps, kArgonMem,
                             crypto_pwhash_argon2id_ALG_ARGON2ID13) != 0) {
    die("argon2id");
  }
  return master;
}

}  // namespace crypto

WalletKeys WalletKeys::from_mnemonic(std::string_view phrase) {
  return from_mnemonic_index(phrase, 0);
}

WalletKeys WalletKeys::from_mnemonic_index(std::string_view phrase, uint64_t index) {
  return from_master(crypto::derive_master_key(phrase), index);
}

WalletKeys WalletKeys::from_master(const crypto::MasterKey& master, uint64_t index) {
  crypto::Secret<32> box_seed = crypto::index_seed(master.data(), index);
  crypto::Secret<32> sign_seed = crypto::index_seed(master.data() + 32, index);
  WalletKeys k;
  if (crypto_box_curve25519xsalsa20poly1305_seed_keypair(k.box_pk.data(), k.box_sk.data(),
                                                         box_seed.data()) != 0) {
    die("box seed");
  }
  if (crypto_sign_ed25519_seed_keypair(k.sign_pk.data(), k.sign_sk.data(), sign_seed.data()) != 0) {
    die("sign seed");
  }
  k.address = crypto::encode_address(k.box_pk);
  k.index = index;
  return k;
}

namespace crypto {

// ---------------------------------------------------------------------------------------
// Address text

namespace {

constexpr char kAlphabet[] = "0123456789abcdefghjkmnpqrstvwxyz";
constexpr std::string_view kPrefix = "quv1";
constexpr size_t kAddressBytes = 34;

// Checksum of an address: the first two bytes of H16("QUV-addr" || key).
std::array<uint8_t, 2> address_checksum(const uint8_t* key) {
  Hash16 h;
  hashing::hash_parts({bytes::of("QUV-addr"), ByteView(key, 32)}, h.data(), h.size());
  return {h[0], h[1]};
}

// The 5-bit value of one body character, look-alikes folded; -1 for anything else.
int base32_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'h') return c - 'a' + 10;
  switch (c) {
    case 'i':
    case 'l':
      return 1;
    case 'o':
      return 0;
    case 'j':
      return 18;
    case 'k':
      return 19;
    case 'm':
      return 20;
    case 'n':
      return 21;
    default:
      break;
  }
  if (c >= 'p' && c <= 't') return c - 'p' + 22;
  if (c >= 'v' && c <= 'z') return c - 'v' + 27;
  return -1;
}

}  // namespace

std::string encode_address(const Key32& pk) {
  std::array<uint8_t, kAddressBytes> raw;
  std::memcpy(raw.data(), pk.data(), 32);
  auto sum = address_checksum(pk.data());
  raw[32] = sum[0];
  raw[33] = sum[1];

  std::string out(kPrefix);
  out.reserve(kPrefix.size() + 55);
  uint32_t acc = 0;
  int bits = 0;
  for (uint8_t b : raw) {
    acc = (acc << 8) | b;
    bits += 8;
    while (bits >= 5) {
      bits -= 5;
      out.push_back(kAlphabet[(acc >> bits) & 31]);
    }
  }
  // 272 bits leave 2 over: they lead the last group, padded with zero bits.
  if (bits > 0) out.push_back(kAlphabet[(acc << (5 - bits)) & 31]);
  return out;
}

Result<Key32> decode_address(std::string_view text) {
  text = text::trim(text);

  // Lower-cased as Unicode does it (so the Kelvin sign reads as 'k'; every other
  // non-ASCII character stays and fails below), separators removed; a valid address is
  // 59 characters, so anything longer fails without reading further.
  std::string clean;
  for (char c : text::lower(text)) {
    if (c == '-' || c == ' ' || c == '_') continue;
    if (clean.size() > kPrefix.size() + 56) return fail(std::string(kInvalidAddress));
    clean.push_back(c);
  }
  if (!std::string_view(clean).starts_with(kPrefix)) return fail(std::string(kInvalidAddress));

  std::array<uint8_t, kAddressBytes> raw{};
  size_t n = 0;
  uint32_t acc = 0;
  int bits = 0;
  for (size_t i = kPrefix.size(); i < clean.size(); ++i) {
    int v = base32_value(clean[i]);
    if (v < 0) return fail(std::string(kInvalidAddress));
    acc = ((acc << 5) | static_cast<uint32_t>(v)) & 0xfff;
    bits += 5;
    if (bits >= 8) {
      bits -= 8;
      if (n == raw.size()) return fail(std::string(kInvalidAddress));
      raw[n++] = static_cast<uint8_t>(acc >> bits);
    }
  }
  if ((acc & ((1u << bits) - 1)) != 0) return fail(std::string(kInvalidAddress));
  if (n != raw.size()) return fail(std::string(kInvalidAddress));
  auto sum = address_checksum(raw.data());
  if (raw[32] != sum[0] || raw[33] != sum[1]) return fail(std::string(kInvalidAddress));
  Key32 key;
  std::memcpy(key.data(), raw.data(), 32);
  return key;
}

// ---------------------------------------------------------------------------------------
// Stealth outputs

namespace {

constexpr std::string_view kSharedLabel = "quv-shared";
constexpr std::string_view kTagLabel = "tag";
constexpr std::string_view kAd = "quv-out-v1";
constexpr size_t kNonceBytes = crypto_aead_xchacha20poly1305_ietf_NPUBBYTES;
constexpr size_t kMacBytes = crypto_aead_xchacha20poly1305_ietf_ABYTES;
static_assert(kNonceBytes == 24 && kMacBytes == 16);

// Plaintext members that an opener reads; anything else is skipped.
enum class Field { Other, Amount, AuthSk, Memo, From };

using WipeString = std::basic_string<char, std::char_traits<char>, WipingAllocator<char>>;
// A JSON type whose lexer buffer wipes itself: the one-time secret key passes through it.
using WipeJson = nlohmann::basic_json<std::map, std::vector, WipeString>;

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads the members of a note plaintext as they stream past, keeping only the top-level
// ones it needs; a later duplicate member replaces an earlier one. The secret key goes
// from the lexer's buffer straight into its wiping home, never into a plain string.
class NoteReader final : public nlohmann::json_sax<WipeJson> {
 public:
  bool amount_ok = false;
  int64_t amount = 0;
  bool auth_sk_ok = false;
  Secret<64> auth_sk;
  std::string memo;
  std::string from;

  bool null() override { return scalar(); }
  bool boolean(bool) override { return scalar(); }
  bool number_integer(number_integer_t v) override {
    if (!scalar()) return false;
    if (top_value()) set_amount(true, v);
    return true;
  }
  bool number_unsigned(number_unsigned_t v) override {
    if (!scalar()) return false;
    if (top_value()) {
      bool fits = v <= static_cast<uint64_t>(INT64_MAX);
      set_amount(fits, fits ? static_cast<int64_t>(v) : 0);
    }
    return true;
  }
  bool number_float(number_float_t, const string_t&) override { return scalar(); }
  bool string(string_t& v) override {
    if (depth_ == 0) return false;
    if (!top_value()) return true;
    switch (field_) {
      case Field::Amount:
        set_amount(false, 0);
        break;
      case Field::AuthSk:
        auth_sk_ok = decode_key(v);
        wipe(v.data(), v.size());
        break;
      case Field::Memo:
        memo.assign(v.data(), v.size());
        break;
      case Field::From:
        from.assign(v.data(), v.size());
        break;
      case Field::Other:
        break;
    }
    return true;
  }
  bool binary(binary_t&) override { return scalar(); }
  bool start_object(std::size_t) override { return open(); }
  bool key(string_t& k) override {
    if (depth_ != 1) return true;
    std::string_view s(k.data(), k.size());
    field_ = s == "amount"    ? Field::Amount
             : s == "auth_sk" ? Field::AuthSk
             : s == "memo"    ? Field::Memo
             : s == "from"    ? Field::From
                              : Field::Other;
    return true;
  }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override {
    // A plaintext that is an array is not a note.
    if (depth_ == 0) return false;
    return open();
  }
  bool end_array() override { return close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

  // True once a whole top-level object has been read.
  bool complete() const { return seen_object_ && depth_ == 0; }

 private:
  size_t depth_ = 0;
  bool seen_object_ = false;
  Field field_ = Field::Other;

  // A value directly inside the top-level object.
  bool top_value() const { return depth_ == 1; }

  // Scalars are fine anywhere but at the top: a bare number or text is not a note.
  bool scalar() {
    if (depth_ == 0) return false;
    if (top_value()) mistype();
    return true;
  }

  bool open() {
    if (depth_ == 0) {
      if (seen_object_) return false;
      seen_object_ = true;
    } else if (top_value()) {
      mistype();
    }
    ++depth_;
    return true;
  }
  bool close() {
    if (depth_ == 0) return false;
    --depth_;
    return true;
  }

  // The current member holds a value of the wrong kind: it reads as missing or "".
  void mistype() {
    switch (field_) {
      case Field::Amount:
        set_amount(false, 0);
        break;
      case Field::AuthSk:
        auth_sk_ok = false;
        break;
      case Field::Memo:
        memo.clear();
        break;
      case Field::From:
        from.clear();
        break;
      case Field::Other:
        break;
    }
  }

  void set_amount(bool ok, int64_t v) {
    if (field_ != Field::Amount) return;
    amount_ok = ok;
    amount = v;
  }

  bool decode_key(const string_t& v) {
    if (v.size() != 2 * auth_sk.size()) return false;
    for (size_t i = 0; i < auth_sk.size(); ++i) {
      int hi = hex_digit(v[2 * i]);
      int lo = hex_digit(v[2 * i + 1]);
      if (hi < 0 || lo < 0) return false;
      auth_sk.data()[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return true;
  }
};

// Parses a note plaintext into `reader`. The parser is built in storage that is wiped
// after it is torn down, since its lexer keeps short token texts inline.
bool read_plaintext(const SecretBytes& plain, NoteReader& reader) {
  // The parser skips a leading byte-order mark and takes a NUL byte for the end of its
  // input; neither belongs to JSON text (a raw NUL is never valid anywhere in it), so a
  // plaintext with either is not a note.
  constexpr uint8_t kBom[] = {0xEF, 0xBB, 0xBF};
  if (plain.size() >= 3 && std::memcmp(plain.data(), kBom, 3) == 0) return false;
  if (plain.empty() || std::memchr(plain.data(), 0, plain.size()) != nullptr) return false;
  using Adapter = nlohmann::detail::iterator_input_adapter<const char*>;
  using Parser = nlohmann::detail::parser<WipeJson, Adapter>;
  alignas(Parser) unsigned char storage[sizeof(Parser)];
  const char* first = reinterpret_cast<const char*>(plain.data());
  bool ok = false;
  Parser* parser = nullptr;
  try {
    parser = new (storage)
        Parser(nlohmann::detail::input_adapter(first, first + plain.size()), nullptr, false, false);
    ok = parser->sax_parse(&reader, true);
  } catch (const std::exception&) {
    ok = false;
  }
  if (parser != nullptr) parser->~Parser();
  wipe(storage, sizeof storage);
  return ok && reader.complete();
}

}  // namespace

std::optional<Secret<32>> shared_key(const Secret<32>& sk, const Key32& pk) {
  uint8_t q[crypto_scalarmult_curve25519_BYTES];
  if (crypto_scalarmult_curve25519(q, sk.data(), pk.data()) != 0) {
    wipe(q, sizeof q);
    return std::nullopt;
  }
  std::optional<Secret<32>> shared(std::in_place);
  hashing::hash_secret_parts({ByteView(q, sizeof q), bytes::of(kSharedLabel)}, shared->data(), 32);
  wipe(q, sizeof q);
  return shared;
}

Hash16 stealth_tag(const Secret<32>& shared) {
  Hash16 tag;
  hashing::hash_secret_parts({shared.view(), bytes::of(kTagLabel)}, tag.data(), tag.size());
  return tag;
}

Result<codec::TxOutput> make_output(std::string_view from, const Key32& to, int64_t amount,
                                    std::string_view memo) {
  codec::TxOutput out;
  Secret<32> eph_sk;
  if (crypto_box_curve25519xsalsa20poly1305_keypair(out.eph_pub.data(), eph_sk.data()) != 0) {
    die("box keypair");
  }
  // A recipient key of small order gives no shared key; the address that carried it
  // is refused rather than sealing a note nobody could open.
  std::optional<Secret<32>> shared = shared_key(eph_sk, to);
  if (!shared) return fail(std::string(kInvalidAddress));

  Secret<64> auth_sk;
  if (crypto_sign_ed25519_keypair(out.auth_pk.data(), auth_sk.data()) != 0) die("sign keypair");

  nlohmann::json note = nlohmann::json::object();
  note["amount"] = amount;
  note["auth_sk"] = hex::encode(auth_sk.view());
  note["from"] = std::string(from);
  note["memo"] = std::string(memo);
  note["v"] = 1;
  Bytes plain = canonical::canonical(note);
  std::string& key_text = note["auth_sk"].get_ref<std::string&>();
  wipe(key_text.data(), key_text.size());

  out.ciphertext.resize(kNonceBytes + plain.size() + kMacBytes);
  randombytes_buf(out.ciphertext.data(), kNonceBytes);
  unsigned long long sealed_len = 0;
  int rc = crypto_aead_xchacha20poly1305_ietf_encrypt(
      out.ciphertext.data() + kNonceBytes, &sealed_len, plain.data(), plain.size(),
      reinterpret_cast<const uint8_t*>(kAd.data()), kAd.size(), nullptr, out.ciphertext.data(),
      shared->data());
  wipe(plain.data(), plain.size());
  if (rc != 0 || sealed_len != plain.size() + kMacBytes) die("seal");

  out.stealth_tag = stealth_tag(*shared);
  return out;
}

std::optional<OpenedNote> try_open_output(const WalletKeys& keys, const codec::TxOutput& out,
                                          uint64_t height, std::string_view txid) {
  // The fast path for everybody else's outputs: one scalar multiplication, two short
  // hashes, a 16-byte comparison, no allocation.
  std::optional<Secret<32>> shared = shared_key(keys.box_sk, out.eph_pub);
  if (!shared) return std::nullopt;
  Hash16 tag = stealth_tag(*shared);
  if (sodium_memcmp(tag.data(), out.stealth_tag.data(), tag.size()) != 0) return std::nullopt;

  if (out.ciphertext.size() < kNonceBytes + 1) return std::nullopt;
  const uint8_t* nonce = out.ciphertext.data();
  const uint8_t* sealed = nonce + kNonceBytes;
  size_t sealed_len = out.ciphertext.size() - kNonceBytes;
  if (sealed_len < kMacBytes) return std::nullopt;
  SecretBytes plain(sealed_len - kMacBytes);
  unsigned long long plain_len = 0;
  if (crypto_aead_xchacha20poly1305_ietf_decrypt(
          plain.data(), &plain_len, nullptr, sealed, sealed_len,
          reinterpret_cast<const uint8_t*>(kAd.data()), kAd.size(), nonce, shared->data()) != 0) {
    return std::nullopt;
  }
  plain.resize(plain_len);

  NoteReader reader;
  if (!read_plaintext(plain, reader)) return std::nullopt;
  if (!reader.amount_ok || !reader.auth_sk_ok) return std::nullopt;

  OpenedNote note;
  note.note_id = hex::encode(codec::note_id(out));
  note.memo = std::move(reader.memo);
  note.from = std::move(reader.from);
  note.auth_pk = hex::encode(out.auth_pk);
  note.txid = std::string(txid);
  note.amount = reader.amount;
  note.auth_sk = reader.auth_sk;
  note.height = height;
  note.spent = false;
  return note;
}

}  // namespace crypto

// The ledger's record types and their byte encodings: unsigned and signed
// transactions, block bodies, chain records; the ledger hashes over them, the
// proof-of-work search. Pure functions, any thread.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"

namespace codec {

// Transaction types the ledger knows; the codec accepts any value.
inline constexpr uint8_t kTxPreamble = 0;
inline constexpr uint8_t kTxWork = 1;
inline constexpr uint8_t kTxTransfer = 2;
inline constexpr uint8_t kTxNftMint = 5;

inline constexpr size_t kHeaderSize = 106;
using BlockHeader = std::array<uint8_t, kHeaderSize>;

// One spend: the spent note, its nullifier, and the one-time key's signature.
struct TxInput {
  Sig64 sig{};
  Hash32 note_id{};
  Hash32 nullifier{};
  bool operator==(const TxInput&) const = default;
};

// One note: stealth tag, sender's ephemeral key, one-time auth key, sealed body.
struct TxOutput {
  Hash16 stealth_tag{};
  Key32 eph_pub{};
  Key32 auth_pk{};
  Bytes ciphertext;
  bool operator==(const TxOutput&) const = default;
};

// One transaction; the work fields are written only for type 1.
struct Tx {
  uint8_t type = 0;
  uint64_t timestamp = 0;
  Bytes extra;
  Bytes tag;
  std::vector<TxInput> inputs;
  std::vector<TxOutput> outputs;
  uint64_t work_amount = 0;
  uint32_t work_seconds = 0;
  uint32_t work_validated = 0;
  bool operator==(const Tx&) const = default;
};

// One decoded block; `hash` is filled by the decoder (and by the sealer).
struct Block {
  std::vector<Tx> txs;
  uint64_t height = 0;
  uint64_t timestamp = 0;
  Hash32 prev{};
  Hash32 merkle{};
  uint64_t nonce = 0;
  Hash32 hash{};
  uint8_t difficulty = 0;
  bool operator==(const Block&) const = default;
};

// Little-endian reader over borrowed bytes. Every read checks the remaining length
// first; on a shortfall it returns "chain truncated" and leaves `pos` where it was.
struct Cur {
  ByteView buf;
  size_t pos = 0;

  size_t remaining() const { return pos < buf.size() ? buf.size() - pos : 0; }
  [[nodiscard]] Result<uint8_t> u8();
  [[nodiscard]] Result<uint16_t> u16();
  [[nodiscard]] Result<uint32_t> u32();
  [[nodiscard]] Result<uint64_t> u64();
  [[nodiscard]] Result<ByteView> take(size_t n);
  [[nodiscard]] Result<Hash16> arr16();
  [[nodiscard]] Result<Hash32> arr32();
  [[nodiscard]] Result<Sig64> arr64();
};

// A transaction read from the front of a byte string, and how many bytes it took.
struct DecodedTx {
  Tx tx;
  size_t consumed = 0;
};

// The unsigned encoding: what a txid hashes and what spend signatures sign.
Bytes encode_tx_unsigned(const Tx& tx);
// The signed encoding: the unsigned encoding followed by each input's 64-byte signature.
Bytes encode_tx_signed(const Tx& tx);
// Reads one signed transaction from the start of `data`; trailing bytes are not read.
[[nodiscard]] Result<DecodedTx> decode_tx(ByteView data);

// The 106 header bytes of a block, with version 1 and the fixed chain id.
BlockHeader encode_header(const Block& b);
// Header, transaction count, and the signed transactions back to back.
Bytes encode_block_body(const Block& b);
// Reads a block body and computes its hash; bytes after the last transaction are ignored.
[[nodiscard]] Result<Block> decode_block_body(ByteView body);
// One chain record: u32 body length, body, BLAKE2b-256 checksum of the body.
Bytes encode_record(const Block& b);

// The id of a transaction: H32 of its unsigned encoding (signatures not covered).
Hash32 txid(const Tx& tx);
// The id of a note: H32 of stealth tag, eph_pub, auth_pk and ciphertext.
Hash32 note_id(const TxOutput& out);
// The nullifier of a spend: H32 of "nul", the note id and the note's auth key.
Hash32 nullifier(const Hash32& note_id, const Key32& auth_pk);
// H32 of the txids concatenated in block order; H32 of "empty" for none.
Hash32 merkle(std::span<const Hash32> txids);
// H32 of the 106 header bytes.
Hash32 block_hash(const BlockHeader& header);
// True when the hash's lower-case hex text starts with `difficulty` '0' digits
// (all 64 when the difficulty is above 64).
bool meets_difficulty(const Hash32& hash, unsigned difficulty);
// Finds the first nonce in 0..399999 whose header hash meets `difficulty`;
// difficulty 0 returns the header unchanged.
[[nodiscard]] Result<BlockHeader> mine_header(const BlockHeader& header, uint8_t difficulty);

}  // namespace codec

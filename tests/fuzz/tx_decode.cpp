// Transaction decoding: whatever the bytes, the decoder either refuses them or returns a
// transaction whose signed encoding is exactly the bytes it consumed, and whose unsigned
// encoding is that minus the inputs' signatures.
#include "core/codec.h"
#include "fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ByteView bytes(data, size);
  auto decoded = codec::decode_tx(bytes);
  if (!decoded) return 0;
  fuzz::check(decoded->consumed <= size, "consumed within the input");
  Bytes signed_tx = codec::encode_tx_signed(decoded->tx);
  fuzz::check(
      signed_tx.size() == decoded->consumed && std::equal(signed_tx.begin(), signed_tx.end(), data),
      "signed encoding gives back the consumed bytes");
  Bytes unsigned_tx = codec::encode_tx_unsigned(decoded->tx);
  const size_t sigs = decoded->tx.inputs.size() * 64;
  fuzz::check(unsigned_tx.size() + sigs == signed_tx.size() &&
                  std::equal(unsigned_tx.begin(), unsigned_tx.end(), signed_tx.begin()),
              "unsigned encoding is the signed one without signatures");
  auto again = codec::decode_tx(signed_tx);
  fuzz::check(again && again->tx == decoded->tx, "re-encoded transaction decodes the same");
  (void)codec::txid(decoded->tx);
  return 0;
}

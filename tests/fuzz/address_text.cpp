// Address text: any key the reader finds in a text is the key whose address text the
// writer makes, and that text reads back to the same key.
#include "core/crypto.h"
#include "fuzz.h"
#include "ledger/nft.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text = fuzz::as_text(ByteView(data, size));
  auto key = crypto::decode_address(text);
  if (key) {
    std::string canonical = crypto::encode_address(*key);
    auto again = crypto::decode_address(canonical);
    fuzz::check(again && *again == *key, "written address reads back to its key");
  } else {
    fuzz::check(key.error().to_string() == crypto::kInvalidAddress, "one text for every fault");
  }
  // A mint's extra carries an address after the image id.
  auto extra = nft::parse_extra(ByteView(data, size));
  if (extra) {
    auto owner = crypto::decode_address(extra->second);
    fuzz::check(owner.has_value(), "a mint's owner is an address");
  }
  return 0;
}

// The wallet file reader: any text is refused with one of the file's messages or opened to
// UTF-8 text. Opening a well-formed file costs one Argon2id run (64 MiB), so this target is
// slow by design once the fuzzer has learnt the file's shape.
#include <set>
#include <string>

#include "core/crypto.h"
#include "core/text.h"
#include "fuzz.h"
#include "wallet/walletdb.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = [] {
    crypto::init();
    return true;
  }();
  (void)ready;
  static const std::set<std::string_view> texts = {walletdb::kInvalidFile, walletdb::kArgonFailed,
                                                   walletdb::kWrongPassphrase,
                                                   walletdb::kCorrupted};
  auto plain = walletdb::decrypt(fuzz::as_text(ByteView(data, size)), "fuzz passphrase");
  if (!plain) {
    fuzz::check(texts.contains(plain.error().to_string()), "a refusal has one of the texts");
    return 0;
  }
  fuzz::check(text::is_utf8(std::string_view(plain->data(), plain->size())), "UTF-8 plaintext");
  return 0;
}

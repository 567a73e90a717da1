// The wallet book readers: a decrypted book is JSON of any shape (members nobody knows
// survive a save), so every lenient reader must take any document, and a send remembered
// in any book is found again by its txid.
#include "core/crypto.h"
#include "fuzz.h"
#include "wallet/walletdb.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  walletdb::Book book = walletdb::Book::parse(data, data + size, nullptr, false);
  if (book.is_discarded()) return 0;
  (void)walletdb::recv_address(book);
  (void)walletdb::send_hints(book);
  if (auto words = walletdb::mnemonic_words(book)) {
    fuzz::check(words->second.size() == 13, "a stored mnemonic has thirteen words");
  }
  for (const char* key : {"next_index", "current_index", "height", "balance"}) {
    (void)walletdb::as_u64(walletdb::member(book, key));
    (void)walletdb::as_i64(walletdb::member(book, key));
    (void)walletdb::as_string(walletdb::member(book, key));
  }
  if (book.is_object()) {
    walletdb::remember_send(book, "fuzz-txid", 5, "memo", "to");
    auto hints = walletdb::send_hints(book);
    auto it = hints.find("fuzz-txid");
    fuzz::check(it != hints.end() && it->second.memo == "memo" && it->second.to == "to",
                "a remembered send is found by its txid");
  }
  return 0;
}

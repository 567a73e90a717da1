// Mnemonic text: a phrase the reader accepts is thirteen list words whose joined form reads
// back to the same words.
#include "core/seed.h"
#include "fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto words = seed::parse(fuzz::as_text(ByteView(data, size)));
  if (!words) return 0;
  fuzz::check(words->size() == 13, "thirteen words");
  auto again = seed::parse(seed::to_mnemonic(*words));
  fuzz::check(again && *again == *words, "the joined phrase reads back");
  return 0;
}

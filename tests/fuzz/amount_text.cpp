// Amount text: an amount read from any text is shown as a text that reads back to it.
#include "core/units.h"
#include "fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto amount = units::parse_quv(fuzz::as_text(ByteView(data, size)));
  if (!amount) return 0;
  fuzz::check(*amount >= 0, "typed amounts are not negative");
  auto again = units::parse_quv(units::format_quv(*amount));
  fuzz::check(again && *again == *amount, "a shown amount reads back");
  return 0;
}

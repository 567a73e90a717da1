// The node state file: whatever the text, the strict reader returns a state or nothing, and
// a state it returns is written as a text that reads back to the same state. The members of
// "acks" and "peer_link" come in no defined order, so two writes of one state may differ in
// bytes; only what they read back to is compared.
#include "fuzz.h"
#include "ledger/state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto state = state::parse(fuzz::as_text(ByteView(data, size)));
  if (!state) return 0;
  std::string text = state::to_json(*state);
  auto again = state::parse(text);
  fuzz::check(again.has_value(), "a written state reads back");
  fuzz::check(*again == *state, "a written state reads back unchanged");
  auto third = state::parse(state::to_json(*again));
  fuzz::check(third && *third == *state, "a state written twice reads back unchanged");
  return 0;
}

// Canonical JSON: the canonical text of any parsed value parses to a value whose canonical
// text is the same bytes, whether read in key order or in document order.
#include <nlohmann/json.hpp>

#include "core/canonical.h"
#include "fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  nlohmann::json value;
  nlohmann::ordered_json ordered;
  try {
    value = nlohmann::json::parse(data, data + size);
    ordered = nlohmann::ordered_json::parse(data, data + size);
  } catch (const nlohmann::json::exception&) {
    return 0;
  }
  Bytes text = canonical::canonical(value);
  fuzz::check(canonical::canonical(ordered) == text, "key order does not matter");
  nlohmann::json reread;
  try {
    reread = nlohmann::json::parse(text.begin(), text.end());
  } catch (const nlohmann::json::exception&) {
    fuzz::check(false, "canonical text parses");
  }
  fuzz::check(canonical::canonical(reread) == text, "canonical text is a fixed point");
  return 0;
}

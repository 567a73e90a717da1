// Canonical JSON: object members in ascending byte order of their keys at every depth,
// written compactly, so that the same value always gives the same bytes (a note's
// plaintext is sealed in this form). Pure functions, any thread.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include "core/bytes.h"

namespace canonical {

// A copy of `value` with every object's members in ascending byte order of their keys.
nlohmann::json sorted(const nlohmann::json& value);
nlohmann::json sorted(const nlohmann::ordered_json& value);

// The compact text of `sorted(value)`: no spaces, no line breaks, non-ASCII kept as UTF-8.
Bytes canonical(const nlohmann::json& value);
Bytes canonical(const nlohmann::ordered_json& value);

}  // namespace canonical

#include "core/canonical.h"

#include <nlohmann/json.hpp>
#include <vector>

#include "core/error.h"
#include "core/hashing.h"

namespace canonical {

namespace {

template <typename Json>
nlohmann::json sort_any(const Json& value) {
  if (value.is_object()) {
    // Inserting into the std::map-backed object orders the keys by byte value,
    // whatever order they arrived in.
    nlohmann::json out = nlohmann::json::object();
    for (const auto& [key, member] : value.items()) out[key] = sort_any(member);
    return out;
  }
  if (value.is_array()) {
    nlohmann::json out = nlohmann::json::array();
    for (const auto& element : value) out.push_back(sort_any(element));
    return out;
  }
  if constexpr (std::is_same_v<Json, nlohmann::json>) {
    return value;
  } else {
    // Scalars convert directly; the dump/parse round trip would lose nothing either, but
    // this keeps integers and floats exactly as they were stored.
    switch (value.type()) {
      case nlohmann::json::value_t::string:
        return value.template get<std::string>();
      case nlohmann::json::value_t::boolean:
        return value.template get<bool>();
      case nlohmann::json::value_t::number_integer:
        return value.template get<int64_t>();
      case nlohmann::json::value_t::number_unsigned:
        return value.template get<uint64_t>();
      case nlohmann::json::value_t::number_float:
        return value.template get<double>();
      case nlohmann::json::value_t::binary:
        return nlohmann::json::binary(value.get_binary());
      default:
        return nullptr;
    }
  }
}

// The compact writer into a buffer that wipes itself: the one caller seals a plaintext
// holding a one-time secret key, and a growing buffer must not leave parts of it behind.
Bytes write_compact(const nlohmann::json& value) {
  std::vector<char, hashing::WipingAllocator<char>> buf;
  buf.reserve(128);
  try {
    // Invalid UTF-8 inside a string is written as U+FFFD instead of failing, so text typed
    // by a user can never stop the program here.
    nlohmann::detail::serializer<nlohmann::json> writer(nlohmann::detail::output_adapter<char>(buf),
                                                        ' ',
                                                        nlohmann::detail::error_handler_t::replace);
    writer.dump(value, false, false, 0);
  } catch (const std::exception&) {
    die("json");
  }
  return Bytes(buf.begin(), buf.end());
}

}  // namespace

nlohmann::json sorted(const nlohmann::json& value) { return sort_any(value); }
nlohmann::json sorted(const nlohmann::ordered_json& value) { return sort_any(value); }

// A json object is a std::map over the key bytes, so its members are already in canonical
// order; writing it directly also spares a copy of whatever secret text it holds.
Bytes canonical(const nlohmann::json& value) { return write_compact(value); }
Bytes canonical(const nlohmann::ordered_json& value) { return write_compact(sorted(value)); }

}  // namespace canonical

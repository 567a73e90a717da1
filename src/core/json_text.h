// The one way JSON from outside the process is read, and small helpers for the JSON the
// system writes: a parser with a bound on nesting, the compact printer every reply uses
// and lenient member readers that give nothing for a member of another type. Pure
// functions, safe on any thread; used by the server, gossip, both UIs and the wallet.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace jtext {

using json = nlohmann::json;

// Deepest nesting of arrays and objects read from outside; the system never writes more
// than a few levels, and copying or printing a value recurses once per level.
inline constexpr int kMaxDepth = 64;

// Whether `text` nests arrays and objects at most `max_depth` deep, counted without
// parsing (brackets inside strings do not count), in one pass and no memory.
bool depth_within(std::string_view text, int max_depth = kMaxDepth);

// A JSON text from a peer, a node, a client or a file; nothing when it is not JSON or
// nests deeper than `kMaxDepth`. Never throws.
[[nodiscard]] std::optional<json> parse(std::string_view text);
// The same with a filtering callback of the JSON library (members it refuses are dropped).
[[nodiscard]] std::optional<json> parse(std::string_view text,
                                        const json::parser_callback_t& filter);

// Compact text with keys in sorted order; every text put into a reply is valid UTF-8, and
// replacing keeps the printer from throwing on anything else.
inline std::string dump(const json& j) {
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

// The member `key` of an object, or null when `obj` is no object or has no such member.
inline const json* member(const json& obj, std::string_view key) {
  if (!obj.is_object()) return nullptr;
  auto it = obj.find(key);
  return it == obj.end() ? nullptr : &*it;
}

// An integer within the signed 64-bit range; fractions never count.
[[nodiscard]] inline std::optional<int64_t> as_i64(const json* v) {
  if (!v) return std::nullopt;
  if (v->is_number_unsigned()) {
    uint64_t u = v->get<uint64_t>();
    if (u > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
    return static_cast<int64_t>(u);
  }
  if (v->is_number_integer()) return v->get<int64_t>();
  return std::nullopt;
}

// A non-negative integer within the unsigned 64-bit range.
[[nodiscard]] inline std::optional<uint64_t> as_u64(const json* v) {
  if (!v) return std::nullopt;
  if (v->is_number_unsigned()) return v->get<uint64_t>();
  if (v->is_number_integer()) {
    int64_t i = v->get<int64_t>();
    if (i >= 0) return static_cast<uint64_t>(i);
  }
  return std::nullopt;
}

[[nodiscard]] inline std::optional<std::string> as_string(const json* v) {
  if (!v || !v->is_string()) return std::nullopt;
  return v->get<std::string>();
}

}  // namespace jtext

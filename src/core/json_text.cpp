#include "core/json_text.h"

namespace jtext {

bool depth_within(std::string_view text, int max_depth) {
  int depth = 0;
  bool in_string = false;
  bool escaped = false;
  for (char c : text) {
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    switch (c) {
      case '"':
        in_string = true;
        break;
      case '[':
      case '{':
        if (++depth > max_depth) return false;
        break;
      case ']':
      case '}':
        --depth;
        break;
      default:
        break;
    }
  }
  return true;
}

std::optional<json> parse(std::string_view text) {
  if (!depth_within(text)) return std::nullopt;
  json j = json::parse(text, nullptr, false);
  if (j.is_discarded()) return std::nullopt;
  return j;
}

std::optional<json> parse(std::string_view text, const json::parser_callback_t& filter) {
  if (!depth_within(text)) return std::nullopt;
  json j = json::parse(text, filter, false);
  if (j.is_discarded()) return std::nullopt;
  return j;
}

}  // namespace jtext

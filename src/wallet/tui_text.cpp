#include "wallet/tui_text.h"

#include <limits>

namespace tui {

int64_t synced_height(const nlohmann::json& book) {
  if (!book.is_object()) return -1;
  auto sync = book.find("sync");
  if (sync == book.end() || !sync->is_object()) return -1;
  auto h = sync->find("height");
  if (h == sync->end()) return -1;
  if (h->is_number_unsigned()) {
    uint64_t v = h->get<uint64_t>();
    return v > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) ? -1
                                                                          : static_cast<int64_t>(v);
  }
  if (h->is_number_integer()) return h->get<int64_t>();
  return -1;
}

std::string_view kind_word(std::string_view dir) {
  if (dir == "in") return "in";
  if (dir == "out") return "out";
  if (dir == "pending") return "open";
  return "?";
}

std::string or_dash(const std::string& s) { return s.empty() ? "—" : s; }

std::string mask(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t len = c < 0x80           ? 1
                 : (c >> 5) == 0x6  ? 2
                 : (c >> 4) == 0xE  ? 3
                 : (c >> 3) == 0x1E ? 4
                                    : 1;
    // A lead byte whose continuation bytes are missing stands for itself alone.
    size_t j = 1;
    while (j < len && i + j < s.size() && (static_cast<unsigned char>(s[i + j]) & 0xC0) == 0x80)
      ++j;
    if (j < len) len = 1;
    out += "•";
    i += len;
  }
  return out;
}

std::string not_saved(std::string_view error, std::string_view then) {
  std::string out = "Not saved: ";
  out.append(error);
  // The platform's texts end without a full stop, the wallet's own with one.
  if (!out.ends_with('.')) out += '.';
  out += ' ';
  out.append(then);
  return out;
}

}  // namespace tui

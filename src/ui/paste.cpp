#include "ui/paste.h"

#include "ui/buffer.h"

namespace ui {

namespace {

constexpr std::u32string_view kOpen = U"[200~";
constexpr std::u32string_view kClose = U"\x1b[201~";

}  // namespace

std::optional<std::string> read_paste(const NextCode& next, std::vector<InputCode>& unread) {
  unread.clear();
  for (char32_t want : kOpen) {
    std::optional<InputCode> got = next(kMarkerWaitMs);
    if (!got) return std::nullopt;
    unread.push_back(*got);
    if (got->function_key || got->c != want) return std::nullopt;
  }
  unread.clear();
  // The text grows to its bound; past that only the last few codes are kept, enough to see
  // the end marker, so a paste of any length costs the same memory.
  std::u32string raw;
  for (;;) {
    std::optional<InputCode> got = next(kPasteGapMs);
    if (!got) break;
    if (got->function_key) continue;
    raw.push_back(got->c);
    if (raw.size() >= kClose.size() && std::u32string_view(raw).ends_with(kClose)) {
      raw.erase(raw.size() - kClose.size());
      break;
    }
    if (raw.size() > kMaxPaste + kClose.size()) {
      raw.erase(kMaxPaste, 1);
    }
  }
  if (raw.size() > kMaxPaste) raw.erase(kMaxPaste);
  return paste_text(raw);
}

std::string paste_text(std::u32string_view raw) {
  std::string out;
  size_t kept = 0;
  for (char32_t c : raw) {
    if (is_control(c) || kept == kMaxPaste) continue;
    out += encode(c);
    ++kept;
  }
  return out;
}

}  // namespace ui

// Bracketed paste: a terminal told to do so (ESC[?2004h) wraps pasted text in ESC[200~ …
// ESC[201~, so a paste reaches a UI as one text event and never as Enter or a command
// key. The terminal backend reads the codes after an Esc through here; UIs put the text
// into the focused field or ignore it. Pure functions over a source of codes, any thread.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ui {

// One code as the terminal library delivers it: a character, or a function key's number.
struct InputCode {
  bool function_key = false;
  char32_t c = 0;
  bool operator==(const InputCode&) const = default;
};

// The next code, waiting at most the given milliseconds; nothing when none came.
using NextCode = std::function<std::optional<InputCode>(int timeout_ms)>;

// Longest pasted text kept, in code points; the rest of a longer paste is read and dropped.
inline constexpr size_t kMaxPaste = size_t{64} << 10;
// How long the codes of a marker, and the next part of a paste, may take to arrive.
inline constexpr int kMarkerWaitMs = 25;
inline constexpr int kPasteGapMs = 1000;

// Called right after an Esc was read: when the codes that follow open a paste, reads the
// paste to its end marker (or until the terminal falls silent for `kPasteGapMs`) and
// returns its text (`paste_text`). Otherwise returns nothing and leaves in `unread`, in
// order, the codes it read, which belong to the next keys.
[[nodiscard]] std::optional<std::string> read_paste(const NextCode& next,
                                                    std::vector<InputCode>& unread);

// Pasted code points as text for a one-line field: UTF-8 without control characters (line
// breaks and tabs included), at most `kMaxPaste` code points.
std::string paste_text(std::u32string_view raw);

}  // namespace ui

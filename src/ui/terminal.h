// The terminal side of the UIs: key events, the `Screen` interface a UI loop draws to and
// reads keys from, and `Terminal`, the one implementation over the real terminal. A
// `Terminal` puts the terminal into raw mode on the alternate screen with the cursor
// hidden and pastes bracketed, and gives it back as it found it on every way out: close,
// destruction, an uncaught exception or a signal that ends the program (handled on a
// stack of its own, so a stack overflow restores the terminal too). Only the main thread may own
// one, and only one at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/error.h"
#include "ui/buffer.h"

namespace ui {

// Which key an event is about.
enum class KeyCode : uint8_t {
  Char,  // a character key; `ch` holds it
  Enter,
  Esc,
  Backspace,
  Tab,
  BackTab,  // Shift+Tab
  Up,
  Down,
  Left,
  Right,
  Paste,  // pasted text; `text` holds it, never a key of its own
  Other,  // any other key
};

// Press, or a repeat or release (which terminals that report them send apart).
enum class KeyKind : uint8_t { Press, Repeat, Release };

// One key event. Control combinations of letters come as the lower-case letter with
// `ctrl` set (Ctrl+C is 'c' with `ctrl`).
struct Key {
  KeyCode code = KeyCode::Other;
  char32_t ch = 0;
  bool ctrl = false;
  KeyKind kind = KeyKind::Press;
  // The pasted text (UTF-8, no control characters) of a Paste event; empty otherwise.
  std::string text;

  // A press of the character `c`.
  static Key chr(char32_t c) { return Key{KeyCode::Char, c, false, KeyKind::Press, {}}; }
  // A press of Ctrl and the character `c`.
  static Key ctrl_chr(char32_t c) { return Key{KeyCode::Char, c, true, KeyKind::Press, {}}; }
  // A press of a key that is not a character.
  static Key of(KeyCode code) { return Key{code, 0, false, KeyKind::Press, {}}; }
  // A paste of `text`.
  static Key paste(std::string text) {
    return Key{KeyCode::Paste, 0, false, KeyKind::Press, std::move(text)};
  }
  bool operator==(const Key&) const = default;
};

// What a UI loop needs of a terminal: its size, a way to show a frame and a way to wait
// for a key. Tests drive a loop with their own implementation.
class Screen {
 public:
  virtual ~Screen() = default;
  // The current size as a rectangle at 0, 0.
  virtual Rect area() const = 0;
  // Shows the buffer; cells outside the current size are left out.
  [[nodiscard]] virtual Status draw(const Buffer& buf) = 0;
  // Waits up to `timeout_ms` for a key; nothing when none came (or the event was not a
  // key, such as a resize).
  [[nodiscard]] virtual Result<std::optional<Key>> poll(int timeout_ms) = 0;
};

// The real terminal, over the curses library. Colours are 24-bit where the terminal shows
// them (its terminfo entry says RGB, or COLORTERM is "truecolor" or "24bit"), else the
// nearest of its 256 or 8.
class Terminal final : public Screen {
 public:
  // Raw mode, the alternate screen and a hidden cursor on standard input and output.
  // On failure whatever was already switched is switched back first.
  [[nodiscard]] static Result<std::unique_ptr<Terminal>> open();
  ~Terminal() override;
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  Rect area() const override;
  [[nodiscard]] Status draw(const Buffer& buf) override;
  [[nodiscard]] Result<std::optional<Key>> poll(int timeout_ms) override;

  // Gives the terminal back: leaves raw mode, leaves the alternate screen, shows the
  // cursor; failures are ignored. Safe to call more than once.
  void close();

 private:
  Terminal() = default;
  bool open_ = false;
};

// The key of an ordinary (not function-key) character code as the terminal delivers it
// in raw mode; nothing for codes that stand for no key.
std::optional<Key> key_of_code(uint32_t code);

// The entry of the 256-colour palette (16..255: the colour cube and the grey ramp)
// nearest to `c`.
int nearest_256(Rgb c);

}  // namespace ui

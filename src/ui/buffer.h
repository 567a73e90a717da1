// The screen buffer of the terminal UIs: a grid of cells, each one code point with a
// 24-bit foreground and background colour and a bold flag. Widgets draw into a buffer
// and the terminal backend copies it to the screen, so every screen can be checked as
// text and colours without a terminal. Plain values, used by one thread at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ui {

// A 24-bit colour.
struct Rgb {
  uint8_t r = 0;
  uint8_t g = 0;
  uint8_t b = 0;
  bool operator==(const Rgb&) const = default;
};

// A change to a cell's look: only the parts that are set replace the cell's own.
struct Style {
  std::optional<Rgb> fg;
  std::optional<Rgb> bg;
  std::optional<bool> bold;

  // A style with just a foreground colour.
  static Style fg_of(Rgb c) { return Style{c, std::nullopt, std::nullopt}; }
  // This style with bold set.
  Style with_bold() const {
    Style s = *this;
    s.bold = true;
    return s;
  }
  // This style with the set parts of `over` laid on top.
  Style patch(const Style& over) const;
  bool operator==(const Style&) const = default;
};

// One screen position: one code point, its colours and boldness.
struct Cell {
  char32_t ch = U' ';
  Rgb fg{255, 255, 255};
  Rgb bg{0, 0, 0};
  bool bold = false;

  void apply(const Style& s);
  bool operator==(const Cell&) const = default;
};

// A rectangle of cells; `x`, `y` is the top left corner.
struct Rect {
  int x = 0;
  int y = 0;
  int w = 0;
  int h = 0;

  bool empty() const { return w <= 0 || h <= 0; }
  int right() const { return x + w; }
  int bottom() const { return y + h; }
  // The part of this rectangle that lies inside `o`.
  Rect intersect(const Rect& o) const;
  bool operator==(const Rect&) const = default;
};

// The code points of UTF-8 text; malformed bytes become U+FFFD.
std::u32string decode(std::string_view utf8);
// The display width of text in cells: its number of code points (malformed bytes
// count one each as U+FFFD).
int width(std::string_view utf8);
// True for the control characters: below U+0020 and U+007F..U+009F. Text entry never
// takes them and the buffer never shows them.
bool is_control(char32_t c);
// One code point as UTF-8.
std::string encode(char32_t c);

// A fixed-size grid of cells; positions outside it are ignored by every writer, so
// widgets never need to clip against the screen themselves.
class Buffer {
 public:
  Buffer(int w, int h);

  Rect area() const { return Rect{0, 0, w_, h_}; }
  int w() const { return w_; }
  int h() const { return h_; }

  // The cell at x, y; the position must lie inside the buffer.
  const Cell& at(int x, int y) const;
  Cell& at(int x, int y);

  // Lays `s` over every cell of `r`.
  void set_style(const Rect& r, const Style& s);
  // Writes `text` from x, y rightwards, one code point per cell, at most `max_w` cells
  // (and never past the buffer's right edge), with `s` laid over each written cell.
  // Control characters are written as U+FFFD so that no text can steer the terminal.
  // Returns the x after the last written cell.
  int put(int x, int y, std::string_view text, const Style& s, int max_w);
  // Same for code points already decoded.
  int put(int x, int y, std::u32string_view text, const Style& s, int max_w);

  // Row y as UTF-8 text, all `w` cells.
  std::string row_text(int y) const;
  // Every row, trailing blanks removed, joined by '\n'; what tests compare screens with.
  std::string to_text() const;

 private:
  int w_;
  int h_;
  std::vector<Cell> cells_;
};

}  // namespace ui

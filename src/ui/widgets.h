// The widgets of the terminal UIs: styled text (spans and lines), bordered blocks with a
// title, paragraphs that wrap or cut, and selectable lists. A widget is a plain value
// built fresh for every frame from the UI's own state and rendered into a `Buffer`; the
// only state a widget keeps between frames is a list's selection, which the caller owns
// (`ListState`). Any thread, one buffer per thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ui/buffer.h"

namespace ui {

// A piece of text in one style.
struct Span {
  std::string text;
  Style style;
};

// One line of text made of spans; `style` lies under every span's own style.
struct Line {
  std::vector<Span> spans;
  Style style;

  // A line of a single span.
  static Line of(std::string text, Style s = {}) { return Line{{Span{std::move(text), s}}, {}}; }
  // The line's text without styles.
  std::string text() const;
  // Its width in cells (code points).
  int width() const;
};

// Which sides of a block carry a border.
enum Borders : uint8_t {
  kNoBorders = 0,
  kTop = 1,
  kRight = 2,
  kBottom = 4,
  kLeft = 8,
  kAllBorders = kTop | kRight | kBottom | kLeft,
};

// A rectangle with optional single-line borders ("┌─┐│└┘") and a title in the top
// border, left-aligned after the corner. Rendering lays `style` over the whole area,
// then `border_style` over the border cells; the title is drawn in `style`.
struct Block {
  uint8_t borders = kNoBorders;
  std::string title;
  Style style;
  Style border_style;

  // The part of `area` inside the borders.
  Rect inner(const Rect& area) const;
  void render(Buffer& buf, const Rect& area) const;
};

// Lines of text in a rectangle. Without `wrap` each line takes one row and is cut at the
// right edge; with `wrap` a line longer than the width breaks between words (a word
// longer than the width breaks inside it), the line's leading spaces stay, and the
// blanks at a break are dropped from the start of the next row. Rows below the
// rectangle are not shown.
struct Paragraph {
  std::vector<Line> lines;
  Style style;
  bool wrap = false;

  void render(Buffer& buf, const Rect& area) const;
};

// The rows that `line` takes in a wrapping paragraph `w` cells wide (at least 1).
int wrapped_rows(const Line& line, int w);

// The selection of a list between frames: the selected item, if any, and the index of
// the first item shown. Rendering moves `offset` so that the selected item is visible.
struct ListState {
  std::optional<size_t> selected;
  size_t offset = 0;
};

// A vertical list of one-line items. When an item is selected, every row starts with
// `highlight_symbol` (the selected one) or as many blanks (the others), and the selected
// row gets `highlight_style` over its whole width.
struct List {
  std::vector<Line> items;
  Style style;
  Style highlight_style;
  std::string highlight_symbol;

  void render(Buffer& buf, const Rect& area, ListState& state) const;
};

}  // namespace ui

#include "ui/widgets.h"

#include <algorithm>

namespace ui {

std::string Line::text() const {
  std::string out;
  for (const Span& s : spans) out += s.text;
  return out;
}

int Line::width() const {
  int w = 0;
  for (const Span& s : spans) w += ui::width(s.text);
  return w;
}

Rect Block::inner(const Rect& area) const {
  Rect r = area;
  if (borders & kLeft) ++r.x, --r.w;
  if (borders & kRight) --r.w;
  if (borders & kTop) ++r.y, --r.h;
  if (borders & kBottom) --r.h;
  r.w = std::max(r.w, 0);
  r.h = std::max(r.h, 0);
  return r;
}

void Block::render(Buffer& buf, const Rect& area) const {
  if (area.empty()) return;
  buf.set_style(area, style);
  const int x0 = area.x;
  const int x1 = area.right() - 1;
  const int y0 = area.y;
  const int y1 = area.bottom() - 1;
  auto put = [&](int x, int y, char32_t c) {
    char32_t s[1] = {c};
    buf.put(x, y, std::u32string_view(s, 1), border_style, 1);
  };
  if (borders & kTop)
    for (int x = x0; x <= x1; ++x) put(x, y0, U'─');
  if (borders & kBottom)
    for (int x = x0; x <= x1; ++x) put(x, y1, U'─');
  if (borders & kLeft)
    for (int y = y0; y <= y1; ++y) put(x0, y, U'│');
  if (borders & kRight)
    for (int y = y0; y <= y1; ++y) put(x1, y, U'│');
  if ((borders & kTop) && (borders & kLeft)) put(x0, y0, U'┌');
  if ((borders & kTop) && (borders & kRight)) put(x1, y0, U'┐');
  if ((borders & kBottom) && (borders & kLeft)) put(x0, y1, U'└');
  if ((borders & kBottom) && (borders & kRight)) put(x1, y1, U'┘');
  if (!title.empty()) {
    int tx = x0 + ((borders & kLeft) ? 1 : 0);
    int tw = area.w - ((borders & kLeft) ? 1 : 0) - ((borders & kRight) ? 1 : 0);
    buf.put(tx, y0, title, style, tw);
  }
}

namespace {

struct Glyph {
  char32_t ch;
  Style style;
};

using Row = std::vector<Glyph>;

Row flatten(const Line& line) {
  Row out;
  for (const Span& s : line.spans) {
    Style st = line.style.patch(s.style);
    for (char32_t c : decode(s.text)) out.push_back(Glyph{c, st});
  }
  return out;
}

bool blank(char32_t c) { return c == U' ' || c == U'\t'; }

// Breaks one line into rows of at most `w` cells between words.
std::vector<Row> wrap_line(const Row& line, int w) {
  std::vector<Row> rows;
  Row row;
  size_t i = 0;
  const size_t n = line.size();
  const size_t width = static_cast<size_t>(w);
  while (i < n) {
    size_t j = i;
    bool sp = blank(line[i].ch);
    while (j < n && blank(line[j].ch) == sp) ++j;
    if (sp) {
      // Blanks at a break are dropped; blanks that start the line are kept.
      if (!(row.empty() && !rows.empty())) {
        for (size_t k = i; k < j && row.size() < width; ++k) row.push_back(line[k]);
      }
    } else {
      size_t len = j - i;
      if (row.size() + len > width && !row.empty()) {
        rows.push_back(std::move(row));
        row.clear();
      }
      for (size_t k = i; k < j; ++k) {
        if (row.size() == width) {
          rows.push_back(std::move(row));
          row.clear();
        }
        row.push_back(line[k]);
      }
    }
    i = j;
  }
  rows.push_back(std::move(row));
  return rows;
}

void draw_row(Buffer& buf, int x, int y, const Row& row, int max_w) {
  int limit = std::min(static_cast<int>(row.size()), max_w);
  for (int k = 0; k < limit; ++k) {
    char32_t s[1] = {row[k].ch};
    buf.put(x + k, y, std::u32string_view(s, 1), row[k].style, 1);
  }
}

}  // namespace

void Paragraph::render(Buffer& buf, const Rect& area) const {
  if (area.empty()) return;
  buf.set_style(area, style);
  int y = area.y;
  for (const Line& line : lines) {
    if (y >= area.bottom()) break;
    Row flat = flatten(line);
    if (!wrap) {
      draw_row(buf, area.x, y++, flat, area.w);
      continue;
    }
    for (const Row& row : wrap_line(flat, area.w)) {
      if (y >= area.bottom()) break;
      draw_row(buf, area.x, y++, row, area.w);
    }
  }
}

int wrapped_rows(const Line& line, int w) {
  if (w <= 0) return 1;
  return static_cast<int>(wrap_line(flatten(line), w).size());
}

void List::render(Buffer& buf, const Rect& area, ListState& state) const {
  buf.set_style(area, style);
  if (area.empty() || items.empty()) {
    state.offset = 0;
    return;
  }
  const size_t rows = static_cast<size_t>(area.h);
  // A selection past the end highlights nothing; the caller keeps it as it is.
  const bool in_range = state.selected && *state.selected < items.size();
  state.offset = std::min(state.offset, items.size() - 1);
  if (in_range) {
    size_t s = *state.selected;
    if (s < state.offset) state.offset = s;
    if (s >= state.offset + rows) state.offset = s - rows + 1;
  }
  const std::u32string symbol = decode(highlight_symbol);
  const std::u32string pad(symbol.size(), U' ');
  for (size_t i = state.offset; i < items.size() && i - state.offset < rows; ++i) {
    int y = area.y + static_cast<int>(i - state.offset);
    int x = area.x;
    bool sel = in_range && *state.selected == i;
    if (state.selected) x = buf.put(x, y, sel ? symbol : pad, Style{}, area.right() - x);
    draw_row(buf, x, y, flatten(items[i]), area.right() - x);
    if (sel) buf.set_style(Rect{area.x, y, area.w, 1}, highlight_style);
  }
}

}  // namespace ui

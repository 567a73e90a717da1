#include "ui/buffer.h"

#include <algorithm>

#include "core/error.h"

namespace ui {

Style Style::patch(const Style& over) const {
  Style s = *this;
  if (over.fg) s.fg = over.fg;
  if (over.bg) s.bg = over.bg;
  if (over.bold) s.bold = over.bold;
  return s;
}

void Cell::apply(const Style& s) {
  if (s.fg) fg = *s.fg;
  if (s.bg) bg = *s.bg;
  if (s.bold) bold = *s.bold;
}

Rect Rect::intersect(const Rect& o) const {
  int x0 = std::max(x, o.x);
  int y0 = std::max(y, o.y);
  int x1 = std::min(right(), o.right());
  int y1 = std::min(bottom(), o.bottom());
  if (x1 <= x0 || y1 <= y0) return Rect{x0, y0, 0, 0};
  return Rect{x0, y0, x1 - x0, y1 - y0};
}

namespace {

// Length of the well-formed UTF-8 sequence at the start of `s`, or 0 when it is not one
// (the caller then takes one byte as U+FFFD).
size_t seq_len(std::string_view s, char32_t& out) {
  auto b = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  unsigned char c = b(0);
  if (c < 0x80) {
    out = c;
    return 1;
  }
  size_t n;
  char32_t v;
  char32_t min;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2, v = c & 0x1F, min = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3, v = c & 0x0F, min = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4, v = c & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (s.size() < n) return 0;
  for (size_t i = 1; i < n; ++i) {
    if ((b(i) & 0xC0) != 0x80) return 0;
    v = (v << 6) | (b(i) & 0x3F);
  }
  if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
  out = v;
  return n;
}

}  // namespace

bool is_control(char32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

std::u32string decode(std::string_view utf8) {
  std::u32string out;
  out.reserve(utf8.size());
  while (!utf8.empty()) {
    char32_t c = 0;
    size_t n = seq_len(utf8, c);
    if (n == 0) {
      out.push_back(U'\uFFFD');
      n = 1;
    } else {
      out.push_back(c);
    }
    utf8.remove_prefix(n);
  }
  return out;
}

int width(std::string_view utf8) { return static_cast<int>(decode(utf8).size()); }

std::string encode(char32_t c) {
  std::string s;
  if (c < 0x80) {
    s.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    s.push_back(static_cast<char>(0xC0 | (c >> 6)));
    s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    s.push_back(static_cast<char>(0xE0 | (c >> 12)));
    s.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    s.push_back(static_cast<char>(0xF0 | (c >> 18)));
    s.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    s.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
  return s;
}

Buffer::Buffer(int w, int h)
    : w_(std::max(w, 0)), h_(std::max(h, 0)), cells_(static_cast<size_t>(w_) * h_) {}

const Cell& Buffer::at(int x, int y) const {
  if (x < 0 || y < 0 || x >= w_ || y >= h_) die("cell outside the screen buffer");
  return cells_[static_cast<size_t>(y) * w_ + x];
}

Cell& Buffer::at(int x, int y) {
  return const_cast<Cell&>(static_cast<const Buffer&>(*this).at(x, y));
}

void Buffer::set_style(const Rect& r, const Style& s) {
  Rect c = r.intersect(area());
  for (int y = c.y; y < c.bottom(); ++y)
    for (int x = c.x; x < c.right(); ++x) at(x, y).apply(s);
}

int Buffer::put(int x, int y, std::string_view text, const Style& s, int max_w) {
  return put(x, y, std::u32string_view(decode(text)), s, max_w);
}

int Buffer::put(int x, int y, std::u32string_view text, const Style& s, int max_w) {
  int end = std::min(w_, x + std::max(max_w, 0));
  for (char32_t c : text) {
    if (x >= end) break;
    if (y >= 0 && y < h_ && x >= 0) {
      Cell& cell = at(x, y);
      cell.ch = is_control(c) ? U'\uFFFD' : c;
      cell.apply(s);
    }
    ++x;
  }
  return x;
}

std::string Buffer::row_text(int y) const {
  std::string out;
  for (int x = 0; x < w_; ++x) out += encode(at(x, y).ch);
  return out;
}

std::string Buffer::to_text() const {
  std::string out;
  for (int y = 0; y < h_; ++y) {
    std::string row = row_text(y);
    row.erase(row.find_last_not_of(' ') + 1);
    if (y > 0) out += '\n';
    out += row;
  }
  return out;
}

}  // namespace ui

#include "ui/layout.h"

#include <algorithm>

namespace ui {

std::vector<Rect> vsplit(const Rect& r, const std::vector<Constraint>& parts) {
  const int total = std::max(r.h, 0);
  std::vector<int> rows(parts.size(), 0);
  int mins = 0;
  int min_parts = 0;
  int taken = 0;
  for (size_t i = 0; i < parts.size(); ++i) {
    const Constraint& c = parts[i];
    int v = std::max(c.value, 0);
    switch (c.kind) {
      case Constraint::Kind::Length:
        rows[i] = v;
        taken += v;
        break;
      case Constraint::Kind::Percentage:
        rows[i] = static_cast<int>(static_cast<long long>(total) * v / 100);
        taken += rows[i];
        break;
      case Constraint::Kind::Min:
        mins += v;
        ++min_parts;
        break;
    }
  }
  // The fixed parts give rows back, last first, until the minimums fit.
  int over = taken + mins - total;
  for (size_t i = parts.size(); i-- > 0 && over > 0;) {
    if (parts[i].kind == Constraint::Kind::Min) continue;
    int give = std::min(rows[i], over);
    rows[i] -= give;
    taken -= give;
    over -= give;
  }
  const int spare = std::max(total - taken - mins, 0);
  const int share = min_parts > 0 ? spare / min_parts : 0;
  int extra = spare - share * min_parts;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (parts[i].kind != Constraint::Kind::Min) continue;
    rows[i] = std::max(parts[i].value, 0) + share;
    if (extra > 0) {
      ++rows[i];
      --extra;
    }
  }
  // With no minimum part the leftover rows stay unused, below the last part.
  std::vector<Rect> out;
  out.reserve(parts.size());
  int y = r.y;
  const int bottom = r.y + total;
  for (int h : rows) {
    int top = std::min(y, bottom);
    int hh = std::max(std::min(h, bottom - top), 0);
    out.push_back(Rect{r.x, top, r.w, hh});
    y = top + hh;
  }
  return out;
}

}  // namespace ui

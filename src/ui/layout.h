// Vertical layout of the terminal UIs: a rectangle split into rows of fixed height, of a
// minimum height that share what is left, or of a percentage of the whole. Pure
// functions, any thread.
#pragma once

#include <vector>

#include "ui/buffer.h"

namespace ui {

// The height rule of one part of a vertical split.
struct Constraint {
  enum class Kind { Length, Min, Percentage };
  Kind kind = Kind::Length;
  int value = 0;

  // Exactly `n` rows.
  static Constraint length(int n) { return {Kind::Length, n}; }
  // At least `n` rows; the parts of this kind share the rows nobody else takes.
  static Constraint min(int n) { return {Kind::Min, n}; }
  // `p` per cent of the whole height, rounded down.
  static Constraint percentage(int p) { return {Kind::Percentage, p}; }
};

// Splits `r` top to bottom into one full-width rectangle per constraint, in order, with
// no gaps. Lengths and percentages take their rows first and the minimum parts share the
// rest (the first ones get the odd rows). When the minimums do not fit, the other parts
// give up rows, the last part first. When even the minimums do not fit, the parts are
// laid out in order and those that fall below the bottom edge are cut or empty.
std::vector<Rect> vsplit(const Rect& r, const std::vector<Constraint>& parts);

}  // namespace ui

#include "core/units.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "core/text.h"

namespace units {

namespace {

// Every occurrence of `what` removed in one pass from left to right; what the
// removal joins together is not looked at again.
std::string remove_all(std::string_view s, std::string_view what) {
  std::string out;
  out.reserve(s.size());
  size_t pos = 0;
  while (pos < s.size()) {
    const size_t hit = s.find(what, pos);
    if (hit == std::string_view::npos) break;
    out.append(s.substr(pos, hit - pos));
    pos = hit + what.size();
  }
  out.append(s.substr(std::min(pos, s.size())));
  return out;
}

bool all_digits(std::string_view s) {
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// Decimal digits as a signed 64-bit value, or nothing above its maximum.
std::optional<int64_t> to_i64(std::string_view digits) {
  int64_t v = 0;
  for (char c : digits) {
    if (__builtin_mul_overflow(v, int64_t{10}, &v)) return std::nullopt;
    if (__builtin_add_overflow(v, int64_t{c - '0'}, &v)) return std::nullopt;
  }
  return v;
}

}  // namespace

std::string format_quv(int64_t amount) {
  // The magnitude is taken unsigned so that the most negative amount, whose
  // magnitude no signed 64-bit value holds, is shown exactly too.
  const bool negative = amount < 0;
  const uint64_t magnitude =
      negative ? uint64_t{0} - static_cast<uint64_t>(amount) : static_cast<uint64_t>(amount);
  char fraction[8];
  std::snprintf(fraction, sizeof fraction, "%05" PRIu64, magnitude % kBasePerQuv);
  std::string out = negative ? "\u2212" : "";
  out += thousands(magnitude / kBasePerQuv);
  out += ',';
  out += fraction;
  out += " QÚV";
  return out;
}

std::string thousands(uint64_t n) {
  const std::string digits = std::to_string(n);
  std::string out;
  out.reserve(digits.size() + digits.size() / 3);
  for (size_t i = 0; i < digits.size(); ++i) {
    const size_t from_end = digits.size() - i;
    if (i > 0 && from_end % 3 == 0) out += '.';
    out += digits[i];
  }
  return out;
}

std::string format_ts(uint64_t t) {
  if (t == 0) return "\u2014";
  const uint64_t days = t / 86400;
  const uint64_t s = t % 86400;
  // Civil date from days since 1970-01-01 over 400-year eras that start on 1 March,
  // so the leap day falls at the end of each computed year.
  const uint64_t z = days + 719468;
  const uint64_t era = z / 146097;
  const uint64_t doe = z - era * 146097;
  const uint64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const uint64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const uint64_t mp = (5 * doy + 2) / 153;
  const uint64_t day = doy - (153 * mp + 2) / 5 + 1;
  const uint64_t month = mp < 10 ? mp + 3 : mp - 9;
  const uint64_t year = era * 400 + yoe + (month <= 2 ? 1 : 0);
  char buf[64];
  std::snprintf(buf, sizeof buf,
                "%04" PRIu64 "-%02" PRIu64 "-%02" PRIu64 " %02" PRIu64 ":%02" PRIu64 ":%02" PRIu64,
                year, month, day, s / 3600, s % 3600 / 60, s % 60);
  return buf;
}

std::optional<int64_t> parse_quv(std::string_view typed) {
  std::string s(text::trim(typed));
  s = remove_all(s, " ");
  s = remove_all(s, "\u00A0");
  // Each unit word, then its lower-case form, in this fixed order; a mixed-case
  // spelling such as "Quv" is not a unit word and later fails the digit test.
  static constexpr std::string_view kUnitWords[][2] = {
      {"QÚV", "qúv"}, {"QUV", "quv"}, {"qúv", "qúv"}, {"quv", "quv"}};
  for (const auto& [word, lowered] : kUnitWords) {
    s = remove_all(s, word);
    s = remove_all(s, lowered);
  }
  s = std::string(text::trim(s));
  if (s.empty()) return std::nullopt;

  const bool comma = s.find(',') != std::string::npos;
  const bool dot = s.find('.') != std::string::npos;
  if (comma && dot) s = remove_all(s, ".");
  if (comma) {
    for (char& c : s) {
      if (c == ',') c = '.';
    }
  }

  const size_t mark = s.find('.');
  const std::string_view all(s);
  const std::string_view whole = all.substr(0, mark);
  const std::string_view fraction = mark == std::string::npos ? "0" : all.substr(mark + 1);
  if (whole.empty() || !all_digits(whole)) return std::nullopt;
  if (!all_digits(fraction) || fraction.size() > 5) return std::nullopt;

  std::string padded(fraction);
  padded.resize(5, '0');
  const auto whole_value = to_i64(whole);
  if (!whole_value) return std::nullopt;
  int64_t result;
  if (__builtin_mul_overflow(*whole_value, kBasePerQuv, &result)) return std::nullopt;
  if (__builtin_add_overflow(result, *to_i64(padded), &result)) return std::nullopt;
  return result;
}

std::string amount_text(uint64_t amount) {
  std::string frac = std::to_string(amount % static_cast<uint64_t>(kBasePerQuv));
  frac.insert(0, 5 - frac.size(), '0');
  return thousands(amount / static_cast<uint64_t>(kBasePerQuv)) + "," + frac + " QÚV";
}

}  // namespace units

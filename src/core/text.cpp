#include "core/text.h"

#include <cstdint>

namespace text {

namespace {

constexpr char32_t kIll = 0xFFFFFFFF;
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

struct Unit {
  char32_t cp;  // the character, or kIll for an ill-formed subpart
  size_t len;   // bytes taken, at least 1
};

bool in(uint8_t b, uint8_t lo, uint8_t hi) { return b >= lo && b <= hi; }

// Reads one character at `pos`. A sequence that breaks off yields kIll over its
// maximal subpart: the lead byte and the continuation bytes that were still
// acceptable, so decoding resumes at the first byte that did not fit.
Unit next(ByteView b, size_t pos) {
  const uint8_t lead = b[pos];
  if (lead < 0x80) return {lead, 1};
  size_t need;
  uint8_t lo = 0x80, hi = 0xBF;  // range of the second byte; later ones are 80..BF
  char32_t cp;
  if (in(lead, 0xC2, 0xDF)) {
    need = 1;
    cp = lead & 0x1F;
  } else if (in(lead, 0xE0, 0xEF)) {
    need = 2;
    cp = lead & 0x0F;
    if (lead == 0xE0) lo = 0xA0;  // no overlongs
    if (lead == 0xED) hi = 0x9F;  // no surrogates
  } else if (in(lead, 0xF0, 0xF4)) {
    need = 3;
    cp = lead & 0x07;
    if (lead == 0xF0) lo = 0x90;  // no overlongs
    if (lead == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return {kIll, 1};
  }
  size_t len = 1;
  for (size_t i = 0; i < need; ++i) {
    if (pos + len >= b.size()) return {kIll, len};
    const uint8_t c = b[pos + len];
    if (i == 0 ? !in(c, lo, hi) : !in(c, 0x80, 0xBF)) return {kIll, len};
    cp = (cp << 6) | (c & 0x3F);
    ++len;
  }
  return {cp, len};
}

bool is_space_unit(const Unit& u) { return u.cp != kIll && is_whitespace(u.cp); }

}  // namespace

bool is_whitespace(char32_t c) {
  switch (c) {
    case 0x09:
    case 0x0A:
    case 0x0B:
    case 0x0C:
    case 0x0D:
    case 0x20:
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

std::string_view trim(std::string_view s) {
  const ByteView b = bytes::of(s);
  size_t first = s.size(), last = 0;
  for (size_t pos = 0; pos < b.size();) {
    const Unit u = next(b, pos);
    if (!is_space_unit(u)) {
      if (first == s.size()) first = pos;
      last = pos + u.len;
    }
    pos += u.len;
  }
  if (first == s.size()) return s.substr(s.size());
  return s.substr(first, last - first);
}

std::vector<std::string_view> split_whitespace(std::string_view s) {
  const ByteView b = bytes::of(s);
  std::vector<std::string_view> out;
  size_t start = 0;
  for (size_t pos = 0; pos < b.size();) {
    const Unit u = next(b, pos);
    if (is_space_unit(u)) {
      if (pos > start) out.push_back(s.substr(start, pos - start));
      start = pos + u.len;
    }
    pos += u.len;
  }
  if (s.size() > start) out.push_back(s.substr(start));
  return out;
}

std::string lower(std::string_view s) {
  const ByteView b = bytes::of(s);
  std::string out;
  out.reserve(s.size());
  for (size_t pos = 0; pos < b.size();) {
    const Unit u = next(b, pos);
    if (u.cp >= 'A' && u.cp <= 'Z') {
      out += static_cast<char>(u.cp + ('a' - 'A'));
    } else if (u.cp == 0x212A) {
      out += 'k';
    } else {
      out.append(s.substr(pos, u.len));
    }
    pos += u.len;
  }
  return out;
}

std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
  }
  return out;
}

bool is_utf8(ByteView b) {
  for (size_t pos = 0; pos < b.size();) {
    const Unit u = next(b, pos);
    if (u.cp == kIll) return false;
    pos += u.len;
  }
  return true;
}

std::string lossy_utf8(ByteView b) {
  std::string out;
  out.reserve(b.size());
  for (size_t pos = 0; pos < b.size();) {
    const Unit u = next(b, pos);
    if (u.cp == kIll) {
      out += kReplacement;
    } else {
      out.append(reinterpret_cast<const char*>(b.data() + pos), u.len);
    }
    pos += u.len;
  }
  return out;
}

}  // namespace text

#include "core/hex.h"

namespace hex {

namespace {
constexpr char kDigits[] = "0123456789abcdef";

int digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

std::string encode(ByteView data) {
  std::string out(data.size() * 2, '0');
  for (size_t i = 0; i < data.size(); ++i) {
    out[2 * i] = kDigits[data[i] >> 4];
    out[2 * i + 1] = kDigits[data[i] & 15];
  }
  return out;
}

std::optional<Bytes> decode(std::string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  Bytes out(text.size() / 2);
  for (size_t i = 0; i < out.size(); ++i) {
    int hi = digit_value(text[2 * i]);
    int lo = digit_value(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  return out;
}

std::string short_hash(std::string_view text) {
  // Counted in characters; hash texts are ASCII, so bytes are characters here.
  if (text.size() <= 12) return std::string(text);
  return std::string(text.substr(0, 6)) + "\u2026" + std::string(text.substr(text.size() - 6));
}

}  // namespace hex

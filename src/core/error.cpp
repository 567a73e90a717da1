#include "core/error.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

QuvError QuvError::msg(std::string text) { return QuvError(Kind::Msg, std::move(text)); }

QuvError QuvError::coded(Code code, std::string text) {
  QuvError e(Kind::Msg, std::move(text));
  e.code_ = code;
  return e;
}

QuvError QuvError::json(std::string library_text) {
  return QuvError(Kind::Json, std::move(library_text));
}

std::string QuvError::to_string() const { return kind_ == Kind::Msg ? text_ : "json: " + text_; }

namespace {

std::string quoted(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buf[12];
          std::snprintf(buf, sizeof buf, "\\u{%x}", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

}  // namespace

std::string QuvError::debug() const {
  return std::string(kind_ == Kind::Msg ? "Msg" : "Json") + "(" + quoted(text_) + ")";
}

std::optional<std::string> QuvError::source() const {
  if (kind_ == Kind::Json) return text_;
  return std::nullopt;
}

namespace error {

Report report(const QuvError& e, std::optional<std::string> context) {
  Report r;
  std::vector<std::string> chain{e.to_string()};
  if (auto src = e.source()) chain.push_back(*src);
  if (context) {
    r.text = *context;
    r.causes = std::move(chain);
  } else {
    r.text = chain.front();
    r.causes.assign(chain.begin() + 1, chain.end());
  }
  return r;
}

Report plain(std::string text) { return Report{std::move(text), {}}; }

std::string format_report(const Report& r) {
  std::string out = "Error: " + r.text + "\n";
  if (r.causes.empty()) return out;
  out += "\nCaused by:\n";
  if (r.causes.size() == 1) {
    out += "    " + r.causes.front() + "\n";
    return out;
  }
  for (size_t i = 0; i < r.causes.size(); ++i) {
    char idx[32];
    std::snprintf(idx, sizeof idx, "%5zu: ", i);
    out += idx + r.causes[i] + "\n";
  }
  return out;
}

std::string os_text(int err) {
  char buf[256];
  const char* s = strerror_r(err, buf, sizeof buf);
  return std::string(s) + " (os error " + std::to_string(err) + ")";
}

}  // namespace error

void die(std::string_view what) {
  std::fprintf(stderr, "%.*s\n", static_cast<int>(what.size()), what.data());
  std::abort();
}

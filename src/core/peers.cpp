#include "core/peers.h"

#include <algorithm>

#include "core/text.h"

namespace codec {

namespace {

// A port text: an optional '+', then one or more ASCII digits, 1..65535.
[[nodiscard]] Result<uint16_t> parse_port(std::string_view t) {
  if (!t.empty() && t.front() == '+') t.remove_prefix(1);
  if (t.empty()) return fail("Invalid port.");
  uint32_t v = 0;
  for (char c : t) {
    if (c < '0' || c > '9') return fail("Invalid port.");
    v = v * 10 + static_cast<uint32_t>(c - '0');
    if (v > 65535) return fail("Invalid port.");
  }
  if (v == 0) return fail("Invalid port.");
  return static_cast<uint16_t>(v);
}

bool host_char_ok(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == ':';
}

}  // namespace

Result<std::string> parse_peer(std::string_view entry) {
  std::string_view t = text::trim(entry);
  for (std::string_view scheme : {"http://", "https://", "HTTP://", "HTTPS://"}) {
    if (t.starts_with(scheme)) t.remove_prefix(scheme.size());
  }
  while (!t.empty() && t.back() == '/') t.remove_suffix(1);
  std::string s = text::lower(text::trim(t));
  if (s.empty()) return fail("Empty peer.");

  std::string_view v = s;
  std::string_view host;
  std::optional<std::string_view> port_text;
  if (v.front() == '[') {
    size_t close = v.find(']');
    if (close == std::string_view::npos) return fail("Invalid IPv6 address.");
    host = v.substr(1, close - 1);
    std::string_view rest = v.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return fail("Invalid peer address.");
      port_text = rest.substr(1);
    }
  } else if (std::count(v.begin(), v.end(), ':') == 1) {
    size_t colon = v.find(':');
    host = v.substr(0, colon);
    port_text = v.substr(colon + 1);
  } else {
    host = v;
  }

  uint16_t port = kDefaultPort;
  if (port_text) {
    auto p = parse_port(*port_text);
    if (!p) return std::unexpected(p.error());
    port = *p;
  }
  if (host.empty() || !std::all_of(host.begin(), host.end(), host_char_ok)) {
    return fail("Invalid peer address.");
  }
  std::string out;
  if (host.find(':') != std::string_view::npos) {
    out = "[" + std::string(host) + "]";
  } else {
    out = std::string(host);
  }
  return out + ":" + std::to_string(port);
}

Result<std::vector<std::string>> parse_peers(std::vector<std::string> entries) {
  std::vector<std::string> out;
  for (const std::string& e : entries) {
    std::string_view t = text::trim(e);
    if (t.empty()) continue;
    auto p = parse_peer(t);
    if (!p) return std::unexpected(p.error());
    if (std::find(out.begin(), out.end(), *p) == out.end()) out.push_back(std::move(*p));
    if (out.size() >= kMaxPeers) break;
  }
  if (out.empty()) out.emplace_back(kDefaultSeedPeer);
  return out;
}

}  // namespace codec

#include "net/http.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <vector>

#include "core/decimal.h"
#include "core/text.h"

namespace net {

namespace {

// The lines of a header block: split at "\n", one "\r" before it dropped.
std::vector<std::string_view> head_lines(std::string_view head) {
  std::vector<std::string_view> out;
  size_t start = 0;
  while (start < head.size()) {
    size_t nl = head.find('\n', start);
    if (nl == std::string_view::npos) {
      out.push_back(head.substr(start));
      break;
    }
    std::string_view line = head.substr(start, nl - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    out.push_back(line);
    start = nl + 1;
  }
  return out;
}

}  // namespace

Result<std::optional<RequestHead>> parse_head(ByteView buf, size_t& search_from) {
  if (buf.size() >= 4) {
    std::string_view view(reinterpret_cast<const char*>(buf.data()), buf.size());
    size_t term = view.find(kHeadEnd, std::min(search_from, buf.size()));
    if (term != std::string_view::npos) {
      RequestHead out;
      out.req.head = text::lossy_utf8(buf.first(term));
      auto lines = head_lines(out.req.head);
      if (!lines.empty()) out.req.line = std::string(lines.front());
      out.body_length = content_length(out.req.head);
      if (out.body_length > kMaxBodyBytes) return fail("body too large");
      search_from = term + kHeadEnd.size();
      return out;
    }
    // The terminator cannot begin before the last three bytes already searched.
    search_from = buf.size() - 3;
  }
  if (buf.size() >= kMaxHeaderBytes + 1) return fail("headers too large");
  return std::nullopt;
}

Result<Request> read_request(const ReadFn& read) {
  Bytes buf;
  uint8_t chunk[kReadChunk];
  size_t search_from = 0;
  std::optional<RequestHead> head;
  while (!head) {
    auto n = read(chunk, sizeof chunk);
    if (!n) return std::unexpected(n.error());
    if (*n == 0) return fail("incomplete headers");
    buf.insert(buf.end(), chunk, chunk + *n);
    auto parsed = parse_head(buf, search_from);
    if (!parsed) return std::unexpected(parsed.error());
    head = std::move(*parsed);
  }

  // On success `search_from` is the first byte after the blank line.
  Request req = std::move(head->req);
  const uint64_t length = head->body_length;
  size_t start = search_from;
  size_t have = std::min<size_t>(buf.size() - start, length);
  req.body.assign(buf.begin() + static_cast<std::ptrdiff_t>(start),
                  buf.begin() + static_cast<std::ptrdiff_t>(start + have));
  while (req.body.size() < length) {
    auto n = read(chunk, sizeof chunk);
    if (!n) return std::unexpected(n.error());
    if (*n == 0) break;  // a short body that ends the stream is served as it is
    size_t take = std::min<size_t>(*n, length - req.body.size());
    req.body.insert(req.body.end(), chunk, chunk + take);
  }
  return req;
}

std::optional<uint64_t> parse_u64(std::string_view s) { return decimal::parse_u64(s); }

uint64_t content_length(std::string_view head) {
  static constexpr std::string_view kName = "content-length:";
  uint64_t length = 0;
  for (std::string_view line : head_lines(head)) {
    std::string lower = text::ascii_lower(line);
    if (!std::string_view(lower).starts_with(kName)) continue;
    length = parse_u64(text::trim(std::string_view(lower).substr(kName.size()))).value_or(0);
  }
  return length;
}

namespace {

// The value of the last header line named `name` (lower case, with its colon), lower-cased
// and trimmed.
std::optional<std::string> header_value(std::string_view head, std::string_view name) {
  std::optional<std::string> out;
  for (std::string_view line : head_lines(head)) {
    std::string lower = text::ascii_lower(line);
    if (!std::string_view(lower).starts_with(name)) continue;
    out = std::string(text::trim(std::string_view(lower).substr(name.size())));
  }
  return out;
}

}  // namespace

std::optional<uint64_t> declared_length(std::string_view head) {
  // The status line is not a header.
  const size_t eol = head.find('\n');
  if (eol == std::string_view::npos) return std::nullopt;
  auto value = header_value(head.substr(eol + 1), "content-length:");
  if (!value) return std::nullopt;
  return parse_u64(*value);
}

std::optional<uint64_t> range_start(std::string_view head) {
  auto value = header_value(head, "range:");
  if (!value) return std::nullopt;
  std::string_view v = *value;
  if (!v.starts_with("bytes=") || !v.ends_with("-")) return std::nullopt;
  v = text::trim(v.substr(6, v.size() - 7));
  if (v.empty() || v.front() == '+') return std::nullopt;
  return parse_u64(v);
}

std::optional<ContentRange> content_range(std::string_view head) {
  auto value = header_value(head, "content-range:");
  if (!value) return std::nullopt;
  std::string_view v = *value;
  if (!v.starts_with("bytes ")) return std::nullopt;
  v.remove_prefix(6);
  const size_t dash = v.find('-');
  const size_t slash = v.find('/');
  if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash) {
    return std::nullopt;
  }
  auto first = parse_u64(v.substr(0, dash));
  auto last = parse_u64(v.substr(dash + 1, slash - dash - 1));
  auto total = parse_u64(v.substr(slash + 1));
  if (!first || !last || !total || *first > *last || *last >= *total) return std::nullopt;
  return ContentRange{*first, *last, *total};
}

std::optional<uint64_t> query_u64(std::string_view request_line, std::string_view key) {
  auto words = text::split_whitespace(request_line);
  if (words.size() < 2) return std::nullopt;
  std::string_view target = words[1];
  size_t q = target.find('?');
  if (q == std::string_view::npos) return std::nullopt;
  std::string_view query = target.substr(q + 1);
  for (;;) {
    size_t amp = query.find('&');
    std::string_view piece = query.substr(0, amp);
    size_t eq = piece.find('=');
    if (eq != std::string_view::npos && piece.substr(0, eq) == key) {
      std::string_view value = piece.substr(eq + 1);
      value = value.substr(0, value.find_first_of("# "));
      return parse_u64(value);
    }
    if (amp == std::string_view::npos) return std::nullopt;
    query.remove_prefix(amp + 1);
  }
}

std::string nft_target(std::string_view request_line) {
  auto words = text::split_whitespace(request_line);
  std::string_view rest = words.size() >= 2 ? words[1] : std::string_view("/");
  while (rest.starts_with("/nft/")) rest.remove_prefix(5);
  rest = rest.substr(0, rest.find_first_of(" /?"));
  return text::lower(rest);
}

bool is_loopback(std::string_view ip) {
  std::string s(ip);
  in_addr v4{};
  if (inet_pton(AF_INET, s.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (inet_pton(AF_INET6, s.c_str(), &v6) != 1) return false;
  if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
  return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
}

std::string reply_head(uint16_t status, std::string_view content_type, size_t body_len,
                       std::string_view extra) {
  const char* reason = status == 200 ? " OK" : status == 206 ? " Partial Content" : " ERR";
  std::string out = "HTTP/1.1 " + std::to_string(status) + reason;
  out += "\r\nContent-Type: ";
  out += content_type;
  out += "\r\nContent-Length: " + std::to_string(body_len);
  if (!extra.empty()) {
    out += "\r\n";
    out += extra;
  }
  out += "\r\nConnection: close\r\nAccess-Control-Allow-Origin: *\r\n\r\n";
  return out;
}

}  // namespace net

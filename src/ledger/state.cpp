#include "ledger/state.h"

#include <sys/stat.h>

#include <array>
#include <charconv>
#include <climits>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>
#include <type_traits>
#include <unordered_set>

#include "core/fsutil.h"
#include "core/json_text.h"
#include "core/text.h"

namespace state {

namespace {

// The fields in the order the file lists them; the array form takes its elements in this order.
enum Field : int {
  kRewardAddress,
  kWindowStart,
  kWorkSeconds,
  kValidated,
  kLastDrop,
  kLastBeat,
  kMempool,
  kAcks,
  kNodeId,
  kPeers,
  kPeerLink,
  kHeight,
  kTip,
  kSupply,
  kFieldCount
};

constexpr std::array<std::string_view, kFieldCount> kKeys = {
    "reward_address", "window_start", "work_seconds", "validated", "last_drop",
    "last_beat",      "mempool",      "acks",         "node_id",   "peers",
    "peer_link",      "height",       "tip",          "supply"};

// ---- Writer ----

void put_escaped_char(std::string& out, unsigned char c) {
  switch (c) {
    case '"':
      out += "\\\"";
      return;
    case '\\':
      out += "\\\\";
      return;
    case '\b':
      out += "\\b";
      return;
    case '\f':
      out += "\\f";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\t':
      out += "\\t";
      return;
    default:
      break;
  }
  if (c < 0x20) {
    static constexpr char kDigits[] = "0123456789abcdef";
    out += "\\u00";
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  } else {
    out += static_cast<char>(c);
  }
}

// A JSON string: quote, backslash and control characters escaped, everything else as is.
// Text that is not UTF-8 gets U+FFFD for each bad sequence, so the file stays readable: a state
// file that is not UTF-8 would stop the node from starting.
void put_string(std::string& out, std::string_view s) {
  out += '"';
  if (text::is_utf8(s)) {
    for (char c : s) put_escaped_char(out, static_cast<unsigned char>(c));
  } else {
    for (char c : text::lossy_utf8(s)) put_escaped_char(out, static_cast<unsigned char>(c));
  }
  out += '"';
}

template <typename Int>
void put_int(std::string& out, Int v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

void put_key(std::string& out, Field f) {
  if (f != kRewardAddress) out += ',';
  out += '"';
  out += kKeys[f];
  out += "\":";
}

// Decimal texts of the byte values, each followed by a comma, packed for a fast copy.
struct ByteTexts {
  std::array<std::array<char, 4>, 256> text{};
  std::array<uint8_t, 256> len{};
  ByteTexts() {
    for (int b = 0; b < 256; ++b) {
      auto r = std::to_chars(text[b].data(), text[b].data() + 3, b);
      *r.ptr = ',';
      len[b] = static_cast<uint8_t>(r.ptr - text[b].data() + 1);
    }
  }
};

// The mempool's byte strings go straight into the text: a mempool can hold hundreds of
// thousands of bytes, too many to build a JSON value for on every save.
void put_mempool(std::string& out, const Mempool& mempool) {
  static const ByteTexts kTexts;
  out += '[';
  for (size_t t = 0; t < mempool.size(); ++t) {
    const Bytes& tx = mempool[t];
    if (t > 0) out += ',';
    size_t start = out.size();
    out.resize(start + 4 * tx.size() + 2);
    char* p = out.data() + start;
    *p++ = '[';
    for (uint8_t b : tx) {
      std::memcpy(p, kTexts.text[b].data(), 4);
      p += kTexts.len[b];
    }
    if (!tx.empty()) --p;  // the last comma
    *p++ = ']';
    out.resize(static_cast<size_t>(p - out.data()));
  }
  out += ']';
}

void put_string_list(std::string& out, const std::vector<std::string>& list) {
  out += '[';
  for (size_t i = 0; i < list.size(); ++i) {
    if (i > 0) out += ',';
    put_string(out, list[i]);
  }
  out += ']';
}

// ---- Reader ----

// One parser event, reduced to what the strict rules look at.
struct Event {
  enum Kind { kScalar, kInt, kString, kArrayBegin, kArrayEnd, kObjectBegin, kObjectEnd, kKey };
  explicit Event(Kind k) : kind(k) {}
  Kind kind;
  // For kInt: the value as signed and as unsigned, where it fits.
  std::optional<int64_t> as_signed;
  std::optional<uint64_t> as_unsigned;
  // For kString and kKey: the text, which the reader may take.
  std::string* text = nullptr;
};

// Builds a NodeState from the parser's events and refuses the first event the strict rules
// do not allow; nlohmann's own DOM would keep the last of two equal keys without a word.
class StrictReader {
 public:
  using json = nlohmann::json;

  NodeState out;
  // The mempool entries as read; they become `out.mempool` once the document is whole.
  std::vector<Bytes> pool;
  bool finished() const { return phase_ == Phase::kDone; }

  bool null() { return feed(Event(Event::kScalar)); }
  bool boolean(bool) { return feed(Event(Event::kScalar)); }
  bool number_integer(json::number_integer_t v) {
    Event e(Event::kInt);
    e.as_signed = v;
    if (v >= 0) e.as_unsigned = static_cast<uint64_t>(v);
    return feed(e);
  }
  bool number_unsigned(json::number_unsigned_t v) {
    Event e(Event::kInt);
    e.as_unsigned = v;
    if (v <= static_cast<uint64_t>(INT64_MAX)) e.as_signed = static_cast<int64_t>(v);
    return feed(e);
  }
  // Fractions and exponents are never integers, whatever their value.
  bool number_float(json::number_float_t, const std::string&) {
    return feed(Event(Event::kScalar));
  }
  bool string(std::string& s) {
    Event e(Event::kString);
    e.text = &s;
    return feed(e);
  }
  bool binary(json::binary_t&) { return false; }
  bool start_object(std::size_t) { return feed(Event(Event::kObjectBegin)); }
  bool end_object() { return feed(Event(Event::kObjectEnd)); }
  bool start_array(std::size_t) { return feed(Event(Event::kArrayBegin)); }
  bool end_array() { return feed(Event(Event::kArrayEnd)); }
  bool key(std::string& s) {
    Event e(Event::kKey);
    e.text = &s;
    return feed(e);
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
    return false;
  }

 private:
  enum class Phase {
    kStart,          // before the document
    kTopObject,      // object form: a key or the end
    kTopArray,       // array form: the next field's value or the end
    kValue,          // object form: the value of the key just read
    kSkip,           // inside the value of an unknown key
    kMempool,        // a transaction's array or the end
    kMempoolBytes,   // a byte or the end of the transaction
    kAcks,           // a txid key or the end
    kAcksListStart,  // the array of a txid
    kAcksList,       // a node id or the end
    kPeers,          // a peer or the end
    kLinks,          // an endpoint key or the end
    kLinkValue,      // the link state of that endpoint
    kDone,
  };

  bool feed(const Event& e) {
    switch (phase_) {
      case Phase::kStart:
        if (e.kind == Event::kObjectBegin) {
          phase_ = Phase::kTopObject;
          return true;
        }
        if (e.kind == Event::kArrayBegin) {
          phase_ = Phase::kTopArray;
          top_is_array_ = true;
          return true;
        }
        return false;
      case Phase::kTopObject:
        if (e.kind == Event::kObjectEnd) {
          phase_ = Phase::kDone;
          return true;
        }
        if (e.kind != Event::kKey) return false;
        return begin_member(*e.text);
      case Phase::kTopArray:
        if (e.kind == Event::kArrayEnd) {
          phase_ = Phase::kDone;
          return true;
        }
        if (next_index_ >= kFieldCount) return false;
        field_ = next_index_++;
        return value(e);
      case Phase::kValue:
        return value(e);
      case Phase::kSkip:
        if (e.kind == Event::kArrayBegin || e.kind == Event::kObjectBegin) ++skip_depth_;
        if (e.kind == Event::kArrayEnd || e.kind == Event::kObjectEnd) {
          if (--skip_depth_ == 0) field_done();
        }
        return true;
      case Phase::kMempool:
        if (e.kind == Event::kArrayEnd) return field_done();
        if (e.kind != Event::kArrayBegin) return false;
        pool.emplace_back();
        phase_ = Phase::kMempoolBytes;
        return true;
      case Phase::kMempoolBytes:
        if (e.kind == Event::kArrayEnd) {
          phase_ = Phase::kMempool;
          return true;
        }
        if (e.kind != Event::kInt || !e.as_unsigned || *e.as_unsigned > 255) return false;
        pool.back().push_back(static_cast<uint8_t>(*e.as_unsigned));
        return true;
      case Phase::kAcks:
        if (e.kind == Event::kObjectEnd) return field_done();
        if (e.kind != Event::kKey) return false;
        // A txid given twice keeps its last list, as any map would.
        list_ = &out.acks[std::move(*e.text)];
        list_->clear();
        phase_ = Phase::kAcksListStart;
        return true;
      case Phase::kAcksListStart:
        if (e.kind != Event::kArrayBegin) return false;
        phase_ = Phase::kAcksList;
        return true;
      case Phase::kAcksList:
        if (e.kind == Event::kArrayEnd) {
          phase_ = Phase::kAcks;
          return true;
        }
        if (e.kind != Event::kString) return false;
        list_->push_back(std::move(*e.text));
        return true;
      case Phase::kPeers:
        if (e.kind == Event::kArrayEnd) return field_done();
        if (e.kind != Event::kString) return false;
        out.peers.push_back(std::move(*e.text));
        return true;
      case Phase::kLinks:
        if (e.kind == Event::kObjectEnd) return field_done();
        if (e.kind != Event::kKey) return false;
        link_ = &out.peer_link[std::move(*e.text)];
        phase_ = Phase::kLinkValue;
        return true;
      case Phase::kLinkValue:
        if (e.kind != Event::kString) return false;
        *link_ = std::move(*e.text);
        phase_ = Phase::kLinks;
        return true;
      case Phase::kDone:
        return false;
    }
    return false;
  }

  bool begin_member(const std::string& key) {
    field_ = -1;
    for (int f = 0; f < kFieldCount; ++f) {
      if (kKeys[f] == key) field_ = f;
    }
    if (field_ >= 0) {
      if (seen_known_ & (1u << field_)) return false;
      seen_known_ |= 1u << field_;
    } else if (!seen_unknown_.insert(key).second) {
      return false;
    }
    phase_ = Phase::kValue;
    return true;
  }

  bool field_done() {
    phase_ = top_is_array_ ? Phase::kTopArray : Phase::kTopObject;
    return true;
  }

  template <typename Int>
  static bool take_int(const Event& e, Int& dst) {
    if (e.kind != Event::kInt) return false;
    if constexpr (std::is_signed_v<Int>) {
      if (!e.as_signed || *e.as_signed < std::numeric_limits<Int>::min() ||
          *e.as_signed > std::numeric_limits<Int>::max())
        return false;
      dst = static_cast<Int>(*e.as_signed);
    } else {
      if (!e.as_unsigned || *e.as_unsigned > std::numeric_limits<Int>::max()) return false;
      dst = static_cast<Int>(*e.as_unsigned);
    }
    return true;
  }

  static bool take_string(const Event& e, std::string& dst) {
    if (e.kind != Event::kString) return false;
    dst = std::move(*e.text);
    return true;
  }

  // The first event of a field's value.
  bool value(const Event& e) {
    bool ok = false;
    switch (field_) {
      case -1:
        if (e.kind == Event::kArrayBegin || e.kind == Event::kObjectBegin) {
          skip_depth_ = 1;
          phase_ = Phase::kSkip;
          return true;
        }
        return field_done();
      case kRewardAddress:
        ok = take_string(e, out.reward_address);
        break;
      case kWindowStart:
        ok = take_int(e, out.window_start);
        break;
      case kWorkSeconds:
        ok = take_int(e, out.work_seconds);
        break;
      case kValidated:
        ok = take_int(e, out.validated);
        break;
      case kLastDrop:
        ok = take_int(e, out.last_drop);
        break;
      case kLastBeat:
        ok = take_int(e, out.last_beat);
        break;
      case kMempool:
        if (e.kind != Event::kArrayBegin) return false;
        phase_ = Phase::kMempool;
        return true;
      case kAcks:
        if (e.kind != Event::kObjectBegin) return false;
        phase_ = Phase::kAcks;
        return true;
      case kNodeId:
        ok = take_string(e, out.node_id);
        break;
      case kPeers:
        if (e.kind != Event::kArrayBegin) return false;
        phase_ = Phase::kPeers;
        return true;
      case kPeerLink:
        if (e.kind != Event::kObjectBegin) return false;
        phase_ = Phase::kLinks;
        return true;
      case kHeight:
        ok = take_int(e, out.height);
        break;
      case kTip:
        ok = take_string(e, out.tip);
        break;
      case kSupply:
        ok = take_int(e, out.supply);
        break;
      default:
        return false;
    }
    return ok && field_done();
  }

  Phase phase_ = Phase::kStart;
  bool top_is_array_ = false;
  int next_index_ = 0;
  int field_ = -1;
  int skip_depth_ = 0;
  uint32_t seen_known_ = 0;
  std::unordered_set<std::string> seen_unknown_;
  std::vector<std::string>* list_ = nullptr;
  std::string* link_ = nullptr;
};

}  // namespace

std::filesystem::path path_for(const std::filesystem::path& chain_path) {
  return std::filesystem::path(chain_path).replace_extension("node");
}

std::string to_json(const NodeState& s) {
  size_t mempool_bytes = 0;
  for (const Bytes& tx : s.mempool) mempool_bytes += tx.size();
  std::string out;
  out.reserve(4 * mempool_bytes + 2 * s.mempool.size() + 512);
  out += '{';
  put_key(out, kRewardAddress);
  put_string(out, s.reward_address);
  put_key(out, kWindowStart);
  put_int(out, s.window_start);
  put_key(out, kWorkSeconds);
  put_int(out, s.work_seconds);
  put_key(out, kValidated);
  put_int(out, s.validated);
  put_key(out, kLastDrop);
  put_int(out, s.last_drop);
  put_key(out, kLastBeat);
  put_int(out, s.last_beat);
  put_key(out, kMempool);
  put_mempool(out, s.mempool);
  put_key(out, kAcks);
  out += '{';
  bool first = true;
  for (const auto& [txid, nodes] : s.acks) {
    if (!first) out += ',';
    first = false;
    put_string(out, txid);
    out += ':';
    put_string_list(out, nodes);
  }
  out += '}';
  put_key(out, kNodeId);
  put_string(out, s.node_id);
  put_key(out, kPeers);
  put_string_list(out, s.peers);
  put_key(out, kPeerLink);
  out += '{';
  first = true;
  for (const auto& [peer, link] : s.peer_link) {
    if (!first) out += ',';
    first = false;
    put_string(out, peer);
    out += ':';
    put_string(out, link);
  }
  out += '}';
  put_key(out, kHeight);
  put_int(out, s.height);
  put_key(out, kTip);
  put_string(out, s.tip);
  put_key(out, kSupply);
  put_int(out, s.supply);
  out += '}';
  return out;
}

std::optional<NodeState> parse(std::string_view text) {
  // The JSON library would step over a byte-order mark; the document must start with
  // whitespace or its first bracket.
  if (text.starts_with("\xEF\xBB\xBF")) return std::nullopt;
  StrictReader reader;
  try {
    // Strict: only whitespace may follow the document.
    if (!nlohmann::json::sax_parse(text.begin(), text.end(), &reader,
                                   nlohmann::json::input_format_t::json, true)) {
      return std::nullopt;
    }
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
  if (!reader.finished()) return std::nullopt;
  reader.out.mempool = Mempool(std::move(reader.pool));
  return std::move(reader.out);
}

nlohmann::json read_members(const std::filesystem::path& chain_path) {
  using json = nlohmann::json;
  // A file nested deeper than any the node writes counts as broken.
  auto text = fsutil::read_text(path_for(chain_path));
  if (!text || text->starts_with("\xEF\xBB\xBF")) return json::object();
  return jtext::parse(*text).value_or(json::object());
}

}  // namespace state

Result<NodeState> NodeState::load(const std::filesystem::path& chain_path) {
  std::filesystem::path path = state::path_for(chain_path);
  struct stat st;
  // No state file (or one the file system cannot describe) is a node's first start.
  if (::stat(path.c_str(), &st) != 0) return NodeState{};
  auto text = fsutil::read_text(path, state::kMaxFileBytes);
  if (!text) {
    if (text.error().code() == QuvError::Code::NotRegularFile) {
      return fail("Node state file is not a regular file: " + path.string());
    }
    return std::unexpected(text.error());
  }
  // A file that does not parse is forgotten; the next save replaces it.
  return state::parse(*text).value_or(NodeState{});
}

Status NodeState::save(const std::filesystem::path& chain_path) const {
  auto prepared = prepare_save(chain_path);
  if (!prepared) return std::unexpected(prepared.error());
  return prepared->commit();
}

Result<fsutil::PreparedFile> NodeState::prepare_save(
    const std::filesystem::path& chain_path) const {
  std::filesystem::path path = state::path_for(chain_path);
  // A directory that cannot be made shows up as the write's own error.
  if (path.has_parent_path()) (void)fsutil::create_dirs(path.parent_path());
  // The HTTP server reads this file while the node writes it: replacing it by a rename
  // means a reader sees the old state or the new one, never a torn file.
  return fsutil::prepare_atomic(path, bytes::of(state::to_json(*this)));
}

#include "node/gossip_status.h"

#include <algorithm>
#include <cctype>
#include <nlohmann/json.hpp>
#include <string_view>

#include "core/json_text.h"
#include "ledger/nft.h"

namespace node {

namespace {

using json = nlohmann::json;

// Takes the members of a status document that gossip uses straight from the parser's
// events, without building the document: a peer's mempool entries carry their inputs and
// outputs, megabytes that are never read here. Reads what a full parse would give: a
// member given twice counts with its last value, and a member of another type gives its
// default. Depth counts the open arrays and objects; past `jtext::kMaxDepth` the text is
// refused, as every JSON text from outside is.
class StatusReader {
 public:
  PeerStatus status;

  bool null() { return scalar(); }
  bool boolean(bool) { return scalar(); }
  bool number_integer(json::number_integer_t v) {
    if (at_top() && top_ == Top::kHeight) {
      status.height = v;
      return true;
    }
    if (at_top() && top_ == Top::kBytes && v >= 0) {
      status.bytes = static_cast<uint64_t>(v);
      return true;
    }
    return scalar();
  }
  bool number_unsigned(json::number_unsigned_t v) {
    if (at_top() && top_ == Top::kHeight) {
      status.height = v <= uint64_t(INT64_MAX) ? static_cast<int64_t>(v) : -1;
      return true;
    }
    if (at_top() && top_ == Top::kBytes) {
      status.bytes = v;
      return true;
    }
    return scalar();
  }
  bool number_float(json::number_float_t, const json::string_t&) { return scalar(); }
  bool binary(json::binary_t&) { return scalar(); }
  // Copied, not moved: the parser reuses the string's buffer for the next text, and a
  // moved-from buffer grows again one character at a time.
  bool string(json::string_t& v) {
    if (at_top()) {
      if (top_ == Top::kNodeId) {
        status.node_id = v;
      } else if (top_ == Top::kTip) {
        if (v.empty()) {
          status.tip.reset();
        } else {
          status.tip = v;
        }
      } else {
        set_top_default();
      }
      return true;
    }
    if (in_entry()) {
      if (std::optional<std::string>* field = entry_field()) *field = v;
      return true;
    }
    return scalar();
  }

  bool start_object(std::size_t) {
    const bool entry = in_pool();
    if (!container()) return false;
    if (depth_ == 1) root_object_ = true;
    if (entry) entry_open_ = true;
    return true;
  }
  bool key(json::string_t& k) {
    if (root_object_ && depth_ == 1) {
      top_ = k == "node_id"   ? Top::kNodeId
             : k == "height"  ? Top::kHeight
             : k == "tip"     ? Top::kTip
             : k == "mempool" ? Top::kMempool
             : k == "bytes"   ? Top::kBytes
                              : Top::kOther;
    } else if (in_entry()) {
      entry_key_ = k == "raw" ? EntryKey::kRaw : k == "id" ? EntryKey::kId : EntryKey::kOther;
    }
    return true;
  }
  bool end_object() { return close(); }
  bool start_array(std::size_t) {
    const bool pool = at_top() && top_ == Top::kMempool;
    if (!container()) return false;
    if (pool) pool_open_ = true;
    return true;
  }
  bool end_array() { return close(); }
  bool parse_error(std::size_t, const std::string&, const json::exception&) { return false; }

 private:
  enum class Top { kOther, kNodeId, kHeight, kTip, kMempool, kBytes };
  enum class EntryKey { kOther, kRaw, kId };

  // A value directly inside the document's top object.
  bool at_top() const { return root_object_ && depth_ == 1; }
  // A value directly inside the "mempool" array: one entry.
  bool in_pool() const { return pool_open_ && depth_ == 2; }
  // A value directly inside an entry object.
  bool in_entry() const { return entry_open_ && depth_ == 3; }

  std::optional<std::string>* entry_field() {
    auto& e = status.mempool.back();
    if (entry_key_ == EntryKey::kRaw) return &e.raw;
    if (entry_key_ == EntryKey::kId) return &e.id;
    return nullptr;
  }

  // A member that is not of the type read takes its default.
  void set_top_default() {
    switch (top_) {
      case Top::kNodeId:
        status.node_id.clear();
        break;
      case Top::kHeight:
        status.height = -1;
        break;
      case Top::kTip:
        status.tip.reset();
        break;
      case Top::kMempool:
        status.mempool.clear();
        break;
      case Top::kBytes:
        status.bytes.reset();
        break;
      case Top::kOther:
        break;
    }
  }

  // Where any value lands: a top member of the wrong type, an entry that is no object,
  // an entry member that is no string.
  void place_value() {
    if (at_top()) {
      set_top_default();
    } else if (in_pool()) {
      status.mempool.emplace_back();
    } else if (in_entry()) {
      if (std::optional<std::string>* field = entry_field()) field->reset();
    }
  }

  bool scalar() {
    place_value();
    return true;
  }

  // An array or object begins: it is a value where it stands, and one level deeper.
  bool container() {
    place_value();
    return ++depth_ <= jtext::kMaxDepth;
  }

  bool close() {
    --depth_;
    if (depth_ == 1) pool_open_ = false;
    if (depth_ == 2) entry_open_ = false;
    return true;
  }

  int depth_ = 0;
  bool root_object_ = false;
  bool pool_open_ = false;
  bool entry_open_ = false;
  Top top_ = Top::kOther;
  EntryKey entry_key_ = EntryKey::kOther;
};

}  // namespace

std::optional<PeerStatus> read_status(ByteView body) {
  // The nesting of the whole text counts, as for every JSON text from outside, also past a
  // NUL byte, where the parser stops.
  const std::string_view text = bytes::text(body);
  if (!jtext::depth_within(text)) return std::nullopt;
  StatusReader reader;
  try {
    if (!json::sax_parse(text, &reader)) return std::nullopt;
  } catch (const json::exception&) {
    return std::nullopt;
  }
  return std::move(reader.status);
}

std::optional<std::vector<std::string>> read_nft_hashes(ByteView body) {
  std::optional<json> doc = jtext::parse(bytes::text(body));
  if (!doc) return std::nullopt;
  std::vector<std::string> out;
  const json* list = jtext::member(*doc, "hashes");
  if (list == nullptr || !list->is_array()) return out;
  for (const json& e : *list) {
    if (!e.is_string()) continue;
    std::string id = e.get<std::string>();
    std::transform(id.begin(), id.end(), id.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    if (nft::is_hash(id)) out.push_back(std::move(id));
  }
  return out;
}

}  // namespace node

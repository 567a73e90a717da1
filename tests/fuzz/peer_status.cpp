// What gossip reads of a peer: the status document and the NFT list. The status reader
// takes its members from the parser's events without building the document; whatever the
// peer sends, it takes what a parse takes and reads the same members as a full parse of
// the document would, and an NFT list yields only 64-digit lower-case hex ids.
#include <limits>

#include "core/json_text.h"
#include "fuzz.h"
#include "node/gossip.h"

namespace {

using json = nlohmann::json;

std::optional<std::string> string_of(const json& obj, const char* key) {
  return jtext::as_string(jtext::member(obj, key));
}

// The members of a status document as a full parse reads them.
node::PeerStatus full_reading(const json& doc) {
  node::PeerStatus st;
  st.node_id = string_of(doc, "node_id").value_or("");
  st.height = jtext::as_i64(jtext::member(doc, "height")).value_or(-1);
  if (auto tip = string_of(doc, "tip"); tip && !tip->empty()) st.tip = std::move(tip);
  if (const json* bytes = jtext::member(doc, "bytes");
      bytes &&
      (bytes->is_number_unsigned() || (bytes->is_number_integer() && bytes->get<int64_t>() >= 0))) {
    st.bytes = bytes->get<uint64_t>();
  }
  if (const json* pool = jtext::member(doc, "mempool"); pool && pool->is_array()) {
    for (const json& e : *pool) st.mempool.push_back({string_of(e, "raw"), string_of(e, "id")});
  }
  return st;
}

bool same(const node::PeerStatus& a, const node::PeerStatus& b) {
  if (a.node_id != b.node_id || a.height != b.height || a.tip != b.tip || a.bytes != b.bytes ||
      a.mempool.size() != b.mempool.size()) {
    return false;
  }
  for (size_t i = 0; i < a.mempool.size(); ++i) {
    if (a.mempool[i].raw != b.mempool[i].raw || a.mempool[i].id != b.mempool[i].id) return false;
  }
  return true;
}

bool is_id(const std::string& s) {
  if (s.size() != 64) return false;
  for (char c : s) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ByteView body(data, size);
  std::optional<json> doc = jtext::parse(fuzz::as_text(body));
  std::optional<node::PeerStatus> st = node::read_status(body);
  fuzz::check(st.has_value() == doc.has_value(), "the status reader takes what a parse takes");
  if (st) fuzz::check(same(*st, full_reading(*doc)), "event reading equals full reading");

  std::optional<std::vector<std::string>> ids = node::read_nft_hashes(body);
  fuzz::check(ids.has_value() == doc.has_value(), "the NFT list reader takes what a parse takes");
  if (ids) {
    size_t listed = 0;
    if (const json* h = jtext::member(*doc, "hashes"); h && h->is_array()) listed = h->size();
    fuzz::check(ids->size() <= listed, "no more ids than listed");
    for (const std::string& id : *ids) fuzz::check(is_id(id), "ids are 64 lower-case hex digits");
  }
  return 0;
}

// The node UI in attached mode reads the running node's status document once a second and
// draws it. Whatever the node answers, the reader takes only a document whose "ok" is
// true, the snapshot is drawn at any screen size without a fault, and a snapshot read
// from a document the snapshot itself describes reads back the same.
//
// The first byte picks the screen size; the rest is the reply's body.
#include <map>

#include "core/json_text.h"
#include "fuzz.h"
#include "node/node_tui.h"

namespace {

using json = nlohmann::json;

// The status members that a snapshot is read from, written back from the snapshot.
json doc_of(const node_tui::Snap& s) {
  json peers = json::array();
  json links = json::object();
  for (const auto& [addr, link] : s.peers) {
    peers.push_back(addr);
    links[addr] = link;
  }
  return json{{"ok", true},
              {"file", s.file},
              {"reward_address", s.reward_address},
              {"node_id", s.node_id},
              {"peers", peers},
              {"peer_link", links},
              {"height", s.height},
              {"supply", s.supply},
              {"bytes", s.bytes},
              {"work_seconds", s.work_seconds},
              {"last_drop", s.last_drop},
              {"mempool", json::array()},
              {"validated", s.validated}};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::Replier node;
  fuzz::Input in(data, size);
  const uint8_t shape = in.u8();
  ByteView body = in.rest();
  const std::string_view head = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n";
  Bytes reply(head.begin(), head.end());
  bytes::put(reply, body);
  node.serve(reply);

  std::optional<json> doc = node_tui::status_of(node.host());
  std::optional<json> parsed = jtext::parse(fuzz::as_text(body));
  const json* ok = parsed ? jtext::member(*parsed, "ok") : nullptr;
  const bool accepted = ok != nullptr && ok->is_boolean() && ok->get<bool>();
  fuzz::check(doc.has_value() == accepted, "only a document with ok true is taken");
  if (!doc) return 0;

  node_tui::App app;
  app.attached = true;
  app.snap = node_tui::snap_from_json(*doc);
  node_tui::fill_peers_from_snap(app);
  ui::Buffer buf(10 + (shape & 0x7f), 4 + (shape >> 3));
  node_tui::draw(buf, app);

  node_tui::Snap again = node_tui::snap_from_json(doc_of(app.snap));
  again.mempool = app.snap.mempool;
  again.pending = app.snap.pending;
  // A peer listed twice keeps its last link in the rebuilt document.
  std::map<std::string, std::string> last;
  for (const auto& [addr, link] : app.snap.peers) last[addr] = link;
  node_tui::Snap expect = app.snap;
  for (auto& [addr, link] : expect.peers) link = last[addr];
  fuzz::check(again == expect, "a snapshot reads back from its own document");
  return 0;
}

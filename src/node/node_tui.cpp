#include "node/node_tui.h"

#include <algorithm>
#include <limits>
#include <memory>

#include "core/bytes.h"
#include "core/json_text.h"
#include "core/text.h"
#include "core/units.h"
#include "ledger/work.h"
#include "net/net.h"

namespace node_tui {

namespace {

using nlohmann::json;

constexpr uint64_t kPostTimeoutSecs = 3;
constexpr uint64_t kStatusTimeoutSecs = 1;
constexpr int kPollMs = 200;

using jtext::member;

std::string str_of(const json& doc, std::string_view key) {
  return jtext::as_string(member(doc, key)).value_or("");
}
int64_t i64_of(const json& doc, std::string_view key, int64_t def) {
  return jtext::as_i64(member(doc, key)).value_or(def);
}
uint64_t u64_of(const json& doc, std::string_view key, uint64_t def) {
  return jtext::as_u64(member(doc, key)).value_or(def);
}

bool accepted(const std::optional<json>& reply) {
  if (!reply) return false;
  const json* ok = member(*reply, "ok");
  return ok && ok->is_boolean() && ok->get<bool>();
}

void green_flash(App& app, std::string text) {
  app.flash = std::move(text);
  app.flash_ok = true;
  app.flash_at = Clock::now();
}

// The five peer fields, trimmed, the empty ones left out, in field order.
std::vector<std::string> typed_peers(const App& app) {
  std::vector<std::string> v;
  for (const std::string& f : app.peer_fields) {
    std::string_view t = text::trim(f);
    if (!t.empty()) v.emplace_back(t);
  }
  return v;
}

void seal(App& app, Backend::Own& own) {
  auto r = own.chain.seal();
  if (!r) {
    std::string e = r.error().to_string();
    push_log(app, false, "seal: " + e);
    set_flash(app, e);
    return;
  }
  std::string text = "seal height=" + std::to_string(r->height) + " " + node::short_hash(r->hash);
  app.snap = snap_from_chain(own.chain);
  push_log(app, true, text);
  green_flash(app, text);
}

void drop(App& app, Backend::Own& own) {
  auto r = work::drop_now(own.chain);
  if (!r) {
    std::string e = r.error().to_string();
    push_log(app, false, "drop: " + e);
    set_flash(app, e);
    return;
  }
  std::string text = "drop " + units::format_quv(static_cast<int64_t>(*r));
  app.snap = snap_from_chain(own.chain);
  push_log(app, true, text);
  green_flash(app, text);
}

void save_reward(App& app, Backend::Own& own) {
  std::string t(text::trim(app.reward_input));
  if (auto s = work::set_reward_address(own.chain, t); !s) {
    set_flash(app, s.error().to_string());
    return;
  }
  app.snap = snap_from_chain(own.chain);
  const std::string& stored = own.chain.state().reward_address;
  done_ok(app, stored.empty() ? "Reward address cleared." : "Reward " + stored);
}

void save_peers(App& app, Backend::Own& own) {
  if (auto s = work::set_peers(own.chain, typed_peers(app)); !s) {
    set_flash(app, s.error().to_string());
    return;
  }
  size_t n = own.chain.state().peers.size();
  app.snap = snap_from_chain(own.chain);
  fill_peers_from_snap(app);
  done_ok(app, std::to_string(n) + " peers saved.");
}

// A seal or drop request to the running node.
void request(App& app, const Backend::Attached& at, const char* what) {
  if (accepted(post_json(at.host, std::string("/") + what, "{}"))) {
    std::string text = std::string(what) + " requested";
    push_log(app, true, text);
    green_flash(app, text);
    return;
  }
  set_flash(app, std::string("Running node did not take ") + what + " (update the node service).");
}

void save_reward(App& app, const Backend::Attached& at) {
  std::string t(text::trim(app.reward_input));
  json body = {{"address", t}};
  if (!accepted(post_json(at.host, "/reward", body.dump()))) {
    set_flash(app, "Could not set reward on the running node.");
    return;
  }
  done_ok(app, t.empty() ? "Reward address cleared." : "Reward " + t);
}

void save_peers(App& app, const Backend::Attached& at) {
  std::vector<std::string> v = typed_peers(app);
  json body = {{"peers", v}};
  if (!accepted(post_json(at.host, "/peers", body.dump()))) {
    set_flash(app, "Could not save peers on the running node.");
    return;
  }
  done_ok(app, std::to_string(v.size()) + " peers saved.");
}

bool is_char(const ui::Key& k) { return k.code == ui::KeyCode::Char; }

char32_t lower_ascii(char32_t c) { return (c >= U'A' && c <= U'Z') ? c + 32 : c; }

void pop_char(std::string& s) {
  if (s.empty()) return;
  size_t i = s.size() - 1;
  // Step back over continuation bytes so a whole character goes.
  while (i > 0 && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) --i;
  s.erase(i);
}

After main_key(App& app, Backend& backend, const ui::Key& key) {
  if (!is_char(key)) return After::Continue;
  switch (lower_ascii(key.ch)) {
    case U'q':
      return After::Quit;
    case U'r':
      app.reward_input = app.snap.reward_address;
      app.mode = 1;
      break;
    case U'p':
      fill_peers_from_snap(app);
      app.mode = 2;
      app.peer_focus = 0;
      break;
    case U's':
      if (auto* own = std::get_if<Backend::Own>(&backend.v)) {
        seal(app, *own);
      } else {
        request(app, std::get<Backend::Attached>(backend.v), "seal");
      }
      break;
    case U'd':
      if (auto* own = std::get_if<Backend::Own>(&backend.v)) {
        drop(app, *own);
      } else {
        request(app, std::get<Backend::Attached>(backend.v), "drop");
      }
      break;
    default:
      break;
  }
  return After::Continue;
}

// Shared by both editors: Backspace, typed characters, a paste, Esc. True when the key was one.
bool edit_key(App& app, std::string& field, const ui::Key& key) {
  switch (key.code) {
    case ui::KeyCode::Backspace:
      pop_char(field);
      return true;
    case ui::KeyCode::Char:
      if (!ui::is_control(key.ch)) field += ui::encode(key.ch);
      return true;
    case ui::KeyCode::Paste:  // text for the field, never Enter or a command
      field += key.text;
      return true;
    case ui::KeyCode::Esc:
      app.flash.reset();
      app.mode = 0;
      return true;
    default:
      return false;
  }
}

void reward_key(App& app, Backend& backend, const ui::Key& key) {
  if (edit_key(app, app.reward_input, key)) return;
  if (key.code != ui::KeyCode::Enter) return;
  if (auto* own = std::get_if<Backend::Own>(&backend.v)) {
    save_reward(app, *own);
  } else {
    save_reward(app, std::get<Backend::Attached>(backend.v));
  }
}

void peers_key(App& app, Backend& backend, const ui::Key& key) {
  app.peer_focus %= kPeerSlots;
  if (edit_key(app, app.peer_fields[app.peer_focus], key)) return;
  switch (key.code) {
    case ui::KeyCode::Tab:
    case ui::KeyCode::Down:
      app.peer_focus = static_cast<uint8_t>((app.peer_focus + 1) % kPeerSlots);
      break;
    case ui::KeyCode::BackTab:
    case ui::KeyCode::Up:
      app.peer_focus = static_cast<uint8_t>((app.peer_focus + kPeerSlots - 1) % kPeerSlots);
      break;
    case ui::KeyCode::Enter:
      if (auto* own = std::get_if<Backend::Own>(&backend.v)) {
        save_peers(app, *own);
      } else {
        save_peers(app, std::get<Backend::Attached>(backend.v));
      }
      break;
    default:
      break;
  }
}

// Whole seconds from `from` to `to`, 0 when `to` is earlier.
int64_t whole_seconds(Clock::time_point from, Clock::time_point to) {
  if (to <= from) return 0;
  return std::chrono::duration_cast<std::chrono::seconds>(to - from).count();
}

App fresh_app(Snap snap, bool attached) {
  App app;
  app.snap = std::move(snap);
  app.attached = attached;
  app.flash_at = app.last_refresh = Clock::now();
  fill_peers_from_snap(app);
  app.reward_input = app.snap.reward_address;
  return app;
}

}  // namespace

Snap snap_from_chain(const Chain& chain) {
  Snap s;
  WorkStatus ws = work::status(chain);
  s.file = chain.path().string();
  s.reward_address = ws.reward_address;
  s.node_id = chain.own_id();
  for (const std::string& p : chain.state().peers) {
    auto it = chain.state().peer_link.find(p);
    s.peers.emplace_back(p, it == chain.state().peer_link.end() ? std::string() : it->second);
  }
  s.height = static_cast<int64_t>(chain.block_count()) - 1;
  s.supply = static_cast<int64_t>(chain.supply());
  s.bytes = chain.file_size();
  s.work_seconds = static_cast<int64_t>(ws.work_seconds);
  s.pending = static_cast<int64_t>(ws.pending);
  s.last_drop = ws.last_drop;
  s.mempool = chain.state().mempool.size();
  s.validated = ws.validated;
  return s;
}

Snap snap_from_json(const json& doc) {
  Snap s;
  s.file = str_of(doc, "file");
  s.reward_address = str_of(doc, "reward_address");
  s.node_id = str_of(doc, "node_id");
  const json* links = member(doc, "peer_link");
  if (const json* peers = member(doc, "peers"); peers && peers->is_array()) {
    for (const json& p : *peers) {
      if (!p.is_string()) continue;
      std::string addr = p.get<std::string>();
      if (addr.empty()) continue;
      std::string link = links ? str_of(*links, addr) : std::string();
      s.peers.emplace_back(std::move(addr), std::move(link));
    }
  }
  s.height = i64_of(doc, "height", -1);
  s.supply = i64_of(doc, "supply", 0);
  s.bytes = u64_of(doc, "bytes", 0);
  s.work_seconds = i64_of(doc, "work_seconds", 0);
  s.last_drop = i64_of(doc, "last_drop", 0);
  const json* mempool = member(doc, "mempool");
  s.mempool = mempool && mempool->is_array() ? mempool->size() : 0;
  s.validated = static_cast<uint32_t>(u64_of(doc, "validated", 0));
  // Signed, unlike the ledger's: a snapshot keeps what a document says, negative or not.
  s.pending = std::min<int64_t>(s.work_seconds, work::kWindowSeconds) + s.validated;
  return s;
}

void fill_peers_from_snap(App& app) {
  for (std::string& f : app.peer_fields) f.clear();
  for (size_t i = 0; i < app.snap.peers.size() && i < kPeerSlots; ++i) {
    app.peer_fields[i] = app.snap.peers[i].first;
  }
}

void push_log(App& app, bool ok, std::string text) {
  app.log.push_back(node::LogLine{ok, std::move(text)});
  while (app.log.size() > kLogCap) app.log.pop_front();
}

void set_flash(App& app, std::string text) {
  app.flash = std::move(text);
  app.flash_ok = false;
  app.flash_at = Clock::now();
}

void done_ok(App& app, std::string text) {
  push_log(app, true, text);
  green_flash(app, std::move(text));
  app.mode = 0;
}

std::optional<json> post_json(std::string_view host, std::string_view path, std::string_view body) {
  auto reply = net::http_call_timeout(host, "POST", path, bytes::of(body), "application/json",
                                      kPostTimeoutSecs);
  if (!reply) return std::nullopt;
  return jtext::parse(bytes::text(*reply));
}

std::optional<json> post_json(std::string_view path, std::string_view body) {
  return post_json(node::kLocalNode, path, body);
}

std::optional<json> status_of(std::string_view host) {
  auto reply =
      net::http_call_timeout(host, "GET", "/status", {}, "application/json", kStatusTimeoutSecs);
  if (!reply) return std::nullopt;
  auto j = jtext::parse(bytes::text(*reply));
  if (!j || !accepted(*j)) return std::nullopt;
  return j;
}

After handle(App& app, Backend& backend, const ui::Key& key) {
  switch (app.mode) {
    case 1:
      reward_key(app, backend, key);
      return After::Continue;
    case 2:
      peers_key(app, backend, key);
      return After::Continue;
    default:
      return main_key(app, backend, key);
  }
}

void expire_flash(App& app, Clock::time_point now) {
  if (app.flash && whole_seconds(app.flash_at, now) > kFlashSeconds) app.flash.reset();
}

void refresh(App& app, Backend& backend) {
  if (auto* own = std::get_if<Backend::Own>(&backend.v)) {
    for (node::LogLine& l : node::pulse(own->chain, own->session)) {
      push_log(app, l.ok, std::move(l.text));
    }
    own->trimmer.after_tick();
    app.snap = snap_from_chain(own->chain);
  } else if (auto doc = status_of(std::get<Backend::Attached>(backend.v).host)) {
    app.snap = snap_from_json(*doc);
  } else {
    set_flash(app, "Node on :19191 stopped answering.");
  }
}

Status loop_ui(ui::Screen& screen, Backend& backend, App& app) {
  for (;;) {
    expire_flash(app, Clock::now());
    if (whole_seconds(app.last_refresh, Clock::now()) >= 1) {
      refresh(app, backend);
      app.last_refresh = Clock::now();
    }
    ui::Rect area = screen.area();
    ui::Buffer buf(area.w, area.h);
    draw(buf, app);
    if (auto s = screen.draw(buf); !s) return s;
    auto ev = screen.poll(kPollMs);
    if (!ev) return std::unexpected(ev.error());
    if (!*ev) continue;
    const ui::Key& key = **ev;
    if (key.kind != ui::KeyKind::Press) continue;
    if (key.code == ui::KeyCode::Char && key.ctrl && key.ch == U'c') return {};
    if (handle(app, backend, key) == After::Quit) return {};
  }
}

Status run(const std::filesystem::path& chain_path) {
  auto term = ui::Terminal::open();
  if (!term) return std::unexpected(term.error());
  std::unique_ptr<ui::Terminal> t = std::move(*term);

  std::optional<Backend> backend;
  App app;
  if (auto doc = status_of(node::kLocalNode)) {
    backend.emplace(Backend{Backend::Attached{}});
    app = fresh_app(snap_from_json(*doc), true);
    push_log(app, true,
             "Attached to the node already running on :19191. [Q] closes this TUI only.");
  } else {
    auto chain = Chain::open(chain_path);
    if (!chain) return std::unexpected(chain.error());
    auto started = node::prepare(*chain);
    if (!started) return std::unexpected(started.error());
    app = fresh_app(snap_from_chain(*chain), false);
    for (node::LogLine& l : started->lines) push_log(app, l.ok, std::move(l.text));
    backend.emplace(Backend{Backend::Own{std::move(*chain), std::move(started->session), {}}});
  }
  Status result = loop_ui(*t, *backend, app);
  t->close();
  return result;
}

}  // namespace node_tui

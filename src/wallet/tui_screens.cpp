#include "wallet/tui_screens.h"

#include "core/units.h"
#include "ui/layout.h"
#include "wallet/tui_flows.h"
#include "wallet/tui_keys.h"
#include "wallet/tui_text.h"

namespace tui {

namespace {

using namespace palette;

using ui::Line;
using ui::Rgb;

ui::Style look(Rgb fg, bool bold = false) {
  ui::Style s = ui::Style::fg_of(fg);
  return bold ? s.with_bold() : s;
}
ui::Span span(std::string s, Rgb fg, bool bold = false) {
  return ui::Span{std::move(s), look(fg, bold)};
}
Line text(std::string s, Rgb fg = kText, bool bold = false) {
  return Line{{span(std::move(s), fg, bold)}, {}};
}
Line empty() { return Line{}; }

// The text padded with spaces to `width` characters, on the left or on the right.
std::string pad_left(std::string s, size_t width) {
  return s.size() < width ? std::string(width - s.size(), ' ') + s : s;
}
std::string pad_right(std::string s, size_t width) {
  return s.size() < width ? s + std::string(width - s.size(), ' ') : s;
}

using std::to_string;

std::string json_str(const nlohmann::json& obj, const char* key) {
  auto it = obj.find(key);
  return it != obj.end() && it->is_string() ? it->get<std::string>() : std::string();
}

uint64_t json_u64(const nlohmann::json& obj, const char* key) {
  auto it = obj.find(key);
  if (it == obj.end()) return 0;
  if (it->is_number_unsigned()) return it->get<uint64_t>();
  if (it->is_number_integer() && it->get<int64_t>() >= 0) return it->get<int64_t>();
  return 0;
}

void welcome(Body& b) {
  b.lines = {empty(),
             text("  Wallet (terminal)", kHeading, true),
             empty(),
             text("  13 Latin words. No account. No issuer."),
             text("  Amount and memo only for you and the recipient."),
             empty(),
             text("  [N] New — create a wallet with a passphrase", kTagline),
             text("  [O] Open — stored file", kTagline),
             text("  [I] Import — 13 words, then passphrase", kTagline),
             text("  [P] Peers — other nodes (1–5)", kTagline),
             text("  [Q] Quit", kDim)};
}

void seed_words(const App& app, Body& b) {
  b.lines = {text("  Write these down. Whoever has the words has the coins.", kBrand), empty()};
  if (app.session_seed) {
    const auto& words = *app.session_seed;
    for (size_t i = 0; i < words.size(); i += 4) {
      std::string line = "  ";
      for (size_t j = i; j < words.size() && j < i + 4; ++j) {
        line += pad_left(to_string(j + 1), 2) + ". " + pad_right(words[j], 12);
      }
      b.lines.push_back(text(std::move(line), kHeading));
    }
  }
  b.lines.push_back(empty());
  b.lines.push_back(text("  Enter → continue", kDim));
}

void passphrase(const char* prompt, const std::string& field, Body& b) {
  b.lines = {text(std::string("  ") + prompt, kDim), empty(), text("  " + mask(field), kHeading),
             empty(), text("  Enter continue · Esc back", kDim)};
}

void import_words(const App& app, Body& b) {
  b.lines = {text("  13 Latin words, spaces between them."),
             text("  Then a passphrase — that is how you open the file again."),
             empty(),
             text("  " + app.input, kHeading),
             empty(),
             text("  Enter continue · Esc back", kDim)};
}

void main_screen(App& app, Body& b) {
  if (!app.keys) {
    b.shown = false;
    return;
  }
  // Only brings `app.view` up to date: after a failed sync the screen shows the last view,
  // or none, and the failure is kept in `sync_failure` so the next frame does not retry.
  (void)wallet_view(app);
  const chain::WalletView* v = app.view ? &*app.view : nullptr;
  std::string recv = app.book ? app.ops.recv_address(*app.book) : std::string();
  if (recv.empty() && app.keys) recv = app.keys->address;
  const light::NodeInfo* n = app.node_info ? &*app.node_info : nullptr;
  std::string summary = "  Notes " + to_string(v ? v->notes.size() : 0) + "   node " +
                        (n ? n->addr : std::string("no node")) + "   height " +
                        to_string(n ? n->height : -1) + "   synced " +
                        to_string(app.book ? synced_height(*app.book) : -1) + "   supply " +
                        units::format_quv(n ? n->supply : 0);
  b.lines = {text("  Balance (only you)", kDim),
             text("  " + units::format_quv(v ? v->balance : 0), kHeading, true),
             empty(),
             text("  Receive address", kDim),
             text("  " + recv, kTagline),
             empty(),
             text(std::move(summary))};
  if (v && v->reserved > 0) {
    b.lines.push_back(text("  Reserved " + units::format_quv(v->reserved), kDim));
  }
  b.lines.push_back(empty());
  b.lines.push_back(text(
      "  [S] Send  [H] History  [A] Addresses  [N] Notes  [B] Seed  [P] Peers  [Y] Sync", kDim));
}

void send_form(const App& app, Body& b) {
  auto mark = [&](uint8_t field) { return std::string(app.send_focus == field ? ">" : " "); };
  b.lines = {text(" " + mark(0) + " To     " + app.send_to),
             text(" " + mark(1) + " Amount " + app.send_amount),
             text(" " + mark(2) + " Memo   " + app.send_memo),
             empty(),
             text("  Tab fields · Enter send · Esc back", kDim),
             text("  Only the two of you can read the memo.", kTagline)};
}

void notes(App& app, Body& b) {
  auto v = wallet_view(app);
  if (!v) {
    b.lines = {text("  (sync failed)")};
    return;
  }
  b.list = true;
  for (const auto& note : (*v)->notes) {
    b.lines.push_back(text("  " + units::format_quv(note.amount) + "  " + or_dash(note.memo) +
                           "  h" + to_string(note.height)));
  }
}

void peers(const App& app, Body& b) {
  b.lines = {text("  Remote nodes (1–5). The wallet never reads the chain file.", kDim),
             text("  ● reachable  ● down", kDim), empty()};
  for (size_t i = 0; i < kPeerRows; ++i) {
    bool focus = app.peer_focus == i;
    ui::Span dot = app.peer_state[i] == 1   ? span("● ", kGood)
                   : app.peer_state[i] == 2 ? span("● ", kBad)
                                            : span("○ ", kDim);
    b.lines.push_back(
        Line{{span(focus ? " > " : "   ", focus ? kHeading : kDim), dot,
              span(to_string(i + 1) + ":  " + app.peer_fields[i], focus ? kHeading : kText)},
             {}});
  }
  b.lines.push_back(empty());
  b.lines.push_back(text("  Enter saves · Esc back", kDim));
}

// The last column of a history row: acknowledgements of a pending send, else the height.
std::string hist_where(const chain::HistRow& r) {
  if (r.dir == "pending") return to_string(r.acks) + "/" + to_string(r.need);
  return "h" + to_string(r.height);
}

void history(App& app, Body& b) {
  if (!app.waiting && sync_due(app)) load_history(app);
  if (app.history.empty()) {
    b.lines = {empty(), text("  No movements yet.", kDim), text("  Esc back", kDim)};
    return;
  }
  b.list = true;
  b.select = true;
  for (const auto& r : app.history) {
    b.lines.push_back(text("  " + pad_right(std::string(kind_word(r.dir)), 5) + "  " +
                           units::format_quv(r.amount) + "  " + or_dash(r.memo) + "  " +
                           hist_where(r)));
  }
}

Rgb kind_colour(std::string_view kind) {
  if (kind == "in") return kGood;
  if (kind == "out") return kBrand;
  if (kind == "open") return kHeading;
  return kDim;
}

void transaction(const App& app, Body& b) {
  if (!app.hist_sel.selected || *app.hist_sel.selected >= app.history.size()) {
    b.shown = false;
    return;
  }
  const chain::HistRow& r = app.history[*app.hist_sel.selected];
  auto row = [](const char* label, std::string value, Rgb fg, bool bold = false) {
    return Line{{span(label, kDim), span(std::move(value), fg, bold)}, {}};
  };
  std::string_view kind = kind_word(r.dir);
  std::string height = r.dir == "pending" ? "Mempool  " + hist_where(r) : to_string(r.height);
  b.lines = {row("  Direction  ", std::string(kind), kind_colour(kind), true),
             row("  Amount     ", units::format_quv(r.amount), kHeading),
             row("  Memo       ", or_dash(r.memo), kText),
             row("  From       ", or_dash(r.from), kTagline),
             row("  To         ", or_dash(r.to), kTagline),
             row("  Time       ", units::format_ts(r.time), kText),
             row("  Height     ", std::move(height), kText),
             empty(),
             text("  TxHash", kDim),
             text("  " + r.txid, kTagline),
             empty(),
             text("  Esc back to list", kDim)};
}

void addresses(const App& app, Body& b) {
  std::string current = app.book ? app.ops.recv_address(*app.book) : std::string();
  b.lines = {text("  Current receive address", kDim),
             text("  " + current, kHeading),
             empty(),
             text("  [N] New receive address", kTagline),
             empty(),
             text("  List", kDim)};
  if (app.book && app.book->is_object()) {
    auto it = app.book->find("addresses");
    if (it != app.book->end() && it->is_array()) {
      for (const auto& e : *it) {
        if (!e.is_object()) {
          b.lines.push_back(text("  #0  "));
          b.lines.push_back(text("      ", kDim));
          continue;
        }
        b.lines.push_back(
            text("  #" + to_string(json_u64(e, "index")) + "  " + json_str(e, "address")));
        b.lines.push_back(text("      " + json_str(e, "label"), kDim));
      }
    }
  }
  b.lines.push_back(empty());
  b.lines.push_back(text("  Esc back", kDim));
}

const char* title(uint8_t screen) {
  static const char* const kTitles[] = {
      " welcome ", " Seed ",  " open ",  " import ",  " passphrase ",  " repeat ",   " wallet ",
      " send ",    " notes ", " peers ", " history ", " transaction ", " addresses "};
  return screen <= kAddresses ? kTitles[screen] : "";
}

}  // namespace

Line header_line() {
  return Line{{span(" QÚV ", kBrand, true), span(" Neighbourhood · Time · Voucher ", kTagline)},
              {}};
}

Body screen_body(App& app) {
  Body b;
  b.title = title(app.screen);
  switch (app.screen) {
    case kWelcome:
      welcome(b);
      break;
    case kSeed:
      seed_words(app, b);
      break;
    case kOpen:
      passphrase("Passphrase of the wallet file.", app.input, b);
      break;
    case kImport:
      import_words(app, b);
      break;
    case kPassphrase:
      passphrase("At least 8 characters. Stores the wallet file.", app.pass1, b);
      break;
    case kRepeat:
      passphrase("Passphrase once more.", app.pass2, b);
      break;
    case kMain:
      main_screen(app, b);
      break;
    case kSend:
      send_form(app, b);
      break;
    case kNotes:
      notes(app, b);
      break;
    case kPeers:
      peers(app, b);
      break;
    case kHistory:
      history(app, b);
      break;
    case kTransaction:
      transaction(app, b);
      break;
    case kAddresses:
      addresses(app, b);
      break;
    default:
      b.shown = false;
  }
  return b;
}

std::string key_hint(uint8_t screen) {
  switch (screen) {
    case kWelcome:
      return "  [N] New  [O] Open  [I] Import  [P] Peers  [Q] Quit";
    case kSeed:
    case kImport:
    case kPassphrase:
    case kRepeat:
      return "  Enter continue  Esc back";
    case kOpen:
      return "  Enter opens  Esc back";
    case kMain:
      return "  [S] Send  [H] History  [A] Addresses  [N] Notes  [B] Seed  [P] Peers  [Y] Sync  "
             "[W] New  [I] Import  [Q] Quit";
    case kSend:
      return "  Tab fields  Enter send  Esc back";
    case kNotes:
      return "  Esc back";
    case kPeers:
      return "  Tab fields  Enter save  Esc back";
    case kHistory:
      return "  ↑↓ select  Enter details  Esc back";
    case kTransaction:
      return "  Esc back to list";
    case kAddresses:
      return "  [N] New receive address  Esc back";
  }
  return "";
}

Line footer_line(const App& app) {
  // Keys typed now are dropped: the footer says so instead of the last message.
  if (app.waiting) {
    return text(q_quits(app.screen)       ? "  Waiting for the node… Q quits."
                : q_goes_back(app.screen) ? "  Waiting for the node… q goes back."
                                          : "  Waiting for the node… Ctrl+C quits.",
                kHeading);
  }
  if (app.status) return text(app.status->second, app.status->first ? kGood : kBad);
  return text(key_hint(app.screen), kDim);
}

Line unsaved_line(const App& app) {
  return text(not_saved(app.unsaved.value_or(""), "Fix it; the next sync saves."), kBad);
}

void draw(ui::Buffer& buf, App& app) {
  ui::Style base = ui::Style::fg_of(kText);
  base.bg = kBackground;
  ui::Block{ui::kNoBorders, "", base, {}}.render(buf, buf.area());
  auto rows = ui::vsplit(
      buf.area(), {ui::Constraint::length(3), ui::Constraint::min(4), ui::Constraint::length(2)});

  ui::Block header{ui::kBottom, "", {}, ui::Style::fg_of(kTagline)};
  header.render(buf, rows[0]);
  ui::Paragraph{{header_line()}, {}, false}.render(buf, header.inner(rows[0]));

  Body body = screen_body(app);
  if (body.shown) {
    ui::Block block{ui::kAllBorders, body.title, base, ui::Style::fg_of(kTagline)};
    block.render(buf, rows[1]);
    ui::Rect inner = block.inner(rows[1]);
    if (body.list) {
      ui::List list{std::move(body.lines), {}, look(kHeading, true), body.select ? " >" : ""};
      if (body.select) {
        list.render(buf, inner, app.hist_sel);
      } else {
        ui::ListState none;
        list.render(buf, inner, none);
      }
    } else {
      ui::Paragraph{std::move(body.lines), {}, false}.render(buf, inner);
    }
  }

  std::vector<Line> footer{footer_line(app)};
  if (app.unsaved) footer.push_back(unsaved_line(app));
  ui::Paragraph{std::move(footer), {}, false}.render(buf, rows[2]);
}

}  // namespace tui

// The frames of the node terminal UI: header, body by mode, footer.
#include <algorithm>
#include <string>

#include "core/text.h"
#include "core/units.h"
#include "net/net.h"
#include "node/node_tui.h"
#include "ui/layout.h"
#include "ui/palette.h"
#include "ui/widgets.h"

namespace node_tui {

namespace {

using ui::Line;
using ui::Rgb;
using ui::Span;
using ui::Style;

using namespace palette;

// The log panel shows this many newest lines.
constexpr size_t kLogShown = 12;

Style fg(Rgb c) { return Style::fg_of(c); }

const Style kPanel{kText, kBackground, std::nullopt};

Line line(std::string text, Rgb c = kText) { return Line::of(std::move(text), fg(c)); }

// A titled panel with borders on all sides; returns the rectangle inside it.
ui::Rect panel(ui::Buffer& buf, const ui::Rect& area, std::string title) {
  ui::Block b{ui::kAllBorders, std::move(title), kPanel, fg(kTagline)};
  b.render(buf, area);
  return b.inner(area);
}

void text_in(ui::Buffer& buf, const ui::Rect& area, std::vector<Line> lines, bool wrap) {
  ui::Paragraph p{std::move(lines), kPanel, wrap};
  p.render(buf, area);
}

// Glyph and colour of a peer by its link state.
Span glyph(std::string_view link) {
  if (link == "up") return Span{"● ", fg(kGood)};
  if (link == "self") return Span{"● ", fg(kTagline)};
  if (link == "down") return Span{"● ", fg(kBad)};
  return Span{"○ ", fg(kDim)};
}

void node_panel(ui::Buffer& buf, const ui::Rect& area, const App& app) {
  const Snap& s = app.snap;
  std::vector<Line> lines;
  lines.push_back(
      line(app.attached ? "  Status  (talking to the node already on :19191)" : "  Status", kDim));
  using std::to_string;
  lines.push_back(line("  height " + to_string(s.height) + "    supply " +
                       units::format_quv(s.supply) + "    file " + s.file + "  " +
                       to_string(s.bytes) + " bytes"));
  lines.push_back(line("  work " + to_string(s.work_seconds) + "/86400 s    pending " +
                       units::format_quv(s.pending) + "    validated " + to_string(s.validated) +
                       "    mempool " + to_string(s.mempool)));
  // A time before 1970 reads as none, like 0.
  lines.push_back(line("  last drop " +
                       units::format_ts(static_cast<uint64_t>(std::max<int64_t>(s.last_drop, 0)))));
  lines.push_back(line(""));
  lines.push_back(line("  Reward address", kDim));
  if (!s.reward_address.empty()) {
    lines.push_back(Line::of("  " + s.reward_address, fg(kHeading).with_bold()));
  } else {
    lines.push_back(line("  (none — work will not pay out until you set [R])", kBrand));
  }
  lines.push_back(line(""));
  size_t up =
      std::count_if(s.peers.begin(), s.peers.end(), [](const auto& p) { return p.second == "up"; });
  lines.push_back(line("  node " + s.node_id + "    P2P :" + to_string(net::kPort) + "    peers " +
                       to_string(up) + "/" + to_string(s.peers.size()) + " up"));
  for (const auto& [addr, link] : s.peers) {
    lines.push_back(Line{{Span{"    ", {}}, glyph(link), Span{addr, fg(kText)}}, {}});
  }
  lines.push_back(line(""));
  lines.push_back(
      line("  0,00001 QÚV/s · cap 0,86400/day · +0,00001 per validated tx · drop 24h", kDim));
  ui::Rect inner = panel(buf, area, app.attached ? " node (attached) " : " node ");
  text_in(buf, inner, std::move(lines), true);
}

void log_panel(ui::Buffer& buf, const ui::Rect& area, const App& app) {
  const ui::Rect inner = panel(buf, area, " log ");
  std::vector<Line> lines;
  lines.push_back(line("  Latest events", kDim));
  if (app.log.empty()) {
    lines.push_back(line("  (waiting)", kDim));
  } else {
    // The newest lines that fit, at most `kLogShown`: on a short panel the oldest of them
    // give way, so the latest event is always on screen.
    int room = inner.h - ui::wrapped_rows(lines[0], inner.w);
    std::vector<Line> shown;
    for (size_t i = app.log.size(); i-- > 0 && shown.size() < kLogShown;) {
      const node::LogLine& l = app.log[i];
      Line ln = line("  " + l.text, l.ok ? kGood : kBad);
      room -= ui::wrapped_rows(ln, inner.w);
      if (room < 0) break;
      shown.push_back(std::move(ln));
    }
    lines.insert(lines.end(), std::make_move_iterator(shown.rbegin()),
                 std::make_move_iterator(shown.rend()));
  }
  text_in(buf, inner, std::move(lines), true);
}

void reward_editor(ui::Buffer& buf, const ui::Rect& area, const App& app) {
  std::vector<Line> lines = {
      line("  Address that receives node work.", kDim),
      line("  Create it in QÚV-Wallet first. Empty + Enter clears.", kDim),
      line(""),
      line("  > " + app.reward_input, kHeading),
      line(""),
      line("  quv1…", kTagline),
  };
  text_in(buf, panel(buf, area, " reward "), std::move(lines), false);
}

void peers_editor(ui::Buffer& buf, const ui::Rect& area, const App& app) {
  std::vector<Line> lines = {
      line("  Gossip peers (1–5). host:port — this node holds the chain file.", kDim),
      line("  ● up   ● down   ● this node", kDim),
      line(""),
  };
  for (size_t i = 0; i < kPeerSlots; ++i) {
    const bool focus = i == app.peer_focus;
    const std::string& field = app.peer_fields[i];
    std::string_view typed = text::trim(field);
    Span g{"○ ", fg(kDim)};
    if (!typed.empty()) {
      auto it = std::find_if(app.snap.peers.begin(), app.snap.peers.end(),
                             [&](const auto& p) { return p.first == typed; });
      if (it != app.snap.peers.end()) g = glyph(it->second);
    }
    lines.push_back(
        Line{{Span{focus ? " > " : "   ", fg(focus ? kHeading : kDim)}, g,
              Span{std::to_string(i + 1) + ":  " + field, fg(focus ? kHeading : kText)}},
             {}});
  }
  lines.push_back(line(""));
  lines.push_back(line("  Enter saves · Esc back", kDim));
  text_in(buf, panel(buf, area, " peers "), std::move(lines), false);
}

const char* hint(const App& app) {
  switch (app.mode) {
    case 1:
      return "  Enter save  Esc back  (empty clears)";
    case 2:
      return "  Tab fields  Enter save  Esc back";
    default:
      return app.attached
                 ? "  [R] Reward  [P] Peers  [S] Seal  [D] Drop  [Q] Close TUI (node keeps running)"
                 : "  [R] Reward  [P] Peers  [S] Seal  [D] Drop  [Q] Quit";
  }
}

}  // namespace

void draw(ui::Buffer& buf, const App& app) {
  const ui::Rect all = buf.area();
  ui::Block{ui::kNoBorders, "", kPanel, {}}.render(buf, all);
  auto rows = ui::vsplit(all, {ui::Constraint::length(3), ui::Constraint::min(4),
                               ui::Constraint::length(app.flash ? 3 : 2)});

  ui::Block header{ui::kBottom, "", {}, fg(kTagline)};
  header.render(buf, rows[0]);
  ui::Paragraph{{Line{{Span{" QÚV ", fg(kBrand).with_bold()},
                       Span{app.attached ? " attached " : " Node · Neighbourhood · Time · Voucher ",
                            fg(kTagline)}},
                      {}}},
                {},
                false}
      .render(buf, header.inner(rows[0]));

  switch (app.mode) {
    case 1:
      reward_editor(buf, rows[1], app);
      break;
    case 2:
      peers_editor(buf, rows[1], app);
      break;
    default: {
      auto parts = ui::vsplit(rows[1], {ui::Constraint::min(12), ui::Constraint::percentage(40)});
      node_panel(buf, parts[0], app);
      log_panel(buf, parts[1], app);
      break;
    }
  }

  std::vector<Line> footer;
  if (app.flash) footer.push_back(line("  " + *app.flash, app.flash_ok ? kGood : kBad));
  footer.push_back(line(hint(app), kDim));
  ui::Paragraph{std::move(footer), {}, false}.render(buf, rows[2]);
}

}  // namespace node_tui

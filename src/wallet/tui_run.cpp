#include "wallet/tui.h"
#include "wallet/tui_keys.h"
#include "wallet/tui_screens.h"

namespace tui {

namespace {
constexpr int kPollMs = 200;
}  // namespace

Status run_on(ui::Screen& screen, App& app) {
  for (;;) {
    ui::Rect area = screen.area();
    ui::Buffer buf(area.w, area.h);
    draw(buf, app);
    if (auto shown = screen.draw(buf); !shown) return shown;
    auto key = screen.poll(kPollMs);
    if (!key) return std::unexpected(key.error());
    if (!*key || (*key)->kind != ui::KeyKind::Press) continue;
    if (handle_key(app, **key)) return {};
  }
}

Status run() {
  auto term = ui::Terminal::open();
  if (!term) return std::unexpected(term.error());
  Status result;
  {
    App app;
    result = run_on(**term, app);
  }
  (*term)->close();
  return result;
}

}  // namespace tui

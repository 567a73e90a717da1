#include "wallet/secret_memory.h"
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
    bool quit = handle_key(app, **key);
    // The frames of the flows a key ran (a typed passphrase, a lock) are gone but their
    // bytes are still on the stack.
    wipe((*key)->text);
    key->reset();
    secmem::scrub_stack();
    if (quit) return {};
  }
}

Status run() {
  secmem::protect();
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

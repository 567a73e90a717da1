// What each of the wallet UI's thirteen screens shows, as styled lines: the header, the
// body of the current screen (a paragraph or a list) and the footer. Building the main,
// notes and history bodies may sync (the three-second rule), so the App is taken for
// writing. `tui::draw` lays these out on the terminal; the UI thread calls both.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ui/buffer.h"
#include "ui/palette.h"
#include "ui/widgets.h"
#include "wallet/tui_app.h"

namespace tui {

// The body block of a screen.
struct Body {
  // False when the screen draws no body block at all.
  bool shown = true;
  std::string title;
  std::vector<ui::Line> lines;
  // The lines are items of a list; `select` says whether the history selection applies.
  bool list = false;
  bool select = false;
};

// The brand line of the header.
ui::Line header_line();
// The body of the current screen (may sync, see above).
Body screen_body(App& app);
// Draws the whole frame of the current screen into `buf` (may sync, see above).
void draw(ui::Buffer& buf, App& app);
// The footer: while a call waits, that it waits; else the status when one was ever set,
// else the screen's key hint.
ui::Line footer_line(const App& app);
// The footer's second line while the book holds changes the file lacks.
ui::Line unsaved_line(const App& app);
// The key hint of a screen.
std::string key_hint(uint8_t screen);

}  // namespace tui

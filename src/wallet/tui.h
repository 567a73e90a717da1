// The wallet terminal UI: what `quv wallet` runs. A full-screen, keyboard-driven program
// of thirteen screens over one `tui::App`, drawn again after every key and every 200 ms
// without one. Runs on the main thread; every network call blocks it.
#pragma once

#include "core/error.h"
#include "ui/terminal.h"
#include "wallet/tui_app.h"

namespace tui {

// Opens the terminal, runs the UI until a quit key, and gives the terminal back on every
// way out; a terminal failure comes back as its text.
[[nodiscard]] Status run();

// The loop over a screen that is already open: draw, wait up to 200 ms for a key, apply
// key presses, until a quit key (success) or a failed draw or read (its error).
[[nodiscard]] Status run_on(ui::Screen& screen, App& app);

}  // namespace tui

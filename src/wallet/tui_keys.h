// The wallet UI's key table: one pressed key changes the App (screen, typed fields,
// selection) and may start a flow. Keys arrive already decoded from the terminal; the
// loop of tui::run calls `handle_key` for every key press, on the UI thread.
#pragma once

#include <cstdint>

#include "ui/terminal.h"
#include "wallet/tui_app.h"

namespace tui {

// Applies one key press; true when the key quits the program.
// Modifiers are never looked at: Ctrl+C is the letter c.
bool handle_key(App& app, const ui::Key& key);

}  // namespace tui

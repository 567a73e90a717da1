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

// Whether Q (either case) ends the program on `screen`: the welcome and main screens.
bool q_quits(uint8_t screen);
// Screens where q (lower case only) goes back.
bool q_goes_back(uint8_t screen);

// Q where it quits: true when the program may end. A book that could not be saved is
// tried once more; when that fails the first Q is refused with a warning in the footer
// and the next one goes ahead without saving.
bool ready_to_quit(App& app);

}  // namespace tui

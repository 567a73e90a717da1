#include "wallet/tui_keys.h"

#include <string>

#include "wallet/tui_flows.h"

namespace tui {

namespace {

using K = ui::KeyCode;
using ui::Key;

// Appends a character as UTF-8.
void append_utf8(std::string& s, char32_t c) {
  if (c < 0x80) {
    s += static_cast<char>(c);
  } else if (c < 0x800) {
    s += static_cast<char>(0xC0 | (c >> 6));
    s += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    s += static_cast<char>(0xE0 | (c >> 12));
    s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    s += static_cast<char>(0xF0 | (c >> 18));
    s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Removes the last character (a whole UTF-8 sequence).
void pop_utf8(std::string& s) {
  while (!s.empty()) {
    unsigned char c = static_cast<unsigned char>(s.back());
    s.pop_back();
    if ((c & 0xC0) != 0x80) return;
  }
}

bool is_control(char32_t c) { return c < 32 || (c >= 127 && c <= 159); }

// Text entry into `field`: typed characters (control characters only when `controls`) and
// Backspace. True when the key was a text key.
bool edit(std::string& field, const Key& key, bool controls) {
  if (key.code == K::Backspace) {
    pop_utf8(field);
    return true;
  }
  if (key.code != K::Char) return false;
  if (controls || !is_control(key.ch)) append_utf8(field, key.ch);
  return true;
}

// The typed letter, lower-cased; 0 for anything else.
char32_t letter(const Key& key) {
  if (key.code != K::Char) return 0;
  if (key.ch >= 'A' && key.ch <= 'Z') return key.ch - 'A' + 'a';
  return key.ch;
}

// The screen Esc returns to from screens that exist with and without an open wallet.
uint8_t home(const App& app) { return app.keys ? kMain : kWelcome; }

// 'q' as typed (lower case only) or Esc.
bool back_key(const Key& key) {
  return key.code == K::Esc || (key.code == K::Char && key.ch == 'q');
}

void start_new(App& app) {
  app.pending_seed.reset();
  wipe(app.pass1);
  wipe(app.pass2);
}

bool welcome(App& app, const Key& key) {
  if (key.code == K::Esc) return true;
  switch (letter(key)) {
    case 'n':
      start_new(app);
      if (app.ops.exists()) app.good("Existing file will be replaced. Enter a passphrase.");
      app.screen = kPassphrase;
      break;
    case 'o':
      if (app.ops.exists()) {
        wipe(app.input);
        app.screen = kOpen;
      } else {
        app.bad("No wallet file. [N] New or [I] Import.");
      }
      break;
    case 'i':
      wipe(app.input);
      app.screen = kImport;
      break;
    case 'p':
      load_peer_fields(app);
      app.screen = kPeers;
      break;
    case 'q':
      return true;
  }
  return false;
}

bool main_screen(App& app, const Key& key) {
  if (key.code == K::Esc) {
    if (!ready_to_drop(app, "Esc again locks without saving.")) return false;
    lock(app);
    app.screen = kWelcome;
    return false;
  }
  switch (letter(key)) {
    case 's':
      app.send_to.clear();
      app.send_amount.clear();
      app.send_memo.clear();
      app.send_focus = 0;
      app.screen = kSend;
      break;
    case 'h':
      // The history screen is up while its sync waits: keys typed meanwhile are not taken
      // for keys of the main screen.
      app.screen = kHistory;
      load_history(app);
      break;
    case 'a':
      app.screen = kAddresses;
      break;
    case 'n':
      app.screen = kNotes;
      break;
    case 'b':
      if (app.session_seed) {
        app.screen = kSeed;
      } else {
        app.bad("No seed in this session.");
      }
      break;
    case 'p':
      load_peer_fields(app);
      app.screen = kPeers;
      break;
    case 'y':
      if (auto synced = do_sync(app, false)) {
        app.good(*synced);
      } else {
        app.bad(synced.error().to_string());
      }
      break;
    case 'w':
      start_new(app);
      app.screen = kPassphrase;
      app.good("New wallet — passphrase to store it.");
      break;
    case 'i':
      wipe(app.input);
      app.screen = kImport;
      break;
    case 'q':
      return ready_to_quit(app);
  }
  return false;
}

void send_screen(App& app, const Key& key) {
  switch (key.code) {
    case K::Tab:
    case K::Down:
      app.send_focus = (app.send_focus + 1) % 3;
      return;
    case K::Up:
      app.send_focus = (app.send_focus + 2) % 3;
      return;
    case K::Enter:
      if (auto sent = do_send(app)) {
        app.screen = kMain;
      } else {
        app.bad(sent.error().to_string());
      }
      return;
    case K::Esc:
      app.screen = kMain;
      return;
    default:
      break;
  }
  std::string* fields[] = {&app.send_to, &app.send_amount, &app.send_memo};
  edit(*fields[app.send_focus % 3], key, true);
}

void peers_screen(App& app, const Key& key) {
  switch (key.code) {
    case K::Tab:
    case K::Down:
      app.peer_focus = (app.peer_focus + 1) % kPeerRows;
      return;
    case K::Up:
      app.peer_focus = (app.peer_focus + kPeerRows - 1) % kPeerRows;
      return;
    case K::Enter:
      if (auto saved = save_peers(app)) {
        app.good(std::to_string(*saved) + " peers saved.");
        app.screen = home(app);
      } else {
        app.bad(saved.error().to_string());
      }
      return;
    case K::Esc:
      app.screen = home(app);
      return;
    default:
      break;
  }
  edit(app.peer_fields[app.peer_focus % kPeerRows], key, true);
}

void history_screen(App& app, const Key& key) {
  switch (key.code) {
    case K::Up:
      hist_move(app, -1);
      return;
    case K::Down:
      hist_move(app, 1);
      return;
    case K::Enter:
      if (app.hist_sel.selected && !app.history.empty()) app.screen = kTransaction;
      return;
    default:
      break;
  }
  if (back_key(key)) {
    app.screen = kMain;
  } else if (letter(key) == 'h') {
    load_history(app);
  }
}

// The field a paste goes into on the current screen, or none: a paste is text for the
// focused field and never a key.
std::string* paste_field(App& app) {
  switch (app.screen) {
    case kOpen:
    case kImport:
      return &app.input;
    case kPassphrase:
      return &app.pass1;
    case kRepeat:
      return &app.pass2;
    case kSend: {
      std::string* fields[] = {&app.send_to, &app.send_amount, &app.send_memo};
      return fields[app.send_focus % 3];
    }
    case kPeers:
      return &app.peer_fields[app.peer_focus % kPeerRows];
    default:
      return nullptr;
  }
}

}  // namespace

bool q_quits(uint8_t screen) { return screen == kWelcome || screen == kMain; }

bool q_goes_back(uint8_t screen) {
  return screen == kNotes || screen == kHistory || screen == kTransaction ||
         screen == kAddresses;
}

bool ready_to_quit(App& app) { return ready_to_drop(app, "Q again quits without saving."); }

bool handle_key(App& app, const Key& key) {
  if (key.code == K::Paste) {
    if (std::string* field = paste_field(app)) field->append(key.text);
    return false;
  }
  switch (app.screen) {
    case kWelcome:
      return welcome(app, key);
    case kSeed:
      if (key.code == K::Enter || (key.code == K::Char && key.ch == ' ')) {
        app.screen = kMain;
      } else if (key.code == K::Esc) {
        app.screen = home(app);
      }
      return false;
    case kOpen:
    case kImport:
      if (key.code == K::Enter) {
        app.screen == kOpen ? open_flow(app) : import_flow(app);
      } else if (key.code == K::Esc) {
        wipe(app.input);
        app.screen = kWelcome;
      } else {
        edit(app.input, key, false);
      }
      return false;
    case kPassphrase:
      if (key.code == K::Enter) {
        if (app.pass1.size() >= 8) {
          wipe(app.pass2);
          app.screen = kRepeat;
        } else {
          app.bad("At least 8 characters.");
        }
      } else if (key.code == K::Esc) {
        wipe(app.pass1);
        app.pending_seed.reset();
        app.screen = kWelcome;
      } else {
        edit(app.pass1, key, false);
      }
      return false;
    case kRepeat:
      if (key.code == K::Enter) {
        if (app.pass2 == app.pass1) {
          if (auto made = finish_wallet(app); !made) app.bad(made.error().to_string());
        } else {
          wipe(app.pass2);
          app.bad("Passphrases do not match.");
        }
      } else if (key.code == K::Esc) {
        wipe(app.pass2);
        app.screen = kPassphrase;
      } else {
        edit(app.pass2, key, false);
      }
      return false;
    case kMain:
      return main_screen(app, key);
    case kSend:
      send_screen(app, key);
      return false;
    case kNotes:
      if (back_key(key)) app.screen = kMain;
      return false;
    case kPeers:
      peers_screen(app, key);
      return false;
    case kHistory:
      history_screen(app, key);
      return false;
    case kTransaction:
      if (back_key(key)) app.screen = kHistory;
      return false;
    case kAddresses:
      if (key.code == K::Enter || letter(key) == 'n') {
        new_address_flow(app);
      } else if (back_key(key)) {
        app.screen = kMain;
      }
      return false;
  }
  return false;
}

}  // namespace tui

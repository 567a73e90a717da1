#define NCURSES_WIDECHAR 1
#include "ui/terminal.h"

#include <curses.h>
#include <langinfo.h>
#include <signal.h>
#include <term.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <exception>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ui/paste.h"

#undef lines
#undef columns

namespace ui {

namespace {

constexpr char kEnterAlt[] = "\x1b[?1049h";
constexpr char kLeaveAlt[] = "\x1b[?1049l";
constexpr char kShowCursor[] = "\x1b[?25h";
constexpr char kResetAttrs[] = "\x1b[0m";
constexpr char kPasteOn[] = "\x1b[?2004h";
// Bracketed paste off, cursor keys and keypad back in their normal modes.
constexpr char kModesOff[] = "\x1b[?2004l\x1b[?1l\x1b>";

// What the signal and terminate handlers need to give the terminal back; written only
// while no handler is installed.
struct Saved {
  termios tio{};
  bool raw_on = false;
  std::atomic<bool> active{false};
  std::array<struct sigaction, 16> old{};
  std::terminate_handler old_terminate = nullptr;
  stack_t old_stack{};
  bool own_stack = false;
};
Saved g_saved;

// The stack the fatal signal handler runs on: a stack overflow leaves none on the stack
// that overflowed, and the terminal must still be given back.
constexpr size_t kSignalStackBytes = size_t{64} << 10;
alignas(16) char g_signal_stack[kSignalStackBytes];

constexpr std::array<int, 9> kFatalSignals = {SIGHUP,  SIGINT, SIGQUIT, SIGTERM, SIGABRT,
                                              SIGSEGV, SIGBUS, SIGFPE,  SIGILL};

// Async-signal-safe; false when the terminal took not all of it.
bool write_all(const char* s, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(STDOUT_FILENO, s, n);
    if (w <= 0) {
      if (w < 0 && errno == EINTR) continue;
      return false;
    }
    s += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

void write_all(const char* s) { (void)write_all(s, std::strlen(s)); }

// Async-signal-safe: only tcsetattr and write.
void restore_raw() {
  if (!g_saved.active.exchange(false)) return;
  if (g_saved.raw_on) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_saved.tio);
  write_all(kResetAttrs);
  write_all(kModesOff);
  write_all(kLeaveAlt);
  write_all(kShowCursor);
}

extern "C" void on_fatal_signal(int sig) {
  restore_raw();
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

void on_terminate() {
  restore_raw();
  if (g_saved.old_terminate) g_saved.old_terminate();
  std::abort();
}

void install_handlers() {
  stack_t ss{};
  ss.ss_sp = g_signal_stack;
  ss.ss_size = sizeof g_signal_stack;
  g_saved.own_stack = ::sigaltstack(&ss, &g_saved.old_stack) == 0;
  struct sigaction sa {};
  sa.sa_handler = on_fatal_signal;
  sa.sa_flags = SA_ONSTACK;
  sigemptyset(&sa.sa_mask);
  for (size_t i = 0; i < kFatalSignals.size(); ++i) {
    ::sigaction(kFatalSignals[i], &sa, &g_saved.old[i]);
  }
  g_saved.old_terminate = std::set_terminate(on_terminate);
}

void remove_handlers() {
  for (size_t i = 0; i < kFatalSignals.size(); ++i) {
    ::sigaction(kFatalSignals[i], &g_saved.old[i], nullptr);
  }
  std::set_terminate(g_saved.old_terminate);
  if (g_saved.own_stack) ::sigaltstack(&g_saved.old_stack, nullptr);
  g_saved.own_stack = false;
}

// The curses side: the screen and the colour pairs handed out so far. A terminal that
// says through COLORTERM that it shows 24-bit colour, while its terminfo entry knows only
// 256, gets its frames written here rather than by curses (`own_frames`): curses keeps
// the keys, the size and the modes, and its picture stays blank. `shown` is then the
// frame the screen holds, on `shown_area`.
struct Curses {
  SCREEN* screen = nullptr;
  bool colour = false;
  bool direct = false;
  bool own_frames = false;
  int colours = 0;
  int pair_limit = 0;
  std::map<uint64_t, int> pairs;
  std::optional<Buffer> shown;
  Rect shown_area;
};
Curses g_curses;

// COLORTERM as terminals set it when they show 24-bit colour.
bool colorterm_direct() {
  const char* v = std::getenv("COLORTERM");
  return v != nullptr && (std::strcmp(v, "truecolor") == 0 || std::strcmp(v, "24bit") == 0);
}

// What a cell shows: a character that does not take exactly one column would shift the
// rest of the row, so it is shown as U+FFFD.
char32_t shown_char(char32_t c) { return ::wcwidth(static_cast<wchar_t>(c)) == 1 ? c : U'\uFFFD'; }

// The bytes that bring a screen showing `shown` (nothing: a picture not known) to `buf`
// within `r`: for each cell that differs, a cursor move where needed, its look in 24-bit
// colour and its character in UTF-8. Attributes end reset, as curses expects them.
std::string own_frame(const Buffer* shown, const Buffer& buf, Rect r) {
  std::string out;
  std::optional<Cell> look;
  int cx = -1, cy = -1;
  for (int y = r.y; y < r.bottom(); ++y) {
    for (int x = r.x; x < r.right(); ++x) {
      const Cell& c = buf.at(x, y);
      if (shown != nullptr && shown->at(x, y) == c) continue;
      char esc[64];
      if (x != cx || y != cy) {
        std::snprintf(esc, sizeof esc, "\x1b[%d;%dH", y + 1, x + 1);
        out += esc;
      }
      if (!look || look->fg != c.fg || look->bg != c.bg || look->bold != c.bold) {
        std::snprintf(esc, sizeof esc, "\x1b[0;%s38;2;%d;%d;%d;48;2;%d;%d;%dm", c.bold ? "1;" : "",
                      c.fg.r, c.fg.g, c.fg.b, c.bg.r, c.bg.g, c.bg.b);
        out += esc;
        look = c;
      }
      out += encode(shown_char(c.ch));
      cx = x + 1;
      cy = y;
    }
  }
  if (look) out += kResetAttrs;
  return out;
}

int curses_colour(Rgb c) {
  if (g_curses.direct) return (c.r << 16) | (c.g << 8) | c.b;
  if (g_curses.colours >= 256) return nearest_256(c);
  // Eight-colour terminals: the nearest of the basic colours.
  static constexpr std::array<Rgb, 8> kBasic = {
      Rgb{0, 0, 0},   Rgb{205, 0, 0},   Rgb{0, 205, 0},   Rgb{205, 205, 0},
      Rgb{0, 0, 238}, Rgb{205, 0, 205}, Rgb{0, 205, 205}, Rgb{229, 229, 229}};
  int best = 0;
  long best_d = -1;
  for (int i = 0; i < 8; ++i) {
    long dr = c.r - kBasic[i].r, dg = c.g - kBasic[i].g, db = c.b - kBasic[i].b;
    long d = dr * dr + dg * dg + db * db;
    if (best_d < 0 || d < best_d) best = i, best_d = d;
  }
  return best;
}

int pair_for(Rgb fg, Rgb bg) {
  if (!g_curses.colour) return 0;
  uint64_t k = (uint64_t{fg.r} << 40) | (uint64_t{fg.g} << 32) | (uint64_t{fg.b} << 24) |
               (uint64_t{bg.r} << 16) | (uint64_t{bg.g} << 8) | bg.b;
  auto it = g_curses.pairs.find(k);
  if (it != g_curses.pairs.end()) return it->second;
  if (static_cast<int>(g_curses.pairs.size()) + 1 >= g_curses.pair_limit) g_curses.pairs.clear();
  int n = static_cast<int>(g_curses.pairs.size()) + 1;
  init_extended_pair(n, curses_colour(fg), curses_colour(bg));
  g_curses.pairs.emplace(k, n);
  return n;
}

// ncurses needs a UTF-8 character type to read and write anything beyond ASCII.
void use_utf8_locale() {
  std::setlocale(LC_CTYPE, "");
  const char* cs = nl_langinfo(CODESET);
  if (cs == nullptr || std::strcmp(cs, "UTF-8") != 0) std::setlocale(LC_CTYPE, "C.UTF-8");
}

}  // namespace

Result<std::unique_ptr<Terminal>> Terminal::open() {
  std::unique_ptr<Terminal> t(new Terminal());
  if (g_saved.active.load()) return fail("The terminal is already in use.");
  if (::tcgetattr(STDIN_FILENO, &g_saved.tio) != 0) return fail(error::os_text(errno));
  g_saved.raw_on = true;
  install_handlers();
  g_saved.active = true;
  t->open_ = true;
  termios raw_tio = g_saved.tio;
  cfmakeraw(&raw_tio);
  if (::tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw_tio) != 0) {
    int err = errno;
    t->close();
    return fail(error::os_text(err));
  }
  std::fflush(stdout);
  write_all(kEnterAlt);
  write_all(kPasteOn);
  use_utf8_locale();
  g_curses.screen = newterm(nullptr, stdout, stdin);
  if (g_curses.screen == nullptr) {
    t->close();
    return fail("Could not start the terminal screen (is TERM set?).");
  }
  set_term(g_curses.screen);
  raw();
  noecho();
  keypad(stdscr, TRUE);
  set_escdelay(25);
  curs_set(0);
  leaveok(stdscr, TRUE);
  if (has_colors() && start_color() == OK) {
    g_curses.colour = true;
    g_curses.colours = COLORS;
    g_curses.pair_limit = COLOR_PAIRS;
    g_curses.direct = tigetflag(const_cast<char*>("RGB")) > 0 || COLORS >= 0x1000000;
    g_curses.own_frames = !g_curses.direct && colorterm_direct();
  }
  return t;
}

Terminal::~Terminal() { close(); }

void Terminal::close() {
  if (!open_) return;
  open_ = false;
  if (g_curses.screen != nullptr) {
    endwin();
    delscreen(g_curses.screen);
    g_curses = Curses{};
  }
  std::fflush(stdout);
  restore_raw();
  remove_handlers();
}

Rect Terminal::area() const {
  int h = 0, w = 0;
  getmaxyx(stdscr, h, w);
  return Rect{0, 0, w, h};
}

Status Terminal::draw(const Buffer& buf) {
  Rect screen = area();
  Rect r = buf.area().intersect(screen);
  if (g_curses.own_frames) {
    std::optional<Buffer>& shown = g_curses.shown;
    // The first frame, a new size, or a curses picture that changed (curses redraws it
    // before its next read of a key): curses clears the screen now, and every cell follows.
    if (!shown || shown->area() != buf.area() || g_curses.shown_area != screen ||
        is_wintouched(stdscr)) {
      clearok(curscr, TRUE);
      if (wnoutrefresh(stdscr) == ERR || doupdate() == ERR) {
        return fail("Could not draw the screen.");
      }
      shown.reset();
    }
    std::string out = own_frame(shown ? &*shown : nullptr, buf, r);
    std::fflush(stdout);
    if (!write_all(out.data(), out.size())) {
      shown.reset();
      return fail("Could not draw the screen.");
    }
    shown = buf;
    g_curses.shown_area = screen;
    return {};
  }
  for (int y = r.y; y < r.bottom(); ++y) {
    for (int x = r.x; x < r.right(); ++x) {
      const Cell& c = buf.at(x, y);
      wchar_t wc[2] = {static_cast<wchar_t>(shown_char(c.ch)), 0};
      int pair = pair_for(c.fg, c.bg);
      cchar_t cc;
      setcchar(&cc, wc, c.bold ? A_BOLD : A_NORMAL, 0, &pair);
      // The bottom right cell reports an error because the cursor cannot move past it.
      mvwadd_wch(stdscr, y, x, &cc);
    }
  }
  if (wnoutrefresh(stdscr) == ERR || doupdate() == ERR) return fail("Could not draw the screen.");
  return {};
}

Result<std::optional<Key>> Terminal::poll(int timeout_ms) {
  wtimeout(stdscr, timeout_ms);
  wint_t ch = 0;
  int rc = wget_wch(stdscr, &ch);
  if (rc == ERR) return std::optional<Key>{};
  if (rc == OK && ch == 27) {
    // An Esc opens a paste or is a key of its own; codes read past it are put back.
    NextCode next = [](int wait_ms) -> std::optional<InputCode> {
      wtimeout(stdscr, wait_ms);
      wint_t c = 0;
      int r = wget_wch(stdscr, &c);
      if (r == ERR) return std::nullopt;
      return InputCode{r == KEY_CODE_YES, static_cast<char32_t>(c)};
    };
    std::vector<InputCode> unread;
    if (auto text = read_paste(next, unread)) return Key::paste(std::move(*text));
    for (auto it = unread.rbegin(); it != unread.rend(); ++it) {
      if (it->function_key) {
        ungetch(static_cast<int>(it->c));
      } else {
        unget_wch(static_cast<wchar_t>(it->c));
      }
    }
    return Key::of(KeyCode::Esc);
  }
  if (rc == KEY_CODE_YES) {
    switch (ch) {
      case KEY_RESIZE:
        return std::optional<Key>{};
      case KEY_UP:
        return Key::of(KeyCode::Up);
      case KEY_DOWN:
        return Key::of(KeyCode::Down);
      case KEY_LEFT:
        return Key::of(KeyCode::Left);
      case KEY_RIGHT:
        return Key::of(KeyCode::Right);
      case KEY_BTAB:
        return Key::of(KeyCode::BackTab);
      case KEY_BACKSPACE:
        return Key::of(KeyCode::Backspace);
      case KEY_ENTER:
        return Key::of(KeyCode::Enter);
      default:
        return Key::of(KeyCode::Other);
    }
  }
  return key_of_code(static_cast<uint32_t>(ch));
}

std::optional<Key> key_of_code(uint32_t code) {
  switch (code) {
    case 27:
      return Key::of(KeyCode::Esc);
    case 9:
      return Key::of(KeyCode::Tab);
    case 10:
    case 13:
      return Key::of(KeyCode::Enter);
    case 8:
    case 127:
      return Key::of(KeyCode::Backspace);
    default:
      break;
  }
  if (code >= 1 && code <= 26) return Key::ctrl_chr(U'a' + (code - 1));
  if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return std::nullopt;
  if (is_control(code)) return Key::of(KeyCode::Other);
  return Key::chr(code);
}

int nearest_256(Rgb c) {
  static constexpr std::array<int, 6> kLevels = {0, 95, 135, 175, 215, 255};
  auto dist = [](int r, int g, int b, Rgb c) {
    int dr = r - c.r, dg = g - c.g, db = b - c.b;
    return dr * dr + dg * dg + db * db;
  };
  auto level = [](int v) {
    int best = 0;
    for (int i = 1; i < 6; ++i)
      if (std::abs(kLevels[i] - v) < std::abs(kLevels[best] - v)) best = i;
    return best;
  };
  int ri = level(c.r), gi = level(c.g), bi = level(c.b);
  int cube = 16 + 36 * ri + 6 * gi + bi;
  int cube_d = dist(kLevels[ri], kLevels[gi], kLevels[bi], c);
  int avg = (c.r + c.g + c.b) / 3;
  int gi2 = avg < 8 ? 0 : std::min((avg - 8 + 5) / 10, 23);
  int grey = 8 + 10 * gi2;
  int grey_d = dist(grey, grey, grey, c);
  return grey_d < cube_d ? 232 + gi2 : cube;
}

}  // namespace ui

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <string>
#include <vector>

#include "ui/buffer.h"
#include "ui/layout.h"
#include "ui/paste.h"
#include "ui/terminal.h"
#include "ui/widgets.h"

namespace {

using ui::Constraint;

constexpr ui::Rgb kRed{200, 10, 10};
constexpr ui::Rgb kBlue{10, 10, 200};

std::vector<int> heights(const std::vector<ui::Rect>& rs) {
  std::vector<int> out;
  for (const ui::Rect& r : rs) out.push_back(r.h);
  return out;
}

struct SplitCase {
  const char* name;
  int height;
  std::vector<Constraint> parts;
  std::vector<int> want;
};

TEST(UiLayout, VerticalSplitHeights) {
  const std::vector<SplitCase> cases = {
      {"frame", 40, {Constraint::length(3), Constraint::min(4), Constraint::length(2)}, {3, 35, 2}},
      {"frame too small keeps the minimum",
       8,
       {Constraint::length(3), Constraint::min(4), Constraint::length(2)},
       {3, 4, 1}},
      {"frame far too small cuts in order",
       5,
       {Constraint::length(3), Constraint::min(4), Constraint::length(2)},
       {1, 4, 0}},
      {"min above percentage", 35, {Constraint::min(12), Constraint::percentage(40)}, {21, 14}},
      {"percentage yields to the minimum",
       15,
       {Constraint::min(12), Constraint::percentage(40)},
       {12, 3}},
      {"two minimums share the odd row first",
       11,
       {Constraint::min(2), Constraint::min(2)},
       {6, 5}},
      {"no minimum leaves rows unused",
       10,
       {Constraint::length(3), Constraint::percentage(50)},
       {3, 5}},
      {"zero height", 0, {Constraint::length(3), Constraint::min(4)}, {0, 0}},
  };
  for (const SplitCase& c : cases) {
    auto rs = ui::vsplit(ui::Rect{2, 5, 30, c.height}, c.parts);
    EXPECT_EQ(heights(rs), c.want) << c.name;
    int y = 5;
    for (const ui::Rect& r : rs) {
      EXPECT_EQ(r.x, 2) << c.name;
      EXPECT_EQ(r.w, 30) << c.name;
      EXPECT_EQ(r.y, y) << c.name << ": parts follow each other without gaps";
      y = r.bottom();
    }
    EXPECT_LE(y, 5 + c.height) << c.name;
  }
}

struct ParaCase {
  const char* name;
  int w;
  int h;
  bool wrap;
  std::vector<std::string> lines;
  std::string want;
};

TEST(UiParagraph, WrapAndCut) {
  const std::vector<ParaCase> cases = {
      {"cut at the edge", 8, 3, false, {"  height 12 supply", "x"}, "  height\nx\n"},
      {"wrap between words keeps the indent",
       10,
       4,
       true,
       {"  alpha beta gamma"},
       "  alpha\nbeta gamma\n\n"},
      {"long word breaks inside", 4, 4, true, {"abcdefghij"}, "abcd\nefgh\nij\n"},
      {"blanks at a break are dropped", 5, 3, true, {"ab    cd"}, "ab\ncd\n"},
      {"empty line keeps its row", 6, 3, true, {"a", "", "b"}, "a\n\nb"},
      {"rows past the bottom are not shown", 6, 2, true, {"one two three four"}, "one\ntwo"},
      {"code points count one cell each", 4, 2, true, {"QÚV… ●●"}, "QÚV…\n●●"},
      {"only spaces fit the row", 3, 2, true, {"      x"}, "\nx"},
  };
  for (const ParaCase& c : cases) {
    ui::Buffer buf(c.w, c.h);
    ui::Paragraph p;
    for (const std::string& l : c.lines) p.lines.push_back(ui::Line::of(l));
    p.wrap = c.wrap;
    p.render(buf, buf.area());
    EXPECT_EQ(buf.to_text(), c.want) << c.name;
  }
}

TEST(UiParagraph, WrappedRowsMatchWhatIsDrawn) {
  const std::vector<std::pair<std::string, int>> cases = {
      {"one two three four", 6}, {"", 5}, {"abcdefghij", 4}, {"  a b", 3}, {"x", 1}};
  for (const auto& [text, w] : cases) {
    ui::Buffer buf(w, 10);
    ui::Paragraph{{ui::Line::of(text + "|")}, {}, true}.render(buf, buf.area());
    int drawn = 0;
    for (int y = 0; y < buf.h(); ++y)
      if (buf.row_text(y).find_first_not_of(' ') != std::string::npos) drawn = y + 1;
    EXPECT_EQ(ui::wrapped_rows(ui::Line::of(text + "|"), w), drawn) << text << " in " << w;
  }
}

TEST(UiParagraph, SpansKeepTheirStyles) {
  ui::Buffer buf(12, 1);
  ui::Paragraph p;
  p.style = ui::Style{kBlue, kRed, false};
  p.lines.push_back(ui::Line{{{"ab", {}}, {"cd", ui::Style::fg_of(kRed).with_bold()}}, {}});
  p.render(buf, buf.area());
  EXPECT_EQ(buf.at(1, 0).fg, kBlue);
  EXPECT_FALSE(buf.at(1, 0).bold);
  EXPECT_EQ(buf.at(2, 0).fg, kRed);
  EXPECT_TRUE(buf.at(3, 0).bold);
  EXPECT_EQ(buf.at(3, 0).bg, kRed) << "a span without a background keeps the paragraph's";
  EXPECT_EQ(buf.at(11, 0).bg, kRed) << "the style covers the whole rectangle";
}

struct BlockCase {
  const char* name;
  int w;
  int h;
  uint8_t borders;
  std::string title;
  std::string want;
  ui::Rect inner;
};

TEST(UiBlock, BordersTitleAndInner) {
  const std::vector<BlockCase> cases = {
      {"all sides", 8, 3, ui::kAllBorders, " log ", "┌ log ─┐\n│      │\n└──────┘", {1, 1, 6, 1}},
      {"title cut at the corner",
       6,
       2,
       ui::kAllBorders,
       " node (attached) ",
       "┌ nod┐\n└────┘",
       {1, 1, 4, 0}},
      {"bottom only", 5, 3, ui::kBottom, "", "\n\n─────", {0, 0, 5, 2}},
      {"none", 4, 2, ui::kNoBorders, "", "\n", {0, 0, 4, 2}},
  };
  for (const BlockCase& c : cases) {
    ui::Buffer buf(c.w, c.h);
    ui::Block b{c.borders, c.title, {}, {}};
    b.render(buf, buf.area());
    EXPECT_EQ(buf.to_text(), c.want) << c.name;
    EXPECT_EQ(b.inner(buf.area()), c.inner) << c.name;
  }
}

TEST(UiBlock, BorderAndTitleColours) {
  ui::Buffer buf(10, 3);
  ui::Block b{ui::kAllBorders, "t", ui::Style{kBlue, kRed, std::nullopt}, ui::Style::fg_of(kRed)};
  b.render(buf, buf.area());
  EXPECT_EQ(buf.at(0, 0).fg, kRed);
  EXPECT_EQ(buf.at(9, 2).fg, kRed);
  EXPECT_EQ(buf.at(1, 0).fg, kBlue) << "the title is drawn in the block's own style";
  EXPECT_EQ(buf.at(5, 1).fg, kBlue);
  EXPECT_EQ(buf.at(5, 1).bg, kRed);
  EXPECT_EQ(buf.at(0, 0).bg, kRed);
}

struct ListCase {
  const char* name;
  int h;
  int items;
  std::optional<size_t> selected;
  size_t offset_in;
  size_t offset_out;
  std::string want;
};

TEST(UiList, SelectionScrollsIntoView) {
  const std::vector<ListCase> cases = {
      {"no selection, no symbol column", 3, 5, std::nullopt, 0, 0, "i0\ni1\ni2"},
      {"first selected", 3, 5, 0, 0, 0, " >i0\n  i1\n  i2"},
      {"selection below scrolls down", 3, 5, 4, 0, 2, "  i2\n  i3\n >i4"},
      {"selection above scrolls up", 3, 5, 1, 3, 1, " >i1\n  i2\n  i3"},
      {"selection past the end shows no row selected", 2, 3, 7, 0, 0, "  i0\n  i1"},
      {"offset past the end is pulled back", 2, 3, std::nullopt, 9, 2, "i2\n"},
      {"empty list", 2, 0, 0, 4, 0, "\n"},
  };
  for (const ListCase& c : cases) {
    ui::Buffer buf(6, c.h);
    ui::List l;
    for (int i = 0; i < c.items; ++i) l.items.push_back(ui::Line::of("i" + std::to_string(i)));
    l.highlight_symbol = " >";
    l.highlight_style = ui::Style::fg_of(kRed).with_bold();
    ui::ListState st{c.selected, c.offset_in};
    l.render(buf, buf.area(), st);
    EXPECT_EQ(buf.to_text(), c.want) << c.name;
    EXPECT_EQ(st.offset, c.offset_out) << c.name;
    EXPECT_EQ(st.selected, c.selected) << c.name << ": the selection is the caller's";
  }
}

TEST(UiList, HighlightCoversTheSelectedRow) {
  ui::Buffer buf(8, 3);
  ui::List l;
  l.items = {ui::Line::of("a"), ui::Line::of("b"), ui::Line::of("c")};
  l.highlight_symbol = ">";
  l.highlight_style = ui::Style::fg_of(kRed).with_bold();
  ui::ListState st{1, 0};
  l.render(buf, buf.area(), st);
  EXPECT_EQ(buf.at(7, 1).fg, kRed);
  EXPECT_TRUE(buf.at(0, 1).bold);
  EXPECT_FALSE(buf.at(1, 0).bold);
}

TEST(UiBuffer, TextIsSanitisedAndClipped) {
  struct Case {
    const char* name;
    int x;
    int max_w;
    std::string in;
    std::string want;
  };
  const std::vector<Case> cases = {
      {"escape sequences cannot reach the terminal", 0, 10, "a\x1b[2Jb", "a�[2Jb"},
      {"C1 controls and newlines", 0, 10, "a\xc2\x9b\nb", "a��b"},
      {"malformed UTF-8", 0, 10, "a\xff\xc3", "a��"},
      {"cut at max width", 0, 3, "abcdef", "abc"},
      {"cut at the right edge", 4, 10, "abcdef", "    ab"},
      {"starts left of the buffer", -2, 10, "abcdef", "cdef"},
  };
  for (const Case& c : cases) {
    ui::Buffer buf(6, 1);
    buf.put(c.x, 0, c.in, {}, c.max_w);
    EXPECT_EQ(buf.to_text(), c.want) << c.name;
  }
  ui::Buffer buf(4, 2);
  EXPECT_EQ(buf.put(1, 5, "abc", {}, 3), 4) << "a row outside the buffer is ignored";
  EXPECT_EQ(buf.to_text(), "\n");
}

TEST(UiTerminal, KeyCodes) {
  struct Case {
    uint32_t code;
    std::optional<ui::Key> want;
  };
  const std::vector<Case> cases = {
      {3, ui::Key::ctrl_chr(U'c')},
      {1, ui::Key::ctrl_chr(U'a')},
      {9, ui::Key::of(ui::KeyCode::Tab)},
      {13, ui::Key::of(ui::KeyCode::Enter)},
      {10, ui::Key::of(ui::KeyCode::Enter)},
      {127, ui::Key::of(ui::KeyCode::Backspace)},
      {8, ui::Key::of(ui::KeyCode::Backspace)},
      {27, ui::Key::of(ui::KeyCode::Esc)},
      {28, ui::Key::of(ui::KeyCode::Other)},
      {0x9B, ui::Key::of(ui::KeyCode::Other)},
      {U'Q', ui::Key::chr(U'Q')},
      {U'Ú', ui::Key::chr(U'Ú')},
      {0xD800, std::nullopt},
      {0x110000, std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(ui::key_of_code(c.code), c.want) << c.code;
}

TEST(UiTerminal, NearestPaletteEntry) {
  struct Case {
    ui::Rgb c;
    int want;
  };
  const std::vector<Case> cases = {
      {{0, 0, 0}, 16},        {{255, 255, 255}, 231}, {{255, 0, 0}, 196},     {{11, 12, 16}, 233},
      {{128, 128, 128}, 244}, {{226, 91, 42}, 166},   {{125, 206, 160}, 115}, {{0, 95, 135}, 24},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ui::nearest_256(c.c), c.want) << int(c.c.r) << "," << int(c.c.g) << "," << int(c.c.b);
}

// A terminal's codes from a script; every wait the reader asks for is recorded.
struct Codes {
  std::deque<ui::InputCode> queue;
  std::vector<int> waits;
  ui::NextCode next() {
    return [this](int wait_ms) -> std::optional<ui::InputCode> {
      waits.push_back(wait_ms);
      if (queue.empty()) return std::nullopt;
      ui::InputCode c = queue.front();
      queue.pop_front();
      return c;
    };
  }
};

std::deque<ui::InputCode> chars(std::u32string_view s) {
  std::deque<ui::InputCode> out;
  for (char32_t c : s) out.push_back({false, c});
  return out;
}

TEST(UiPaste, AnEscOpensAPasteOrIsAKeyOfItsOwn) {
  const ui::InputCode up{true, 0403};
  struct Case {
    const char* name;
    std::deque<ui::InputCode> after_esc;
    std::optional<std::string> paste;
    std::vector<ui::InputCode> unread;
    size_t left;  // codes still queued afterwards
  };
  std::vector<Case> cases = {
      {"two lines, the second a command",
       chars(U"[200~hello\r\npeers\x1b[201~q"),
       "hellopeers",
       {},
       1},
      {"tabs and controls dropped, letters kept",
       chars(U"[200~a\tb\x03"
             U"c\u00fa\x1b[201~"),
       "abc\u00fa",
       {},
       0},
      {"function keys inside a paste are dropped", {}, "xy", {}, 0},
      {"a paste whose end never comes ends when the terminal falls silent",
       chars(U"[200~half"),
       "half",
       {},
       0},
      {"a lone Esc", {}, std::nullopt, {}, 0},
      {"Esc then a letter", chars(U"p"), std::nullopt, {{false, U'p'}}, 0},
      {"Esc then another sequence",
       chars(U"[2~x"),
       std::nullopt,
       {{false, U'['}, {false, U'2'}, {false, U'~'}},
       1},
      {"Esc then a function key", {up}, std::nullopt, {up}, 0},
  };
  cases[2].after_esc = chars(U"[200~x");
  cases[2].after_esc.push_back(up);
  for (auto c : chars(U"y\x1b[201~")) cases[2].after_esc.push_back(c);
  for (const Case& c : cases) {
    Codes codes{c.after_esc, {}};
    std::vector<ui::InputCode> unread = {{false, U'z'}};
    EXPECT_EQ(ui::read_paste(codes.next(), unread), c.paste) << c.name;
    EXPECT_EQ(unread, c.unread) << c.name;
    EXPECT_EQ(codes.queue.size(), c.left) << c.name;
    for (size_t i = 0; i < codes.waits.size(); ++i) {
      EXPECT_EQ(codes.waits[i], i < 5 ? ui::kMarkerWaitMs : ui::kPasteGapMs) << c.name;
    }
  }
}

// A paste of any length costs the same memory: the text stops at its bound and the rest
// is read up to the end marker and dropped, so none of it arrives as keys.
TEST(UiPaste, ALongPasteIsCutAndReadToItsEnd) {
  Codes codes{chars(U"[200~"), {}};
  for (size_t i = 0; i < ui::kMaxPaste + 5000; ++i) codes.queue.push_back({false, U'a'});
  for (auto c : chars(U"\x1b[201~q")) codes.queue.push_back(c);
  std::vector<ui::InputCode> unread;
  auto text = ui::read_paste(codes.next(), unread);
  ASSERT_TRUE(text);
  EXPECT_EQ(text->size(), ui::kMaxPaste);
  EXPECT_EQ(codes.queue.size(), 1u);
  EXPECT_EQ(ui::paste_text(U"line one\nline two\u0085\u00e9"), "line oneline two\u00e9");
}

// Goes down until the stack runs out; the flag only keeps the compiler from seeing that.
volatile bool g_bottom = false;
int descend(int n) {
  volatile char pad[4096];
  pad[0] = static_cast<char>(n);
  if (g_bottom) return n;
  return descend(n + 1) + pad[0];
}

// A fatal signal in a UI that has the terminal, raised by overflowing the stack: the handler
// runs on a stack of its own, gives the terminal back and the process still dies of the
// same signal. The terminal is a pseudo-terminal of the test's own.
TEST(UiTerminal, AStackOverflowStillGivesTheTerminalBack) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers handle stack overflows themselves";
#endif
  int master = -1;
  pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::setenv("TERM", "xterm-256color", 1);
    auto term = ui::Terminal::open();
    if (!term) ::_exit(3);
    ::_exit(descend(0) == 7 ? 4 : 5);
  }
  std::string out;
  char buf[4096];
  int status = 0;
  // Bounded: 200 rounds of at most 100 ms.
  bool ended = false;
  for (int round = 0; round < 200 && !ended; ++round) {
    pollfd p{master, POLLIN, 0};
    if (::poll(&p, 1, 100) > 0) {
      ssize_t n = ::read(master, buf, sizeof buf);
      if (n > 0) out.append(buf, static_cast<size_t>(n));
    }
    ended = ::waitpid(pid, &status, WNOHANG) == pid;
  }
  if (!ended) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  }
  // What the child wrote just before it died may still wait in the terminal.
  for (int round = 0; round < 50; ++round) {
    pollfd p{master, POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0) break;
    ssize_t n = ::read(master, buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  ::close(master);
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), SIGSEGV);
  size_t on = out.find("\x1b[?1049h");
  size_t off = out.rfind("\x1b[?1049l");
  ASSERT_NE(on, std::string::npos);
  ASSERT_NE(off, std::string::npos);
  EXPECT_LT(on, off);
  EXPECT_NE(out.find("\x1b[?2004h"), std::string::npos);
  size_t modes = out.rfind("\x1b[?2004l");
  ASSERT_NE(modes, std::string::npos);
  EXPECT_GT(modes, on);
  EXPECT_NE(out.find("\x1b[?25h", off), std::string::npos);
}

}  // namespace

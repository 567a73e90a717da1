#include "node/node_tui.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "chain_gen.h"
#include "core/crypto.h"
#include "core/hex.h"
#include "core/peers.h"
#include "proc.h"

namespace {

using node_tui::After;
using node_tui::App;
using node_tui::Backend;
using node_tui::Clock;
using node_tui::Snap;
using ui::Key;
using ui::KeyCode;
using ui::Rgb;

constexpr Rgb kBrand{226, 91, 42};
constexpr Rgb kTagline{196, 165, 116};
constexpr Rgb kHeading{230, 194, 122};
constexpr Rgb kDim{154, 145, 127};
constexpr Rgb kText{232, 228, 217};
constexpr Rgb kBackground{11, 12, 16};
constexpr Rgb kGood{125, 206, 160};
constexpr Rgb kBad{224, 122, 122};

// ---------------------------------------------------------------------------------------
// Screens

App sample(bool attached, uint8_t mode, bool flash) {
  App a;
  Snap& s = a.snap;
  s.file = "/var/lib/quv/quv.chain";
  s.reward_address = "quv1qqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqq";
  s.node_id = "seed-0123456789ab";
  s.peers = {{"127.0.0.1:19192", "up"},
             {"10.0.0.2:19191", "down"},
             {"seed.example:19191", ""},
             {"me:19191", "self"}};
  s.height = 42;
  s.supply = 123456789;
  s.bytes = 98765;
  s.work_seconds = 3600;
  s.pending = 3605;
  s.last_drop = 1700000000;
  s.mempool = 3;
  s.validated = 5;
  for (int i = 1; i <= 20; ++i) node_tui::push_log(a, i % 5 != 0, "event " + std::to_string(i));
  a.attached = attached;
  a.mode = mode;
  a.peer_fields = {"127.0.0.1:19192", "  10.0.0.2:19191 ", "", "x", "me:19191"};
  a.peer_focus = 1;
  a.reward_input = "quv1abc";
  if (flash) {
    a.flash = "seal height=43 abcdef…123456";
    a.flash_ok = true;
  }
  return a;
}

// A node that knows nothing: no status members at all.
App blank(bool attached) {
  App a;
  a.snap = node_tui::snap_from_json(nlohmann::json::object());
  a.attached = attached;
  return a;
}

std::string render(const App& a, int w, int h) {
  ui::Buffer buf(w, h);
  node_tui::draw(buf, a);
  return buf.to_text();
}

struct ScreenCase {
  const char* name;
  App app;
  int w;
  int h;
  std::string want;
};

App red(App a, std::string text) {
  node_tui::set_flash(a, std::move(text));
  return a;
}

void check_screens(const char* mode, const std::vector<ScreenCase>& cases) {
  for (const ScreenCase& c : cases) {
    std::string got = render(c.app, c.w, c.h);
    EXPECT_EQ(got, c.want) << mode << " " << c.name;
  }
}

TEST(NodeTuiScreens, OwnMode) {
  check_screens("own", {
                           {"main", sample(false, 0, false), 100, 40,
                            R"( QÚV  Node · Neighbourhood · Time · Voucher

────────────────────────────────────────────────────────────────────────────────────────────────────
┌ node ────────────────────────────────────────────────────────────────────────────────────────────┐
│  Status                                                                                          │
│  height 42    supply 1.234,56789 QÚV    file /var/lib/quv/quv.chain  98765 bytes                 │
│  work 3600/86400 s    pending 0,03605 QÚV    validated 5    mempool 3                            │
│  last drop 2023-11-14 22:13:20                                                                   │
│                                                                                                  │
│  Reward address                                                                                  │
│  quv1qqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqq                                     │
│                                                                                                  │
│  node seed-0123456789ab    P2P :19191    peers 1/4 up                                            │
│    ● 127.0.0.1:19192                                                                             │
│    ● 10.0.0.2:19191                                                                              │
│    ○ seed.example:19191                                                                          │
│    ● me:19191                                                                                    │
│                                                                                                  │
│  0,00001 QÚV/s · cap 0,86400/day · +0,00001 per validated tx · drop 24h                          │
│                                                                                                  │
│                                                                                                  │
│                                                                                                  │
│                                                                                                  │
└──────────────────────────────────────────────────────────────────────────────────────────────────┘
┌ log ─────────────────────────────────────────────────────────────────────────────────────────────┐
│  Latest events                                                                                   │
│  event 10                                                                                        │
│  event 11                                                                                        │
│  event 12                                                                                        │
│  event 13                                                                                        │
│  event 14                                                                                        │
│  event 15                                                                                        │
│  event 16                                                                                        │
│  event 17                                                                                        │
│  event 18                                                                                        │
│  event 19                                                                                        │
│  event 20                                                                                        │
└──────────────────────────────────────────────────────────────────────────────────────────────────┘
  [R] Reward  [P] Peers  [S] Seal  [D] Drop  [Q] Quit
)"},
                           {"main small with flash", sample(false, 0, true), 80, 24,
                            R"( QÚV  Node · Neighbourhood · Time · Voucher

────────────────────────────────────────────────────────────────────────────────
┌ node ────────────────────────────────────────────────────────────────────────┐
│  Status                                                                      │
│  height 42    supply 1.234,56789 QÚV    file /var/lib/quv/quv.chain  98765   │
│bytes                                                                         │
│  work 3600/86400 s    pending 0,03605 QÚV    validated 5    mempool 3        │
│  last drop 2023-11-14 22:13:20                                               │
│                                                                              │
│  Reward address                                                              │
│  quv1qqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqq                 │
│                                                                              │
│  node seed-0123456789ab    P2P :19191    peers 1/4 up                        │
└──────────────────────────────────────────────────────────────────────────────┘
┌ log ─────────────────────────────────────────────────────────────────────────┐
│  Latest events                                                               │
│  event 18                                                                    │
│  event 19                                                                    │
│  event 20                                                                    │
└──────────────────────────────────────────────────────────────────────────────┘
  seal height=43 abcdef…123456
  [R] Reward  [P] Peers  [S] Seal  [D] Drop  [Q] Quit
)"},
                           {"main of an empty node", blank(false), 80, 24,
                            R"( QÚV  Node · Neighbourhood · Time · Voucher

────────────────────────────────────────────────────────────────────────────────
┌ node ────────────────────────────────────────────────────────────────────────┐
│  Status                                                                      │
│  height -1    supply 0,00000 QÚV    file   0 bytes                           │
│  work 0/86400 s    pending 0,00000 QÚV    validated 0    mempool 0           │
│  last drop —                                                                 │
│                                                                              │
│  Reward address                                                              │
│  (none — work will not pay out until you set [R])                            │
│                                                                              │
│  node     P2P :19191    peers 0/0 up                                         │
│                                                                              │
└──────────────────────────────────────────────────────────────────────────────┘
┌ log ─────────────────────────────────────────────────────────────────────────┐
│  Latest events                                                               │
│  (waiting)                                                                   │
│                                                                              │
│                                                                              │
│                                                                              │
└──────────────────────────────────────────────────────────────────────────────┘
  [R] Reward  [P] Peers  [S] Seal  [D] Drop  [Q] Quit
)"},
                           {"reward editor", sample(false, 1, false), 80, 17,
                            R"( QÚV  Node · Neighbourhood · Time · Voucher

────────────────────────────────────────────────────────────────────────────────
┌ reward ──────────────────────────────────────────────────────────────────────┐
│  Address that receives node work.                                            │
│  Create it in QÚV-Wallet first. Empty + Enter clears.                        │
│                                                                              │
│  > quv1abc                                                                   │
│                                                                              │
│  quv1…                                                                       │
│                                                                              │
│                                                                              │
│                                                                              │
│                                                                              │
└──────────────────────────────────────────────────────────────────────────────┘
  Enter save  Esc back  (empty clears)
)"},
                           {"peers editor", sample(false, 2, false), 80, 17,
                            R"( QÚV  Node · Neighbourhood · Time · Voucher

────────────────────────────────────────────────────────────────────────────────
┌ peers ───────────────────────────────────────────────────────────────────────┐
│  Gossip peers (1–5). host:port — this node holds the chain file.             │
│  ● up   ● down   ● this node                                                 │
│                                                                              │
│   ● 1:  127.0.0.1:19192                                                      │
│ > ● 2:    10.0.0.2:19191                                                     │
│   ○ 3:                                                                       │
│   ○ 4:  x                                                                    │
│   ● 5:  me:19191                                                             │
│                                                                              │
│  Enter saves · Esc back                                                      │
└──────────────────────────────────────────────────────────────────────────────┘
  Tab fields  Enter save  Esc back
)"},
                       });
}

TEST(NodeTuiScreens, AttachedMode) {
  check_screens(
      "attached",
      {
          {"main", sample(true, 0, false), 100, 40, R"( QÚV  attached

────────────────────────────────────────────────────────────────────────────────────────────────────
┌ node (attached) ─────────────────────────────────────────────────────────────────────────────────┐
│  Status  (talking to the node already on :19191)                                                 │
│  height 42    supply 1.234,56789 QÚV    file /var/lib/quv/quv.chain  98765 bytes                 │
│  work 3600/86400 s    pending 0,03605 QÚV    validated 5    mempool 3                            │
│  last drop 2023-11-14 22:13:20                                                                   │
│                                                                                                  │
│  Reward address                                                                                  │
│  quv1qqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqq                                     │
│                                                                                                  │
│  node seed-0123456789ab    P2P :19191    peers 1/4 up                                            │
│    ● 127.0.0.1:19192                                                                             │
│    ● 10.0.0.2:19191                                                                              │
│    ○ seed.example:19191                                                                          │
│    ● me:19191                                                                                    │
│                                                                                                  │
│  0,00001 QÚV/s · cap 0,86400/day · +0,00001 per validated tx · drop 24h                          │
│                                                                                                  │
│                                                                                                  │
│                                                                                                  │
│                                                                                                  │
└──────────────────────────────────────────────────────────────────────────────────────────────────┘
┌ log ─────────────────────────────────────────────────────────────────────────────────────────────┐
│  Latest events                                                                                   │
│  event 10                                                                                        │
│  event 11                                                                                        │
│  event 12                                                                                        │
│  event 13                                                                                        │
│  event 14                                                                                        │
│  event 15                                                                                        │
│  event 16                                                                                        │
│  event 17                                                                                        │
│  event 18                                                                                        │
│  event 19                                                                                        │
│  event 20                                                                                        │
└──────────────────────────────────────────────────────────────────────────────────────────────────┘
  [R] Reward  [P] Peers  [S] Seal  [D] Drop  [Q] Close TUI (node keeps running)
)"},
          {"main small, node silent", red(blank(true), "Node on :19191 stopped answering."), 80, 24,
           R"( QÚV  attached

────────────────────────────────────────────────────────────────────────────────
┌ node (attached) ─────────────────────────────────────────────────────────────┐
│  Status  (talking to the node already on :19191)                             │
│  height -1    supply 0,00000 QÚV    file   0 bytes                           │
│  work 0/86400 s    pending 0,00000 QÚV    validated 0    mempool 0           │
│  last drop —                                                                 │
│                                                                              │
│  Reward address                                                              │
│  (none — work will not pay out until you set [R])                            │
│                                                                              │
│  node     P2P :19191    peers 0/0 up                                         │
│                                                                              │
└──────────────────────────────────────────────────────────────────────────────┘
┌ log ─────────────────────────────────────────────────────────────────────────┐
│  Latest events                                                               │
│  (waiting)                                                                   │
│                                                                              │
│                                                                              │
└──────────────────────────────────────────────────────────────────────────────┘
  Node on :19191 stopped answering.
  [R] Reward  [P] Peers  [S] Seal  [D] Drop  [Q] Close TUI (node keeps running)
)"},
          {"reward editor", sample(true, 1, false), 80, 17, R"( QÚV  attached

────────────────────────────────────────────────────────────────────────────────
┌ reward ──────────────────────────────────────────────────────────────────────┐
│  Address that receives node work.                                            │
│  Create it in QÚV-Wallet first. Empty + Enter clears.                        │
│                                                                              │
│  > quv1abc                                                                   │
│                                                                              │
│  quv1…                                                                       │
│                                                                              │
│                                                                              │
│                                                                              │
│                                                                              │
└──────────────────────────────────────────────────────────────────────────────┘
  Enter save  Esc back  (empty clears)
)"},
          {"peers editor with flash",
           red(sample(true, 2, false), "Could not save peers on the running node."), 80, 17,
           R"( QÚV  attached

────────────────────────────────────────────────────────────────────────────────
┌ peers ───────────────────────────────────────────────────────────────────────┐
│  Gossip peers (1–5). host:port — this node holds the chain file.             │
│  ● up   ● down   ● this node                                                 │
│                                                                              │
│   ● 1:  127.0.0.1:19192                                                      │
│ > ● 2:    10.0.0.2:19191                                                     │
│   ○ 3:                                                                       │
│   ○ 4:  x                                                                    │
│   ● 5:  me:19191                                                             │
│                                                                              │
└──────────────────────────────────────────────────────────────────────────────┘
  Could not save peers on the running node.
  Tab fields  Enter save  Esc back
)"},
      });
}

struct ColourCase {
  const char* name;
  App app;
  int w;
  int h;
  int x;
  int y;
  std::string ch;
  Rgb fg;
  bool bold;
};

TEST(NodeTuiScreens, ColoursOfKeyCells) {
  const App own = sample(false, 0, false);
  const std::vector<ColourCase> cases = {
      {"brand", own, 100, 40, 1, 0, "Q", kBrand, true},
      {"brand padding", own, 100, 40, 4, 0, " ", kBrand, true},
      {"tagline", own, 100, 40, 6, 0, "N", kTagline, false},
      {"header border", own, 100, 40, 0, 2, "─", kTagline, false},
      {"panel corner", own, 100, 40, 0, 3, "┌", kTagline, false},
      {"panel title", own, 100, 40, 2, 3, "n", kText, false},
      {"status heading", own, 100, 40, 3, 4, "S", kDim, false},
      {"status line", own, 100, 40, 3, 5, "h", kText, false},
      {"reward address", own, 100, 40, 3, 10, "q", kHeading, true},
      {"peer up", own, 100, 40, 5, 13, "●", kGood, false},
      {"peer down", own, 100, 40, 5, 14, "●", kBad, false},
      {"peer unknown", own, 100, 40, 5, 15, "○", kDim, false},
      {"peer self", own, 100, 40, 5, 16, "●", kTagline, false},
      {"peer address", own, 100, 40, 7, 13, "1", kText, false},
      {"error log line", own, 100, 40, 3, 26, "e", kBad, false},
      {"ok log line", own, 100, 40, 3, 27, "e", kGood, false},
      {"key hint", own, 100, 40, 2, 38, "[", kDim, false},
      {"no reward", blank(false), 100, 40, 3, 10, "(", kBrand, false},
      {"empty log", blank(false), 100, 40, 3, 26, "(", kDim, false},
      {"green flash", sample(false, 0, true), 80, 24, 2, 21, "s", kGood, false},
      {"red flash", red(blank(true), "x"), 80, 24, 2, 21, "x", kBad, false},
      {"focused marker", sample(true, 2, false), 80, 24, 2, 8, ">", kHeading, false},
      {"focused field", sample(true, 2, false), 80, 24, 8, 8, " ", kHeading, false},
      {"field text", sample(true, 2, false), 80, 24, 6, 7, "1", kText, false},
      {"field of a peer up", sample(true, 2, false), 80, 24, 4, 7, "●", kGood, false},
      {"trimmed field matches", sample(true, 2, false), 80, 24, 4, 8, "●", kBad, false},
      {"empty field", sample(true, 2, false), 80, 24, 4, 9, "○", kDim, false},
      {"unknown field", sample(true, 2, false), 80, 24, 4, 10, "○", kDim, false},
      {"field of self", sample(true, 2, false), 80, 24, 4, 11, "●", kTagline, false},
      {"reward input", sample(true, 1, false), 80, 24, 3, 7, ">", kHeading, false},
      {"address hint", sample(true, 1, false), 80, 24, 3, 9, "q", kTagline, false},
  };
  for (const ColourCase& c : cases) {
    ui::Buffer buf(c.w, c.h);
    node_tui::draw(buf, c.app);
    const ui::Cell& cell = buf.at(c.x, c.y);
    EXPECT_EQ(ui::encode(cell.ch), c.ch) << c.name;
    EXPECT_EQ(cell.fg, c.fg) << c.name;
    EXPECT_EQ(cell.bold, c.bold) << c.name;
    EXPECT_EQ(cell.bg, kBackground) << c.name;
  }
}

// ---------------------------------------------------------------------------------------
// Snapshots and state helpers

TEST(NodeTuiSnap, FromStatusDocument) {
  struct Case {
    const char* name;
    const char* doc;
    std::function<void(Snap&)> want;
  };
  const std::vector<Case> cases = {
      {"empty document takes the defaults", "{}", [](Snap&) {}},
      {"not an object", "[1,2]", [](Snap&) {}},
      {"every member",
       R"({"file":"/c","reward_address":"quv1x","node_id":"n","height":7,"supply":99,
           "bytes":1234,"work_seconds":100,"last_drop":5,"mempool":["a","b"],"validated":3,
           "peers":["a:1","b:2"],"peer_link":{"a:1":"up"}})",
       [](Snap& s) {
         s.file = "/c", s.reward_address = "quv1x", s.node_id = "n", s.height = 7;
         s.supply = 99, s.bytes = 1234, s.work_seconds = 100, s.last_drop = 5, s.mempool = 2;
         s.validated = 3, s.pending = 103, s.peers = {{"a:1", "up"}, {"b:2", ""}};
       }},
      {"validated is cut to 32 bits and pending follows the cut value",
       R"({"validated":4294967297,"work_seconds":90000})",
       [](Snap& s) { s.validated = 1, s.work_seconds = 90000, s.pending = 86401; }},
      {"peers skip empty strings and non-strings",
       R"({"peers":["a:1","",5,null,"b:2"],"peer_link":{"b:2":"down","a:1":7}})",
       [](Snap& s) {
         s.peers = {{"a:1", ""}, {"b:2", "down"}};
       }},
      {"fractions, strings and out-of-range numbers take the default",
       R"({"height":1.5,"supply":"7","bytes":-1,"work_seconds":9223372036854775808,
           "last_drop":true,"mempool":{},"validated":-3})",
       [](Snap&) {}},
      {"negative signed members are kept", R"({"height":-5,"supply":-2,"work_seconds":-10})",
       [](Snap& s) { s.height = -5, s.supply = -2, s.work_seconds = -10, s.pending = -10; }},
      {"largest unsigned byte count", R"({"bytes":18446744073709551615})",
       [](Snap& s) { s.bytes = 18446744073709551615u; }},
      {"a link is found by the whole address",
       R"({"peers":["a\u0000b"],"peer_link":{"a":"down","a\u0000b":"up"}})",
       [](Snap& s) {
         s.peers = {{std::string("a\0b", 3), "up"}};
       }},
      {"ill-typed texts are empty", R"({"file":1,"reward_address":null,"node_id":[]})",
       [](Snap&) {}},
  };
  for (const Case& c : cases) {
    Snap want;
    c.want(want);
    EXPECT_EQ(node_tui::snap_from_json(nlohmann::json::parse(c.doc)), want) << c.name;
  }
}

TEST(NodeTuiState, LogKeepsTheNewestEighty) {
  App a;
  for (int i = 0; i < 200; ++i) {
    node_tui::push_log(a, i % 2 == 0, std::to_string(i));
    ASSERT_LE(a.log.size(), node_tui::kLogCap);
  }
  EXPECT_EQ(a.log.front(), (node::LogLine{true, "120"}));
  EXPECT_EQ(a.log.back(), (node::LogLine{false, "199"}));
}

TEST(NodeTuiState, FlashExpiresAfterThreeWholeSeconds) {
  using std::chrono::milliseconds;
  const std::vector<std::pair<milliseconds, bool>> cases = {
      {milliseconds(0), true},     {milliseconds(3000), true},  {milliseconds(3900), true},
      {milliseconds(3999), true},  {milliseconds(4000), false}, {milliseconds(60000), false},
      {milliseconds(-5000), true},
  };
  for (const auto& [age, kept] : cases) {
    App a;
    node_tui::set_flash(a, "x");
    node_tui::expire_flash(a, a.flash_at + age);
    EXPECT_EQ(a.flash.has_value(), kept) << age.count() << " ms";
  }
}

TEST(NodeTuiState, PeerFieldsFromTheSnapshot) {
  App a;
  a.peer_fields = {"old", "old", "old", "old", "old"};
  a.snap.peers = {{"a:1", "up"}, {"b:2", ""}};
  node_tui::fill_peers_from_snap(a);
  EXPECT_EQ(a.peer_fields, (std::array<std::string, 5>{"a:1", "b:2", "", "", ""}));
  for (int i = 0; i < 7; ++i) a.snap.peers.emplace_back("p" + std::to_string(i), "");
  node_tui::fill_peers_from_snap(a);
  EXPECT_EQ(a.peer_fields, (std::array<std::string, 5>{"a:1", "b:2", "p0", "p1", "p2"}));
}

// ---------------------------------------------------------------------------------------
// A fake node: a loopback HTTP server on an ephemeral port that records each request and
// answers from a table of path to reply body.

class FakeNode {
 public:
  struct Request {
    std::string method;
    std::string path;
    std::string body;
  };

  FakeNode() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(fd_, 16) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      ADD_FAILURE() << "fake node cannot listen";
    }
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~FakeNode() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
  }

  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
  void reply(const std::string& path, std::string body) {
    std::lock_guard lock(mu_);
    replies_[path] = std::move(body);
  }
  std::vector<Request> requests() {
    std::lock_guard lock(mu_);
    return requests_;
  }

 private:
  void serve() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      int c = ::accept(fd_, nullptr, nullptr);
      if (c < 0) continue;
      answer(c);
      ::close(c);
    }
  }

  void answer(int c) {
    std::string in;
    char buf[4096];
    size_t head_end;
    // Bounded: a request that does not arrive whole within ~2 s is dropped.
    for (int i = 0; i < 100; ++i) {
      head_end = in.find("\r\n\r\n");
      if (head_end != std::string::npos) {
        size_t cl = in.find("Content-Length: ");
        size_t want = cl == std::string::npos ? 0 : std::stoul(in.substr(cl + 16));
        if (in.size() >= head_end + 4 + want) break;
      }
      pollfd p{c, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      ssize_t r = ::recv(c, buf, sizeof buf, 0);
      if (r <= 0) return;
      in.append(buf, static_cast<size_t>(r));
    }
    if (head_end == std::string::npos) return;
    Request req;
    size_t sp1 = in.find(' '), sp2 = in.find(' ', sp1 + 1);
    req.method = in.substr(0, sp1);
    req.path = in.substr(sp1 + 1, sp2 - sp1 - 1);
    req.body = in.substr(head_end + 4);
    std::string body = "{\"ok\":false}";
    {
      std::lock_guard lock(mu_);
      if (auto it = replies_.find(req.path); it != replies_.end()) body = it->second;
      requests_.push_back(req);
    }
    std::string out = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                      std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    (void)::send(c, out.data(), out.size(), MSG_NOSIGNAL);
  }

  int fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex mu_;
  std::map<std::string, std::string> replies_;
  std::vector<Request> requests_;
  std::thread thread_;
};

// A port on loopback where nothing listens.
std::string dead_host() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), len);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
}

// ---------------------------------------------------------------------------------------
// Keys

Key c(char32_t ch) { return Key::chr(ch); }
Key k(KeyCode code) { return Key::of(code); }
std::vector<Key> typed(std::u32string_view text) {
  std::vector<Key> out;
  for (char32_t ch : text) out.push_back(Key::chr(ch));
  return out;
}
std::vector<Key> operator+(std::vector<Key> a, const std::vector<Key>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// What a key sequence should leave behind; unset members are not checked.
struct Want {
  After after = After::Continue;
  uint8_t mode = 0;
  std::optional<std::string> flash = std::nullopt;
  bool flash_ok = false;
  std::optional<node::LogLine> last_log = std::nullopt;
  size_t log_size = 0;
  std::optional<std::string> reward_input = std::nullopt;
  std::optional<std::array<std::string, 5>> peer_fields = std::nullopt;
  std::optional<uint8_t> focus = std::nullopt;
  // Off where the flash text is known only afterwards.
  bool check_flash = true;
};

struct KeyCase {
  const char* name;
  std::vector<Key> keys;
  Want want;
  // Attached mode: the request the fake node should have seen last.
  std::optional<FakeNode::Request> request = std::nullopt;
};

void check(const KeyCase& c, App& a, Backend& b) {
  After after = After::Continue;
  for (const Key& key : c.keys) {
    after = node_tui::handle(a, b, key);
    if (after == After::Quit) break;
  }
  const Want& w = c.want;
  EXPECT_EQ(after, w.after) << c.name;
  EXPECT_EQ(a.mode, w.mode) << c.name;
  if (w.check_flash) {
    EXPECT_EQ(a.flash, w.flash) << c.name;
  }
  if (w.flash) {
    EXPECT_EQ(a.flash_ok, w.flash_ok) << c.name;
  }
  EXPECT_EQ(a.log.size(), w.log_size) << c.name;
  if (w.last_log && !a.log.empty()) {
    EXPECT_EQ(a.log.back(), *w.last_log) << c.name;
  }
  if (w.reward_input) {
    EXPECT_EQ(a.reward_input, *w.reward_input) << c.name;
  }
  if (w.peer_fields) {
    EXPECT_EQ(a.peer_fields, *w.peer_fields) << c.name;
  }
  if (w.focus) {
    EXPECT_EQ(a.peer_focus, *w.focus) << c.name;
  }
}

std::vector<Key> backspaces(int n) { return std::vector<Key>(n, k(KeyCode::Backspace)); }

const std::string kRefused = R"({"ok":false})";
const std::string kTaken = R"({"ok":true})";

struct AttachedCase {
  KeyCase keys;
  std::map<std::string, std::string> replies = {};
};

TEST(NodeTuiKeys, AttachedMode) {
  using R = FakeNode::Request;
  const std::string seal_refused = "Running node did not take seal (update the node service).";
  const std::string drop_refused = "Running node did not take drop (update the node service).";
  const std::vector<AttachedCase> cases = {
      {{"q closes", {c('q')}, {.after = After::Quit}}},
      {{"Q closes", {c('Q')}, {.after = After::Quit}}},
      {{"S asks for a seal",
        {c('S')},
        {.flash = "seal requested",
         .flash_ok = true,
         .last_log = node::LogLine{true, "seal requested"},
         .log_size = 1},
        R{"POST", "/seal", "{}"}},
       {{"/seal", kTaken}}},
      {{"Ctrl+S is s",
        {Key::ctrl_chr('s')},
        {.flash = "seal requested", .flash_ok = true, .log_size = 1}},
       {{"/seal", kTaken}}},
      {{"seal refused", {c('s')}, {.flash = seal_refused}, R{"POST", "/seal", "{}"}},
       {{"/seal", kRefused}}},
      {{"seal answered with no JSON", {c('s')}, {.flash = seal_refused}}, {{"/seal", "sealed"}}},
      {{"seal answered with ok as a string", {c('s')}, {.flash = seal_refused}},
       {{"/seal", R"({"ok":"true"})"}}},
      {{"D asks for a drop",
        {c('D')},
        {.flash = "drop requested",
         .flash_ok = true,
         .last_log = node::LogLine{true, "drop requested"},
         .log_size = 1},
        R{"POST", "/drop", "{}"}},
       {{"/drop", kTaken}}},
      {{"drop refused", {c('d')}, {.flash = drop_refused}}, {{"/drop", kRefused}}},
      {{"other keys do nothing on the main screen",
        {k(KeyCode::Enter), k(KeyCode::Esc), k(KeyCode::Tab), k(KeyCode::Up), c('x'), c('1')},
        {}}},
      {{"R opens the editor on the snapshot's address",
        {c('R')},
        {.mode = 1, .reward_input = "quv1old"}}},
      {{"typing skips control characters",
        {c('r'), c(0x85), c(0x7f), c(U'é'), c(U'\x01')},
        {.mode = 1, .reward_input = "quv1oldé"}}},
      {{"backspace removes whole characters",
        std::vector{c('r'), c(U'é'), c(U'●')} + backspaces(2),
        {.mode = 1, .reward_input = "quv1old"}}},
      {{"backspace on an empty input",
        std::vector{c('r')} + backspaces(9),
        {.mode = 1, .reward_input = ""}}},
      {{"Esc leaves the editor and the flash",
        {c('d'), c('r'), c('x'), k(KeyCode::Esc)},
        {.reward_input = "quv1oldx"}},
       {{"/drop", kRefused}}},
      {{"reward saved trimmed",
        std::vector{c('r')} + backspaces(7) + typed(U"  quv1new "),
        {.mode = 1}}},
      {{"reward saved",
        std::vector{c('r')} + backspaces(7) + typed(U"  quv1new ") + std::vector{k(KeyCode::Enter)},
        {.flash = "Reward quv1new",
         .flash_ok = true,
         .last_log = node::LogLine{true, "Reward quv1new"},
         .log_size = 1},
        R{"POST", "/reward", R"({"address":"quv1new"})"}},
       {{"/reward", kTaken}}},
      {{"empty reward clears",
        std::vector{c('r')} + backspaces(7) + std::vector{k(KeyCode::Enter)},
        {.flash = "Reward address cleared.", .flash_ok = true, .log_size = 1},
        R{"POST", "/reward", R"({"address":""})"}},
       {{"/reward", kTaken}}},
      {{"reward refused keeps the editor",
        {c('r'), k(KeyCode::Enter)},
        {.mode = 1, .flash = "Could not set reward on the running node."}},
       {{"/reward", kRefused}}},
      {{"a paste is text for the editor, never Enter or a command",
        {c('r'), Key::paste("xq"), Key::paste("")},
        {.mode = 1, .reward_input = "quv1oldxq"}}},
      {{"a paste on the main screen does nothing", {Key::paste("q")}, {}}},
      {{"Tab does nothing in the reward editor",
        {c('r'), k(KeyCode::Tab), k(KeyCode::Up)},
        {.mode = 1, .reward_input = "quv1old"}}},
      {{"P opens the peers editor",
        {c('P')},
        {.mode = 2,
         .peer_fields = std::array<std::string, 5>{"a:1", "b:2", "", "", ""},
         .focus = 0}}},
      {{"Tab and Down go forward",
        {c('p'), k(KeyCode::Tab), k(KeyCode::Down), k(KeyCode::Tab)},
        {.mode = 2, .focus = 3}}},
      {{"forward wraps to the first",
        std::vector{c('p')} + std::vector<Key>(5, k(KeyCode::Down)),
        {.mode = 2, .focus = 0}}},
      {{"BackTab from the first goes to the last",
        {c('p'), k(KeyCode::BackTab)},
        {.mode = 2, .focus = 4}}},
      {{"Up goes back", {c('p'), k(KeyCode::BackTab), k(KeyCode::Up)}, {.mode = 2, .focus = 3}}},
      {{"typing edits the focused field",
        {c('p'), k(KeyCode::Down), k(KeyCode::Backspace), c('9'), c(0x1b), k(KeyCode::Down),
         c('c')},
        {.mode = 2,
         .peer_fields = std::array<std::string, 5>{"a:1", "b:9", "c", "", ""},
         .focus = 2}}},
      {{"peers saved, blanks dropped",
        {c('p'), k(KeyCode::Down), k(KeyCode::Down), c(' '), k(KeyCode::Down), c(' '), c('d'),
         c(':'), c('4'), c(' '), k(KeyCode::Enter)},
        {.flash = "3 peers saved.", .flash_ok = true, .log_size = 1},
        R{"POST", "/peers", R"({"peers":["a:1","b:2","d:4"]})"}},
       {{"/peers", kTaken}}},
      {{"no peers posts an empty list",
        std::vector{c('p')} + backspaces(3) + std::vector{k(KeyCode::Down)} + backspaces(3) +
            std::vector{k(KeyCode::Enter)},
        {.flash = "0 peers saved.", .flash_ok = true, .log_size = 1},
        R{"POST", "/peers", R"({"peers":[]})"}},
       {{"/peers", kTaken}}},
      {{"peers refused keeps the editor",
        {c('p'), k(KeyCode::Enter)},
        {.mode = 2, .flash = "Could not save peers on the running node."}},
       {{"/peers", kRefused}}},
      {{"Esc leaves the peers editor", {c('p'), c('x'), k(KeyCode::Esc)}, {}}},
  };
  for (const AttachedCase& ac : cases) {
    FakeNode node;
    for (const auto& [path, body] : ac.replies) node.reply(path, body);
    App a;
    a.attached = true;
    a.snap.reward_address = "quv1old";
    a.snap.peers = {{"a:1", "up"}, {"b:2", "down"}};
    Backend b{Backend::Attached{node.host()}};
    check(ac.keys, a, b);
    if (ac.keys.request) {
      auto reqs = node.requests();
      ASSERT_FALSE(reqs.empty()) << ac.keys.name;
      EXPECT_EQ(reqs.back().method, ac.keys.request->method) << ac.keys.name;
      EXPECT_EQ(reqs.back().path, ac.keys.request->path) << ac.keys.name;
      EXPECT_EQ(reqs.back().body, ac.keys.request->body) << ac.keys.name;
    }
  }
}

TEST(NodeTuiKeys, AttachedNodeGone) {
  const std::vector<std::pair<std::vector<Key>, std::string>> cases = {
      {{c('s')}, "Running node did not take seal (update the node service)."},
      {{c('d')}, "Running node did not take drop (update the node service)."},
      {{c('r'), k(KeyCode::Enter)}, "Could not set reward on the running node."},
      {{c('p'), k(KeyCode::Enter)}, "Could not save peers on the running node."},
  };
  const std::string host = dead_host();
  for (const auto& [keys, flash] : cases) {
    App a;
    a.attached = true;
    Backend b{Backend::Attached{host}};
    for (const Key& key : keys) node_tui::handle(a, b, key);
    EXPECT_EQ(a.flash, flash);
    EXPECT_FALSE(a.flash_ok);
    EXPECT_TRUE(a.log.empty());
  }
}

TEST(NodeTuiKeys, AttachedRefresh) {
  FakeNode node;
  node.reply("/status", R"({"ok":true,"height":9,"peers":["a:1"],"peer_link":{"a:1":"up"}})");
  App a;
  a.attached = true;
  Backend b{Backend::Attached{node.host()}};
  node_tui::refresh(a, b);
  EXPECT_EQ(a.snap.height, 9);
  EXPECT_EQ(a.snap.peers.size(), 1u);
  EXPECT_FALSE(a.flash);

  // A node that stops answering, or answers without "ok" true, leaves the snapshot.
  for (const std::string& status : {std::string(R"({"ok":false,"height":10})"), std::string("x")}) {
    node.reply("/status", status);
    node_tui::refresh(a, b);
    EXPECT_EQ(a.snap.height, 9);
    EXPECT_EQ(a.flash, "Node on :19191 stopped answering.");
    EXPECT_FALSE(a.flash_ok);
  }
  Backend gone{Backend::Attached{dead_host()}};
  a.flash.reset();
  node_tui::refresh(a, gone);
  EXPECT_EQ(a.flash, "Node on :19191 stopped answering.");
  EXPECT_EQ(a.snap.height, 9);
}

// A chain of its own in a temporary directory, driven by the UI in own mode.
class OwnNode {
 public:
  OwnNode() {
    auto c = Chain::open(dir_ / "quv.chain");
    if (!c) ADD_FAILURE() << c.error().to_string();
    auto [tx, rx] = net::channel();
    backend_.emplace(Backend{Backend::Own{std::move(*c), node::Session{std::move(rx), {}}, {}}});
  }
  Chain& chain() { return std::get<Backend::Own>(backend_->v).chain; }
  Backend& backend() { return *backend_; }
  void edit(const std::function<void(NodeState&)>& f) { ASSERT_TRUE(chain().edit_state(f)); }

  // A transfer that is ready to seal: a minted note spent into a fresh output.
  void ready_transfer() {
    std::mt19937_64 rng(7);
    chain_gen::Owned note = chain_gen::key_pair(rng);
    ASSERT_TRUE(chain().seal_txs({chain_gen::work_tx({chain_gen::output(note, rng)}, 10)}));
    chain_gen::Owned to = chain_gen::key_pair(rng);
    std::vector<chain_gen::Owned> in = {note};
    ASSERT_TRUE(chain().submit_tx(chain_gen::transfer(in, {chain_gen::output(to, rng)})));
  }

 private:
  proc::TempDir dir_;
  std::optional<Backend> backend_;
};

struct OwnCase {
  KeyCase keys;
  std::function<void(OwnNode&)> prep = [](OwnNode&) {};
  std::function<void(OwnNode&, const App&)> after = [](OwnNode&, const App&) {};
};

TEST(NodeTuiKeys, OwnMode) {
  proc::ScopedEnv confirms("QUV_CONFIRM_PEERS", "0");
  const std::string address = crypto::encode_address(Key32{7});
  std::string upper = address;
  for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  const std::string empty_seal = "Nothing to seal — mempool empty.";
  const std::string no_reward = "No reward address — drop waiting.";
  auto enter = std::vector{k(KeyCode::Enter)};
  const std::vector<OwnCase> cases = {
      {{"q quits", {c('q')}, {.after = After::Quit}}},
      {{"seal with an empty mempool",
        {c('s')},
        {.flash = empty_seal,
         .last_log = node::LogLine{false, "seal: " + empty_seal},
         .log_size = 1}}},
      {{"seal of a ready transfer", {c('S')}, {.log_size = 1, .check_flash = false}},
       [](OwnNode& n) { n.ready_transfer(); },
       [](OwnNode& n, const App& a) {
         std::string hash = n.chain().tip_hash_hex();
         std::string text = "seal height=2 " + hash.substr(0, 6) + "…" + hash.substr(58);
         EXPECT_EQ(a.flash, text);
         EXPECT_EQ(a.log.back(), (node::LogLine{true, text}));
         EXPECT_EQ(a.snap.height, 2) << "the snapshot follows the seal";
         EXPECT_EQ(a.snap.mempool, 0u);
       }},
      {{"drop with nothing due",
        {c('d')},
        {.flash = "drop 0,00000 QÚV",
         .flash_ok = true,
         .last_log = node::LogLine{true, "drop 0,00000 QÚV"},
         .log_size = 1}}},
      {{"drop without a reward address",
        {c('D')},
        {.flash = no_reward,
         .last_log = node::LogLine{false, "drop: " + no_reward},
         .log_size = 1}},
       [](OwnNode& n) { n.edit([](NodeState& st) { st.work_seconds = 100; }); }},
      {{"drop pays", {c('d')}, {.flash = "drop 0,00100 QÚV", .flash_ok = true, .log_size = 1}},
       [&](OwnNode& n) {
         n.edit([&](NodeState& st) {
           st.work_seconds = 100;
           st.reward_address = address;
         });
       },
       [](OwnNode&, const App& a) { EXPECT_EQ(a.snap.supply, 100); }},
      {{"R loads the stored address", {c('r')}, {.mode = 1, .reward_input = address}},
       [&](OwnNode& n) { n.edit([&](NodeState& st) { st.reward_address = address; }); }},
      {{"reward saved as stored",
        std::vector{c('r')} + typed(std::u32string(upper.begin(), upper.end())) +
            std::vector{c(' ')} + enter,
        {.flash = "Reward " + address,
         .flash_ok = true,
         .last_log = node::LogLine{true, "Reward " + address},
         .log_size = 1}},
       {},
       [&](OwnNode& n, const App& a) {
         EXPECT_EQ(n.chain().state().reward_address, address);
         EXPECT_EQ(a.snap.reward_address, address);
       }},
      {{"empty reward clears",
        std::vector{c('r')} + backspaces(80) + enter,
        {.flash = "Reward address cleared.", .flash_ok = true, .log_size = 1}},
       [&](OwnNode& n) { n.edit([&](NodeState& st) { st.reward_address = address; }); },
       [](OwnNode& n, const App& a) {
         EXPECT_EQ(n.chain().state().reward_address, "");
         EXPECT_EQ(a.snap.reward_address, "");
       }},
      {{"a bad address keeps the editor",
        std::vector{c('r'), c('x')} + enter,
        {.mode = 1, .check_flash = false}},
       {},
       [](OwnNode& n, const App& a) {
         EXPECT_EQ(a.flash, crypto::decode_address("x").error().to_string());
         EXPECT_FALSE(a.flash_ok);
         EXPECT_EQ(n.chain().state().reward_address, "");
       }},
      {{"peers saved and read back",
        std::vector{c('p')} + typed(U"127.0.0.1:1") +
            std::vector{k(KeyCode::Down), k(KeyCode::Down)} + typed(U"  127.0.0.1:2 ") + enter,
        {.flash = "2 peers saved.",
         .flash_ok = true,
         .log_size = 1,
         .peer_fields = std::array<std::string, 5>{"127.0.0.1:1", "127.0.0.1:2", "", "", ""}}},
       {},
       [](OwnNode& n, const App& a) {
         EXPECT_EQ(n.chain().state().peers,
                   (std::vector<std::string>{"127.0.0.1:1", "127.0.0.1:2"}));
         EXPECT_EQ(a.snap.peers.size(), 2u);
       }},
      {{"no peers stores the seed peer",
        std::vector{c('p')} + enter,
        {.flash = "1 peers saved.",
         .flash_ok = true,
         .log_size = 1,
         .peer_fields =
             std::array<std::string, 5>{std::string(codec::kDefaultSeedPeer), "", "", "", ""}}}},
      {{"a bad peer keeps the editor",
        std::vector{c('p')} + typed(U"no port here") + enter,
        {.mode = 2, .flash = "Invalid peer address."}},
       {},
       [](OwnNode& n, const App&) { EXPECT_TRUE(n.chain().state().peers.empty()); }},
      {{"P then Esc", {c('p'), c('x'), k(KeyCode::Esc)}, {}}},
  };
  for (const OwnCase& oc : cases) {
    OwnNode n;
    if (oc.prep) oc.prep(n);
    App a;
    a.snap = node_tui::snap_from_chain(n.chain());
    check(oc.keys, a, n.backend());
    if (oc.after) oc.after(n, a);
  }
}

// ---------------------------------------------------------------------------------------
// The loop, against a scripted screen

class ScriptScreen : public ui::Screen {
 public:
  using Event = Result<std::optional<Key>>;
  explicit ScriptScreen(std::vector<Event> script, bool fail_draw = false)
      : script_(std::move(script)), fail_draw_(fail_draw) {}
  ui::Rect area() const override { return {0, 0, 80, 24}; }
  Status draw(const ui::Buffer& buf) override {
    if (fail_draw_) return fail("drawing failed");
    last_ = buf.to_text();
    ++draws_;
    return {};
  }
  Event poll(int timeout_ms) override {
    EXPECT_EQ(timeout_ms, 200);
    if (next_ >= script_.size()) return fail("script ended");
    return script_[next_++];
  }
  int draws() const { return draws_; }
  const std::string& last() const { return last_; }

 private:
  std::vector<Event> script_;
  size_t next_ = 0;
  bool fail_draw_;
  int draws_ = 0;
  std::string last_;
};

TEST(NodeTuiLoop, KeysAndFailures) {
  using Event = ScriptScreen::Event;
  auto press = [](Key key) { return Event(std::optional<Key>(key)); };
  auto with_kind = [](Key key, ui::KeyKind kind) {
    key.kind = kind;
    return Event(std::optional<Key>(key));
  };
  const Event none = std::optional<Key>();
  const Key ctrl_c = Key::ctrl_chr('c');
  struct Case {
    const char* name;
    std::vector<Event> script;
    bool fail_draw;
    std::optional<std::string> error;
    uint8_t mode;
    int draws;
  };
  const std::vector<Case> cases = {
      {"Ctrl+C quits", {press(ctrl_c)}, false, std::nullopt, 0, 1},
      {"releases and repeats are not presses",
       {with_kind(c('q'), ui::KeyKind::Release), with_kind(c('r'), ui::KeyKind::Repeat),
        press(c('q'))},
       false,
       std::nullopt,
       0,
       3},
      {"no key, then q", {none, none, press(c('q'))}, false, std::nullopt, 0, 3},
      {"Ctrl+C quits the reward editor", {press(c('r')), press(ctrl_c)}, false, std::nullopt, 1, 2},
      {"Ctrl+C quits the peers editor", {press(c('p')), press(ctrl_c)}, false, std::nullopt, 2, 2},
      {"q is text in an editor",
       {press(c('p')), press(c('q')), press(k(KeyCode::Esc)), press(c('q'))},
       false,
       std::nullopt,
       0,
       4},
      {"a failed read ends the loop", {none, fail("read failed")}, false, "read failed", 0, 2},
      {"a failed draw ends the loop", {press(c('q'))}, true, "drawing failed", 0, 0},
  };
  for (const Case& cs : cases) {
    ScriptScreen screen(cs.script, cs.fail_draw);
    App a;
    a.attached = true;
    a.last_refresh = Clock::now() + std::chrono::hours(1);  // no refresh in this test
    Backend b{Backend::Attached{dead_host()}};
    Status st = node_tui::loop_ui(screen, b, a);
    if (cs.error) {
      ASSERT_FALSE(st) << cs.name;
      EXPECT_EQ(st.error().to_string(), *cs.error) << cs.name;
    } else {
      EXPECT_TRUE(st) << cs.name << ": " << (st ? "" : st.error().to_string());
    }
    EXPECT_EQ(a.mode, cs.mode) << cs.name;
    EXPECT_EQ(screen.draws(), cs.draws) << cs.name;
  }
}

TEST(NodeTuiLoop, RefreshesOncePerSecondAndExpiresTheFlash) {
  FakeNode node;
  node.reply("/status", R"({"ok":true,"height":5})");
  ScriptScreen screen({std::optional<Key>(), std::optional<Key>(Key::chr('q'))});
  App a;
  a.attached = true;
  node_tui::set_flash(a, "old news");
  a.flash_at -= std::chrono::seconds(5);
  a.last_refresh -= std::chrono::seconds(2);
  Backend b{Backend::Attached{node.host()}};
  ASSERT_TRUE(node_tui::loop_ui(screen, b, a));
  EXPECT_EQ(a.snap.height, 5);
  EXPECT_FALSE(a.flash);
  // Two passes within one second: one status read.
  EXPECT_EQ(node.requests().size(), 1u);
  EXPECT_NE(screen.last().find("height 5"), std::string::npos);
}

}  // namespace

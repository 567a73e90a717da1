#include <algorithm>
#include <atomic>
#include <string_view>
#include <thread>
#include <utility>

#include "wallet/secret_memory.h"
#include "wallet/tui.h"
#include "wallet/tui_flows.h"
#include "wallet/tui_keys.h"
#include "wallet/tui_screens.h"

namespace tui {

namespace {

using namespace std::chrono_literals;

constexpr int kPollMs = 200;
// While a call waits, the terminal is read in slices this long: ending the watch never
// waits longer.
constexpr int kWatchPollMs = 20;

// Reads the terminal on a thread of its own while the UI thread waits on a node, so that
// the user's keys still work. Ctrl+C sets the cancel flag (every call to a node then gives
// up) and ends the program. Q, where it quits or goes back and before any other key of the
// wait, sets the flag too and is counted: once the wait is over it acts as it does at any
// other time (a quit goes through the unsaved-book guard). Every other key is dropped
// unseen, so that nothing typed for one screen acts on the next. The UI thread does not touch the terminal while
// the watch runs; start and stop (a join) order the two.
class KeyWatch {
 public:
  KeyWatch(ui::Screen& screen, std::atomic<bool>& cancel) : screen_(screen), cancel_(cancel) {}
  ~KeyWatch() { stop(); }
  KeyWatch(const KeyWatch&) = delete;
  KeyWatch& operator=(const KeyWatch&) = delete;

  // Starts reading keys, unless already reading or the program is ending.
  // `q_keys` are the characters that act during the wait: "qQ" where Q quits, "q" where q
  // goes back, none elsewhere.
  void start(std::string_view q_keys) {
    if (running() || ctrl_c_ || error_) return;
    stop_.store(false);
    q_presses_ = 0;
    thread_ = std::thread([this, q_keys] { watch(q_keys); });
  }
  // Stops reading keys; false when it was not reading.
  bool stop() {
    if (!running()) return false;
    stop_.store(true);
    thread_.join();
    return true;
  }
  bool running() const { return thread_.joinable(); }
  // After `stop`: Ctrl+C, the number of Q presses, and a failed read.
  bool ctrl_c() const { return ctrl_c_; }
  int q_presses() const { return q_presses_; }
  const std::optional<QuvError>& error() const { return error_; }

 private:
  void watch(std::string_view q_keys) {
    bool typed = false;
    while (!stop_.load()) {
      auto key = screen_.poll(kWatchPollMs);
      if (!key) {
        error_ = key.error();
        cancel_.store(true);
        return;
      }
      if (!*key) continue;
      ui::Key k = std::move(**key);
      wipe(k.text);
      if (k.kind != ui::KeyKind::Press) continue;
      const bool is_char = k.code == ui::KeyCode::Char;
      if (is_char && k.ctrl && k.ch == 'c') {
        ctrl_c_ = true;
        cancel_.store(true);
        return;
      }
      // A Q inside typed text (a passphrase typed again, say) is text, not a quit.
      if (!typed && is_char && !k.ctrl && k.ch < 0x80 &&
          q_keys.find(static_cast<char>(k.ch)) != std::string_view::npos) {
        ++q_presses_;
        cancel_.store(true);
        continue;
      }
      typed = true;
    }
  }

  ui::Screen& screen_;
  std::atomic<bool>& cancel_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  // Written by the thread while it runs, read by the UI thread after the join.
  bool ctrl_c_ = false;
  int q_presses_ = 0;
  std::optional<QuvError> error_;
};

// A service call that starts the key watch first.
template <class R, class... A>
std::function<R(A...)> watched(std::function<R(A...)> call, std::function<void()> before) {
  return [call = std::move(call), before = std::move(before)](A... args) -> R {
    before();
    return call(std::forward<A>(args)...);
  };
}

// Ends the key watch after a frame or a key: the program's end when a key or a failed read
// ended the wait, else nothing. Ctrl+C gives an unsaved book one more try on the way out;
// Q goes through the same guard as a Q pressed at any other time. After a wait `redraw` is
// set: a frame that began before it says it waits, or lacks the guard's warning.
std::optional<Status> settle(App& app, KeyWatch& watch, bool& redraw) {
  app.waiting = false;
  if (!watch.stop()) return std::nullopt;
  redraw = true;
  if (watch.error()) return std::unexpected(*watch.error());
  if (watch.ctrl_c()) {
    if (app.unsaved) (void)save_book(app);
    return Status{};
  }
  if (watch.q_presses() == 0) return std::nullopt;
  app.ops.cancel->store(false);
  if (q_goes_back(app.screen)) {
    (void)handle_key(app, ui::Key::chr('q'));
    return std::nullopt;
  }
  for (int i = 0; i < std::min(watch.q_presses(), 2); ++i) {
    if (ready_to_quit(app)) return Status{};
  }
  return std::nullopt;
}

Status loop(ui::Screen& screen, App& app, KeyWatch& watch) {
  for (;;) {
    ui::Rect area = screen.area();
    ui::Buffer buf(area.w, area.h);
    draw(buf, app);
    bool redraw = false;
    if (auto ended = settle(app, watch, redraw)) return *ended;
    if (redraw) continue;
    if (auto shown = screen.draw(buf); !shown) return shown;
    auto polled = screen.poll(kPollMs);
    if (!polled) return std::unexpected(polled.error());
    std::optional<ui::Key> key = std::move(*polled);
    if (!key || key->kind != ui::KeyKind::Press) continue;
    bool quit = handle_key(app, *key);
    // The frames of the flows a key ran (a typed passphrase, a lock) are gone but their
    // bytes are still on the stack.
    wipe(key->text);
    key.reset();
    secmem::scrub_stack();
    if (auto ended = settle(app, watch, redraw)) return *ended;
    if (quit) return {};
  }
}

}  // namespace

Status run_on(ui::Screen& screen, App& app) {
  if (!app.ops.cancel) app.ops.cancel = std::make_shared<std::atomic<bool>>(false);
  KeyWatch watch(screen, *app.ops.cancel);
  // Every call that may wait on a node reads keys meanwhile, after a frame that says so.
  const Services plain = app.ops;
  auto before = [&app, &watch, &screen] {
    if (watch.running()) return;
    app.waiting = true;
    ui::Rect area = screen.area();
    ui::Buffer buf(area.w, area.h);
    draw(buf, app);
    // A frame that cannot be shown fails again at the loop's next draw, which ends it.
    (void)screen.draw(buf);
    watch.start(q_quits(app.screen) ? "qQ" : q_goes_back(app.screen) ? "q" : "");
  };
  app.ops.ping = watched(app.ops.ping, before);
  app.ops.first_node = watched(app.ops.first_node, before);
  app.ops.submit_to = watched(app.ops.submit_to, before);
  app.ops.sync = watched(app.ops.sync, before);
  Status result = loop(screen, app, watch);
  watch.stop();
  app.waiting = false;
  app.ops = plain;
  return result;
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

#include <atomic>
#include <deque>
#include <thread>
#include <utility>
#include <vector>

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
// Keys kept while a call waits; later ones are dropped.
constexpr size_t kMaxWaitingKeys = 256;

// Whether Q (either case) ends the program on `screen`.
bool q_quits(uint8_t screen) { return screen == kWelcome || screen == kMain; }

// Ctrl+C, or Q as the first key on a screen where Q quits.
bool ends_wait(const ui::Key& key, bool q_may_quit, bool first) {
  if (key.code != ui::KeyCode::Char) return false;
  if (key.ctrl) return key.ch == 'c';
  return q_may_quit && first && (key.ch == 'q' || key.ch == 'Q');
}

// Reads the terminal on a thread of its own while the UI thread waits on a node, so that
// the user's keys still work: Ctrl+C, and Q where Q quits, set the cancel flag (every call
// to a node then gives up) and end the program; other keys are kept for the loop, in the
// order they came. The UI thread does not touch the terminal while the watch runs; start
// and stop (a join) order the two.
class KeyWatch {
 public:
  KeyWatch(ui::Screen& screen, std::atomic<bool>& cancel) : screen_(screen), cancel_(cancel) {}
  ~KeyWatch() { stop(nullptr); }
  KeyWatch(const KeyWatch&) = delete;
  KeyWatch& operator=(const KeyWatch&) = delete;

  // Starts reading keys, unless already reading or the program is ending.
  void start(bool q_may_quit) {
    if (thread_.joinable() || quit_ || error_) return;
    stop_.store(false);
    thread_ = std::thread([this, q_may_quit] { watch(q_may_quit); });
  }
  // Stops reading keys; the keys read meanwhile go to the back of `into`.
  void stop(std::deque<ui::Key>* into) {
    if (!thread_.joinable()) return;
    stop_.store(true);
    thread_.join();
    for (ui::Key& k : keys_) {
      if (into != nullptr && !quit_) {
        into->push_back(std::move(k));
      } else {
        wipe(k.text);
      }
    }
    keys_.clear();
  }
  // After `stop`: whether a key ended the program, and a failed read.
  bool quit() const { return quit_; }
  const std::optional<QuvError>& error() const { return error_; }

 private:
  void watch(bool q_may_quit) {
    while (!stop_.load()) {
      if (keys_.size() >= kMaxWaitingKeys) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kWatchPollMs));
        continue;
      }
      auto key = screen_.poll(kWatchPollMs);
      if (!key) {
        error_ = key.error();
        cancel_.store(true);
        return;
      }
      if (!*key || (*key)->kind != ui::KeyKind::Press) continue;
      if (ends_wait(**key, q_may_quit, keys_.empty())) {
        quit_ = true;
        cancel_.store(true);
        return;
      }
      keys_.push_back(std::move(**key));
    }
  }

  ui::Screen& screen_;
  std::atomic<bool>& cancel_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  // Written by the thread while it runs, read by the UI thread after the join.
  std::vector<ui::Key> keys_;
  bool quit_ = false;
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
// ended the wait, else nothing (and the keys read go to `queued`). A book that could not be
// saved before gets one more try on the way out.
std::optional<Status> settle(App& app, KeyWatch& watch, std::deque<ui::Key>& queued) {
  watch.stop(&queued);
  if (watch.error()) return std::unexpected(*watch.error());
  if (!watch.quit()) return std::nullopt;
  if (app.unsaved) (void)save_book(app);
  return Status{};
}

Status loop(ui::Screen& screen, App& app, KeyWatch& watch, std::deque<ui::Key>& queued) {
  for (;;) {
    ui::Rect area = screen.area();
    ui::Buffer buf(area.w, area.h);
    draw(buf, app);
    if (auto ended = settle(app, watch, queued)) return *ended;
    if (auto shown = screen.draw(buf); !shown) return shown;
    std::optional<ui::Key> key;
    if (!queued.empty()) {
      key = std::move(queued.front());
      queued.pop_front();
    } else {
      auto polled = screen.poll(kPollMs);
      if (!polled) return std::unexpected(polled.error());
      key = std::move(*polled);
    }
    if (!key || key->kind != ui::KeyKind::Press) continue;
    bool quit = handle_key(app, *key);
    // The frames of the flows a key ran (a typed passphrase, a lock) are gone but their
    // bytes are still on the stack.
    wipe(key->text);
    key.reset();
    secmem::scrub_stack();
    if (auto ended = settle(app, watch, queued)) return *ended;
    if (quit) return {};
  }
}

}  // namespace

Status run_on(ui::Screen& screen, App& app) {
  if (!app.ops.cancel) app.ops.cancel = std::make_shared<std::atomic<bool>>(false);
  KeyWatch watch(screen, *app.ops.cancel);
  // Every call that may wait on a node reads keys meanwhile.
  const Services plain = app.ops;
  auto before = [&app, &watch] { watch.start(q_quits(app.screen)); };
  app.ops.ping = watched(app.ops.ping, before);
  app.ops.first_node = watched(app.ops.first_node, before);
  app.ops.submit_to = watched(app.ops.submit_to, before);
  app.ops.sync = watched(app.ops.sync, before);
  std::deque<ui::Key> queued;
  Status result = loop(screen, app, watch, queued);
  watch.stop(nullptr);
  for (ui::Key& k : queued) wipe(k.text);
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

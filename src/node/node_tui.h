// The node's terminal UI: what `quv node` shows on a terminal. It either runs the node in
// this process (own mode: `node::prepare` once, then `node::pulse` from its refresh) or,
// when a node already answers on 127.0.0.1:19191, attaches to it and sends its commands
// over HTTP (attached mode). The state (`App`) is plain data; key handling and drawing
// are functions of it, so both are tested without a terminal. Everything runs on the
// main thread, which in own mode also owns the `Chain`.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/error.h"
#include "ledger/chain.h"
#include "node/heap.h"
#include "node/node.h"
#include "ui/buffer.h"
#include "ui/terminal.h"

namespace node_tui {

using Clock = std::chrono::steady_clock;

// The log keeps this many newest lines.
inline constexpr size_t kLogCap = 80;
// The peers editor has this many fields.
inline constexpr size_t kPeerSlots = 5;
// A flash older than this many whole seconds is cleared.
inline constexpr int64_t kFlashSeconds = 3;

// One snapshot of the node's status, as its status document names it.
struct Snap {
  std::string file;
  std::string reward_address;
  std::string node_id;
  // Address and link state ("up", "down", "self" or anything else) of each peer.
  std::vector<std::pair<std::string, std::string>> peers;
  int64_t height = -1;
  int64_t supply = 0;
  uint64_t bytes = 0;
  int64_t work_seconds = 0;
  // What the next drop would pay.
  int64_t pending = 0;
  int64_t last_drop = 0;
  uint64_t mempool = 0;
  uint32_t validated = 0;

  bool operator==(const Snap&) const = default;
};

// The whole UI state; `draw` reads only this.
struct App {
  Snap snap;
  // Event log, oldest first, at most `kLogCap` lines.
  std::deque<node::LogLine> log;
  // Edit buffer of the reward editor.
  std::string reward_input;
  // Edit buffers of the peers editor.
  std::array<std::string, kPeerSlots> peer_fields;
  // The footer message, green when `flash_ok`, else red, and when it was set.
  bool flash_ok = false;
  std::optional<std::string> flash;
  Clock::time_point flash_at{};
  Clock::time_point last_refresh{};
  bool attached = false;
  // 0 main screen, 1 reward editor, 2 peers editor.
  uint8_t mode = 0;
  // Focused field of the peers editor, 0 to 4.
  uint8_t peer_focus = 0;
};

// Where commands go: the node in this process, or the node already running.
struct Backend {
  // The node run by this UI: its chain (owned by the UI thread) and its session.
  struct Own {
    Chain chain;
    node::Session session;
    node::Trimmer trimmer;
  };
  // A node on this machine reached over HTTP; tests point `host` at their own server.
  struct Attached {
    std::string host{node::kLocalNode};
  };
  std::variant<Own, Attached> v;
};

// Runs the whole UI until the user quits; `chain_path` is opened only when no node is
// running yet. Errors: the chain's or start-up's, or the text of a terminal failure; the
// terminal is restored before returning in every case.
[[nodiscard]] Status run(const std::filesystem::path& chain_path);

// The event and refresh loop until a quit key (success) or a terminal failure.
[[nodiscard]] Status loop_ui(ui::Screen& screen, Backend& backend, App& app);

// What a key did: the UI goes on or ends.
enum class After { Continue, Quit };

// Handles one key press by mode.
After handle(App& app, Backend& backend, const ui::Key& key);

// The snapshot of the node in this process.
Snap snap_from_chain(const Chain& chain);
// The snapshot from a status document; a missing or ill-typed member takes its default.
Snap snap_from_json(const nlohmann::json& doc);

// Empties the peer fields and fills them with the snapshot's first peers.
void fill_peers_from_snap(App& app);
// Appends a log line, dropping the oldest beyond `kLogCap`.
void push_log(App& app, bool ok, std::string text);
// A red footer message.
void set_flash(App& app, std::string text);
// A finished command: logged, green footer message, back to the main screen.
void done_ok(App& app, std::string text);

// One POST to the node at `host` (3-second time-out): the reply parsed as JSON, or
// nothing when the node did not answer or the reply is not JSON.
[[nodiscard]] std::optional<nlohmann::json> post_json(std::string_view host, std::string_view path,
                                                      std::string_view body);
// The same to the node on 127.0.0.1:19191.
[[nodiscard]] std::optional<nlohmann::json> post_json(std::string_view path, std::string_view body);
// The status document of the node at `host` when it answers with "ok" true (1-second
// time-out).
[[nodiscard]] std::optional<nlohmann::json> status_of(std::string_view host);

// Clears a flash older than `kFlashSeconds` whole seconds.
void expire_flash(App& app, Clock::time_point now);
// One refresh: a node tick (own mode) or a status read (attached mode).
void refresh(App& app, Backend& backend);

// Draws one frame of the UI into `buf`.
void draw(ui::Buffer& buf, const App& app);

}  // namespace node_tui

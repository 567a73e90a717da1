// The light client: how a wallet talks to nodes and learns what it owns without telling any
// node who it is. It keeps the node list file beside the wallet file, probes nodes and picks
// the best, submits signed transfers, pages blocks through GET /blocks, opens the outputs its
// keys can open, keeps the sync cache in the book and computes the wallet view. Everything
// runs on the caller's thread (the wallet screens) except the output scan, which spreads the
// key tries of one page over the machine's cores and joins them before it returns.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/bytes.h"
#include "core/codec.h"
#include "core/crypto.h"
#include "core/error.h"
#include "wallet/light_types.h"
#include "wallet/walletdb.h"

namespace light {

using Book = walletdb::Book;

// ---------------------------------------------------------------------------------------
// Transport

// Largest status document or block page the wallet reads: a larger reply is refused as it
// arrives, before any of it is parsed.
inline constexpr size_t kMaxReply = size_t{64} << 20;

// One HTTP request to a node.
struct Call {
  std::string_view host;
  std::string_view method;
  std::string_view path;
  ByteView body;
  std::string_view content_type;
  // Bounds the whole exchange, however slowly the node sends: 3 s for a ping, 15 s for a
  // page, 8 s for a submission.
  uint64_t timeout_secs = 0;
  // Largest reply accepted.
  size_t max_reply = kMaxReply;
  // An earlier end than `timeout_secs` gives (the end of the sync the call belongs to).
  std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
  // When set and true, the call gives up at once (the user quit while it waited).
  const std::atomic<bool>* cancel = nullptr;
  // When set, made true when the call failed because the reply passed `max_reply`.
  bool* too_large = nullptr;
  // When set, made true when the call failed after the whole request had gone out: the
  // node may have acted on it.
  bool* sent = nullptr;
};

// Sends one request and returns the reply body, or nothing on any failure. The real one is
// the HTTP client; tests put a node of their own in its place.
using Transport = std::function<std::optional<Bytes>(const Call&)>;

// The HTTP client of the system as a transport.
const Transport& http();
// The same, every call of which gives up as soon as `*cancel` is true.
Transport http(const std::atomic<bool>* cancel);

// ---------------------------------------------------------------------------------------
// Node list, node choice and submission

// Messages of node choice, submission and paging.
inline constexpr std::string_view kNoNode = "No node reachable. Start `quv node` or set [P] Peers.";
inline constexpr std::string_view kNotAccepted = "Node did not accept the transaction.";
inline constexpr std::string_view kNoAnswer =
    "No answer from the node: the transfer may have been sent. Sync before sending again.";
inline constexpr std::string_view kNoBlocks = "Node did not return blocks.";
inline constexpr std::string_view kBadBlocks = "Bad /blocks response.";

// The built-in node list: this machine's node first, then three seed nodes.
std::vector<std::string> default_nodes();

// The node list file that belongs to a wallet file: the same name with the extension "nodes".
std::filesystem::path nodes_path(const std::filesystem::path& wallet_file);
// The entries of the node list file in file order (blank ones left out, the others
// untrimmed); the default list when the file is missing, unreadable, not a JSON array of
// strings or has no entry that is not blank.
std::vector<std::string> load_nodes(const std::filesystem::path& wallet_file);
// Writes the trimmed, non-blank entries as a two-space indented JSON array, replacing the
// file atomically. The error is the system's text.
[[nodiscard]] Status save_nodes(const std::filesystem::path& wallet_file,
                                std::span<const std::string> entries);

// True when the host part of "host:port" (or "[v6]:port") is exactly "127.0.0.1",
// "localhost" or "::1".
bool is_loopback(std::string_view entry);

// What a wallet learnt about one node from its status document.
struct NodeInfo {
  // The entry that was pinged, as passed in.
  std::string addr;
  int64_t height = -1;
  std::string tip;
  int64_t supply = 0;
  // The status document's mempool transactions.
  std::vector<nlohmann::json> mempool;
  uint64_t confirm_peers = 2;
  std::string reward_address;
};

// Reads the node's GET /status; nothing when it does not answer with "ok": true.
[[nodiscard]] std::optional<NodeInfo> ping(std::string_view entry, const Transport& t = http());
// Pings the given entries and then the defaults (trimmed, each once) and returns the best:
// greatest height, smallest tip, greatest supply, other machines before this one.
[[nodiscard]] Result<NodeInfo> first_node(std::span<const std::string> entries,
                                          const Transport& t = http());
// Sends the signed transaction with POST /tx; its txid when the node took it. A reply that
// is not "ok", or a connection that never took the whole request, is a refusal. When the
// request went out whole and no reply came, the node may have the transfer: the error is
// `kNoAnswer` and `*unanswered`, when given, is made true.
[[nodiscard]] Result<std::string> submit_to(std::string_view entry, const codec::Tx& tx,
                                            const Transport& t = http(),
                                            bool* unanswered = nullptr);

// ---------------------------------------------------------------------------------------
// Sync cache

// What the last sync found, as one sync works on it.
struct LightCache {
  // Height of the last block applied; -1 when nothing is synced.
  int64_t height = -1;
  // Hash of the last block applied; "" when none.
  std::string tip;
  // Unspent notes of the wallet by note id.
  std::map<std::string, OpenedNote> notes;
  // Confirmed movements in the order they were found.
  std::vector<HistRow> history;
  // Key indices known to belong to the wallet.
  std::set<uint64_t> indices;
};

// Most blocks a page holds; a page with more is refused, and nothing past its 32nd block
// is kept.
inline constexpr uint64_t kPageBlocks = 32;

// The sync's message for a block that does not follow the one before it.
inline constexpr std::string_view kChainMoved =
    "The node's chain changed during the sync. Sync again.";

// One transaction of a block as the sync reads it: what it spends and the outputs that
// could be the wallet's. Inputs that are no note id (64 hex digits) and outputs whose
// fields are not hex of the right lengths are left out, as they can change nothing.
struct PageTx {
  std::string id;
  std::vector<std::string> inputs;
  std::vector<codec::TxOutput> outputs;
};

// One block of a page as the sync reads it. Transactions that spend nothing and have no
// output left are left out.
struct PageBlock {
  // The "height" as an unsigned integer; none when missing or of another kind.
  std::optional<uint64_t> height;
  uint64_t timestamp = 0;
  std::string hash;
  // The hash of the block before it; "" when not a string.
  std::string prev;
  std::vector<PageTx> txs;
};

// A GET /blocks page as the sync reads it. A member given twice counts with its last value,
// as in the node's JSON.
struct Page {
  // Whether "blocks" is an array (even an empty one).
  bool listed = false;
  std::vector<PageBlock> blocks;
  // "height" as a signed integer; none when missing or of another kind.
  std::optional<int64_t> height;
  // Whether the page has a "next", and its value as an unsigned integer.
  bool has_next = false;
  std::optional<uint64_t> next;
  // How many blocks the page was asked for: 32, or 1 when the page of 32 passed the
  // reply bound and was asked for again one block at a time.
  uint64_t asked = kPageBlocks;
};

// The page of up to 32 blocks from height `from`, read as it arrives; a page of 32 that
// passes the reply bound is asked for again as one block. Fails with "Node did not return
// blocks.", the node's "error" text or "Bad /blocks response." (also for more than 32
// blocks, a block that is no object, or a height no chain reaches).
[[nodiscard]] Result<Page> fetch_page(std::string_view entry, uint64_t from,
                                      const Transport& t = http());

// The cache stored in the book's "sync" member; malformed entries are left out.
LightCache cache_from_book(const Book& book);
// Replaces the book's "sync" member with the cache.
void cache_into_book(Book& book, const LightCache& cache);
// Sets the book's "sync" member to the empty cache, for a full re-sync.
void reset_cache(Book& book);

// Key sets 0 to the highest known or remembered index plus 20.
std::vector<WalletKeys> scan_keys(const crypto::MasterKey& master, const Book& book,
                                  const std::set<uint64_t>& indices);
// Applies one block to the cache, one output and one key set at a time: spent notes leave,
// opened outputs arrive, history rows are written. Cannot fail.
void apply_block(LightCache& cache, const nlohmann::json& block, const crypto::MasterKey& master,
                 const Book& book);
// Adds an address entry for each cached index the book does not list yet and raises
// "next_index" past them.
void discover_into_book(Book& book, const LightCache& cache);

// An output of the block JSON, or nothing when a field is not hex of the right length.
[[nodiscard]] std::optional<codec::TxOutput> json_to_output(const nlohmann::json& out);
// The stored forms of a cached note and a history row.
nlohmann::json note_to_json(const OpenedNote& note);
nlohmann::json hist_to_json(const HistRow& row);

// ---------------------------------------------------------------------------------------
// Sync and view

// The key material of one open wallet: its master key, derived once and wiped when the
// keyring goes, and the key sets built so far, extended only when a wider range is asked
// for. One thread at a time.
class Keyring {
 public:
  Keyring();
  ~Keyring();
  Keyring(const Keyring&) = delete;
  Keyring& operator=(const Keyring&) = delete;

  // The master key of `mnemonic`, derived on the first call and again only when the
  // mnemonic differs from the last one.
  const crypto::MasterKey& master(std::string_view mnemonic);
  // Key sets 0 to `high` of the last mnemonic passed to `master`.
  std::span<const WalletKeys> upto(uint64_t high);
  // Forgets everything (a locked wallet).
  void clear();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Longest a sync runs. Paging stops early enough for the last page to have its whole time
// and keeps what it has; the next sync goes on from there.
inline constexpr std::chrono::seconds kSyncTime{120};

// How a sync runs.
struct SyncOptions {
  SyncOptions() = default;
  SyncOptions(const Transport* transport, unsigned threads)
      : transport(transport), threads(threads) {}

  // The transport to the nodes; the HTTP client when null.
  const Transport* transport = nullptr;
  // Threads that try keys on outputs; 0 uses every core.
  unsigned threads = 0;
  // When set and true, every call of the sync gives up at once and the sync fails.
  const std::atomic<bool>* cancel = nullptr;
  // When the sync ends at the latest; unset: `kSyncTime` after it starts.
  std::optional<std::chrono::steady_clock::time_point> deadline;
};

// Brings the book's cache up to the best node's chain and returns the wallet view. On any
// failure the book is left exactly as it was.
[[nodiscard]] Result<WalletView> sync(std::span<const std::string> nodes, Book& book, Keyring& keys,
                                      const SyncOptions& opts = {});
// The same with key material of its own for this one call.
[[nodiscard]] Result<WalletView> sync(std::span<const std::string> nodes, Book& book);

// The view of the cache against the node's mempool: spendable notes, balance, reserved
// amount and the history with pending rows first.
WalletView view_from(const LightCache& cache, const NodeInfo& node, const Book& book);
WalletView view_from(const LightCache& cache, const NodeInfo& node, const Book& book,
                     Keyring& keys);
// Discovery with the open wallet's key material.
void discover_into_book(Book& book, const LightCache& cache, Keyring& keys);

}  // namespace light

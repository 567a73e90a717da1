// The node list file, the loopback test, node probes and choice, and submission.
#include <sys/stat.h>

#include <algorithm>

#include "core/fsutil.h"
#include "core/hex.h"
#include "core/json_text.h"
#include "core/paths.h"
#include "core/text.h"
#include "wallet/light.h"

namespace light {

namespace {

using jtext::as_i64;
using jtext::as_string;
using jtext::as_u64;
using jtext::member;

nlohmann::json parse_json(ByteView body) {
  return jtext::parse(bytes::text(body))
      .value_or(nlohmann::json(nlohmann::json::value_t::discarded));
}

}  // namespace

std::vector<std::string> default_nodes() {
  return {"127.0.0.1:19191", "seed1.quv.network:19191", "seed2.quv.network:19191",
          "seed3.quv.network:19191"};
}

std::filesystem::path nodes_path(const std::filesystem::path& wallet_file) {
  return cli::with_extension(wallet_file.string(), "nodes");
}

std::vector<std::string> load_nodes(const std::filesystem::path& wallet_file) {
  Result<std::string> raw = fsutil::read_text(nodes_path(wallet_file));
  if (!raw) return default_nodes();
  nlohmann::json doc = jtext::parse(*raw).value_or(nullptr);
  if (!doc.is_array()) return default_nodes();
  std::vector<std::string> out;
  for (const nlohmann::json& e : doc) {
    if (!e.is_string()) return default_nodes();
    const std::string& s = e.get_ref<const std::string&>();
    if (!text::trim(s).empty()) out.push_back(s);
  }
  return out.empty() ? default_nodes() : out;
}

Status save_nodes(const std::filesystem::path& wallet_file, std::span<const std::string> entries) {
  std::filesystem::path path = nodes_path(wallet_file);
  // A directory that cannot be made shows up as the write's own error.
  if (path.has_parent_path()) (void)fsutil::create_dirs(path.parent_path());
  nlohmann::json doc = nlohmann::json::array();
  for (const std::string& e : entries) {
    std::string_view t = text::trim(e);
    if (!t.empty()) doc.push_back(std::string(t));
  }
  std::string out = doc.dump(2);
  // The list is no secret: the usual mode for new files, less the umask.
  mode_t mask = ::umask(0);
  ::umask(mask);
  return walletdb::write_file_atomic(path, bytes::of(out), 0666 & ~mask);
}

bool is_loopback(std::string_view entry) {
  std::string_view host = entry.substr(0, entry.find(':'));
  if (entry.starts_with('[')) {
    size_t close = entry.find(']');
    if (close != std::string_view::npos) host = entry.substr(1, close - 1);
  }
  return host == "127.0.0.1" || host == "localhost" || host == "::1";
}

std::optional<NodeInfo> ping(std::string_view entry, const Transport& t) {
  std::optional<Bytes> body = t(Call{entry, "GET", "/status", {}, "application/json", 3});
  if (!body) return std::nullopt;
  nlohmann::json doc = parse_json(*body);
  const nlohmann::json* ok = member(doc, "ok");
  if (ok == nullptr || !ok->is_boolean() || !ok->get<bool>()) return std::nullopt;
  NodeInfo info;
  info.addr = std::string(entry);
  info.height = as_i64(member(doc, "height")).value_or(-1);
  info.tip = as_string(member(doc, "tip")).value_or("");
  info.supply = as_i64(member(doc, "supply")).value_or(0);
  if (const nlohmann::json* m = member(doc, "mempool"); m && m->is_array()) {
    info.mempool.assign(m->begin(), m->end());
  }
  info.confirm_peers = as_u64(member(doc, "confirm_peers")).value_or(2);
  info.reward_address = as_string(member(doc, "reward_address")).value_or("");
  return info;
}

Result<NodeInfo> first_node(std::span<const std::string> entries, const Transport& t) {
  std::vector<std::string> candidates;
  auto take = [&](std::string_view e) {
    std::string_view s = text::trim(e);
    if (s.empty() || std::find(candidates.begin(), candidates.end(), s) != candidates.end()) {
      return;
    }
    candidates.emplace_back(s);
  };
  for (const std::string& e : entries) take(e);
  for (const std::string& e : default_nodes()) take(e);

  std::vector<NodeInfo> answers;
  for (const std::string& c : candidates) {
    if (std::optional<NodeInfo> info = ping(c, t)) answers.push_back(std::move(*info));
  }
  std::stable_sort(answers.begin(), answers.end(), [](const NodeInfo& a, const NodeInfo& b) {
    if (a.height != b.height) return a.height > b.height;
    if (a.tip != b.tip) return a.tip < b.tip;
    if (a.supply != b.supply) return a.supply > b.supply;
    return !is_loopback(a.addr) && is_loopback(b.addr);
  });
  if (answers.empty()) return fail(std::string(kNoNode));
  return std::move(answers.front());
}

Result<std::string> submit_to(std::string_view entry, const codec::Tx& tx, const Transport& t,
                              bool* unanswered) {
  Bytes body = codec::encode_tx_signed(tx);
  Call call{entry, "POST", "/tx", body, "application/octet-stream", 8};
  bool sent = false;
  call.sent = &sent;
  std::optional<Bytes> reply = t(call);
  if (!reply) {
    // A node that got the whole transfer and then said nothing (too slow, gone, a reply cut
    // short) may have taken it: saying it refused would invite paying twice.
    if (!sent) return fail(std::string(kNotAccepted));
    if (unanswered != nullptr) *unanswered = true;
    return fail(std::string(kNoAnswer));
  }
  nlohmann::json doc = parse_json(*reply);
  const nlohmann::json* ok = member(doc, "ok");
  if (ok != nullptr && ok->is_boolean() && ok->get<bool>()) return hex::encode(codec::txid(tx));
  if (std::optional<std::string> err = as_string(member(doc, "error"))) return fail(*err);
  return fail(std::string(kNotAccepted));
}

}  // namespace light

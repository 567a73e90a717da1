#include "net/routes.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string_view>

#include "core/codec.h"
#include "core/fsutil.h"
#include "core/hex.h"
#include "core/json_text.h"
#include "core/text.h"
#include "ledger/chain.h"
#include "ledger/chain_page.h"
#include "ledger/nft.h"
#include "net/status.h"

namespace net {

namespace {

using json = nlohmann::json;
using jtext::as_u64;
using jtext::dump;
using jtext::member;

constexpr std::string_view kOk = R"({"ok":true})";
constexpr std::string_view kJson = "application/json";
constexpr std::string_view kBanner =
    "QÚV node 19191\nGET /status\nGET /blocks?from=\nGET /chain\nGET /nft\nGET /nft/{hash}\n"
    "POST /nft\nPOST /nft/mint\nPOST /tx\nPOST /ack\nPOST /reward\nPOST /peers\nPOST /seal\n"
    "POST /drop\n";
constexpr std::string_view kMintFee =
    "NFT mint costs 0,25000 QÚV. The fee goes to this node's reward address. Submit a signed "
    "mint transaction.";
constexpr std::string_view kLocalOnly = "Control routes are only served on this machine.";
constexpr std::string_view kBusy = "Node is busy. Try again shortly.";

Bytes to_bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

Reply json_reply(uint16_t status, const json& j) {
  return Reply{status, std::string(kJson), to_bytes(dump(j))};
}

Reply error_reply(uint16_t status, std::string_view text) {
  json j = json::object();
  j["error"] = std::string(text);
  j["ok"] = false;
  return json_reply(status, j);
}

Reply ok_reply() { return Reply{200, std::string(kJson), to_bytes(kOk)}; }

// A change request that the node loop's queue has no room for is refused, not answered as
// queued: the client learns to send it again instead of taking it for accepted.
bool queue_full(const Sender& tx, NetMsg m) { return tx.send(std::move(m)) == Sent::kFull; }

// Queues a change request and answers {"ok":true}, or the busy refusal.
Reply queue(const Sender& tx, NetMsg m) {
  if (queue_full(tx, std::move(m))) return error_reply(503, kBusy);
  return ok_reply();
}

// A request body as JSON; anything that is not JSON counts as the empty object. A byte
// order mark is no part of a JSON text, but the parser would skip one at the start; a body
// that begins with one is not JSON here.
json parse_body(ByteView body) {
  std::string_view text(reinterpret_cast<const char*>(body.data()), body.size());
  if (text.starts_with("\xEF\xBB\xBF")) return json::object();
  return jtext::parse(text).value_or(json::object());
}

// A text member: its text when the member exists and is a string, else "".
std::string text_member(const json& j, const char* key) {
  if (!j.is_object()) return "";
  auto it = j.find(key);
  if (it == j.end() || !it->is_string()) return "";
  return it->get<std::string>();
}

Reply route_blocks(const Request& req, const std::string& chain_path) {
  uint64_t from = query_u64(req.line, "from").value_or(0);
  uint64_t limit = query_u64(req.line, "limit").value_or(kDefaultPage);
  limit = std::clamp<uint64_t>(limit, 1, kMaxPage);
  auto page = chain::blocks_page(chain_path, from, limit);
  if (!page) return error_reply(500, page.error().to_string());
  uint64_t next = from;
  if (!page->blocks.empty()) {
    if (auto h = as_u64(member(page->blocks.back(), "height"))) {
      // A block at the very top of the height range has no next height; the page
      // then points at itself rather than wrapping back to the start.
      next = *h == UINT64_MAX ? *h : *h + 1;
    }
  }
  json blocks = json::array();
  for (auto& b : page->blocks) blocks.push_back(std::move(b));
  json j = json::object();
  j["blocks"] = std::move(blocks);
  j["from"] = from;
  j["height"] = page->height;
  j["next"] = next;
  j["ok"] = true;
  j["tip"] = page->tip;
  return json_reply(200, j);
}

Reply route_mint(const Request& req, const std::string& chain_path, const Sender& tx) {
  json body = parse_body(req.body);
  std::string reward = sidecar_reward(chain_path);
  std::string raw(text::trim(text_member(body, "raw")));
  if (raw.empty()) {
    json j = json::object();
    j["error"] = std::string(kMintFee);
    j["fee"] = kNftFee;
    j["ok"] = false;
    j["reward_address"] = reward;
    return json_reply(400, j);
  }
  auto bytes = hex::decode(raw);
  if (!bytes) return error_reply(400, "Bad hex.");
  auto decoded = codec::decode_tx(*bytes);
  if (!decoded) return error_reply(400, decoded.error().to_string());
  if (decoded->tx.type != codec::kTxNftMint)
    return error_reply(400, "Not an NFT mint transaction.");
  auto extra = nft::parse_extra(decoded->tx.extra);
  if (!extra) return error_reply(400, extra.error().to_string());
  std::string hash = hex::encode(extra->first);
  if (!nft::exists(nft::dir(chain_path), hash)) {
    return error_reply(400, "Image is not on this node yet.");
  }
  std::string txid = hex::encode(codec::txid(decoded->tx));
  if (queue_full(tx, NetMsg{NetMsg::Tx{std::move(*bytes)}})) return error_reply(503, kBusy);
  json j = json::object();
  j["fee"] = kNftFee;
  j["hash"] = hash;
  j["ok"] = true;
  j["txid"] = txid;
  return json_reply(200, j);
}

Reply route_upload(const Request& req, const std::string& chain_path) {
  // Uploads run side by side: each image is checked and written under its own temporary
  // name, and a costly image is refused from its header, so one upload never waits on
  // another. Uploads at the same moment may pass the image-count and disk-room checks
  // together; the disk's reserve has a margin for them.
  auto info = nft::ingest(nft::dir(chain_path), req.body);
  if (!info) return error_reply(400, info.error().to_string());
  json j = json::object();
  j["bytes"] = info->bytes;
  j["hash"] = info->hash;
  j["height"] = info->height;
  j["ok"] = true;
  j["width"] = info->width;
  return json_reply(200, j);
}

Reply route_image(const Request& req, const std::string& chain_path) {
  auto image = nft::read(nft::dir(chain_path), nft_target(req.line));
  if (!image) return error_reply(404, image.error().to_string());
  return Reply{200, "image/jpeg", std::move(*image)};
}

Reply route_list(const std::string& chain_path) {
  auto hashes = nft::list_hex(nft::dir(chain_path));
  json j = json::object();
  j["count"] = hashes.size();
  j["hashes"] = hashes;
  j["ok"] = true;
  return json_reply(200, j);
}

}  // namespace

bool is_status_request(const Request& req) { return req.line.starts_with("GET /status"); }

Reply route(const Request& req, const std::string& chain_path, const Sender& tx, bool local) {
  std::string_view line = req.line;
  auto is = [&](std::string_view route) { return line.starts_with(route); };
  // Changing the node's own settings is for its operator only.
  auto control = [&](NetMsg m) {
    if (!local) return error_reply(403, kLocalOnly);
    return queue(tx, std::move(m));
  };

  if (is_status_request(req)) {
    return Reply{200, std::string(kJson), to_bytes(status_json(chain_path))};
  }
  if (is("POST /ack")) {
    json body = parse_body(req.body);
    std::string txid = text_member(body, "txid"), node_id = text_member(body, "node_id");
    // The node keeps no acknowledgement with a longer txid or node id; such texts are not
    // carried to it, so a queue of waiting acknowledgements stays small. (An emptied text
    // would keep its buffer, so they are left out rather than cleared.)
    NetMsg::Ack ack;
    if (txid.size() <= 64 && node_id.size() <= chain::kMaxAckNodeId) {
      ack = {std::move(txid), std::move(node_id)};
    }
    return queue(tx, NetMsg{std::move(ack)});
  }
  if (is("POST /reward")) {
    json body = parse_body(req.body);
    return control(
        NetMsg{NetMsg::SetReward{std::string(text::trim(text_member(body, "address")))}});
  }
  if (is("POST /peers")) {
    json body = parse_body(req.body);
    std::vector<std::string> peers;
    if (const json* list = member(body, "peers"); list && list->is_array()) {
      for (const auto& p : *list) {
        if (p.is_string()) peers.push_back(p.get<std::string>());
      }
    }
    return control(NetMsg{NetMsg::SetPeers{std::move(peers)}});
  }
  if (is("POST /tx")) return queue(tx, NetMsg{NetMsg::Tx{req.body}});
  if (is("POST /nft/mint")) return route_mint(req, chain_path, tx);
  if (is("POST /nft")) return route_upload(req, chain_path);
  if (is("GET /nft/")) return route_image(req, chain_path);
  if (is("GET /nft")) return route_list(chain_path);
  if (is("POST /seal")) return control(NetMsg{NetMsg::Seal{}});
  if (is("POST /drop")) return control(NetMsg{NetMsg::Drop{}});
  if (is("GET /blocks")) return route_blocks(req, chain_path);
  return Reply{200, "text/plain; charset=utf-8", to_bytes(kBanner)};
}

}  // namespace net

#include "net/status.h"

#include <sys/stat.h>

#include <algorithm>

#include "core/codec.h"
#include "core/hex.h"
#include "core/json_text.h"
#include "core/text.h"
#include "core/version.h"
#include "ledger/chain.h"
#include "ledger/chain_page.h"
#include "ledger/nft.h"
#include "ledger/state.h"
#include "ledger/work.h"
#include "net/http.h"

namespace net {

using jtext::as_i64;
using jtext::as_string;
using jtext::as_u64;
using jtext::member;
using json = nlohmann::json;

std::string sidecar_reward(const std::string& chain_path) {
  json state = state::read_members(chain_path);
  return as_string(member(state, "reward_address")).value_or("");
}

std::string status_json(const std::string& chain_path) {
  struct stat st;
  uint64_t size = ::stat(chain_path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
  // A state file that is missing, half written or broken reads as the empty object.
  json state = state::read_members(chain_path);
  uint64_t work_seconds = as_u64(member(state, "work_seconds")).value_or(0);
  uint64_t validated = as_u64(member(state, "validated")).value_or(0);
  uint64_t pending_total = work::pending_work(work_seconds, validated);
  const uint64_t confirm = Chain::required_confirms();

  static const json kNoAcks = json::object();
  const json* acks = member(state, "acks");
  if (!acks) acks = &kNoAcks;
  json mempool = json::array();
  if (const json* list = member(state, "mempool"); list && list->is_array()) {
    for (const auto& entry : *list) {
      Bytes raw;
      if (entry.is_array()) {
        for (const auto& b : entry) {
          if (auto v = as_u64(&b)) raw.push_back(static_cast<uint8_t>(*v));
        }
      }
      auto decoded = codec::decode_tx(raw);
      if (!decoded) continue;
      const codec::Tx& t = decoded->tx;
      std::string id = hex::encode(codec::txid(t));
      size_t ack_count = 0;
      if (const json* who = member(*acks, id.c_str()); who && who->is_array()) {
        ack_count = who->size();
      }
      json tj = chain::tx_json(t);
      json e = json::object();
      e["acks"] = ack_count;
      e["id"] = id;
      e["inputs"] = std::move(tj["inputs"]);
      e["need"] = confirm;
      e["outputs"] = std::move(tj["outputs"]);
      e["raw"] = hex::encode(raw);
      e["type"] = static_cast<uint64_t>(t.type);
      mempool.push_back(std::move(e));
    }
  }

  json doc = json::object();
  doc["bytes"] = size;
  doc["confirm_peers"] = confirm;
  doc["file"] = text::lossy_utf8(chain_path);
  doc["height"] = as_i64(member(state, "height")).value_or(-1);
  doc["last_drop"] = as_i64(member(state, "last_drop")).value_or(0);
  doc["mempool"] = std::move(mempool);
  doc["nft"] = nft::list_hex(nft::dir(chain_path)).size();
  doc["nft_fee"] = kNftFee;
  doc["node_id"] = as_string(member(state, "node_id")).value_or("");
  doc["ok"] = true;
  const json* peer_link = member(state, "peer_link");
  doc["peer_link"] = peer_link ? *peer_link : json::object();
  const json* peers = member(state, "peers");
  doc["peers"] = peers ? *peers : json::array();
  doc["pending_total"] = pending_total;
  doc["pending_valid"] = validated;
  doc["pending_work"] = std::min(work_seconds, work::kWindowSeconds);
  doc["port"] = kPort;
  doc["reward_address"] = as_string(member(state, "reward_address")).value_or("");
  doc["running"] = true;
  doc["supply"] = as_u64(member(state, "supply")).value_or(0);
  doc["tip"] = as_string(member(state, "tip")).value_or("");
  doc["validated"] = validated;
  doc["version"] = std::string(version::kText);
  doc["work_seconds"] = work_seconds;
  return jtext::dump(doc);
}

}  // namespace net

// Writes the seed corpora of the fuzz targets with the project's own writers: encoded
// transactions and blocks, a generated chain file, a written state file, addresses,
// amounts, a mnemonic, sealed outputs, requests and JPEG images. Run once from the build
// directory: make_corpus <corpus directory>. Existing seeds of the same name are replaced,
// other files (inputs that once found a fault) are kept.
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "chain_gen.h"
#include "core/canonical.h"
#include "core/codec.h"
#include "core/crypto.h"
#include "core/hex.h"
#include "core/seed.h"
#include "core/units.h"
#include "jpeg.h"
#include "jpeg_frames.h"
#include "ledger/state.h"
#include "wallet/walletdb.h"

namespace fs = std::filesystem;

namespace {

fs::path root;

void put(const std::string& target, const std::string& name, ByteView bytes) {
  fs::create_directories(root / target);
  FILE* f = std::fopen((root / target / ("seed-" + name)).c_str(), "wb");
  if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
    std::perror("write");
    std::exit(1);
  }
  std::fclose(f);
}
void put(const std::string& target, const std::string& name, std::string_view text) {
  put(target, name, bytes::of(text));
}
Bytes cat(std::initializer_list<ByteView> parts) {
  Bytes out;
  for (ByteView p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// The wallet the output target opens for.
WalletKeys fuzz_wallet() {
  crypto::MasterKey master;
  for (size_t i = 0; i < master.size(); ++i) master.data()[i] = static_cast<uint8_t>(i * 7 + 1);
  return WalletKeys::from_master(master, 0);
}

std::string request(std::string_view line, std::string_view body = {}) {
  std::string r(line);
  r += "\r\nHost: 127.0.0.1:19191\r\n";
  if (!body.empty()) r += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  r += "\r\n";
  r += body;
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_corpus <corpus directory>\n");
    return 2;
  }
  root = argv[1];
  crypto::init();

  // A small chain: genesis, a work payment, transfers; unmined keeps the files small.
  chain_gen::Builder chain(1, /*do_mine=*/false, /*do_sign=*/true);
  chain.add({chain.mint(3)});
  chain.add({chain.spend(1, 2)});
  chain.add({chain.spend(2, 1), chain.spend(1, 2)});
  const auto& blocks = chain.blocks();

  // Transactions and block bodies.
  for (size_t b = 0; b < blocks.size(); ++b) {
    put("block_body", "block" + std::to_string(b), codec::encode_block_body(blocks[b]));
    for (size_t t = 0; t < blocks[b].txs.size(); ++t) {
      put("tx_decode", "tx" + std::to_string(b) + "-" + std::to_string(t),
          codec::encode_tx_signed(blocks[b].txs[t]));
    }
  }

  // Chain files: raw (mode 0) and as framed records (mode 1); start height 0, page of 5.
  const Bytes file = chain.bytes();
  put("chain_file", "raw", cat({Bytes{0, 0, 5}, file}));
  put("chain_file", "raw-from-2", cat({Bytes{0, 2, 2}, file}));
  Bytes torn = cat({Bytes{0, 0, 5}, file});
  torn.resize(torn.size() - 7);
  put("chain_file", "raw-torn", torn);
  Bytes framed = {1, 0, 5};
  for (const auto& b : blocks) {
    Bytes body = codec::encode_block_body(b);
    framed.push_back(static_cast<uint8_t>(body.size()));
    framed.push_back(static_cast<uint8_t>(body.size() >> 8));
    framed.insert(framed.end(), body.begin(), body.end());
  }
  put("chain_file", "framed", framed);

  // Peer chains: a whole file (unmined, so refused for its proof of work) and the
  // transactions of the generated blocks, which the target seals and mines itself.
  put("chain_adopt", "file", cat({Bytes{0}, file}));
  Bytes mined = {1};
  for (size_t b = 1; b < blocks.size(); ++b) {
    mined.push_back(static_cast<uint8_t>(blocks[b].txs.size()));
    for (const auto& tx : blocks[b].txs) bytes::put(mined, codec::encode_tx_signed(tx));
  }
  put("chain_adopt", "mined", mined);

  // State files.
  NodeState state;
  put("state_file", "default", state::to_json(state));
  WalletKeys wallet = fuzz_wallet();
  state.reward_address = wallet.address;
  state.window_start = 1700000000;
  state.work_seconds = 3600;
  state.validated = 2;
  state.last_drop = 1700000100;
  state.last_beat = 1700000200;
  state.mempool = {codec::encode_tx_signed(blocks[2].txs[0])};
  state.acks["00" + std::string(62, 'a')] = {"node-a", "node-b"};
  state.node_id = "node-1";
  state.peers = {"127.0.0.1:19191", "[::1]:19191"};
  state.peer_link["127.0.0.1:19191"] = "up";
  state.height = 3;
  state.tip = std::string(64, 'f');
  state.supply = 500000;
  put("state_file", "full", state::to_json(state));

  // Addresses and mint extras.
  put("address_text", "plain", wallet.address);
  std::string spaced = "  " + wallet.address.substr(0, 20) + " " + wallet.address.substr(20) + "\n";
  for (char& c : spaced) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  put("address_text", "spaced-upper", spaced);
  Hash32 id{};
  id.fill(0x5A);
  put("address_text", "mint-extra", cat({id, bytes::of(wallet.address)}));

  // Peer entries.
  for (auto [name, text] : std::initializer_list<std::pair<const char*, const char*>>{
           {"v4", "127.0.0.1:19191"},
           {"v6", "[::1]:8080"},
           {"host", "Node.Example:19191"},
           {"bare", "10.1.2.3"},
           {"list", "a:1\n\nb:2\na:1\nhttp://c:3\n[::1]\n"}}) {
    put("peer_entry", name, std::string_view(text));
  }

  // Amounts as shown and as typed.
  put("amount_text", "shown", units::format_quv(123456789));
  for (auto [name, text] : std::initializer_list<std::pair<const char*, const char*>>{
           {"comma", "0,5"}, {"dot", "12.25 quv"}, {"whole", "7 QUV"}, {"nbsp", "1\u00A0000"}}) {
    put("amount_text", name, std::string_view(text));
  }

  // A mnemonic, as written and as typed.
  Bytes entropy(16);
  for (size_t i = 0; i < entropy.size(); ++i) entropy[i] = static_cast<uint8_t>(i * 13);
  std::string phrase = seed::to_mnemonic(seed::from_entropy(entropy).value());
  put("mnemonic_text", "phrase", phrase);
  std::string typed = "\t" + phrase + "  \n";
  for (char& c : typed) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  put("mnemonic_text", "typed", typed);

  // Canonical JSON documents.
  nlohmann::json note = {{"v", 1}, {"memo", "für dich"}, {"amount", 5}, {"from", "x"}};
  put("canonical_json", "note", canonical::canonical(note));
  put("canonical_json", "nested",
      std::string_view(R"({"b":[1,2.5,-3,{"z":null,"a":true}],"a":"\u00e9\n","c":{}})"));

  // Outputs: a whole output made for the fuzzed wallet (mode 0) and note plaintexts to be
  // sealed by the target (mode 1).
  auto out = crypto::make_output("sender", wallet.box_pk, 250000, "thanks").value();
  put("output_open", "output",
      cat({Bytes{0}, out.stealth_tag, out.eph_pub, out.auth_pk, out.ciphertext}));
  nlohmann::json plain = {{"amount", 250000},
                          {"auth_sk", hex::encode(wallet.sign_sk.view())},
                          {"from", "sender"},
                          {"memo", "thanks"},
                          {"v", 1}};
  put("output_open", "plaintext", cat({Bytes{1}, canonical::canonical(plain)}));

  // Requests: the two bytes that cut the reads, then the request.
  const std::string tx_hex = hex::encode(codec::encode_tx_signed(blocks[2].txs[0]));
  const Bytes jpeg = testjpeg::make(8, 8, 1);
  const std::string jpeg_text(jpeg.begin(), jpeg.end());
  std::vector<std::pair<std::string, std::string>> requests = {
      {"status", request("GET /status HTTP/1.1")},
      {"blocks", request("GET /blocks?from=1&limit=2 HTTP/1.1")},
      {"chain", request("GET /chain HTTP/1.1")},
      {"nft-list", request("GET /nft HTTP/1.1")},
      {"nft-image", request("GET /nft/" + std::string(64, 'a') + " HTTP/1.1")},
      {"nft-upload", request("POST /nft HTTP/1.1", jpeg_text)},
      {"nft-mint", request("POST /nft/mint HTTP/1.1", "{\"raw\":\"" + tx_hex + "\"}")},
      {"tx", request("POST /tx HTTP/1.1",
                     std::string(reinterpret_cast<const char*>(
                                     codec::encode_tx_signed(blocks[2].txs[0]).data()),
                                 codec::encode_tx_signed(blocks[2].txs[0]).size()))},
      {"ack", request("POST /ack HTTP/1.1", R"({"txid":"ab","node_id":"n"})")},
      {"reward", request("POST /reward HTTP/1.1", "{\"address\":\"" + wallet.address + "\"}")},
      {"peers", request("POST /peers HTTP/1.1", R"({"peers":["127.0.0.1:1","[::1]:2"]})")},
      {"seal", request("POST /seal HTTP/1.1")},
      {"drop", request("POST /drop HTTP/1.1")},
      {"banner", request("GET / HTTP/1.1")},
  };
  for (const auto& [name, text] : requests) {
    put("http_request", name, "\x07\x01" + text);
    put("http_route", name, "\x01" + text);
  }
  // A header block that crosses its limit in the chunk that holds its terminator.
  put("http_request", "header-past-limit",
      "\x07\x01" + request("GET / HTTP/1.1\r\nX-Pad: " + std::string(33000, 'a')));
  put("http_route", "seal-remote", std::string(1, '\0') + request("POST /seal HTTP/1.1"));

  // Images (mode 0): encoder output and hand-built frames; frame descriptions (mode 1): a
  // progressive colour frame with a DC scan and AC scans, and an arithmetic one.
  auto image = [](ByteView jpeg) { return cat({Bytes{0}, jpeg}); };
  put("nft_check", "baseline", image(testjpeg::make(16, 8, 1)));
  put("nft_check", "progressive", image(testjpeg::make(24, 16, 2, true)));
  put("nft_check", "arithmetic", image(testjpeg::frame({testjpeg::kArithmetic, 16, 16, 3})));
  put("nft_check", "arithmetic-progressive",
      image(testjpeg::frame({testjpeg::kArithmeticProgressive, 16, 16, 3, 2})));
  put("nft_check", "declared-huge",
      image(testjpeg::frame({testjpeg::kArithmetic, 65500, 65500, 1})));
  // kind, width u16, height u16, components-1, quantiser, sampling per component, then
  // scans: component pick, first and band of coefficients, approximation, data length u16,
  // data.
  Bytes described = {1, 2, 63, 0, 63, 0, 2, 0, 1, 1, 0, 0, 0, 0};
  for (int scan = 0; scan < 6; ++scan) {
    described.insert(described.end(), {static_cast<uint8_t>(scan == 0 ? 2 : scan),
                                       static_cast<uint8_t>(scan == 0 ? 0 : 1),
                                       static_cast<uint8_t>(scan == 0 ? 0 : 62), 0, 16, 0});
    described.insert(described.end(), 16, 0x00);
  }
  put("nft_check", "described-progressive", described);
  Bytes arithmetic = {1, 4, 255, 1, 255, 1, 3, 0, 1, 1, 1, 1, 1, 1, 1, 1};
  for (int scan = 0; scan < 4; ++scan) {
    arithmetic.insert(arithmetic.end(), {static_cast<uint8_t>(scan * 4 + 3), 0, 63, 0, 8, 0});
    arithmetic.insert(arithmetic.end(), 8, 0x5A);
  }
  put("nft_check", "described-arithmetic", arithmetic);
  // The wallet: a book as the wallet writes it, with a remembered send and a second
  // address, and the file that seals it under the target's passphrase.
  walletdb::Book book = walletdb::blank(phrase);
  walletdb::remember_send(book, std::string(64, 'b'), 1200, "rent", wallet.address);
  book["addresses"].push_back({{"address", wallet.address}, {"index", 1}, {"label", "recv-1"}});
  book["current_index"] = 1;
  book["next_index"] = 2;
  put("wallet_book", "book", book.dump());
  put("wallet_book", "blank", walletdb::blank(phrase).dump());
  put("wallet_file", "file", walletdb::encrypt(bytes::of(book.dump()), "fuzz passphrase").value());

  // A peer's status document as the server writes it, and its NFT list.
  nlohmann::json pool = nlohmann::json::array();
  for (const auto& tx : blocks[3].txs) {
    pool.push_back({{"id", hex::encode(codec::txid(tx))},
                    {"raw", hex::encode(codec::encode_tx_signed(tx))},
                    {"inputs", nlohmann::json::array({"ab"})},
                    {"outputs", nlohmann::json::array({{{"auth_pk", "cd"}}})},
                    {"type", 2}});
  }
  nlohmann::json peer_status = {{"ok", true},
                                {"node_id", "seed-0123456789ab"},
                                {"height", 3},
                                {"tip", std::string(64, 'e')},
                                {"mempool", pool},
                                {"supply", 500000},
                                {"confirm_peers", 2},
                                {"reward_address", wallet.address},
                                {"peers", {"127.0.0.1:19191"}},
                                {"peer_link", {{"127.0.0.1:19191", "up"}}},
                                {"file", "quv.chain"},
                                {"bytes", 1234},
                                {"work_seconds", 3600},
                                {"last_drop", 1700000100},
                                {"validated", 2}};
  put("peer_status", "status", peer_status.dump());
  put("peer_status", "nft-list",
      std::string_view(
          R"({"ok":true,"hashes":["AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA",)"
          R"("bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb",7,"short"]})"));
  // Members given twice and of other types, entries that are no objects, deep nesting.
  put("peer_status", "twice",
      std::string_view(R"({"height":1,"height":"2","tip":"a","tip":"","mempool":[{"raw":"aa",)"
                       R"("raw":3,"id":"b"},[{"id":"c"}],7],"mempool":[{"id":{"id":"d"}}]})"));
  put("peer_status", "deep",
      R"({"node_id":"n","mempool":[)" + std::string(62, '[') + std::string(62, ']') + "]}");
  put("node_status", "status", "\x46" + peer_status.dump());
  put("node_status", "narrow", "\x02" + peer_status.dump());

  // Mempool steps: a valid transfer, the same again, an acknowledgement of it from a
  // node, from the node itself, a changed transfer and a raw transaction.
  Bytes steps = {1,   0,   0xff, 0xff, 0, 1, 0,   0xff, 0xff, 0, 2, 1, 0,  5, 'n', 'o',
                 'd', 'e', '1',  2,    0, 3, 'a', 'b',  'c',  0, 1, 2, 40, 0, 0x10};
  Bytes raw_tx = codec::encode_tx_signed(blocks[2].txs[0]);
  steps.insert(steps.end(),
               {0, static_cast<uint8_t>(raw_tx.size()), static_cast<uint8_t>(raw_tx.size() >> 8)});
  bytes::put(steps, raw_tx);
  put("mempool_admit", "steps", steps);
  put("mempool_admit", "double-spend",
      Bytes{1, 0, 0xff, 0xff, 0, 1, 1, 0xff, 0xff, 0, 1, 2, 0xff, 0xff, 0, 2, 1, 0, 1, 'x'});

  // Replies to the HTTP client: the first byte is the body limit (255: the usual one).
  put("http_reply", "ok",
      "\xff" + std::string("HTTP/1.1 200 OK\r\nContent-Length: 11\r\n\r\n"
                           "{\"ok\":true}"));
  put("http_reply", "not-found",
      "\xff" + std::string("HTTP/1.1 404 Not Found\r\n\r\n{\"error\":\"Not found.\"}"));
  put("http_reply", "limit", "\x04" + std::string("HTTP/1.0 200\r\n\r\nabcdef"));
  put("http_reply", "no-head", "\xff" + std::string("HTTP/1.1 200 OK\r\n\n"));

  // Requests as the event threads read them: two bytes that cut the reads, then the bytes.
  for (const auto& [name, text] : requests) put("server_framing", name, "\x07\x01" + text);
  put("server_framing", "short-body",
      std::string(2, '\0') + request("POST /tx HTTP/1.1\r\nContent-Length: 9"));
  put("server_framing", "pipelined",
      "\x03\x00" + request("GET /status HTTP/1.1") + request("GET /status HTTP/1.1"));

  // Node list files.
  put("node_list", "two", std::string_view("[\n  \"127.0.0.1:19191\",\n  \" [::1]:19191 \"\n]"));
  put("node_list", "mixed", std::string_view(R"(["a:1", 1, "b:2"])"));
  put("node_list", "blank", std::string_view(R"(["  ", ""])"));

  // The wallet's sync: blocks as a node pages them, with outputs for keys 0, 20 and 38 of the
  // wallet of `phrase` (38 is found only once 20 is known), a spend of one of them, and enough
  // blocks for two pages.
  crypto::MasterKey master = crypto::derive_master_key(phrase);
  WalletKeys k0 = WalletKeys::from_master(master, 0);
  WalletKeys k20 = WalletKeys::from_master(master, 20);
  WalletKeys k38 = WalletKeys::from_master(master, 38);
  auto out_json = [](const codec::TxOutput& o) {
    return nlohmann::json{{"stealth_tag", hex::encode(o.stealth_tag)},
                          {"eph_pub", hex::encode(o.eph_pub)},
                          {"auth_pk", hex::encode(o.auth_pk)},
                          {"ciphertext", hex::encode(o.ciphertext)}};
  };
  nlohmann::json chain_blocks = nlohmann::json::array();
  std::string spent_id;
  for (uint64_t h = 0; h < 40; ++h) {
    nlohmann::json txs = nlohmann::json::array();
    std::string txid = std::string(62, 'c') + (h < 16 ? "0" : "") + [&] {
      char b[4];
      std::snprintf(b, sizeof b, "%x", static_cast<unsigned>(h));
      return std::string(b);
    }();
    if (h == 1 || h == 3 || h == 34) {
      const WalletKeys& to = h == 3 ? k20 : h == 34 ? k38 : k0;
      auto o =
          crypto::make_output("sender", to.box_pk, 1000 * static_cast<int64_t>(h), "hi").value();
      if (h == 1) spent_id = crypto::try_open_output(to, o, h, txid)->note_id;
      auto other = crypto::make_output("sender", wallet.box_pk, 5, "").value();
      txs.push_back({{"id", txid},
                     {"inputs", nlohmann::json::array()},
                     {"outputs", {out_json(o), out_json(other)}}});
    }
    if (h == 5) {
      auto change = crypto::make_output(k0.address, k0.box_pk, 300, "").value();
      txs.push_back({{"id", txid}, {"inputs", {spent_id}}, {"outputs", {out_json(change)}}});
    }
    chain_blocks.push_back({{"height", h},
                            {"hash", std::string(60, 'd') + std::to_string(1000 + h)},
                            {"timestamp", 1700000000 + h},
                            {"txs", txs}});
  }
  put("light_sync", "forty",
      std::string(1, '\0') + nlohmann::json{{"blocks", chain_blocks}}.dump());
  nlohmann::json few(chain_blocks.begin(), chain_blocks.begin() + 6);
  put("light_sync", "six", std::string(1, '\0') + nlohmann::json{{"blocks", few}}.dump());
  walletdb::Book synced = walletdb::blank(phrase);
  synced["sync"] = {{"height", 2},
                    {"tip", chain_blocks[2]["hash"]},
                    {"notes", nlohmann::json::array()},
                    {"history",
                     {{{"dir", "in"},
                       {"amount", 1000},
                       {"memo", "hi"},
                       {"height", 1},
                       {"txid", "t"},
                       {"time", 5},
                       {"from", "sender"},
                       {"to", k0.address}}}}};
  put("light_sync", "from-cache",
      std::string(1, '\0') + nlohmann::json{{"blocks", few}, {"sync", synced["sync"]}}.dump());
  nlohmann::json page = {
      {"ok", true}, {"blocks", few},         {"next", 6}, {"height", 5}, {"supply", 9},
      {"tip", "x"}, {"sync", synced["sync"]}};
  put("light_sync", "raw-page", "\x01" + page.dump());
  return 0;
}

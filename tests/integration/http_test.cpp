// Serves a prepared node directory with the real HTTP server inside the test process, on a
// free loopback port, and talks to it with the curl program over every route: status lines,
// the headers every reply carries, exact bodies, and the change requests that reach the
// node loop's end of the channel.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "chain_gen.h"
#include "core/codec.h"
#include "core/crypto.h"
#include "core/hex.h"
#include "jpeg.h"
#include "ledger/chain.h"
#include "ledger/chain_page.h"
#include "ledger/nft.h"
#include "net/net.h"
#include "proc.h"

namespace {

using json = nlohmann::json;
using net::NetMsg;

std::string text_of(const Bytes& b) { return std::string(b.begin(), b.end()); }

std::string upper(std::string s) {
  for (auto& ch : s) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  return s;
}

// The curl program: the first "curl" on PATH.
std::string curl_path() {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t colon = dirs.find(':', start);
    std::string dir = dirs.substr(start, colon == std::string::npos ? colon : colon - start);
    if (!dir.empty()) {
      std::filesystem::path p = std::filesystem::path(dir) / "curl";
      if (::access(p.c_str(), X_OK) == 0) return p.string();
    }
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  return "";
}

// One exchange as curl -i wrote it.
struct Reply {
  // curl's exit status; 0 when a whole reply arrived.
  int exit = -1;
  std::string err;
  // The header block without its closing blank line.
  std::string head;
  std::string status_line;
  std::map<std::string, std::string> headers;
  std::string body;
};

void parse_reply(const std::string& raw, Reply& r) {
  size_t end = raw.find("\r\n\r\n");
  if (end == std::string::npos) return;
  r.head = raw.substr(0, end);
  r.body = raw.substr(end + 4);
  size_t at = r.head.find("\r\n");
  r.status_line = r.head.substr(0, at);
  while (at != std::string::npos) {
    size_t next = r.head.find("\r\n", at + 2);
    std::string line = r.head.substr(at + 2, next == std::string::npos ? next : next - at - 2);
    size_t colon = line.find(": ");
    if (colon != std::string::npos) r.headers[line.substr(0, colon)] = line.substr(colon + 2);
    at = next;
  }
}

// A node directory: a chain of three blocks, a transfer waiting in the mempool with one
// acknowledgement, a state file with a reward address, peers and work counters, and one
// stored NFT image; served on a free loopback port.
class HttpCurl : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { crypto::init(); }

  void SetUp() override {
    curl_ = curl_path();
    ASSERT_FALSE(curl_.empty()) << "no curl program on PATH";
    // Read by the status document at every request; set before any request is served.
    confirm_ = std::make_unique<proc::ScopedEnv>("QUV_CONFIRM_PEERS", "3");

    chain_path_ = (dir_ / "node" / "quv.chain").string();
    auto opened = Chain::open(chain_path_);
    ASSERT_TRUE(opened) << opened.error().to_string();
    Chain chain = std::move(*opened);

    gen_.add({gen_.mint(4)});
    gen_.add({gen_.spend(1, 2)});
    blocks_ = gen_.blocks();
    // The genesis block as the file holds it, with its hash.
    blocks_[0].hash = codec::block_hash(codec::encode_header(blocks_[0]));
    for (size_t i = 1; i < blocks_.size(); ++i) ASSERT_TRUE(chain.append(blocks_[i]));

    pending_ = gen_.spend(1, 2);
    auto id = chain.submit_tx(pending_);
    ASSERT_TRUE(id) << id.error().to_string();
    pending_id_ = *id;
    ASSERT_TRUE(chain.ack_tx(pending_id_, "peer-b"));

    Key32 owner_pk;
    owner_pk.fill(9);
    owner_ = crypto::encode_address(owner_pk);
    Key32 reward_pk;
    reward_pk.fill(4);
    reward_ = crypto::encode_address(reward_pk);
    ASSERT_TRUE(chain.edit_state([&](NodeState& s) {
      s.reward_address = reward_;
      s.node_id = "node-a";
      s.work_seconds = 90000;
      s.validated = 3;
      s.peers = {"127.0.0.1:19192"};
      s.peer_link = {{"127.0.0.1:19192", "down"}};
    }));

    stored_jpeg_ = testjpeg::make(16, 8, 0x40);
    auto info = nft::ingest(nft::dir(chain_path_), stored_jpeg_);
    ASSERT_TRUE(info) << info.error().to_string();
    stored_hash_ = info->hash;

    auto server = start_server(std::nullopt);
    ASSERT_TRUE(server);
    server_ = std::move(server);
  }

  void TearDown() override {
    server_.reset();
    confirm_.reset();
  }

  std::unique_ptr<net::Server> start_server(std::optional<std::string> peer) {
    net::ServerOptions opts;
    opts.host = "127.0.0.1";
    opts.port = 0;
    opts.workers = 2;
    opts.peer_override = std::move(peer);
    auto s = net::Server::start(std::move(opts), chain_path_, tx_);
    EXPECT_TRUE(s) << s.error().to_string();
    return s ? std::move(*s) : nullptr;
  }

  // One request with curl; `body` (sent from standard input) makes it carry a body.
  Reply curl(const std::string& method, const std::string& path,
             std::optional<std::string> body = std::nullopt,
             const std::string& type = "application/json", uint16_t port = 0) {
    proc::Spec spec;
    spec.bin = curl_;
    // No configuration file, no proxy, no URL globbing, no waiting for "100 Continue".
    spec.args = {"-q",        "-sS", "-i", "-g",      "--max-time", "10",
                 "--noproxy", "*",   "-H", "Expect:", "-X",         method};
    if (body) {
      spec.args.insert(spec.args.end(), {"-H", "Content-Type: " + type, "--data-binary", "@-"});
      spec.input = *body;
    }
    spec.args.push_back("http://127.0.0.1:" + std::to_string(port ? port : server_->port()) + path);
    spec.timeout = std::chrono::seconds(20);
    proc::Outcome out = proc::run(spec);
    Reply r;
    r.exit = out.status;
    r.err = out.err;
    parse_reply(out.out, r);
    return r;
  }

  // The change requests queued so far, taken off the channel.
  std::vector<NetMsg> queued() { return rx_.drain(); }

  std::string tip() const { return hex::encode(blocks_.back().hash); }

  proc::TempDir dir_;
  std::unique_ptr<proc::ScopedEnv> confirm_;
  std::string curl_;
  std::string chain_path_;
  chain_gen::Builder gen_{7};
  std::vector<codec::Block> blocks_;
  codec::Tx pending_;
  std::string pending_id_;
  std::string owner_;
  std::string reward_;
  Bytes stored_jpeg_;
  std::string stored_hash_;
  std::pair<net::Sender, net::Receiver> channel_ = net::channel();
  net::Sender& tx_ = channel_.first;
  net::Receiver& rx_ = channel_.second;
  // Stopped first, while the directory and the channel still exist.
  std::unique_ptr<net::Server> server_;
};

// The header block every reply has: status line, content type, length, and the two fixed
// headers, in this order and nothing else.
void expect_reply(const Reply& r, int status, const std::string& type, const std::string& body) {
  ASSERT_EQ(r.exit, 0) << r.err;
  const std::string line = "HTTP/1.1 " + std::to_string(status) + (status == 200 ? " OK" : " ERR");
  EXPECT_EQ(r.status_line, line);
  EXPECT_EQ(r.headers.count("Connection") ? r.headers.at("Connection") : "", "close");
  EXPECT_EQ(r.headers.count("Access-Control-Allow-Origin")
                ? r.headers.at("Access-Control-Allow-Origin")
                : "",
            "*");
  EXPECT_EQ(r.head, line + "\r\nContent-Type: " + type +
                        "\r\nContent-Length: " + std::to_string(r.body.size()) +
                        "\r\nConnection: close\r\nAccess-Control-Allow-Origin: *");
  EXPECT_EQ(r.body, body);
}

const std::string kBanner =
    "QÚV node 19191\nGET /status\nGET /blocks?from=\nGET /chain\nGET /nft\nGET /nft/{hash}\n"
    "POST /nft\nPOST /nft/mint\nPOST /tx\nPOST /ack\nPOST /reward\nPOST /peers\nPOST /seal\n"
    "POST /drop\n";

TEST_F(HttpCurl, ReadRoutesAnswerFromTheFiles) {
  ASSERT_EQ(kBanner.size(), 173u);
  const std::string chain_file = proc::slurp(chain_path_);
  ASSERT_EQ(chain_file, text_of(chain_gen::file_bytes(blocks_)));

  json tj = chain::tx_json(pending_);
  json entry = {{"acks", 1},
                {"id", pending_id_},
                {"inputs", tj["inputs"]},
                {"need", 3},
                {"outputs", tj["outputs"]},
                {"raw", hex::encode(codec::encode_tx_signed(pending_))},
                {"type", 2}};
  json status = {{"bytes", chain_file.size()},
                 {"confirm_peers", 3},
                 {"file", chain_path_},
                 {"height", 2},
                 {"last_drop", 0},
                 {"mempool", json::array({entry})},
                 {"nft", 1},
                 {"nft_fee", 25000},
                 {"node_id", "node-a"},
                 {"ok", true},
                 {"peer_link", {{"127.0.0.1:19192", "down"}}},
                 {"peers", json::array({"127.0.0.1:19192"})},
                 {"pending_total", 86403},
                 {"pending_valid", 3},
                 {"pending_work", 86400},
                 {"port", 19191},
                 {"reward_address", reward_},
                 {"running", true},
                 {"supply", 4000},
                 {"tip", tip()},
                 {"validated", 3},
                 {"version", "0.1.0"},
                 {"work_seconds", 90000}};
  ASSERT_EQ(status.size(), 23u);

  auto page = [&](size_t first, size_t count, uint64_t from, uint64_t next) {
    json blocks = json::array();
    for (size_t i = first; i < first + count; ++i) blocks.push_back(chain::block_json(blocks_[i]));
    return json({{"blocks", blocks},
                 {"from", from},
                 {"height", 2},
                 {"next", next},
                 {"ok", true},
                 {"tip", tip()}})
        .dump();
  };
  const std::string image_json = R"({"count":1,"hashes":[")" + stored_hash_ + R"("],"ok":true})";
  const std::string zeros(64, '0');

  struct Case {
    std::string method, path;
    int status;
    std::string type, body;
  };
  const Case cases[] = {
      {"GET", "/status", 200, "application/json", status.dump()},
      {"GET", "/statusfoo", 200, "application/json", status.dump()},
      {"GET", "/blocks", 200, "application/json", page(0, 3, 0, 3)},
      {"GET", "/blocks?from=1&limit=1", 200, "application/json", page(1, 1, 1, 2)},
      {"GET", "/blocks?limit=0", 200, "application/json", page(0, 1, 0, 1)},
      {"GET", "/blocks?from=2&from=0", 200, "application/json", page(2, 1, 2, 3)},
      {"GET", "/blocks?from=9", 200, "application/json", page(0, 0, 9, 9)},
      {"GET", "/chain", 200, "application/octet-stream", chain_file},
      {"GET", "/nft", 200, "application/json", image_json},
      {"GET", "/nft/" + stored_hash_, 200, "image/jpeg", text_of(stored_jpeg_)},
      {"GET", "/nft/" + upper(stored_hash_) + "?x=1", 200, "image/jpeg", text_of(stored_jpeg_)},
      {"GET", "/nft/", 404, "application/json", R"({"error":"Bad NFT hash.","ok":false})"},
      {"GET", "/nft/" + zeros, 404, "application/json",
       R"({"error":"NFT image not found.","ok":false})"},
      {"GET", "/", 200, "text/plain; charset=utf-8", kBanner},
      {"GET", "/nothing/here", 200, "text/plain; charset=utf-8", kBanner},
      {"get", "/status", 200, "text/plain; charset=utf-8", kBanner},
      {"PUT", "/tx", 200, "text/plain; charset=utf-8", kBanner},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method + " " + c.path);
    expect_reply(curl(c.method, c.path), c.status, c.type, c.body);
  }
  // Reading never asks the node loop for anything.
  EXPECT_TRUE(queued().empty());

  // A chain file that is not one: the page fails, the file is still served as it is.
  ASSERT_TRUE(proc::spit(chain_path_, "QUV\x02"));
  expect_reply(curl("GET", "/blocks"), 500, "application/json",
               R"x({"error":"not a QÚV chain file (magic QUV\\x01)","ok":false})x");
  expect_reply(curl("GET", "/chain"), 200, "application/octet-stream", "QUV\x02");
  std::filesystem::remove(chain_path_);
  expect_reply(curl("GET", "/chain"), 200, "application/octet-stream", "");
}

TEST_F(HttpCurl, ClientThatKeepsConnectionsGetsEveryReplyWhole) {
  // One curl run with several addresses would reuse its connection; every reply says
  // "Connection: close", so each request goes over a fresh one and each reply is whole.
  const std::string base = "http://127.0.0.1:" + std::to_string(server_->port());
  const std::vector<std::string> paths = {"/nft", "/nft/" + stored_hash_, "/status", "/"};
  std::string want;
  std::vector<std::string> args = {"-q", "-sS", "-i", "-g", "--max-time", "10", "--noproxy", "*"};
  for (const auto& p : paths) {
    Reply one = curl("GET", p);
    ASSERT_EQ(one.exit, 0) << one.err;
    want += one.head + "\r\n\r\n" + one.body;
    args.push_back(base + p);
  }
  proc::Spec spec;
  spec.bin = curl_;
  spec.args = args;
  spec.timeout = std::chrono::seconds(20);
  proc::Outcome all = proc::run(spec);
  ASSERT_EQ(all.status, 0) << all.err;
  EXPECT_EQ(all.out, want);
}

TEST_F(HttpCurl, UploadedImagesAreStoredListedAndServed) {
  const Bytes jpeg = testjpeg::make(24, 12, 0xc0);
  const std::string hash = hex::encode(hashing::h32(jpeg));
  const std::string stored = R"({"bytes":)" + std::to_string(jpeg.size()) + R"(,"hash":")" + hash +
                             R"(","height":12,"ok":true,"width":24})";
  expect_reply(curl("POST", "/nft", text_of(jpeg), "image/jpeg"), 200, "application/json", stored);
  // Storing it again is harmless and answers the same.
  expect_reply(curl("POST", "/nft", text_of(jpeg), "image/jpeg"), 200, "application/json", stored);

  std::vector<std::string> hashes{stored_hash_, hash};
  std::sort(hashes.begin(), hashes.end());
  expect_reply(curl("GET", "/nft"), 200, "application/json",
               json({{"count", 2}, {"hashes", hashes}, {"ok", true}}).dump());
  expect_reply(curl("GET", "/nft/" + hash), 200, "image/jpeg", text_of(jpeg));
  EXPECT_EQ(proc::slurp(nft::dir(chain_path_) / (hash + ".jpg")), text_of(jpeg));
  EXPECT_EQ(json::parse(curl("GET", "/status").body)["nft"], 2);

  // Any path under /nft that is not a mint is an upload.
  expect_reply(curl("POST", "/nft/other", "\x89PNG\r\n\x1a\n", "image/png"), 400,
               "application/json", R"({"error":"Not a JPEG.","ok":false})");
  expect_reply(curl("POST", "/nft", "\xff\xd8\xff garbage", "image/jpeg"), 400, "application/json",
               R"({"error":"JPEG could not be decoded.","ok":false})");
  expect_reply(curl("POST", "/nft", text_of(testjpeg::make(513, 1, 0x10)), "image/jpeg"), 400,
               "application/json", R"({"error":"Image larger than 512×512.","ok":false})");
  EXPECT_EQ(nft::list_hex(nft::dir(chain_path_)).size(), 2u);
  EXPECT_TRUE(queued().empty());
}

TEST_F(HttpCurl, ChangeRoutesQueueOneMessageEach) {
  // A signed NFT mint of the stored image, spending a note of the chain.
  std::vector<chain_gen::Owned> spent{gen_.unspent.front()};
  gen_.unspent.pop_front();
  chain_gen::Owned to = chain_gen::key_pair(gen_.rng);
  codec::Tx mint;
  mint.type = codec::kTxNftMint;
  mint.timestamp = 1700000100;
  auto image_id = hex::decode(stored_hash_);
  ASSERT_TRUE(image_id);
  mint.extra = *image_id;
  mint.extra.insert(mint.extra.end(), owner_.begin(), owner_.end());
  mint.inputs = chain_gen::inputs_for(spent);
  mint.outputs = {chain_gen::output(to, gen_.rng)};
  chain_gen::sign(mint, spent);
  const Bytes mint_raw = codec::encode_tx_signed(mint);
  const std::string mint_txid = hex::encode(codec::txid(mint));

  // The body of POST /tx goes through byte for byte, zero bytes included.
  const Bytes transfer = codec::encode_tx_signed(gen_.spend(1, 1));
  ASSERT_NE(text_of(transfer).find('\0'), std::string::npos);

  using Check = std::function<void(const NetMsg&)>;
  struct Case {
    std::string path, body, type, reply;
    Check check;
  };
  const std::string ok = R"({"ok":true})";
  const Case cases[] = {
      {"/tx", text_of(transfer), "application/octet-stream", ok,
       [&](const NetMsg& m) { EXPECT_EQ(std::get<NetMsg::Tx>(m.msg).raw, transfer); }},
      {"/tx", "", "application/octet-stream", ok,
       [](const NetMsg& m) { EXPECT_TRUE(std::get<NetMsg::Tx>(m.msg).raw.empty()); }},
      {"/ack", R"({"txid":")" + pending_id_ + R"(","node_id":" peer-c "})", "application/json", ok,
       [&](const NetMsg& m) {
         const auto& a = std::get<NetMsg::Ack>(m.msg);
         EXPECT_EQ(a.txid, pending_id_);
         EXPECT_EQ(a.node_id, " peer-c ");
       }},
      {"/ack", "not json", "application/json", ok,
       [](const NetMsg& m) {
         const auto& a = std::get<NetMsg::Ack>(m.msg);
         EXPECT_EQ(a.txid, "");
         EXPECT_EQ(a.node_id, "");
       }},
      {"/reward", R"({"address":"  )" + owner_ + R"(\n"})", "application/json", ok,
       [&](const NetMsg& m) { EXPECT_EQ(std::get<NetMsg::SetReward>(m.msg).address, owner_); }},
      {"/reward", "{}", "application/json", ok,
       [](const NetMsg& m) { EXPECT_EQ(std::get<NetMsg::SetReward>(m.msg).address, ""); }},
      {"/peers", R"({"peers":["10.0.0.2:19191",7," host:1 "]})", "application/json", ok,
       [](const NetMsg& m) {
         EXPECT_EQ(std::get<NetMsg::SetPeers>(m.msg).peers,
                   (std::vector<std::string>{"10.0.0.2:19191", " host:1 "}));
       }},
      {"/seal", "", "application/json", ok,
       [](const NetMsg& m) { EXPECT_TRUE(std::holds_alternative<NetMsg::Seal>(m.msg)); }},
      {"/drop", "{}", "application/json", ok,
       [](const NetMsg& m) { EXPECT_TRUE(std::holds_alternative<NetMsg::Drop>(m.msg)); }},
      {"/nft/mint", R"({"raw":" )" + upper(hex::encode(mint_raw)) + R"( "})", "application/json",
       R"({"fee":25000,"hash":")" + stored_hash_ + R"(","ok":true,"txid":")" + mint_txid + R"("})",
       [&](const NetMsg& m) { EXPECT_EQ(std::get<NetMsg::Tx>(m.msg).raw, mint_raw); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("POST " + c.path + " " + c.body.substr(0, 60));
    expect_reply(curl("POST", c.path, c.body, c.type), 200, "application/json", c.reply);
    // The message is queued before the reply leaves, so it is there once curl is done.
    auto msgs = queued();
    ASSERT_EQ(msgs.size(), 1u);
    c.check(msgs[0]);
  }
}

TEST_F(HttpCurl, MintRefusalsQueueNothing) {
  Bytes other_id(32, 0x55);
  codec::Tx mint;
  mint.type = codec::kTxNftMint;
  mint.extra = other_id;
  mint.extra.insert(mint.extra.end(), owner_.begin(), owner_.end());
  codec::Tx not_mint = mint;
  not_mint.type = codec::kTxTransfer;
  auto raw_of = [](const codec::Tx& t) {
    return R"({"raw":")" + hex::encode(codec::encode_tx_signed(t)) + R"("})";
  };
  const std::string fee =
      R"({"error":"NFT mint costs 0,25000 QÚV. The fee goes to this node's reward address. )"
      R"(Submit a signed mint transaction.","fee":25000,"ok":false,"reward_address":")" +
      reward_ + R"("})";
  struct Case {
    std::string body, reply;
  };
  const Case cases[] = {
      {R"({"raw":"  "})", fee},
      {"not json", fee},
      {R"({"raw":"abc"})", R"({"error":"Bad hex.","ok":false})"},
      {R"({"raw":"0200"})", R"({"error":"chain truncated","ok":false})"},
      {raw_of(not_mint), R"({"error":"Not an NFT mint transaction.","ok":false})"},
      {raw_of(mint), R"({"error":"Image is not on this node yet.","ok":false})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body.substr(0, 60));
    expect_reply(curl("POST", "/nft/mint", c.body), 400, "application/json", c.reply);
  }
  EXPECT_TRUE(queued().empty());
}

TEST_F(HttpCurl, BodyLimit) {
  const std::string largest(net::kMaxBodyBytes, 'x');
  expect_reply(curl("POST", "/tx", largest, "application/octet-stream"), 200, "application/json",
               R"({"ok":true})");
  auto msgs = queued();
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(std::get<NetMsg::Tx>(msgs[0].msg).raw.size(), net::kMaxBodyBytes);

  // One byte more: the connection is closed without a reply and nothing is queued.
  Reply over = curl("POST", "/tx", largest + "x", "application/octet-stream");
  EXPECT_NE(over.exit, 0);
  EXPECT_EQ(over.head, "");
  EXPECT_TRUE(queued().empty());
  // The server goes on serving.
  expect_reply(curl("POST", "/seal", ""), 200, "application/json", R"({"ok":true})");
  EXPECT_EQ(queued().size(), 1u);
}

TEST_F(HttpCurl, ControlRoutesRefuseOtherMachines) {
  auto remote = start_server("192.0.2.7");
  ASSERT_TRUE(remote);
  const std::string refusal =
      R"({"error":"Control routes are only served on this machine.","ok":false})";
  for (const char* path : {"/reward", "/peers", "/seal", "/drop"}) {
    SCOPED_TRACE(path);
    expect_reply(curl("POST", path, R"({"address":"x","peers":["a:1"]})", "application/json",
                      remote->port()),
                 403, "application/json", refusal);
  }
  EXPECT_TRUE(queued().empty());
  // Peers and wallets still reach what they need.
  expect_reply(curl("POST", "/tx", "abc", "application/octet-stream", remote->port()), 200,
               "application/json", R"({"ok":true})");
  expect_reply(curl("POST", "/ack", "{}", "application/json", remote->port()), 200,
               "application/json", R"({"ok":true})");
  EXPECT_EQ(queued().size(), 2u);
  EXPECT_EQ(json::parse(curl("GET", "/status", std::nullopt, "", remote->port()).body)["ok"], true);
}

}  // namespace

// A real node whose chain and image store lie on a small disk: uploads and images that
// gossip brings are refused before they take the room the chain needs, and the node still
// catches up with its peer. The figures are printed.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>

#include "chain_gen.h"
#include "jpeg.h"
#include "ledger/nft.h"
#include "nodes.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

class Store : public nodes::NetTest {
 protected:
  void SetUp() override { make_net(2); }
  void TearDown() override {
    if (peer_) peer_->stop();
    if (node_) node_->stop();
    if (mounted_) ::umount2(small_.c_str(), MNT_DETACH);
  }
  std::string log() const {
    return proc::slurp(dir_ / "node.out") + "\n" + proc::slurp(dir_ / "node.err");
  }
  std::string upload(size_t ns, const Bytes& jpeg) {
    auto r = netns::call_in(net_->ns(ns), "127.0.0.1:19191", "POST", "/nft", jpeg, "image/jpeg");
    return r ? std::string(r->begin(), r->end()) : "(no reply)";
  }

  const std::string bin_ = nodes::bin_under_test(QUV_BIN);
  proc::TempDir tmp_;
  fs::path dir_ = tmp_.path();
  chain_gen::Builder gen_{47};
  std::unique_ptr<netns::Bg> node_, peer_;
  fs::path small_ = dir_ / "small";
  bool mounted_ = false;
};

TEST_F(Store, UploadsLeaveTheChainItsRoomToCatchUp) {
  // The reserve of a small chain, and 24 MiB beside it.
  const uint64_t reserve = nft::kMinReserve;
  ASSERT_TRUE(fs::create_directories(small_));
  const std::string size = "size=" + std::to_string((reserve >> 20) + 24) + "m";
  if (::mount("tmpfs", small_.c_str(), "tmpfs", 0, size.c_str()) != 0) {
    GTEST_SKIP() << "cannot mount a small file system here: " << std::strerror(errno);
  }
  mounted_ = true;
  const fs::path mine = small_ / "quv.chain", theirs = dir_ / "peer.chain";
  gen_.full_blocks(10);
  gen_.write(mine);
  gen_.full_blocks(30);
  gen_.write(theirs);
  const int64_t peer_height = static_cast<int64_t>(gen_.blocks().size()) - 1;
  ASSERT_EQ(nodes::set_peers(bin_, mine, {net_->addr(0) + ":19191"}).status, 0);
  node_ = nodes::start(bin_, net_->ns(1), mine, "0", dir_ / "node.out", dir_ / "node.err");
  ASSERT_TRUE(nodes::wait_until([&] { return nodes::height(net_->ns(1)) >= 0; }, seconds(20)));

  // A filler leaves 3 MiB above the reserve; distinct images are uploaded until one is
  // refused.
  const auto free = [&] { return fs::space(small_).available; };
  ASSERT_TRUE(proc::spit(small_ / "filler", std::string(free() - reserve - (3 << 20), 'f')));
  std::string reply;
  size_t stored = 0;
  for (uint32_t seed = 0; seed < 100; ++seed) {
    reply = upload(1, testjpeg::make(512, 512, seed));
    if (reply.find("\"ok\":true") == std::string::npos) break;
    ++stored;
  }
  std::cout << stored << " images stored, then: " << reply << "\n";
  EXPECT_EQ(reply, R"({"error":"NFT store is full.","ok":false})");
  EXPECT_GE(free(), reserve);

  // The peer comes up higher and with images of its own: the node takes its blocks but
  // not its images.
  peer_ = nodes::start(bin_, net_->ns(0), theirs, "0", dir_ / "peer.out", dir_ / "peer.err");
  ASSERT_TRUE(nodes::wait_until([&] { return nodes::height(net_->ns(0)) >= 0; }, seconds(20)));
  for (uint32_t seed = 200; seed < 203; ++seed) {
    EXPECT_NE(upload(0, testjpeg::make(64, 64, seed)).find("\"ok\":true"), std::string::npos);
  }
  const bool caught_up =
      nodes::wait_until([&] { return nodes::height(net_->ns(1)) >= peer_height; }, seconds(30));
  EXPECT_TRUE(caught_up) << log();
  std::this_thread::sleep_for(seconds(2));  // two more ticks of gossip
  EXPECT_EQ(nft::list_hex(nft::dir(mine)).size(), stored);
}

}  // namespace

// The change-request channel from the HTTP server to the node loop: the server turns every
// request that would change the node into a `NetMsg` and sends it; the node loop drains
// the queue on its next tick. Either end may live on any thread; copies of the sending end
// share one queue.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "core/bytes.h"

namespace net {

// A change request from the HTTP server to the node loop, which applies it on its next tick.
struct NetMsg {
  // A signed transaction, unchecked: the body of POST /tx or the raw bytes of a mint.
  struct Tx {
    Bytes raw;
  };
  // An acknowledgement of a mempool transaction by another node.
  struct Ack {
    std::string txid;
    std::string node_id;
  };
  // A new reward address; empty clears it.
  struct SetReward {
    std::string address;
  };
  // A new list of gossip peers.
  struct SetPeers {
    std::vector<std::string> peers;
  };
  // Seal the mempool now.
  struct Seal {};
  // Pay the daily drop now.
  struct Drop {};

  std::variant<Tx, Ack, SetReward, SetPeers, Seal, Drop> msg;
};

namespace detail {
struct Queue {
  std::mutex mu;
  std::deque<NetMsg> items;
  bool receiver_gone = false;
};
}  // namespace detail

// The sending end of the change-request channel; copies share one queue and may send
// from any thread.
class Sender {
 public:
  Sender() = default;
  explicit Sender(std::shared_ptr<detail::Queue> q) : q_(std::move(q)) {}
  // Queues the message; false when the receiving end is gone (the message is dropped).
  bool send(NetMsg m) const;

 private:
  std::shared_ptr<detail::Queue> q_;
};

// The receiving end, owned by the node loop; it never waits.
class Receiver {
 public:
  Receiver() = default;
  explicit Receiver(std::shared_ptr<detail::Queue> q) : q_(std::move(q)) {}
  Receiver(Receiver&&) = default;
  Receiver& operator=(Receiver&&) = default;
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
  ~Receiver();
  // The oldest queued message, or nothing when the queue is empty.
  std::optional<NetMsg> try_recv();
  // Every queued message, oldest first.
  std::vector<NetMsg> drain();

 private:
  std::shared_ptr<detail::Queue> q_;
};

// A new unbounded channel.
std::pair<Sender, Receiver> channel();

}  // namespace net

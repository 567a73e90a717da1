// The change-request channel from the HTTP server to the node loop: the server turns every
// request that would change the node into a `NetMsg` and sends it; the node loop drains
// the queue on its next tick. The queue holds at most `kQueueBytes` bytes and
// `kQueueMessages` messages, so what clients send faster than the node applies it is
// refused rather than held. Either end may live on any thread; copies of the sending end
// share one queue.
#pragma once

#include <cstddef>
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

// Most bytes (`queued_bytes` of every message) and most messages the queue holds at once.
// The bytes are twice what the mempool holds, so transfers that fill it arrive in one tick.
inline constexpr size_t kQueueBytes = size_t{32} << 20;
inline constexpr size_t kQueueMessages = 4096;

// The memory a queued message holds: its own slot and the bytes of its payload.
size_t queued_bytes(const NetMsg& m);

// What became of a message handed to `Sender::send`.
enum class Sent {
  kQueued,
  // The queue is at its bound; the message is dropped and may be sent again later.
  kFull,
  // The receiving end is gone; the message is dropped.
  kClosed,
};

namespace detail {
struct Queued {
  NetMsg msg;
  // `queued_bytes` of the message as it was sent.
  size_t bytes = 0;
};
struct Queue {
  std::mutex mu;
  std::deque<Queued> items;
  // Sum of the bytes of `items`.
  size_t bytes = 0;
  bool receiver_gone = false;
};
}  // namespace detail

// The sending end of the change-request channel; copies share one queue and may send
// from any thread.
class Sender {
 public:
  Sender() = default;
  explicit Sender(std::shared_ptr<detail::Queue> q) : q_(std::move(q)) {}
  // Queues the message unless the queue would pass its bound or the receiving end is gone.
  Sent send(NetMsg m) const;

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

// A new channel, empty.
std::pair<Sender, Receiver> channel();

}  // namespace net

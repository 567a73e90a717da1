#include "net/channel.h"

#include <type_traits>

namespace net {

namespace {

size_t text_bytes(const std::string& s) { return sizeof s + s.capacity(); }

}  // namespace

size_t queued_bytes(const NetMsg& m) {
  return sizeof m + std::visit(
                        [](const auto& v) -> size_t {
                          using T = std::decay_t<decltype(v)>;
                          if constexpr (std::is_same_v<T, NetMsg::Tx>) {
                            return v.raw.capacity();
                          } else if constexpr (std::is_same_v<T, NetMsg::Ack>) {
                            return text_bytes(v.txid) + text_bytes(v.node_id);
                          } else if constexpr (std::is_same_v<T, NetMsg::SetReward>) {
                            return text_bytes(v.address);
                          } else if constexpr (std::is_same_v<T, NetMsg::SetPeers>) {
                            size_t n = v.peers.capacity() * sizeof(std::string);
                            for (const auto& p : v.peers) n += p.capacity();
                            return n;
                          } else {
                            return 0;
                          }
                        },
                        m.msg);
}

Sent Sender::send(NetMsg m) const {
  if (!q_) return Sent::kClosed;
  const size_t cost = queued_bytes(m);
  std::lock_guard lock(q_->mu);
  if (q_->receiver_gone) return Sent::kClosed;
  if (q_->items.size() >= kQueueMessages || cost > kQueueBytes - q_->bytes) return Sent::kFull;
  q_->items.push_back({std::move(m), cost});
  q_->bytes += cost;
  return Sent::kQueued;
}

Receiver::~Receiver() {
  if (!q_) return;
  std::lock_guard lock(q_->mu);
  q_->receiver_gone = true;
  q_->items.clear();
  q_->bytes = 0;
}

std::optional<NetMsg> Receiver::try_recv() {
  if (!q_) return std::nullopt;
  std::lock_guard lock(q_->mu);
  if (q_->items.empty()) return std::nullopt;
  detail::Queued front = std::move(q_->items.front());
  q_->items.pop_front();
  q_->bytes -= front.bytes;
  return std::move(front.msg);
}

std::vector<NetMsg> Receiver::drain() {
  std::vector<NetMsg> out;
  if (!q_) return out;
  std::lock_guard lock(q_->mu);
  out.reserve(q_->items.size());
  for (auto& q : q_->items) out.push_back(std::move(q.msg));
  q_->items.clear();
  q_->bytes = 0;
  return out;
}

std::pair<Sender, Receiver> channel() {
  auto q = std::make_shared<detail::Queue>();
  return {Sender(q), Receiver(q)};
}

}  // namespace net

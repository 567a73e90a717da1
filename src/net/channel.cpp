#include "net/channel.h"

namespace net {

bool Sender::send(NetMsg m) const {
  if (!q_) return false;
  std::lock_guard lock(q_->mu);
  if (q_->receiver_gone) return false;
  q_->items.push_back(std::move(m));
  return true;
}

Receiver::~Receiver() {
  if (!q_) return;
  std::lock_guard lock(q_->mu);
  q_->receiver_gone = true;
  q_->items.clear();
}

std::optional<NetMsg> Receiver::try_recv() {
  if (!q_) return std::nullopt;
  std::lock_guard lock(q_->mu);
  if (q_->items.empty()) return std::nullopt;
  NetMsg m = std::move(q_->items.front());
  q_->items.pop_front();
  return m;
}

std::vector<NetMsg> Receiver::drain() {
  std::vector<NetMsg> out;
  if (!q_) return out;
  std::lock_guard lock(q_->mu);
  out.reserve(q_->items.size());
  for (auto& m : q_->items) out.push_back(std::move(m));
  q_->items.clear();
  return out;
}

std::pair<Sender, Receiver> channel() {
  auto q = std::make_shared<detail::Queue>();
  return {Sender(q), Receiver(q)};
}

}  // namespace net

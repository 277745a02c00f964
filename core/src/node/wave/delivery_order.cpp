#include "node/wave/delivery_order.hpp"

namespace korvalinth {

bool OrderedDelivery::queue_if_delivering(const UncountedNode& node, MessageList& list) {
  for (OrderedDelivery* delivery = detail::tls_innermost_delivery; delivery != nullptr; delivery = delivery->outer_) {
    if (delivery->delivers_to(node)) {
      if (!delivery->queued_) delivery->queued_ = std::make_unique<Queue>();
      delivery->queued_->lists.push_back(std::move(list));
      return true;
    }
  }
  return false;
}

std::optional<MessageList> OrderedDelivery::next_queued() {
  if (!queued_) return std::nullopt;
  Queue& q = *queued_;
  if (q.next == q.lists.size()) {
    q.lists.clear();
    q.next = 0;
    return std::nullopt;
  }
  return std::move(q.lists[q.next++]);
}

}  // namespace korvalinth

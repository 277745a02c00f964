#include "node/wave/delivery_order.hpp"

namespace korvalinth {

void OrderedDelivery::queue(MessageList list) {
  if (!queued_) queued_ = std::make_unique<Queue>();
  queued_->lists.push_back(std::move(list));
}

void OrderedDelivery::drop_queue() noexcept {
  std::unique_ptr<Queue> queued = std::move(queued_);
  delivery_counters().innermost = outer_;
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

#include "node/wave/delivery_order.hpp"

#include "node/arena/graph_core.hpp"

namespace korvalinth {

void OrderedDelivery::uncount_at_end() noexcept {
  // A count left raised (the core borrowed by an unwinding caller) only
  // makes later downs on the node search the chain in vain.
  GraphCore& core = node_->core_ref();
  if (core.is_borrowed()) return;
  auto a = core.borrow_mut();
  if (!a->is_current(node_->key())) return;
  if (EdgeEntry* e = a->find_edge(node_->index()); e) uncount_in(*e);
}

bool OrderedDelivery::queue_if_delivering(const UncountedNode& node, MessageList& list) {
  OrderedDelivery* delivery = detail::tls_innermost_delivery;
  if (delivery == nullptr) return false;
  for (; delivery != nullptr; delivery = delivery->outer_) {
    if (delivery->node_->same_node(node)) {
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

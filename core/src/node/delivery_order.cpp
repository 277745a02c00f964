#include "node/delivery_order.hpp"

#include <vector>

#include "base/thread_block.hpp"

namespace korvalinth {

namespace {

struct Delivering {
  NodeId node;
  std::vector<MessageList> queued;
  std::size_t next = 0;  // the oldest list not yet taken
};

// The nodes whose sinks are being called on this thread, innermost last.
// Deliveries nest only through sinks, so the stack stays short.
struct DeliveringNodes {
  std::vector<Delivering> stack;
};

std::vector<Delivering>& delivering() noexcept { return ThreadBlock<DeliveringNodes>::get().stack; }

}  // namespace

bool OrderedDelivery::queue_if_delivering(const NodeHandle& node, MessageList& list) {
  std::vector<Delivering>& stack = delivering();
  if (stack.empty()) return false;
  const NodeId id = node.id();
  for (Delivering& d : stack) {
    if (d.node == id) {
      d.queued.push_back(std::move(list));
      return true;
    }
  }
  return false;
}

bool OrderedDelivery::any_delivering() noexcept { return !delivering().empty(); }

OrderedDelivery::OrderedDelivery(const NodeHandle& node) {
  std::vector<Delivering>& stack = delivering();
  depth_ = stack.size();
  stack.push_back(Delivering{node.id(), {}});
}

OrderedDelivery::~OrderedDelivery() {
  std::vector<Delivering>& stack = delivering();
  std::vector<MessageList> dropped = std::move(stack[depth_].queued);
  stack.pop_back();
}

std::optional<MessageList> OrderedDelivery::next_queued() {
  Delivering& d = delivering()[depth_];
  if (d.next == d.queued.size()) {
    d.queued.clear();
    d.next = 0;
    return std::nullopt;
  }
  return std::move(d.queued[d.next++]);
}

}  // namespace korvalinth

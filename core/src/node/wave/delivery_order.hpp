#pragma once
// Every sink receives a node's messages in the order the node emitted them.
// While a down is calling a node's sinks, a further down on the same node (a
// sink that corrects the value it watches) waits: its list is queued and
// delivered by the down in progress once its own list has reached every
// sink. The delivery ends before the pending queue drains: a down made by a
// run or settle there goes out at once.

#include <memory>
#include <optional>
#include <vector>

#include "node/arena/message.hpp"
#include "node/arena/node_handle.hpp"
#include "node/wave/delivery.hpp"

namespace korvalinth {

// The thread's deliveries in progress chain from delivery_counters().innermost.
// Deliveries nest only through sinks (a drain runs after its delivery
// ended), so the chain is short and mostly empty.
class OrderedDelivery {
 public:
  // The delivery on node in progress on the thread, if there is one.
  static OrderedDelivery* in_progress_on(const UncountedNode& node) noexcept {
    for (OrderedDelivery* d = delivery_counters().innermost; d != nullptr; d = d->outer_) {
      if (d->delivers_to(node)) return d;
    }
    return nullptr;
  }
  // Queues list behind this delivery, which is still in progress.
  void queue(MessageList list);

  // Marks node as delivering on the thread's chain for the object's life;
  // lists still queued at its end (a fault unwinds) are dropped, after it
  // left the chain. node must outlive the object. Inline: one is made for
  // every emit.
  explicit OrderedDelivery(const UncountedNode& node) noexcept
      : node_(&node), outer_(delivery_counters().innermost) {
    delivery_counters().innermost = this;
  }
  OrderedDelivery(const OrderedDelivery&) = delete;
  OrderedDelivery& operator=(const OrderedDelivery&) = delete;
  // Deliveries end innermost first: this one is the innermost.
  ~OrderedDelivery() {
    if (queued_) [[unlikely]] {
      drop_queue();
      return;
    }
    delivery_counters().innermost = outer_;
  }

  // The oldest list queued behind this delivery, taken out of the queue.
  std::optional<MessageList> next_queued();
  // Whether a list was queued behind this delivery.
  bool has_queued() const noexcept { return queued_ != nullptr; }

 private:
  struct Queue {
    std::vector<MessageList> lists;
    std::size_t next = 0;  // the oldest list not yet taken
  };

  // The end of a delivery a list was queued behind: the lists still queued
  // go after it left the chain. Out of line: one delivery in many has a
  // queue, and its drop inlined would crowd every delivery's registers.
  [[gnu::noinline]] void drop_queue() noexcept;

  // The same core object and key: both handles keep their core alive.
  bool delivers_to(const UncountedNode& node) const noexcept {
    return &node_->core_ref() == &node.core_ref() && node_->key() == node.key();
  }

  // Kept small: one lives in every down's frame, and graphs deliver as
  // deep as the stack allows. The queue is made by the first list queued.
  const UncountedNode* node_;
  OrderedDelivery* outer_;
  std::unique_ptr<Queue> queued_;
};

}  // namespace korvalinth

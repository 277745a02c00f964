#pragma once
// Every sink receives a node's messages in the order the node emitted them.
// While a down is calling a node's sinks, a further down on the same node (a
// sink that corrects the value it watches) waits: its list is queued and
// delivered by the down in progress once its own list has reached every
// sink.

#include <memory>
#include <optional>
#include <vector>

#include "base/thread_block.hpp"
#include "node/arena/message.hpp"
#include "node/arena/node_entries.hpp"
#include "node/arena/node_handle.hpp"

namespace korvalinth {

class OrderedDelivery;

namespace detail {
// The innermost delivery in progress on the thread; each links to the one
// it runs inside. Deliveries nest only through sinks, so the chain is short.
inline constinit thread_local OrderedDelivery* tls_innermost_delivery KORVALINTH_FAST_TLS = nullptr;
}  // namespace detail

class OrderedDelivery {
 public:
  // Queues list behind the delivery in progress on node, if there is one;
  // true when it was queued (list is then moved from). Called only when the
  // node's entry counts a delivery in progress: the search is then short.
  static bool queue_if_delivering(const UncountedNode& node, MessageList& list);

  // Marks node as delivering on the thread's chain until the end of the
  // object's life; lists still queued then (a fault unwinds) are dropped.
  // The caller counts it in the node's entry (count_in) under a borrow it
  // takes anyway, before any sink is called. node must outlive the object.
  // Inline, as the destructor: one is made for every emit.
  explicit OrderedDelivery(const UncountedNode& node) noexcept
      : node_(&node), outer_(detail::tls_innermost_delivery) {
    detail::tls_innermost_delivery = this;
  }
  OrderedDelivery(const OrderedDelivery&) = delete;
  OrderedDelivery& operator=(const OrderedDelivery&) = delete;
  ~OrderedDelivery() {
    detail::tls_innermost_delivery = outer_;
    if (counted_) uncount_at_end();
  }

  // The oldest list queued behind this delivery, taken out of the queue.
  std::optional<MessageList> next_queued();
  // Counts the delivery in the node's entry e (once), or stops counting it
  // before the object's end, under the caller's borrow.
  void count_in(EdgeEntry& e) noexcept {
    if (counted_) return;
    e.deliveries_in_progress += 1;
    counted_ = true;
  }
  void uncount_in(EdgeEntry& e) noexcept {
    if (!counted_) return;
    e.deliveries_in_progress -= 1;
    counted_ = false;
  }

  // Whether a list was queued behind this delivery.
  bool has_queued() const noexcept { return queued_ != nullptr; }

 private:
  struct Queue {
    std::vector<MessageList> lists;
    std::size_t next = 0;  // the oldest list not yet taken
  };

  void uncount_at_end() noexcept;

  // Kept small: one lives in every down's frame, and graphs deliver as
  // deep as the stack allows. The queue is made by the first list queued.
  const UncountedNode* node_;
  OrderedDelivery* outer_;
  std::unique_ptr<Queue> queued_;
  bool counted_ = false;  // the node's entry counts this delivery
};

}  // namespace korvalinth

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
#include "node/message.hpp"
#include "node/node_handle.hpp"

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
  // true when it was queued (list is then moved from).
  static bool queue_if_delivering(const NodeHandle& node, MessageList& list);
  // Whether any node's sinks are being called on this thread.
  static bool any_delivering() noexcept { return detail::tls_innermost_delivery != nullptr; }

  // Marks node as delivering until the end of the object's life; lists
  // still queued then (a fault unwinds) are dropped.
  // node must outlive the object.
  explicit OrderedDelivery(const NodeHandle& node) noexcept : node_(&node), outer_(detail::tls_innermost_delivery) {
    detail::tls_innermost_delivery = this;
  }
  OrderedDelivery(const OrderedDelivery&) = delete;
  OrderedDelivery& operator=(const OrderedDelivery&) = delete;
  ~OrderedDelivery() { detail::tls_innermost_delivery = outer_; }

  // The oldest list queued behind this delivery, taken out of the queue.
  std::optional<MessageList> next_queued();
  // Whether a list was queued behind this delivery.
  bool has_queued() const noexcept { return queued_ != nullptr; }

 private:
  struct Queue {
    std::vector<MessageList> lists;
    std::size_t next = 0;  // the oldest list not yet taken
  };

  // Kept small: one lives in every down's frame, and graphs deliver as
  // deep as the stack allows. The queue is made by the first list queued.
  const NodeHandle* node_;
  OrderedDelivery* outer_;
  std::unique_ptr<Queue> queued_;
};

}  // namespace korvalinth

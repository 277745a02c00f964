#pragma once
// Every sink receives a node's messages in the order the node emitted them.
// While a down is calling a node's sinks, a further down on the same node (a
// sink that corrects the value it watches) waits: its list is queued and
// delivered by the down in progress once its own list has reached every
// sink.

#include <optional>

#include "node/message.hpp"
#include "node/node_handle.hpp"

namespace korvalinth {

class OrderedDelivery {
 public:
  // Queues list behind the delivery in progress on node, if there is one;
  // true when it was queued (list is then moved from).
  static bool queue_if_delivering(const NodeHandle& node, MessageList& list);
  // Whether any node's sinks are being called on this thread.
  static bool any_delivering() noexcept;

  // Marks node as delivering until the end of the object's life; lists
  // still queued then (a fault unwinds) are dropped.
  explicit OrderedDelivery(const NodeHandle& node);
  OrderedDelivery(const OrderedDelivery&) = delete;
  OrderedDelivery& operator=(const OrderedDelivery&) = delete;
  ~OrderedDelivery();

  // The oldest list queued behind this delivery, taken out of the queue.
  std::optional<MessageList> next_queued();

 private:
  std::size_t depth_;  // this delivery's place on the thread's stack
};

}  // namespace korvalinth

#pragma once
// The once-only action returned by every subscription: it holds the sink id
// and a counted handle of the node (so a live subscription keeps the node).
// call() removes the sink (the last removal deactivates the node) and drops
// the handle; dropping it uncalled only drops the handle.

#include <cstdint>

#include "node/arena/node_handle.hpp"

namespace korvalinth {

class UnsubscribeFn {
 public:
  UnsubscribeFn() noexcept = default;  // does nothing when called
  UnsubscribeFn(std::uint64_t sink_id, NodeHandle node) noexcept : sink_id_(sink_id), node_(std::move(node)) {}
  UnsubscribeFn(UnsubscribeFn&&) noexcept = default;
  UnsubscribeFn& operator=(UnsubscribeFn&&) noexcept = default;

  void call();
  bool empty() const noexcept { return node_.empty(); }
  std::uint64_t sink_id() const noexcept { return sink_id_; }
  const UncountedNode& node() const noexcept { return node_; }

 private:
  std::uint64_t sink_id_ = 0;
  NodeHandle node_;
};

}  // namespace korvalinth

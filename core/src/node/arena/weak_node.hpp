#pragma once
// A node named without keeping it, or its core, alive: for host objects that
// outlive the node they emit on (an async callback's ctx, a captured async
// activation). Keeping a counted handle there would close a cycle through
// the node's own function and hold the node, its core and its callbacks for
// good.

#include "node/arena/node_handle.hpp"

namespace korvalinth {

class WeakNodeHandle {
 public:
  WeakNodeHandle() noexcept = default;
  static WeakNodeHandle of(const UncountedNode& node) noexcept;

  // A handle of the node, to act on it: counted, or uncounted while only
  // pins keep the node (its release then waits for them). Faults with the
  // stale-slot text when the core or the node is gone (released, or its
  // slot reused).
  HeldNode lock() const;

 private:
  WeakCore core_;
  WeakCount count_;
  SlotKey key_;
};

}  // namespace korvalinth

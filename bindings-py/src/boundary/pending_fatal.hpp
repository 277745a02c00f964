#pragma once
// The pending fatal error of a graph: the first exception raised by one of
// its callbacks that is a BaseException but not an Exception, kept until a
// guarded operation (or Graph.raise_pending_fatal) raises it. Shared by the
// Graph, its Nodes and Subscriptions and every callback adapter made for it.

#include <memory>

#include "base/cell.hpp"
#include "kit/refs.hpp"

namespace korvalinth::py {

struct PendingFatalSlot {
  PendingFatalSlot() = default;
  PendingFatalSlot(const PendingFatalSlot&) = delete;
  PendingFatalSlot& operator=(const PendingFatalSlot&) = delete;

  // Borrowed only for a take or a store. The last share of the slot may go
  // anywhere in the runtime.
  Cell<kit::AnywhereRef> exception;
};

using SharedFatalSlot = std::shared_ptr<PendingFatalSlot>;

inline SharedFatalSlot make_pending_fatal_slot() { return std::make_shared<PendingFatalSlot>(); }

// Takes the stored exception out (empty when there is none).
kit::OwnedRef take_pending_fatal(const PendingFatalSlot& slot);

// Stores `exception` if the slot is empty; otherwise the first one wins and
// `exception` is released (after the slot's borrow has ended).
void record_pending_fatal(const PendingFatalSlot& slot, kit::OwnedRef exception);

// Raises the stored exception, if any, emptying the slot: the pre-drain and
// post-drain of guarded operations. An empty slot is seen with a shared
// look, inline: every guarded call drains twice.
void raise_stored_fatal(const PendingFatalSlot& slot);
inline void raise_pending_fatal(const PendingFatalSlot& slot) {
  if (!slot.exception.is_borrowed() && !*slot.exception.borrow()) return;
  raise_stored_fatal(slot);
}

}  // namespace korvalinth::py

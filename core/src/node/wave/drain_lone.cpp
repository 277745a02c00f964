#include "node/wave/queued_check.hpp"

namespace korvalinth::queued {

// The drain of a queue holding the lone item alone. A chain nests one drain
// per node, each finding the owner's lone item and nothing else: its node is
// taken from the slot, without the vector or the two passes, and its run made
// in this frame, so a chain's level keeps one frame. A queue that gains a
// vector item is handed on by a tail call; the queue state is read from its
// thread block after each run rather than kept across it. An item the
// installed scope pinned is drained lent; one it did not, by the held road's
// own frame, reached by a tail call too: each copy is out of line, so
// neither grows the other's frame.
template <bool Lends>
[[gnu::noinline]] void drain_lone_items(PendingState& pending) {
  for (PendingState* p = &pending; p->queue.empty(); p = &pending_state()) {
    if (!p->lone.waiting()) return;
    if constexpr (Lends)
      if (!p->lone.pinned_by_installed_scope(installed_scope_id())) [[unlikely]]
        return drain_lone_items<false>(*p);
    drain_lone<true, Lends>(*p);
  }
  drain_queued_items(pending_state());
}

// The lending copy is the one called from outside.
template void drain_lone_items<true>(PendingState& pending);

}  // namespace korvalinth::queued

#pragma once
// The Python class AsyncCtx: what the callback of an async node or source
// receives for one activation. Unlike Ctx it stays usable after its
// callback: emit, resolve, complete and error deliver from the node at once
// (joining a wave that runs on the thread), for as long as the activation is
// live: until its callback raised, or a deactivation callback registered on
// it ran. It names its node weakly, so that a callback keeping its ctx does
// not keep its own node: kept past the node's release it refuses with the
// stale-slot text.

#include <memory>
#include <vector>

#include "base/cell.hpp"
#include "boundary/guard.hpp"
#include "boundary/pending_fatal.hpp"
#include "kit/refs.hpp"
#include "node/arena/node_fn.hpp"
#include "node/arena/weak_node.hpp"

namespace korvalinth::py {

inline constexpr const char* kAsyncCtxNotLive = "async ctx is no longer live for this activation";
inline constexpr const char* kAsyncCtxSetupNotLive = "async ctx setup is only valid during activation";

// Whether one activation is live; shared by its ctx, its adapter and the
// deactivation hooks made from the ctx, any of which the runtime may drop
// anywhere.
using ActivationLiveness = std::shared_ptr<bool>;

using DeactivationQueue = Cell<std::vector<kit::OwnedRef>>;

struct PyAsyncCtx {
  WeakNodeHandle node;
  ActivationLiveness live;
  SharedFatalSlot pending_fatal;
  // Boxed so that the record can move while the cell itself never does.
  std::unique_ptr<DeactivationQueue> deactivation_callbacks = std::make_unique<DeactivationQueue>();
};

PyTypeObject* async_ctx_type();

// A new, live AsyncCtx for one run of an async node. The GIL must be held.
kit::OwnedRef make_async_ctx_object(const RunContext& run, ActivationLiveness live, SharedFatalSlot slot);

// After the callback returned normally: the callbacks queued on the ctx
// become the node's deactivation hooks. Each clears the activation's
// liveness before calling its callback. Queued later, a callback is never
// registered.
void finish_async_ctx_callback(kit::BorrowedRef ctx, const RunContext& run);

// The delivery of an async output (AsyncCtx, ConformanceAsyncHandle): from
// the weakly named node, under the guard, then the post-drain. A node gone
// meanwhile is refused with the stale-slot text, and nothing is delivered.
template <class Deliver>
void deliver_async_output(const PendingFatalSlot& slot, const WeakNodeHandle& weak, Deliver&& deliver_from) {
  run_guarded(slot, [&] {
    HeldNode node = weak.lock();
    deliver_from(node);
    node.drop();
  });
  post_drain(slot);
}

}  // namespace korvalinth::py

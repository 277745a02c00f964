#pragma once
// Conformance async nodes hand nothing to Python while they run: their node
// function (the capture function) stores the activation in a state shared
// with a ConformanceAsyncHandle, through which a conformance suite later
// resolves it (DATA from the captured node) or sends INVALIDATE upstream
// from it. The class is reached only through the methods that return it.
//
// The captured activation names its node weakly: the state sits in the
// node's own function, so a counted handle there would keep the node, and
// its core, forever. A captured node released meanwhile is refused with the
// stale-slot text.

#include <memory>
#include <optional>

#include "base/cell.hpp"
#include "boundary/pending_fatal.hpp"
#include "kit/refs.hpp"
#include "node/arena/node_fn.hpp"
#include "node/arena/weak_node.hpp"

namespace korvalinth::py {

inline constexpr const char* kNoPendingToResolve = "no pending conformance async ctx to resolve";
inline constexpr const char* kNoPendingToInvalidate = "no pending conformance async ctx to invalidate";

// The activation captured last by any capture function bound to the state.
struct ConformanceAsyncState {
  Cell<std::optional<WeakNodeHandle>> pending;
};
using SharedConformanceAsyncState = std::shared_ptr<ConformanceAsyncState>;

struct PyConformanceAsyncHandle {
  SharedConformanceAsyncState state;
  SharedFatalSlot pending_fatal;  // of the graph the handle was made for
};

PyTypeObject* conformance_async_handle_type();

// The capture function over a state: each run replaces the pending
// activation with its own; it calls no Python and delivers nothing.
SharedNodeFn make_capture_fn(SharedConformanceAsyncState state);

// The (Node, ConformanceAsyncHandle) tuple of a new conformance async node.
kit::OwnedRef make_conformance_async_pair(kit::OwnedRef node, SharedConformanceAsyncState state,
                                          SharedFatalSlot slot);

// The object if it is a ConformanceAsyncHandle, else the downcast TypeError
// naming "ConformanceAsyncHandle".
kit::BorrowedRef downcast_conformance_async_handle(kit::BorrowedRef object);

// A share of a handle's state, for a capture function bound to it: after
// the handle's creating-thread check, a pending
// fatal of the handle's graph is raised instead.
SharedConformanceAsyncState share_conformance_async_state(kit::BorrowedRef handle);

}  // namespace korvalinth::py

#pragma once
// What Node._conformance_c21_replace_with_live_dep needs of a
// ConformanceAsyncHandle.

#include "kit/refs.hpp"
#include "node/node_fn.hpp"

namespace korvalinth::py {

// The object if it is a ConformanceAsyncHandle, else the downcast TypeError
// naming "ConformanceAsyncHandle" (declared with that class too).
kit::BorrowedRef downcast_conformance_async_handle(kit::BorrowedRef object);

// For a handle that passed the downcast: its creating-thread check, a
// pending fatal of its graph raised, then the node function that stores each
// run's live async context in the handle.
SharedNodeFn live_ctx_capture_fn(kit::BorrowedRef handle);

}  // namespace korvalinth::py

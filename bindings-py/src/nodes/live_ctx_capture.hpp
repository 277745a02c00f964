#pragma once
// What Node._conformance_c21_replace_with_live_dep needs of a
// ConformanceAsyncHandle. Defined beside that class.

#include "boundary/pending_fatal.hpp"
#include "kit/refs.hpp"
#include "node/node_fn.hpp"

namespace korvalinth::py {

// The object if it is a ConformanceAsyncHandle (or of a subtype), else the
// downcast TypeError naming "ConformanceAsyncHandle".
kit::BorrowedRef downcast_conformance_async_handle(kit::BorrowedRef object);

struct LiveCtxCapture {
  SharedFatalSlot fatal;  // the slot of the graph the handle belongs to
  SharedNodeFn fn;        // stores each run's live async context in the handle
};

// For a handle that passed the downcast: its creating-thread check, then,
// under a shared borrow, its graph's slot and the capture node function over
// a shared reference to its state.
LiveCtxCapture live_ctx_capture_of(kit::BorrowedRef handle);

}  // namespace korvalinth::py

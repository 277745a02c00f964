#include "nodes/live_ctx_capture.hpp"

// The ConformanceAsyncHandle class is built on a branch of its own; until
// both meet, no object is one and every async_handle is refused.
#if __has_include("nodes/conformance_async_handle.hpp")
#include "nodes/conformance_async_handle.hpp"

namespace korvalinth::py {

SharedNodeFn live_ctx_capture_fn(kit::BorrowedRef handle) {
  return make_capture_fn(share_conformance_async_state(handle));
}

}  // namespace korvalinth::py
#else
#include "base/fault.hpp"
#include "kit/convert.hpp"

namespace korvalinth::py {

kit::BorrowedRef downcast_conformance_async_handle(kit::BorrowedRef object) {
  kit::throw_downcast_error(object, "ConformanceAsyncHandle");
}

SharedNodeFn live_ctx_capture_fn(kit::BorrowedRef) { fault("no ConformanceAsyncHandle can exist to capture into"); }

}  // namespace korvalinth::py
#endif

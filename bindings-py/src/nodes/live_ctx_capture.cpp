#include "nodes/live_ctx_capture.hpp"

#include "nodes/conformance_async_handle.hpp"

namespace korvalinth::py {

SharedNodeFn live_ctx_capture_fn(kit::BorrowedRef handle) {
  return make_capture_fn(share_conformance_async_state(handle));
}

}  // namespace korvalinth::py

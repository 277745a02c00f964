// While the module has no ConformanceAsyncHandle class no object is one, so
// every async_handle is refused with the downcast error. The class's own
// file defines these two functions in place of this one.

#include "base/fault.hpp"
#include "kit/convert.hpp"
#include "nodes/live_ctx_capture.hpp"

namespace korvalinth::py {

kit::BorrowedRef downcast_conformance_async_handle(kit::BorrowedRef object) {
  kit::throw_downcast_error(object, "ConformanceAsyncHandle");
}

LiveCtxCapture live_ctx_capture_of(kit::BorrowedRef) { fault("no ConformanceAsyncHandle can exist to capture into"); }

}  // namespace korvalinth::py
